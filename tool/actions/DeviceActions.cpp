#include "actions/DeviceActions.h"

#include <optional>
#include <string>

#include "formats/Secrets.h"
#include "provisioning/Provisioning.h"

namespace provisor {

namespace {

QString Failure(const char* prefix, uint32_t status) { return FailureText(QLatin1String(prefix), status); }

Notice EmptySeedWarning(int profile) {
    return {StatusWords(StatusSource::ProfileContents, CARD_E_NO_SEED, profile), kCaption, MessageIcon::Warning};
}

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

QString RemoveSeedQuestion(int profile) {
    return QStringLiteral("This operation will remove the seed stored \r\nunder profile #") +
           QStringLiteral("%1. ").arg(profile) + QStringLiteral("Are you sure?");
}

ActionOutcome DeleteProfileSeed(const CardApi& api, const std::string& reader, int profile) {
    ActionOutcome out;
    out.status = StatusOf(api.Call<CardFn::CardDeleteSeed>(reader.c_str(), int32_t{profile}));
    if (out.status == CARD_OK) {
        out.row = true;
    } else if (out.status == CARD_E_NO_SEED) {
        // An empty profile is a warning, not a failure.
        out.notices.push_back(EmptySeedWarning(profile));
    } else {
        out.row = false;
        out.rowFirst = true;
        out.notices.push_back({Failure("operation failed![", out.status), kCaption, MessageIcon::Error});
    }
    return out;
}

OtpOutcome ReadProfileOtp(const CardApi& api, const std::string& reader, const std::string& key, int profile) {
    OtpOutcome out;
    OtpReading read = api.ReadOtp(reader.c_str(), key.c_str(), int32_t{profile});
    out.status = read.status;
    if (out.status == CARD_OK) {
        out.otp = std::move(read.otp);
        out.row = true;
    } else if (out.status == CARD_E_NO_SEED) {
        out.notices.push_back(EmptySeedWarning(profile));
    } else {
        // Told by its red row alone.
        out.row = false;
    }
    return out;
}

void RemoveSeed(const ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char*) {
        const int profile = ctx.session.m_profile;
        if (!ctx.view.AskOkCancel(RemoveSeedQuestion(profile), kCaption, MessageIcon::Warning)) return;
        Present(ctx, DeleteProfileSeed(ctx.api(), reader, profile));
    });
}

void CopyOtp(const ToolContext& ctx) {
    DeviceAction(ctx, true, [&](const char* reader, const char* key) {
        OtpOutcome read = ReadProfileOtp(ctx.api(), reader, key, ctx.session.m_profile);
        const WipeOnExit wipe(read.otp);
        if (read.status == CARD_OK) ctx.view.SetClipboardText(QString::fromLocal8Bit(read.otp));
        Present(ctx, read);
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
