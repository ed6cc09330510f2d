#include "actions/DeviceActions.h"

#include <cstring>
#include <optional>
#include <string>

#include "provisioning/Provisioning.h"

namespace provisor {

namespace {

constexpr uint32_t kStatusNoSeed = 0x00003001u;
// The zero-filled buffer CardReadOTP writes the digits into.
constexpr size_t kOtpBufferSize = 16;

QString Failure(const char* prefix, uint32_t status) {
    return QLatin1String(prefix) + StatusText(status) + QLatin1Char(']');
}

QString EmptySeedWarning(int profile) { return QStringLiteral("Warning,empty seed under profile #%1.").arg(profile); }

// What every action does first: nothing without a connected reader, nothing
// while another action holds the busy flag (for those that take it), and
// nothing after a failed authentication, whose message has been shown. Then
// body(reader, key).
template <typename Body>
void DeviceAction(ToolContext& ctx, bool takesBusyFlag, Body&& body) {
    if (g_readerName.Empty()) return;
    std::optional<BusyFlag> busy;
    if (takesBusyFlag) {
        busy.emplace();
        if (!busy->Taken()) return;
    }
    if (AuthenticateToken(ctx) != 0) return;
    const std::string reader = g_readerName.Get();
    const auto key = g_customerKey.Snapshot();
    body(reader.c_str(), key->c_str());
}

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
    DeviceAction(ctx, false, [&](const char* reader, const char* key) {
        // The byte count of the text sent, so a title with characters outside
        // ASCII is sent whole (and refused by the library when too long)
        // instead of being cut after as many bytes as it has characters.
        const std::string title = ctx.view.Text(Control::Title).toStdString();
        const int profile = ctx.state.m_profile;
        const uint32_t status = StatusOf(ctx.Call<CardFn::CardChgPrompt>(reader, key, int32_t{profile}, title.c_str(),
                                                                         static_cast<uint32_t>(title.size())));
        if (status == 0)
            ctx.view.ShowMessage(QStringLiteral("%1-Change prompt success!").arg(profile), kCaption,
                                 MessageIcon::Information);
        else
            ctx.view.ShowMessage(QStringLiteral("%1-Change prompt failed![%2]").arg(profile).arg(StatusText(status)),
                                 kCaption, MessageIcon::Error);
    });
}

void ChangeDisplayOffTime(ToolContext& ctx) {
    DeviceAction(ctx, false, [&](const char* reader, const char* key) {
        const int32_t seconds = DisplayOffSeconds(ctx.view.Selection(Control::DisplayOff));
        ShowConfigResult(ctx, StatusOf(ctx.Call<CardFn::CardSetStandbyTime>(reader, key, seconds)));
    });
}

void SetKeypadMode(ToolContext& ctx) {
    // The box as it stood when "Set" was pressed.
    const int32_t mode = ctx.view.IsChecked(Control::Keypad) ? 1 : 0;
    DeviceAction(ctx, true, [&](const char* reader, const char* key) {
        ShowConfigResult(ctx, StatusOf(ctx.Call<CardFn::CardSetkeypad>(reader, key, mode)));
    });
}

void RemoveSeed(ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char*) {
        IToolView& view = ctx.view;
        const int profile = ctx.state.m_profile;
        const QString question = QStringLiteral("This operation will remove the seed stored \r\nunder profile #") +
                                 QStringLiteral("%1. ").arg(profile) + QStringLiteral("Are you sure?");
        if (!view.AskOkCancel(question, kCaption, MessageIcon::Warning)) return;
        const uint32_t status = StatusOf(ctx.Call<CardFn::CardDeleteSeed>(reader, int32_t{profile}));
        if (status == 0) {
            AddResultRow(ctx, true);
        } else if (status == kStatusNoSeed) {
            view.ShowMessage(EmptySeedWarning(profile), kCaption, MessageIcon::Warning);
        } else {
            AddResultRow(ctx, false);
            view.ShowMessage(Failure("operation failed![", status), kCaption, MessageIcon::Error);
        }
    });
}

void CopyOtp(ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char* key) {
        const int profile = ctx.state.m_profile;
        char otp[kOtpBufferSize] = {};
        const uint32_t status = StatusOf(ctx.Call<CardFn::CardReadOTP>(reader, key, int32_t{profile}, otp));
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
    });
}

// The screen commands carry no key; the token is authenticated before them
// all the same, as before every other action.
void LockScreen(ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char*) {
        const uint32_t status = StatusOf(ctx.Call<CardFn::CardScreenLock>(reader));
        if (status == 0)
            ctx.view.ShowMessage(QStringLiteral("Device screen locked"), kHintsCaption, MessageIcon::Information);
        else
            ctx.view.ShowMessage(Failure("Action failed! Feature may be not supported on this device. [", status),
                                 kHintsCaption, MessageIcon::Error);
    });
}

void UnlockScreen(ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char*) {
        const uint32_t status = StatusOf(ctx.Call<CardFn::CardScreenUnLock>(reader));
        if (status == 0)
            ctx.view.ShowMessage(QStringLiteral("Device screen unlocked"), kHintsCaption, MessageIcon::Information);
        else
            ctx.view.ShowMessage(Failure("Action failed![", status), kHintsCaption, MessageIcon::Error);
    });
}

}  // namespace provisor
