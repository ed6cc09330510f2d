#include "accesskey/AccessKeyFlows.h"

#include <string>
#include <string_view>

#include "accesskey/AccessKeyEntry.h"
#include "formats/Encodings.h"
#include "provisioning/Provisioning.h"
#include "session/ProvisorStartup.h"
#include "formats/Secrets.h"

namespace provisor {

namespace {

std::u16string_view View16(const QString& text) {
    return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())};
}

bool IsNewKeyText(const QString& text) { return text.size() <= kAccessKeyMaxChars && IsHexText(View16(text)); }

// The token asks its user to confirm a key change or reset on the device;
// those two answers get words of their own.
QString RefusalText(uint32_t status, const char* prefix) {
    return StatusMessage(StatusSource::ConfirmOnToken, status, 0, QLatin1String(prefix));
}

}  // namespace

void OnAccessKeyMenu(const ToolContext& ctx, ProvisorStartup& startup) {
    const std::optional<QString> key = ctx.view.AskAccessKey();
    if (!key) return;
    std::string text = key->toStdString();
    if (!startup.SaveCustomerKey(text)) {
        // The key is still taken for this session: the operator asked for
        // it, and the token may already hold it. Only the next start would
        // fall back to the old one, so say so while it can be mended.
        ctx.view.ShowMessage(KeyNotSavedMessage(startup.ConfigPath()), kCaption, MessageIcon::Warning);
    }
    ctx.session.g_customerKey.Set(std::move(text));
}

void OnAsciiKeyChanged(const ToolContext& ctx) {
    // Not cut at the field's 32 characters: an over-long key is refused by
    // "change key" with its format message rather than silently shortened.
    const QString ascii = ctx.view.Text(Control::AsciiKey);
    const std::u16string hex = AsciiToHexText(View16(ascii));
    ctx.view.SetText(Control::HexKey, QString::fromStdU16String(hex));
}

ActionOutcome ChangeTokenKey(const CardApi& api, const std::string& reader, const std::string& currentKey,
                             const std::string& newKey) {
    ActionOutcome out;
    out.status = StatusOf(api.Call<CardFn::CardChangeKey>(reader.c_str(), currentKey.c_str(), newKey.c_str()));
    if (out.status == CARD_OK)
        out.notices.push_back({kChangeKeySuccess, kCaption, MessageIcon::Information});
    else
        out.notices.push_back({RefusalText(out.status, "Change customer key failed!["), kCaption, MessageIcon::Error});
    out.row = out.status == CARD_OK;
    return out;
}

ActionOutcome ResetTokenKey(const CardApi& api, const std::string& reader, int profile) {
    ActionOutcome out;
    out.status = StatusOf(api.Call<CardFn::CardInitKey>(reader.c_str()));
    if (out.status != CARD_OK) {
        out.notices.push_back({RefusalText(out.status, "Init key failed!["), kCaption, MessageIcon::Error});
        return out;
    }
    const std::string key = kFactoryDefaultKey.toStdString();
    // A refused authentication is told; the reset itself stands.
    const uint32_t verified = StatusOf(api.Call<CardFn::CardVerify>(reader.c_str(), key.c_str()));
    if (verified != CARD_OK) out.notices.push_back(AuthenticationNotice(verified, profile));
    api.Call<CardFn::CardSetkeypad>(reader.c_str(), key.c_str(), int32_t{0});
    out.notices.push_back({QStringLiteral("Restore successfully."), kCaption, MessageIcon::Information});
    return out;
}

void ChangeKey(const ToolContext& ctx) {
    if (ctx.session.g_readerName.Empty()) return;
    const QString newKey = ctx.view.Text(Control::HexKey);
    if (!IsNewKeyText(newKey)) {
        ctx.view.ShowMessage(kKeyFormatError, kCaption, MessageIcon::Error);
        return;
    }
    if (AuthenticateToken(ctx) != 0) return;
    std::string next = newKey.toStdString();
    const WipeOnExit wipe(next);
    const ActionOutcome out =
        ChangeTokenKey(ctx.api(), ctx.session.g_readerName.Get(), *ctx.session.g_customerKey.Snapshot(), next);
    // Only the tool's copy: the file keeps the old key until the operator
    // saves the new one through "Access Key".
    if (out.status == CARD_OK) ctx.session.g_customerKey.Set(std::string(next));
    Present(ctx, out);
}

void FactoryReset(const ToolContext& ctx) {
    if (ctx.session.g_readerName.Empty()) return;
    const ActionOutcome out = ResetTokenKey(ctx.api(), ctx.session.g_readerName.Get(), ctx.session.m_profile);
    if (out.status == CARD_OK) ctx.session.g_customerKey.Set(kFactoryDefaultKey.toStdString());
    Present(ctx, out);
}

}  // namespace provisor
