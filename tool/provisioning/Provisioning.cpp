#include "provisioning/Provisioning.h"

#include <array>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "formats/Encodings.h"
#include "session/ProvisorStartup.h"
#include "session/SeedSources.h"
#include "formats/Secrets.h"

namespace provisor {

namespace {

// Room for the 256 characters the seed field takes, as base32.
constexpr size_t kTypedSeedBuffer = 1280;
// What GetSeed is offered.
constexpr int32_t kProviderSeedCapacity = 96;
// Bytes of the serial number a seed provider is given.
constexpr size_t kProviderSerialMax = 31;

QString Profiled(const char* format, int profile) { return QString::fromLatin1(format).arg(profile); }

// The value of a list entry by its index; anything else means "No change".
template <size_t N>
int32_t Pick(const std::array<int32_t, N>& values, int index) {
    return index >= 0 && static_cast<size_t>(index) < N ? values[static_cast<size_t>(index)] : -1;
}

}  // namespace

QString RemoveBlanksAndUpperCase(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (QChar c : text) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) continue;
        if (c >= QLatin1Char('a') && c <= QLatin1Char('z')) c = QChar(c.unicode() - 'a' + 'A');
        out += c;
    }
    return out;
}

uint32_t AuthenticateToken(ToolContext& ctx) {
    const std::string reader = ctx.session.g_readerName.Get();
    const auto key = ctx.session.g_customerKey.Snapshot();
    const uint32_t status = StatusOf(ctx.Call<CardFn::CardVerify>(reader.c_str(), key->c_str()));
    if (status == CARD_OK) return status;
    ctx.view.ShowMessage(StatusWords(StatusSource::Authentication, status, ctx.session.m_profile), kCaption,
                         MessageIcon::Error);
    return status;
}

uint32_t ApplyProfileConfig(ToolContext& ctx, const char* title) {
    IToolView& view = ctx.view;
    std::string timeText;
    if (view.Selection(Control::TimeMode) != choice::TimeNoChange) {
        timeText = view.Text(Control::UtcTime).toStdString();
        if (timeText.empty()) return CARD_E_BAD_ARG;
    }
    const int32_t timeStep = Pick(std::array<int32_t, 2>{30, 60}, view.Selection(Control::TimeStep));
    char algorithm[16] = {};
    switch (view.Selection(Control::Algorithm)) {
        case choice::Sha1: std::strcpy(algorithm, "SHA1"); break;
        case choice::Sha256: std::strcpy(algorithm, "SHA256"); break;
        default: break;
    }
    const int32_t otpLength = Pick(std::array<int32_t, 4>{4, 6, 8, 10}, view.Selection(Control::OtpLength));
    int32_t clearSeed = Pick(std::array<int32_t, 2>{1, 0}, view.Selection(Control::ClearSeed));
    int32_t autoEnter = Pick(std::array<int32_t, 2>{1, 0}, view.Selection(Control::EnterKey));

    const std::string reader = ctx.session.g_readerName.Get();
    const int32_t profile = ctx.session.m_profile;
    int32_t currentClear = 0, currentEnter = 0, keptFlags = 0;
    const uint32_t info =
        StatusOf(ctx.Call<CardFn::CardReadSeedInfo>(reader.c_str(), profile, &currentClear, &currentEnter, &keptFlags));
    if (info != 0) return info;
    if (clearSeed == -1) clearSeed = currentClear;
    if (autoEnter == -1) autoEnter = currentEnter;
    const auto key = ctx.session.g_customerKey.Snapshot();
    return StatusOf(ctx.Call<CardFn::CardConfig>(reader.c_str(), key->c_str(), profile, algorithm, timeStep, otpLength,
                                                 clearSeed, timeText.c_str(), title, autoEnter, keptFlags));
}

uint32_t WriteProfileSeed(ToolContext& ctx) {
    std::string serial = ctx.session.SerialNumber();
    std::vector<uint8_t> seed;
    std::string text;
    const WipeOnExit wipe(seed, text);
    switch (ctx.session.g_seedSource.load()) {
        case SeedSource::Provider: {
            if (serial.size() > kProviderSerialMax) serial.resize(kProviderSerialMax);
            seed.assign(kProviderSeedCapacity, 0);
            int32_t length = kProviderSeedCapacity;
            // An empty entry (no provider loaded) is not called: the write
            // fails like a provider that has no seed.
            const auto result =
                ctx.Call<CardFn::GetSeed>(serial.c_str(), static_cast<int32_t>(serial.size()), seed.data(), &length);
            if (!result || *result != 0) return kSeedWriteAbandoned;
            // A provider claiming more than the buffer holds wrote past it or
            // lies; neither seed can be trusted.
            if (length <= 0 || length > kProviderSeedCapacity) return kSeedWriteAbandoned;
            seed.resize(static_cast<size_t>(length));
            break;
        }
        case SeedSource::SeedFile: {
            auto found = ctx.session.seedSources.LookUp(serial);
            if (!found) return kSeedWriteAbandoned;
            seed.swap(*found);
            break;
        }
        case SeedSource::Typed:
        case SeedSource::Bulk: {
            text = ctx.view.Text(Control::Seed).toStdString();
            seed.assign(kTypedSeedBuffer, 0);
            size_t length = text.size();
            if (Base32Decode(text.c_str(), &length, seed.data()) == 0) {
                ctx.view.ShowMessage(QStringLiteral("The seed has illegal characters!"), kCaption, MessageIcon::Error);
                return kSeedWriteAbandoned;
            }
            seed.resize(length);
            break;
        }
    }

    const std::string reader = ctx.session.g_readerName.Get();
    const int32_t profile = ctx.session.m_profile;
    int32_t present = 0;
    const uint32_t flag = StatusOf(ctx.Call<CardFn::CardGetSeedFlag>(reader.c_str(), profile, &present));
    if (flag != 0) return flag;
    if (present == 1) {
        const QString question = QStringLiteral("This operation will overwrite the seed stored \r\nunder profile #") +
                                 QStringLiteral("%1. ").arg(profile) + QStringLiteral("Are you sure?");
        if (!ctx.view.AskOkCancel(question, kCaption, MessageIcon::Warning)) return kSeedWriteAbandoned;
    }
    const auto key = ctx.session.g_customerKey.Snapshot();
    return StatusOf(ctx.Call<CardFn::CardBurnSeed>(reader.c_str(), key->c_str(), profile, seed.data(),
                                                   static_cast<int32_t>(seed.size())));
}

void ProvisionProfile(ToolContext& ctx) {
    if (ctx.session.g_readerName.Empty()) return;
    BusyFlag busy(ctx.session);
    if (!busy.Taken()) return;
    IToolView& view = ctx.view;
    view.SetEnabled(Control::Provision, false);
    const bool ok = [&] {
        if (AuthenticateToken(ctx) != 0) return false;
        const QString seed = RemoveBlanksAndUpperCase(view.Text(Control::Seed));
        view.SetText(Control::Seed, seed);
        if (seed.isEmpty()) {
            view.ShowMessage(QStringLiteral("No seed input!"), kCaption, MessageIcon::Error);
            return false;
        }
        // Always written, an empty field as an empty title.
        const std::string title = view.Text(Control::Title).toStdString();
        const uint32_t status = ApplyProfileConfig(ctx, title.c_str());
        if (status != 0) {
            view.ShowMessage(QStringLiteral("%1-config failed![%2]").arg(ctx.session.m_profile).arg(StatusHex(status)),
                             kCaption, MessageIcon::Error);
            return false;
        }
        return WriteProfileSeed(ctx) == 0;
    }();
    AddResultRow(ctx, ok);
    view.SetEnabled(Control::Provision, true);
}

void ApplyConfigOnly(ToolContext& ctx) {
    if (ctx.session.g_readerName.Empty()) return;
    BusyFlag busy(ctx.session);
    if (!busy.Taken()) return;
    if (AuthenticateToken(ctx) != 0) return;
    const uint32_t status = ApplyProfileConfig(ctx, nullptr);
    const int profile = ctx.session.m_profile;
    if (status != 0) {
        ctx.view.ShowMessage(QStringLiteral("%1-config failed![%2]").arg(profile).arg(StatusHex(status)), kCaption,
                             MessageIcon::Error);
        AddResultRow(ctx, false);
    } else {
        ctx.view.ShowMessage(Profiled("%1-config success!", profile), kCaption, MessageIcon::Information);
        AddResultRow(ctx, true);
    }
}

void ToggleWriteSeed(ToolContext& ctx) {
    if (ctx.session.g_readerName.Empty()) return;
    IToolView& view = ctx.view;
    const QString seed = RemoveBlanksAndUpperCase(view.Text(Control::Seed));
    view.SetText(Control::Seed, seed);
    view.SetEnabled(Control::WriteSeed, false);
    const SeedSource source = ctx.session.g_seedSource;
    if ((source == SeedSource::Typed || source == SeedSource::Bulk) && seed.isEmpty()) {
        view.ShowMessage(QStringLiteral("Please select a seed file!"), kCaption, MessageIcon::Warning);
        view.SetEnabled(Control::WriteSeed, true);
        return;
    }
    ctx.session.g_writePending = true;
    const bool armed = !ctx.session.m_writeArmed;
    ctx.session.m_writeArmed = armed;
    view.SetText(Control::WriteSeed, armed ? QStringLiteral("Stop") : QStringLiteral("write seed"));
    ctx.session.Pause(kWriteSeedButtonPause);
    view.SetEnabled(Control::WriteSeed, true);
}

void RunAutoWrite(ToolContext& ctx) {
    const std::time_t started = std::chrono::system_clock::to_time_t(ctx.session.clock.Now());
    const std::string serial = ctx.session.SerialNumber();
    if (serial.empty()) {
        ctx.view.ShowMessage(QStringLiteral("No card detected!"), kCaption, MessageIcon::Error);
        return;
    }
    uint32_t status = AuthenticateToken(ctx);
    if (status == 0) {
        status = WriteProfileSeed(ctx);
        if (status != 0 && status != kSeedWriteAbandoned)
            ctx.view.ShowMessage(
                QStringLiteral("%1-CardBurnSeed failed![%2]").arg(ctx.session.m_profile).arg(StatusHex(status)),
                kCaption, MessageIcon::Error);
    }
    ctx.view.SetText(Control::WriteSeed, QStringLiteral("write seed"));
    ctx.session.m_writeArmed = false;
    AddResultRow(ctx, status == 0);
    if (ctx.log) {
        std::tm local{};
        localtime_r(&started, &local);
        // Once: the log stays unwritable, and later lines are skipped.
        if (ctx.log->AppendAutoWrite(local, serial, status == 0) == OperationLog::Append::Failed)
            ctx.view.ShowMessage(LogNotWrittenMessage(ctx.log->Path(), ctx.log->LastError()), kCaption,
                                 MessageIcon::Warning);
    }
    ctx.session.g_writePending = false;
}

void LoadFromFile(ToolContext& ctx) {
    const std::optional<QString> chosen =
        ctx.view.ChooseOpenFile(QStringLiteral("Txt Files (*.txt)|*.txt|Dll Files(*.dll)|*.dll|All Files (*.*)|*.*||"));
    if (!chosen) return;
    const int dot = chosen->lastIndexOf(QLatin1Char('.'));
    const QString extension = dot < 0 ? QString() : chosen->mid(dot).toUpper();
    const std::filesystem::path path = chosen->toStdString();
    if (extension == QStringLiteral(".DLL") || extension == QStringLiteral(".SO"))
        LoadSeedSource(ctx, path, SeedSource::Provider);
    else if (extension == QStringLiteral(".TXT"))
        LoadSeedSource(ctx, path, SeedSource::SeedFile);
    else
        ctx.view.SetText(Control::Seed, *chosen);
}

bool LoadSeedSource(ToolContext& ctx, const std::filesystem::path& path, SeedSource source) {
    ctx.view.SetText(Control::Seed, QString::fromStdString(path.string()));
    bool loaded = false;
    QString failure;
    if (source == SeedSource::Provider) {
        ctx.session.g_seedSource = SeedSource::Provider;
        loaded = ctx.session.seedSources.LoadProvider(ctx.api(), path);
        failure = QStringLiteral("Failed to load dynamic library!");
    } else if (source == SeedSource::SeedFile) {
        ctx.session.g_seedSource = SeedSource::SeedFile;
        loaded = ctx.session.seedSources.LoadSeedTable(path, ctx.session.SerialNumber());
        failure = QStringLiteral("Failed to load seed file!");
    } else {
        return false;
    }
    if (!loaded) {
        ctx.view.ShowMessage(failure, kCaption, MessageIcon::Error);
        ctx.view.SetText(Control::Seed, QString());
    }
    return loaded;
}

}  // namespace provisor
