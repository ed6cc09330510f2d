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

void ChangeKey(const ToolContext& ctx) {
    if (ctx.session.g_readerName.Empty()) return;
    IToolView& view = ctx.view;
    const QString newKey = view.Text(Control::HexKey);
    if (!IsNewKeyText(newKey)) {
        view.ShowMessage(kKeyFormatError, kCaption, MessageIcon::Error);
        return;
    }
    if (AuthenticateToken(ctx) != 0) return;
    const std::string reader = ctx.session.g_readerName.Get();
    const auto current = ctx.session.g_customerKey.Snapshot();
    std::string next = newKey.toStdString();
    const WipeOnExit wipe(next);
    const uint32_t status = StatusOf(ctx.Call<CardFn::CardChangeKey>(reader.c_str(), current->c_str(), next.c_str()));
    if (status == 0) {
        // Only the tool's copy: the file keeps the old key until the
        // operator saves the new one through "Access Key".
        ctx.session.g_customerKey.Set(std::string(next));
        view.ShowMessage(kChangeKeySuccess, kCaption, MessageIcon::Information);
    } else {
        view.ShowMessage(RefusalText(status, "Change customer key failed!["), kCaption, MessageIcon::Error);
    }
    AddResultRow(ctx, status == 0);
}

void FactoryReset(const ToolContext& ctx) {
    if (ctx.session.g_readerName.Empty()) return;
    const std::string reader = ctx.session.g_readerName.Get();
    const uint32_t status = StatusOf(ctx.Call<CardFn::CardInitKey>(reader.c_str()));
    if (status != 0) {
        ctx.view.ShowMessage(RefusalText(status, "Init key failed!["), kCaption, MessageIcon::Error);
        return;
    }
    ctx.session.g_customerKey.Set(kFactoryDefaultKey.toStdString());
    // A failure here has shown its own message; the reset itself stands.
    AuthenticateToken(ctx);
    const auto key = ctx.session.g_customerKey.Snapshot();
    ctx.Call<CardFn::CardSetkeypad>(reader.c_str(), key->c_str(), int32_t{0});
    ctx.view.ShowMessage(QStringLiteral("Restore successfully."), kCaption, MessageIcon::Information);
}

}  // namespace provisor
