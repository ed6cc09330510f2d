#include "actions/DeviceActions.h"

#include <cstring>
#include <optional>
#include <string>

#include "formats/Secrets.h"
#include "provisioning/Provisioning.h"

namespace provisor {

namespace {

QString Failure(const char* prefix, uint32_t status) { return FailureText(QLatin1String(prefix), status); }

QString EmptySeedWarning(int profile) { return StatusWords(StatusSource::ProfileContents, CARD_E_NO_SEED, profile); }

// What every action does first: nothing without a connected reader, nothing
// while another action holds the busy flag (for those that take it), and
// nothing after a failed authentication, whose message has been shown. Then
// body(reader, key).
template <typename Body>
void DeviceAction(const ToolContext& ctx, bool takesBusyFlag, Body&& body) {
    if (ctx.session.g_readerName.Empty()) return;
    std::optional<BusyFlag> busy;
    if (takesBusyFlag) {
        busy.emplace(ctx.session);
        if (!busy->Taken()) return;
    }
    if (AuthenticateToken(ctx) != 0) return;
    const std::string reader = ctx.session.g_readerName.Get();
    const auto key = ctx.session.g_customerKey.Snapshot();
    body(reader.c_str(), key->c_str());
}

void ShowConfigResult(const ToolContext& ctx, uint32_t status) {
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

void SetTitleOnly(const ToolContext& ctx) {
    DeviceAction(ctx, false, [&](const char* reader, const char* key) {
        // The byte count of the text sent, so a title with characters outside
        // ASCII is sent whole (and refused by the library when too long)
        // instead of being cut after as many bytes as it has characters.
        const std::string title = ctx.view.Text(Control::Title).toStdString();
        const int profile = ctx.session.m_profile;
        const uint32_t status = StatusOf(ctx.Call<CardFn::CardChgPrompt>(reader, key, int32_t{profile}, title.c_str(),
                                                                         static_cast<uint32_t>(title.size())));
        if (status == 0)
            ctx.view.ShowMessage(QStringLiteral("%1-Change prompt success!").arg(profile), kCaption,
                                 MessageIcon::Information);
        else
            ctx.view.ShowMessage(FailureText(QStringLiteral("%1-Change prompt failed![").arg(profile), status),
                                 kCaption, MessageIcon::Error);
    });
}

void ChangeDisplayOffTime(const ToolContext& ctx) {
    DeviceAction(ctx, false, [&](const char* reader, const char* key) {
        const int32_t seconds = DisplayOffSeconds(ctx.view.Selection(Control::DisplayOff));
        ShowConfigResult(ctx, StatusOf(ctx.Call<CardFn::CardSetStandbyTime>(reader, key, seconds)));
    });
}

void SetKeypadMode(const ToolContext& ctx) {
    // The box as it stood when "Set" was pressed.
    const int32_t mode = ctx.view.IsChecked(Control::Keypad) ? 1 : 0;
    DeviceAction(ctx, true, [&](const char* reader, const char* key) {
        ShowConfigResult(ctx, StatusOf(ctx.Call<CardFn::CardSetkeypad>(reader, key, mode)));
    });
}

void RemoveSeed(const ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char*) {
        IToolView& view = ctx.view;
        const int profile = ctx.session.m_profile;
        const QString question = QStringLiteral("This operation will remove the seed stored \r\nunder profile #") +
                                 QStringLiteral("%1. ").arg(profile) + QStringLiteral("Are you sure?");
        if (!view.AskOkCancel(question, kCaption, MessageIcon::Warning)) return;
        const uint32_t status = StatusOf(ctx.Call<CardFn::CardDeleteSeed>(reader, int32_t{profile}));
        if (status == 0) {
            AddResultRow(ctx, true);
        } else if (status == CARD_E_NO_SEED) {
            view.ShowMessage(EmptySeedWarning(profile), kCaption, MessageIcon::Warning);
        } else {
            AddResultRow(ctx, false);
            view.ShowMessage(Failure("operation failed![", status), kCaption, MessageIcon::Error);
        }
    });
}

void CopyOtp(const ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char* key) {
        const int profile = ctx.session.m_profile;
        OtpReading read = ctx.api().ReadOtp(reader, key, int32_t{profile});
        const uint32_t status = read.status;
        if (status == CARD_OK) {
            ctx.view.SetClipboardText(QString::fromLocal8Bit(read.otp));
            Wipe(read.otp);
            AddResultRow(ctx, true);
        } else if (status == CARD_E_NO_SEED) {
            ctx.view.ShowMessage(EmptySeedWarning(profile), kCaption, MessageIcon::Warning);
        } else {
            AddResultRow(ctx, false);
        }
    });
}

// The screen commands carry no key; the token is authenticated before them
// all the same, as before every other action.
void LockScreen(const ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char*) {
        const uint32_t status = StatusOf(ctx.Call<CardFn::CardScreenLock>(reader));
        if (status == 0)
            ctx.view.ShowMessage(QStringLiteral("Device screen locked"), kHintsCaption, MessageIcon::Information);
        else
            ctx.view.ShowMessage(Failure("Action failed! Feature may be not supported on this device. [", status),
                                 kHintsCaption, MessageIcon::Error);
    });
}

void UnlockScreen(const ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char*) {
        const uint32_t status = StatusOf(ctx.Call<CardFn::CardScreenUnLock>(reader));
        if (status == 0)
            ctx.view.ShowMessage(QStringLiteral("Device screen unlocked"), kHintsCaption, MessageIcon::Information);
        else
            ctx.view.ShowMessage(Failure("Action failed![", status), kHintsCaption, MessageIcon::Error);
    });
}

}  // namespace provisor
