#include "provisioning/Provisioning.h"

#include <array>
#include <ctime>
#include <string>

#include "formats/Encodings.h"
#include "session/ProvisorStartup.h"

namespace provisor {

namespace {

// What GetSeed is offered.
constexpr int32_t kProviderSeedCapacity = 96;
// Bytes of the serial number a seed provider is given.
constexpr size_t kProviderSerialMax = 31;

QString Profiled(const char* format, int profile) { return QString::fromLatin1(format).arg(profile); }

// The value of a list entry by its index; anything else means "No change".
template <size_t N>
std::optional<int> Pick(const std::array<int, N>& values, int index) {
    if (index < 0 || static_cast<size_t>(index) >= N) return std::nullopt;
    return values[static_cast<size_t>(index)];
}

SeedSupply Failed(SeedFailure failure, int32_t providerResult = 0) {
    SeedSupply supply;
    supply.failure = failure;
    supply.providerResult = providerResult;
    return supply;
}

SeedSupply DecodeTypedSeed(const std::string& text) {
    // Room for every character the text has, whatever the field allowed.
    SecretBytes seed(text.size() * 5 / 8 + 1);
    size_t length = text.size();
    if (Base32Decode(text.c_str(), &length, seed.data()) == 0) return Failed(SeedFailure::IllegalCharacters);
    seed.Shrink(length);
    SeedSupply supply;
    supply.seed = std::move(seed);
    return supply;
}

}  // namespace

SeedSupply AskSeedProvider(const CardApi& api, std::string serial) {
    if (serial.size() > kProviderSerialMax) serial.resize(kProviderSerialMax);
    SecretBytes seed(kProviderSeedCapacity);
    int32_t length = kProviderSeedCapacity;
    // An empty entry (no provider loaded) is not called: the write fails
    // like a provider that has no seed.
    const auto result =
        api.Call<CardFn::GetSeed>(serial.c_str(), static_cast<int32_t>(serial.size()), seed.data(), &length);
    if (!result || *result != 0) return Failed(SeedFailure::ProviderFailed, result.value_or(0));
    // No bytes at all, or more than the buffer holds (the provider wrote past
    // it or lies): neither is a seed to trust.
    if (length <= 0 || length > kProviderSeedCapacity) return Failed(SeedFailure::ProviderLength);
    seed.Shrink(static_cast<size_t>(length));
    SeedSupply supply;
    supply.seed = std::move(seed);
    return supply;
}

namespace {

void ShowAndCount(const ToolContext& ctx, ProfileAction action, const ProfileWriteResult& result, int profile) {
    ShowNotices(ctx.view, ProfileWriteNotices(action, result, profile));
    if (AddsResultRow(action, result)) AddResultRow(ctx, result.Succeeded());
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

void Present(const ToolContext& ctx, const ActionOutcome& outcome) {
    if (outcome.row && outcome.rowFirst) AddResultRow(ctx, *outcome.row);
    ShowNotices(ctx.view, outcome.notices);
    if (outcome.row && !outcome.rowFirst) AddResultRow(ctx, *outcome.row);
}

Notice AuthenticationNotice(uint32_t status, int profile) {
    return {StatusWords(StatusSource::Authentication, status, profile), kCaption, MessageIcon::Error};
}

uint32_t AuthenticateToken(const ToolContext& ctx) {
    const std::string reader = ctx.session.g_readerName.Get();
    const auto key = ctx.session.g_customerKey.Snapshot();
    const uint32_t status = StatusOf(ctx.Call<CardFn::CardVerify>(reader.c_str(), key->c_str()));
    if (status != CARD_OK) ShowNotices(ctx.view, {AuthenticationNotice(status, ctx.session.m_profile)});
    return status;
}

ProfileWrite ProfileWriteFromForm(const ToolContext& ctx, ProfileAction action) {
    IToolView& view = ctx.view;
    ProfileWrite write;
    write.action = action;
    write.reader = ctx.session.g_readerName.Get();
    write.profile = ctx.session.m_profile;
    write.serialNumber = ctx.session.SerialNumber();
    switch (view.Selection(Control::Algorithm)) {
        case choice::Sha1: write.algorithm = "SHA1"; break;
        case choice::Sha256: write.algorithm = "SHA256"; break;
        default: break;
    }
    write.step = Pick(std::array<int, 2>{30, 60}, view.Selection(Control::TimeStep));
    write.digits = Pick(std::array<int, 4>{4, 6, 8, 10}, view.Selection(Control::OtpLength));
    const auto flag = [&](Control list) -> std::optional<bool> {
        const auto value = Pick(std::array<int, 2>{1, 0}, view.Selection(list));
        return value ? std::optional<bool>(*value == 1) : std::nullopt;
    };
    write.clearSeed = flag(Control::ClearSeed);
    write.autoEnter = flag(Control::EnterKey);
    // "No change" sends an empty time text; the other two the field's,
    // which must then hold one.
    if (view.Selection(Control::TimeMode) != choice::TimeNoChange) {
        write.clock = ClockChoice::Required;
        write.clockText = view.Text(Control::UtcTime).toStdString();
    }
    return write;
}

SeedSupply TakeSourceSeed(const ToolContext& ctx) {
    switch (ctx.session.g_seedSource.load()) {
        case SeedSource::Provider: return AskSeedProvider(ctx.api(), ctx.session.SerialNumber());
        case SeedSource::SeedFile: {
            auto found = ctx.session.seedSources.LookUp(ctx.session.SerialNumber());
            if (!found) return Failed(SeedFailure::NotInSeedFile);
            SeedSupply supply;
            supply.seed = SecretBytes(found->data(), found->size());
            Wipe(*found);
            return supply;
        }
        case SeedSource::Typed:
        case SeedSource::Bulk: break;
    }
    std::string text = ctx.view.Text(Control::Seed).toStdString();
    const WipeOnExit wipe(text);
    return DecodeTypedSeed(text);
}

QString OverwriteQuestion(int profile) {
    return QStringLiteral("This operation will overwrite the seed stored \r\nunder profile #") +
           QStringLiteral("%1. ").arg(profile) + QStringLiteral("Are you sure?");
}

bool OverwriteQuestionPrompt::ConfirmOverwrite(int profile) {
    return m_sink.AskOkCancel(OverwriteQuestion(profile), kCaption, MessageIcon::Warning);
}

ProfileWriteResult WriteProfile(const ToolContext& ctx, const ProfileWrite& write) {
    const auto key = ctx.session.g_customerKey.Snapshot();
    return PerformProfileWrite(ctx.api(), *key, write);
}

std::vector<Notice> ProfileWriteNotices(ProfileAction action, const ProfileWriteResult& result, int profile) {
    const auto error = [](QString text) {
        return std::vector<Notice>{{std::move(text), kCaption, MessageIcon::Error}};
    };
    switch (result.failedStep) {
        case ProfileWriteStep::None:
            if (action != ProfileAction::ApplyConfig) return {};
            return {{Profiled("%1-config success!", profile), kCaption, MessageIcon::Information}};
        case ProfileWriteStep::Authenticate: return {AuthenticationNotice(result.status, profile)};
        case ProfileWriteStep::SeedInput: return error(QStringLiteral("No seed input!"));
        case ProfileWriteStep::ReadInfo:
        case ProfileWriteStep::Configure:
            if (action == ProfileAction::BulkEntry) return {};
            return error(FailureText(QStringLiteral("%1-config failed![").arg(profile), result.status));
        case ProfileWriteStep::SeedSource:
            if (result.seedFailure != SeedFailure::IllegalCharacters) return {};
            return error(QStringLiteral("The seed has illegal characters!"));
        case ProfileWriteStep::SeedFlag:
        case ProfileWriteStep::Burn:
            // The automatic write has nobody watching a row appear; the
            // button press shows its red row.
            if (action != ProfileAction::AutoWrite) return {};
            return error(FailureText(QStringLiteral("%1-CardBurnSeed failed![").arg(profile), result.status));
        case ProfileWriteStep::CheckHeldSeed:
        case ProfileWriteStep::Refused:
        case ProfileWriteStep::Declined: return {};
    }
    return {};
}

bool AddsResultRow(ProfileAction action, const ProfileWriteResult& result) {
    return !(action == ProfileAction::ApplyConfig && result.failedStep == ProfileWriteStep::Authenticate);
}

void ProvisionProfile(const ToolContext& ctx) {
    if (ctx.session.g_readerName.Empty()) return;
    BusyFlag busy(ctx.session);
    if (!busy.Taken()) return;
    IToolView& view = ctx.view;
    view.SetEnabled(Control::Provision, false);
    ProfileWrite write = ProfileWriteFromForm(ctx, ProfileAction::Provision);
    // Always written, an empty field as an empty title.
    write.title = view.Text(Control::Title).toStdString();
    // The field is cleaned up once the token has accepted the key, and then
    // it is what a typed seed is read from.
    std::string typed;
    const WipeOnExit wipe(typed);
    write.seedSupplier.hasInput = [&] {
        const QString seed = RemoveBlanksAndUpperCase(view.Text(Control::Seed));
        view.SetText(Control::Seed, seed);
        typed = seed.toStdString();
        return !seed.isEmpty();
    };
    write.seedSupplier.take = [&] {
        const SeedSource source = ctx.session.g_seedSource;
        return source == SeedSource::Typed || source == SeedSource::Bulk ? DecodeTypedSeed(typed) : TakeSourceSeed(ctx);
    };
    OverwriteQuestionPrompt question(view);
    write.prompt = &question;
    const ProfileWriteResult result = WriteProfile(ctx, write);
    ShowAndCount(ctx, write.action, result, write.profile);
    view.SetEnabled(Control::Provision, true);
}

void ApplyConfigOnly(const ToolContext& ctx) {
    if (ctx.session.g_readerName.Empty()) return;
    BusyFlag busy(ctx.session);
    if (!busy.Taken()) return;
    // The title on the token is left as it is.
    const ProfileWrite write = ProfileWriteFromForm(ctx, ProfileAction::ApplyConfig);
    ShowAndCount(ctx, write.action, WriteProfile(ctx, write), write.profile);
}

void ToggleWriteSeed(const ToolContext& ctx) {
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

void RunAutoWrite(const ToolContext& ctx) {
    const std::time_t started = std::chrono::system_clock::to_time_t(ctx.session.clock.Now());
    ProfileWrite write;
    write.action = ProfileAction::AutoWrite;
    write.reader = ctx.session.g_readerName.Get();
    write.profile = ctx.session.m_profile;
    write.serialNumber = ctx.session.SerialNumber();
    if (write.serialNumber.empty()) {
        ctx.view.ShowMessage(QStringLiteral("No card detected!"), kCaption, MessageIcon::Error);
        return;
    }
    write.seedSupplier.take = [&ctx] { return TakeSourceSeed(ctx); };
    OverwriteQuestionPrompt question(ctx.view);
    write.prompt = &question;
    const ProfileWriteResult result = WriteProfile(ctx, write);
    ShowNotices(ctx.view, ProfileWriteNotices(write.action, result, write.profile));
    ctx.view.SetText(Control::WriteSeed, QStringLiteral("write seed"));
    ctx.session.m_writeArmed = false;
    AddResultRow(ctx, result.Succeeded());
    if (ctx.log) {
        std::tm local{};
        localtime_r(&started, &local);
        // Once: the log stays unwritable, and later lines are skipped.
        if (ctx.log->AppendAutoWrite(local, write.serialNumber, result.Succeeded()) == OperationLog::Append::Failed)
            ctx.view.ShowMessage(LogNotWrittenMessage(ctx.log->Path(), ctx.log->LastError()), kCaption,
                                 MessageIcon::Warning);
    }
    ctx.session.g_writePending = false;
}

void LoadFromFile(const ToolContext& ctx) {
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

bool LoadSeedSource(const ToolContext& ctx, const std::filesystem::path& path, SeedSource source) {
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
