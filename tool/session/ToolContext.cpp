#include "session/ToolContext.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace provisor {

void AddResultRow(ToolContext& ctx, bool success) {
    const int profile = ctx.state.m_profile;
    ResultRow row;
    row.serialNumber = QString::fromStdString(ctx.state.m_serialNumber.Get());
    ++g_totalCount;
    if (success) {
        ++g_successCount;
        row.state = QStringLiteral("%1-Successful operation").arg(profile);
    } else {
        ++g_failCount;
        row.state = QStringLiteral("%1-Operation failed").arg(profile);
        row.failed = true;
    }
    ctx.view.InsertResultRow(row);
    ctx.view.ShowCounters(g_totalCount, g_successCount, g_failCount);
}

bool ReadTokenInfo(ToolContext& ctx, int profile) {
    const std::string reader = g_readerName.Get();
    char serial[32] = {};
    uint32_t serialLen = sizeof serial;
    char clock[64] = {};
    uint32_t clockLen = sizeof clock;
    const auto status = ctx.Call<CardFn::CardReadSnAndTime>(reader.c_str(), static_cast<int32_t>(profile), serial,
                                                            &serialLen, clock, &clockLen);
    const bool ok = status && *status == 0;
    if (ok) {
        // The library writes no terminator; a text that fills its buffer
        // ends at the buffer, not in whatever memory follows it.
        const auto text = [](const char* buffer, uint32_t len, size_t capacity) {
            const size_t n = std::min<size_t>(len, capacity);
            return std::string(buffer, strnlen(buffer, n));
        };
        ctx.state.SetTokenInfo(text(serial, serialLen, sizeof serial), text(clock, clockLen, sizeof clock));
    } else {
        ctx.state.ClearTokenInfo();
    }
    PauseFor(50);
    ctx.state.PostFieldUpdate();
    return ok;
}

void PauseFor(int milliseconds) {
    RunBlocking([milliseconds] { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); });
}

}  // namespace provisor
