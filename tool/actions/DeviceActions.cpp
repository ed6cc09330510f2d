#include "DeviceActions.h"

#include <cstring>
#include <string>

#include "Provisioning.h"

namespace provisor {

namespace {

constexpr uint32_t kStatusNoSeed = 0x00003001u;
// The zero-filled buffer CardReadOTP writes the digits into.
constexpr size_t kOtpBufferSize = 16;

QString Failure(const char* prefix, uint32_t status) {
    return QLatin1String(prefix) + StatusText(status) + QLatin1Char(']');
}

QString EmptySeedWarning(int profile) { return QStringLiteral("Warning,empty seed under profile #%1.").arg(profile); }

void ShowConfigResult(ToolContext& ctx, uint32_t status) {
    if (status == 0)
        ctx.view.ShowMessage(QStringLiteral("Config success!"), kCaption, MessageIcon::Information);
    else
        ctx.view.ShowMessage(Failure("Config failed![", status), kCaption, MessageIcon::Error);
}

}  // namespace

int32_t DisplayOffSeconds(int selection) {
    switch (selection) {
        case 0: return 15;
        case 1: return 30;
        case 2: return 60;
        default: return 120;
    }
}

void SetTitleOnly(ToolContext& ctx) {
    if (g_readerName.Empty()) return;
    if (AuthenticateToken(ctx) != 0) return;
    // The byte count of the text sent, so a title with characters outside
    // ASCII is sent whole (and refused by the library when too long)
    // instead of being cut after as many bytes as it has characters.
    const std::string title = ctx.view.Text(Control::Title).toStdString();
    const std::string reader = g_readerName.Get();
    const auto key = g_customerKey.Snapshot();
    const int profile = ctx.state.m_profile;
    const uint32_t status = StatusOf(ctx.Call<CardFn::CardChgPrompt>(
        reader.c_str(), key->c_str(), int32_t{profile}, title.c_str(), static_cast<uint32_t>(title.size())));
    if (status == 0)
        ctx.view.ShowMessage(QStringLiteral("%1-Change prompt success!").arg(profile), kCaption,
                             MessageIcon::Information);
    else
        ctx.view.ShowMessage(QStringLiteral("%1-Change prompt failed![%2]").arg(profile).arg(StatusText(status)),
                             kCaption, MessageIcon::Error);
}

void ChangeDisplayOffTime(ToolContext& ctx) {
    if (g_readerName.Empty()) return;
    if (AuthenticateToken(ctx) != 0) return;
    const int32_t seconds = DisplayOffSeconds(ctx.view.Selection(Control::DisplayOff));
    const std::string reader = g_readerName.Get();
    const auto key = g_customerKey.Snapshot();
    ShowConfigResult(ctx, StatusOf(ctx.Call<CardFn::CardSetStandbyTime>(reader.c_str(), key->c_str(), seconds)));
}

void SetKeypadMode(ToolContext& ctx) {
    // The box as it stood when "Set" was pressed.
    const int32_t mode = ctx.view.IsChecked(Control::Keypad) ? 1 : 0;
    if (g_readerName.Empty()) return;
    BusyFlag busy;
    if (!busy.Taken()) return;
    if (AuthenticateToken(ctx) != 0) return;
    const std::string reader = g_readerName.Get();
    const auto key = g_customerKey.Snapshot();
    ShowConfigResult(ctx, StatusOf(ctx.Call<CardFn::CardSetkeypad>(reader.c_str(), key->c_str(), mode)));
}

void RemoveSeed(ToolContext& ctx) {
    if (g_readerName.Empty()) return;
    BusyFlag busy;
    if (!busy.Taken()) return;
    if (AuthenticateToken(ctx) != 0) return;
    IToolView& view = ctx.view;
    const int profile = ctx.state.m_profile;
    const QString question = QStringLiteral("This operation will remove the seed stored \r\nunder profile #") +
                             QStringLiteral("%1. ").arg(profile) + QStringLiteral("Are you sure?");
    if (!view.AskOkCancel(question, kCaption, MessageIcon::Warning)) return;
    const std::string reader = g_readerName.Get();
    const uint32_t status = StatusOf(ctx.Call<CardFn::CardDeleteSeed>(reader.c_str(), int32_t{profile}));
    if (status == 0) {
        AddResultRow(ctx, true);
    } else if (status == kStatusNoSeed) {
        view.ShowMessage(EmptySeedWarning(profile), kCaption, MessageIcon::Warning);
    } else {
        AddResultRow(ctx, false);
        view.ShowMessage(Failure("operation failed![", status), kCaption, MessageIcon::Error);
    }
}

void CopyOtp(ToolContext& ctx) {
    if (g_readerName.Empty()) return;
    BusyFlag busy;
    if (!busy.Taken()) return;
    if (AuthenticateToken(ctx) != 0) return;
    const std::string reader = g_readerName.Get();
    const auto key = g_customerKey.Snapshot();
    const int profile = ctx.state.m_profile;
    char otp[kOtpBufferSize] = {};
    const uint32_t status =
        StatusOf(ctx.Call<CardFn::CardReadOTP>(reader.c_str(), key->c_str(), int32_t{profile}, otp));
    if (status == 0) {
        // The zero filling ends the digits; a library that filled all of
        // the buffer still ends at its last byte.
        ctx.view.SetClipboardText(QString::fromLocal8Bit(otp, static_cast<qsizetype>(strnlen(otp, sizeof otp))));
        AddResultRow(ctx, true);
    } else if (status == kStatusNoSeed) {
        ctx.view.ShowMessage(EmptySeedWarning(profile), kCaption, MessageIcon::Warning);
    } else {
        AddResultRow(ctx, false);
    }
}

void LockScreen(ToolContext& ctx) {
    if (g_readerName.Empty()) return;
    BusyFlag busy;
    if (!busy.Taken()) return;
    // The screen command carries no key; the token is authenticated before
    // it all the same, as before every other action.
    if (AuthenticateToken(ctx) != 0) return;
    const std::string reader = g_readerName.Get();
    const uint32_t status = StatusOf(ctx.Call<CardFn::CardScreenLock>(reader.c_str()));
    if (status == 0)
        ctx.view.ShowMessage(QStringLiteral("Device screen locked"), kHintsCaption, MessageIcon::Information);
    else
        ctx.view.ShowMessage(Failure("Action failed! Feature may be not supported on this device. [", status),
                             kHintsCaption, MessageIcon::Error);
}

void UnlockScreen(ToolContext& ctx) {
    if (g_readerName.Empty()) return;
    BusyFlag busy;
    if (!busy.Taken()) return;
    if (AuthenticateToken(ctx) != 0) return;
    const std::string reader = g_readerName.Get();
    const uint32_t status = StatusOf(ctx.Call<CardFn::CardScreenUnLock>(reader.c_str()));
    if (status == 0)
        ctx.view.ShowMessage(QStringLiteral("Device screen unlocked"), kHintsCaption, MessageIcon::Information);
    else
        ctx.view.ShowMessage(Failure("Action failed![", status), kHintsCaption, MessageIcon::Error);
}

}  // namespace provisor
