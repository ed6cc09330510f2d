#include "session/ToolContext.h"

namespace provisor {

QString ResultRowState(int profile, bool success) {
    return success ? QStringLiteral("%1-Successful operation").arg(profile)
                   : QStringLiteral("%1-Operation failed").arg(profile);
}

void AddResultRow(const ToolContext& ctx, bool success) {
    ResultRow row;
    row.serialNumber = QString::fromStdString(ctx.session.SerialNumber());
    row.state = ResultRowState(ctx.session.m_profile, success);
    row.failed = !success;
    const ResultCounters counters = ctx.session.CountResult(success);
    ctx.view.InsertResultRow(row);
    ctx.view.ShowCounters(counters.total, counters.success, counters.fail);
}

bool ReadTokenInfo(const ToolContext& ctx, int profile) {
    const std::string reader = ctx.session.g_readerName.Get();
    const SerialAndClock read = ctx.api().ReadSnAndTime(reader.c_str(), profile);
    ctx.session.SetTokenInfo(read.Ok() ? TokenInfo{read.serial, read.clock} : TokenInfo{});
    ctx.session.Pause(kTokenReadPause);
    ctx.session.PostFieldUpdate();
    return read.Ok();
}

}  // namespace provisor
