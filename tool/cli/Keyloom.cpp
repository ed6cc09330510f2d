#include "cli/Keyloom.h"

#include <QJsonArray>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <utility>

#include <PCSC/winscard.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <PCSC/wintypes.h>

#include "accesskey/AccessKeyFlows.h"
#include "formats/BulkFile.h"
#include "import/BulkImportFlow.h"
#include "session/CardLibrary.h"
#include "actions/DeviceActions.h"
#include "cli/Fleet.h"
#include "cli/HeadlessView.h"
#include "cli/Inputs.h"
#include "session/PcscProbe.h"
#include "provisioning/Provisioning.h"
#include "session/ProvisorStartup.h"
#include "formats/SafeText.h"
#include "session/SeedSources.h"
#include "formats/TextFile.h"
#include "cli/Verify.h"
#include "formats/Secrets.h"

namespace keyloom {

using namespace provisor;

namespace {

constexpr uint32_t kStatusStatusWord = 0x00000001u;

// A token or operation failure found before a report could be built.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

std::string Hex8(uint32_t status) { return StatusHex(status).toStdString(); }

QString Q(const std::string& text) { return QString::fromStdString(text); }

// The dialog's start-up without its windows: nothing to show, nothing to
// close.
class NullStartupView final : public IStartupView {
public:
    void CreateResultColumns(const std::vector<ResultColumn>&) override {}
    void ResetSessionState() override {}
    void RequestClose() override {}
};

const char* Level(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Error: return "error";
        case MessageIcon::Warning: return "warning";
        case MessageIcon::Information: return "information";
        case MessageIcon::Question: return "question";
        case MessageIcon::None: break;
    }
    return "none";
}

QJsonArray MessagesJson(const std::vector<RecordedMessage>& messages) {
    QJsonArray out;
    for (const RecordedMessage& m : messages) {
        QJsonObject o{{"text", m.text}, {"caption", m.caption}, {"level", Level(m.icon)}};
        if (m.question) o["answer"] = m.answeredOk ? "ok" : "cancel";
        out.append(o);
    }
    return out;
}

// The last error the flow showed, else its last warning.
std::string FlowCause(const std::vector<RecordedMessage>& messages) {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
        if (!it->question && it->icon == MessageIcon::Error) return OneLine(it->text);
    for (auto it = messages.rbegin(); it != messages.rend(); ++it)
        if (!it->question && it->icon == MessageIcon::Warning) return OneLine(it->text);
    return {};
}

bool Showed(const std::vector<RecordedMessage>& messages, const QString& text) {
    for (const RecordedMessage& m : messages)
        if (m.text == text) return true;
    return false;
}

// A descriptor closed with its owner.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : m_fd(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    ~OwnedFd() { Reset(); }
    int Get() const { return m_fd; }

private:
    void Reset() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    int m_fd = -1;
};

// Inputs checked before any reader or token is touched.
struct Prepared {
    Prepared() = default;
    Prepared(Prepared&&) = default;
    Prepared& operator=(Prepared&&) = default;
    ~Prepared() {
        Wipe(newKey);
        Wipe(keyText);
    }

    SeedInput seed;
    OtpAlgorithm algorithm = OtpAlgorithm::Sha1;
    int digits = 6;
    int step = 30;
    std::string title;
    std::vector<BulkEntry> entries;
    std::vector<int> entryLines;  // file line of each entry, from 1
    std::string newKey;
    std::string keyText;  // from --key-file
    // seed-file and seed-provider: the file as it was checked, open, so
    // that the one loaded is this very file, not whatever its name leads
    // to later (the loader would even search its own path for a bare name).
    OwnedFd sourceFile;
};

std::string DescriptorPath(const OwnedFd& fd) { return "/proc/self/fd/" + std::to_string(fd.Get()); }

// The bulk file as the flow will read it, with the line each entry came
// from and, for a rejected file, the first line at fault.
void PrepareBulk(const std::string& path, Prepared& p) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) throw UsageError("bulk file: " + path + " is a directory");
    std::string text = ReadInput(path, "bulk file", kOperatorFileLimit);
    const WipeOnExit wipe(text);
    std::string_view rest = text;
    int lineNumber = 0;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++lineNumber;
        const size_t before = p.entries.size();
        if (!ParseBulkLine(line, p.entries))
            throw UsageError("File format or data error! (bulk file " + path + ", line " + std::to_string(lineNumber) +
                             ")");
        if (p.entries.size() > before) p.entryLines.push_back(lineNumber);
    }
}

Prepared Prepare(const Options& o) {
    Prepared p;
    if (o.command == Command::Provision) {
        if (o.seedFile) {
            std::string text = ReadInput(*o.seedFile, "--seed-file");
            const WipeOnExit wipe(text);
            p.seed = ParseSeedText(text, "--seed-file");
        } else {
            std::string text = ReadInput(*o.otpauthFile, "--otpauth-file");
            const WipeOnExit wipe(text);
            const OtpauthInput uri = ParseOtpauthText(text, "--otpauth-file");
            p.seed = uri.seed;
            p.algorithm = uri.algorithm;
            p.digits = uri.digits;
            p.step = uri.step;
            p.title = uri.title;
        }
    }
    if (IsProvisioning(o.command)) {
        if (o.algorithm) p.algorithm = *ParseOtpAlgorithm(*o.algorithm);
        if (o.digits) p.digits = *o.digits;
        if (o.step) p.step = *o.step;
        if (o.title) p.title = *o.title;
    }
    if (o.command == Command::SeedFile || o.command == Command::SeedProvider) {
        p.sourceFile = OwnedFd(open(o.file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (p.sourceFile.Get() < 0 || fstat(p.sourceFile.Get(), &st) != 0 || !S_ISREG(st.st_mode))
            throw UsageError((o.command == Command::SeedFile ? "seed file: " : "seed provider: ") + o.file +
                             " is not a readable file");
    }
    if (o.command == Command::Bulk) PrepareBulk(o.file, p);
    const auto key = [](const std::string& path, const char* what) {
        std::string text = ReadInput(path, what);
        const WipeOnExit wipe(text);
        return ParseKeyText(text, what);
    };
    if (o.newKeyFile) p.newKey = key(*o.newKeyFile, "--new-key-file");
    if (o.keyFile) p.keyText = key(*o.keyFile, "--key-file");
    return p;
}

// Readers that hold a token, in the order PC/SC lists them.
struct ReaderScan {
    std::vector<std::string> all;
    std::vector<std::string> withToken;
};

// Whether pcscd answers at all: PC/SC reports "no service" and "no reader"
// alike when listing.
bool PcscServiceAnswers() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
    SCardReleaseContext(context);
    return true;
}

ReaderScan ScanReaders() {
    std::mutex callLock;
    PcscLiteProbe probe(callLock);
    ReaderScan scan;
    const auto readers = probe.ListReaders();
    if (!readers) {
        if (!PcscServiceAnswers()) throw Failure("the PC/SC service (pcscd) does not answer");
        return scan;
    }
    scan.all = *readers;
    for (const std::string& reader : scan.all)
        if (probe.ConnectShared(reader)) scan.withToken.push_back(reader);
    return scan;
}

std::string ChooseReader(const Options& o) {
    if (o.reader) return *o.reader;
    const ReaderScan scan = ScanReaders();
    if (scan.withToken.size() == 1) return scan.withToken.front();
    if (scan.withToken.empty()) throw Failure(scan.all.empty() ? "no PC/SC reader found" : "no reader holds a token");
    std::string names;
    for (const std::string& r : scan.withToken) names += (names.empty() ? "\"" : ", \"") + r + "\"";
    throw UsageError("several readers hold a token (" + names + "): choose one with -r READER");
}

// The library, the configuration and the flows' surroundings for one
// reader.
class Session {
public:
    explicit Session(const Options& o) : m_options(o), m_startup(Environment(o), view, view, m_nullView, session) {}

    void BindLibrary() {
        if (!m_library.Load(ExecutableDirectory()))
            throw Failure(kLoadLibraryFailed.toStdString() + ": " + kCardLibraryName +
                          " is neither beside keyloom nor on the library path");
        api.Resolve([this](const char* name) { return m_library.Symbol(name); });
    }

    // The access key from --key-file, else from the configuration file,
    // which keyloom never creates: there is nobody to ask for a key.
    void LoadKey(const Prepared& p) {
        if (m_options.keyFile) {
            session.g_customerKey.Set(p.keyText);
            return;
        }
        std::error_code ec;
        if (!std::filesystem::exists(m_startup.ConfigPath(), ec))
            throw UsageError("no access key: " + m_startup.ConfigPath().string() +
                             " does not exist (start Provisor once, run keyloom key save, or give --key-file FILE)");
        // A file that cannot be read, or holds a key the tools never stored,
        // is refused before a token could spend a try on it.
        if (!m_startup.LoadCustomerKey()) throw UsageError(FlowCause(view.Messages()));
    }

    // Connects to reader and reads the token's serial number, as "connect"
    // and the card thread do.
    void Connect(const std::string& reader, int profile) {
        session.g_readerName.Set(reader);
        session.m_profile = profile;
        if (!ReadTokenInfo(ctx, profile) || session.SerialNumber().empty())
            throw Failure("no token can be read in reader \"" + reader + "\"");
    }

    ProvisorStartup& Startup() { return m_startup; }

    ToolSession session;
    CardApi& api = session.cardApi;
    HeadlessView view;
    ToolContext ctx{session, view, nullptr};

private:
    static StartupEnvironment Environment(const Options& o) {
        StartupEnvironment env;
        if (o.configDir) env.configDir = *o.configDir;
        return env;
    }

    const Options& m_options;
    CardLibrary m_library;
    NullStartupView m_nullView;
    ProvisorStartup m_startup;
};

QJsonObject TokenJson(Session& s, const std::string& reader) {
    return QJsonObject{{"reader", Q(reader)}, {"serial", Q(s.session.SerialNumber())}};
}

// --- provision, seed-file, seed-provider -----------------------------------

// The provider's GetSeed, wrapped so the seed it handed out for this write
// is known afterwards: a provider may hand out a fresh seed on every call,
// so asking it again to verify would prove nothing.
PFN_GetSeed g_providerGetSeed = nullptr;
std::vector<uint8_t> g_providedSeed;  // cleared once the write is verified
int32_t g_providerResult = 0;
bool g_providerCalled = false;

int32_t CapturingGetSeed(const char* serial, int32_t serialLength, uint8_t* seed, int32_t* length) {
    g_providerCalled = true;
    g_providerResult = g_providerGetSeed(serial, serialLength, seed, length);
    g_providedSeed.clear();
    if (g_providerResult == 0 && length && *length > 0 && *length <= 96) g_providedSeed.assign(seed, seed + *length);
    return g_providerResult;
}

void FillProfileForm(HeadlessView& view, const Options& o, const Prepared& p) {
    view.SetSelection(Control::TimeStep, p.step == 60 ? choice::Step60 : choice::Step30);
    view.SetSelection(Control::Algorithm, p.algorithm == OtpAlgorithm::Sha256 ? choice::Sha256 : choice::Sha1);
    view.SetSelection(Control::OtpLength, p.digits == 4    ? choice::Digits4
                                          : p.digits == 8  ? choice::Digits8
                                          : p.digits == 10 ? choice::Digits10
                                                           : choice::Digits6);
    view.SetSelection(Control::TimeMode, o.setTime ? choice::AutoTime : choice::TimeNoChange);
    view.SetSelection(Control::EnterKey, o.enter ? choice::AutoEnter : choice::NoEnter);
    view.SetSelection(Control::ClearSeed, choice::ClearNo);
    view.SetText(Control::Title, Q(p.title));
}

Outcome RunProvision(const Options& o, const Prepared& p, const std::string& reader) {
    Session s(o);
    s.BindLibrary();
    s.LoadKey(p);
    const int profile = *o.profile;
    FillProfileForm(s.view, o, p);
    s.Connect(reader, profile);
    const std::string serial = s.session.SerialNumber();

    Outcome out;
    QJsonObject token = TokenJson(s, reader);
    QJsonObject item{{"profile", profile}, {"operation", "write"}};
    std::vector<uint8_t> seed = p.seed.bytes;
    const WipeOnExit wipe(seed, g_providedSeed);
    const auto finish = [&](int status, std::string cause, const char* result) {
        item["result"] = result;
        token["profiles"] = QJsonArray{item};
        token["messages"] = MessagesJson(s.view.Messages());
        token["status"] = status;
        token["error"] = cause.empty() ? QJsonValue() : QJsonValue(Q(cause));
        out.status = status;
        out.cause = std::move(cause);
        out.report["tokens"] = QJsonArray{token};
        return out;
    };

    if (o.command == Command::Provision) {
        s.view.SetText(Control::Seed, Q(p.seed.text));
        s.session.g_seedSource = SeedSource::Typed;
    } else {
        const SeedSource source = o.command == Command::SeedFile ? SeedSource::SeedFile : SeedSource::Provider;
        if (!LoadSeedSource(s.ctx, DescriptorPath(p.sourceFile), source)) {
            std::string cause = FlowCause(s.view.Messages());
            cause += source == SeedSource::SeedFile ? " (" + o.file + " has no valid record for serial " + serial + ")"
                                                    : " (" + o.file + " does not load or exports no GetSeed)";
            return finish(kExitUsage, cause, "failed");
        }
        if (source == SeedSource::SeedFile) {
            auto found = s.session.seedSources.LookUp(serial);
            if (found) seed.swap(*found);
        } else {
            g_providerGetSeed = s.api.Get<CardFn::GetSeed>();
            s.api.Set<CardFn::GetSeed>(&CapturingGetSeed);
        }
    }

    // Nobody can be asked before a seed is overwritten, so a profile that
    // holds one is refused before anything is written: the dialog's own
    // question comes only after the new configuration is in, which would
    // leave the old seed under a new algorithm or step.
    if (!o.force) {
        int32_t present = 0;
        const uint32_t status =
            StatusOf(s.ctx.Call<CardFn::CardGetSeedFlag>(reader.c_str(), int32_t{profile}, &present));
        if (status != 0)
            return finish(kExitFailure, std::to_string(profile) + "-cannot read the profile [" + Hex8(status) + "]",
                          "failed");
        if (present == 1)
            return finish(kExitFailure,
                          "profile " + std::to_string(profile) + " already holds a seed; --force overwrites it",
                          "refused");
    }
    s.view.SetAnswerOk(o.force);
    ProvisionProfile(s.ctx);

    const auto rows = s.view.Rows();
    const bool written = rows.size() == 1 && !rows.front().failed;
    if (!rows.empty()) item["state"] = rows.back().state;
    if (!written) {
        std::string cause = FlowCause(s.view.Messages());
        if (cause.empty() && o.command == Command::SeedProvider && g_providerCalled && g_providerResult != 0)
            cause = "the seed provider has no seed for serial " + serial + " (GetSeed returned " +
                    std::to_string(g_providerResult) + ")";
        if (cause.empty() && o.command == Command::SeedProvider && g_providerCalled && g_providedSeed.empty())
            cause = "the seed provider returned an unusable seed length for serial " + serial;
        if (cause.empty()) cause = rows.empty() ? "nothing was written" : OneLine(rows.back().state);
        return finish(kExitFailure, cause, "failed");
    }
    if (o.command == Command::SeedProvider) seed.swap(g_providedSeed);

    if (o.verify) {
        VerifyTarget target{0, profile, false, seed, p.algorithm, p.digits, p.step};
        const VerifyReport verified = VerifyOnToken(s.ctx, {target});
        if (verified.tokenTime) token["tokenTime"] = Q(*verified.tokenTime);
        item["verified"] = verified.results.front().verified;
        item["verification"] = Q(verified.results.front().detail);
        if (!verified.results.front().verified)
            return finish(kExitFailure,
                          "profile " + std::to_string(profile) + " not verified: " + verified.results.front().detail,
                          "success");
    }
    return finish(kExitOk, {}, "success");
}

// --- bulk -------------------------------------------------------------------

Outcome RunBulk(const Options& o, const Prepared& p, const std::string& reader) {
    Session s(o);
    s.BindLibrary();
    s.LoadKey(p);
    s.Connect(reader, 0);

    Outcome out;
    QJsonObject token = TokenJson(s, reader);
    // Exactly the entries read and checked before anything was touched: the
    // file is not read again (standard input could not be, and a file
    // could have changed since).
    BulkRun run;
    StartBulkRun(s.ctx, run, p.entries);
    run.Wait();

    const auto messages = s.view.Messages();
    const auto rows = s.view.Rows();
    token["messages"] = MessagesJson(messages);
    if (rows.empty() && !p.entries.empty()) {
        // Authentication failed: nothing was applied.
        out.status = kExitFailure;
        out.cause = FlowCause(messages);
        if (out.cause.empty()) out.cause = "nothing was applied";
    }

    // The worker adds one row per entry, in order, until a profile cannot be
    // read (the token left): the rest have no row and were not applied.
    QJsonArray items;
    std::vector<VerifyTarget> targets;
    std::map<int, size_t> lastWritten;  // profile -> entry whose write stands
    size_t failed = 0;
    for (size_t i = 0; i < p.entries.size(); ++i) {
        const BulkEntry& e = p.entries[i];
        QJsonObject item{
            {"line", p.entryLines[i]}, {"profile", e.profile}, {"operation", e.deleteOnly ? "delete" : "write"}};
        if (i < rows.size()) {
            item["state"] = rows[i].state;
            item["result"] = rows[i].failed ? "failed" : "success";
            if (rows[i].failed)
                ++failed;
            else
                lastWritten[e.profile] = i;
        } else {
            item["result"] = "not applied";
            ++failed;
        }
        items.append(item);
    }
    if (out.status == kExitOk && failed > 0) {
        out.status = kExitFailure;
        out.cause =
            std::to_string(failed) + " of " + std::to_string(p.entries.size()) + " entries failed or were not applied";
        const std::string flow = FlowCause(messages);
        if (rows.size() < p.entries.size())
            out.cause += " (the run stopped at line " + std::to_string(p.entryLines[rows.size()]) + ")";
        else if (!flow.empty())
            out.cause += " (" + flow + ")";
    }

    if (o.verify && !lastWritten.empty()) {
        for (const auto& [profile, i] : lastWritten) {
            const BulkEntry& e = p.entries[i];
            VerifyTarget t{i,
                           profile,
                           e.deleteOnly != 0,
                           {},
                           ParseOtpAlgorithm(e.algorithm).value_or(OtpAlgorithm::Sha1),
                           e.otpLength,
                           e.timeStep};
            t.seed.assign(e.seed, e.seed + e.seedLength);
            targets.push_back(std::move(t));
        }
        // File order, so a person reads the results as the lines were applied.
        std::sort(targets.begin(), targets.end(),
                  [](const VerifyTarget& a, const VerifyTarget& b) { return a.item < b.item; });
        const VerifyReport verified = VerifyOnToken(s.ctx, targets);
        if (verified.tokenTime) token["tokenTime"] = Q(*verified.tokenTime);
        size_t notVerified = 0;
        for (size_t k = 0; k < targets.size(); ++k) {
            QJsonObject item = items[static_cast<qsizetype>(targets[k].item)].toObject();
            item["verified"] = verified.results[k].verified;
            item["verification"] = Q(verified.results[k].detail);
            items[static_cast<qsizetype>(targets[k].item)] = item;
            if (!verified.results[k].verified) ++notVerified;
        }
        // A successful entry whose profile a later line wrote again.
        for (size_t i = 0; i < rows.size() && i < p.entries.size(); ++i) {
            if (rows[i].failed || lastWritten[p.entries[i].profile] == i) continue;
            QJsonObject item = items[static_cast<qsizetype>(i)].toObject();
            item["verified"] = QJsonValue();
            item["verification"] =
                Q("superseded by line " + std::to_string(p.entryLines[lastWritten[p.entries[i].profile]]));
            items[static_cast<qsizetype>(i)] = item;
        }
        if (notVerified > 0 && out.status != kExitUsage) {
            const std::string v =
                std::to_string(notVerified) + " profile" + (notVerified == 1 ? "" : "s") + " not verified";
            out.cause = out.status == kExitOk ? v : out.cause + "; " + v;
            out.status = kExitFailure;
        }
    }
    token["profiles"] = items;
    token["status"] = out.status;
    token["error"] = out.cause.empty() ? QJsonValue() : QJsonValue(Q(out.cause));
    out.report["tokens"] = QJsonArray{token};
    return out;
}

// --- info, readers ----------------------------------------------------------

std::string UtcText(std::time_t t) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

Outcome RunInfo(const Options& o, const std::string& reader) {
    Session s(o);
    s.BindLibrary();
    s.session.g_readerName.Set(reader);
    Outcome out;
    QJsonObject& r = out.report;
    r["reader"] = Q(reader);

    char serial[32] = {};
    uint32_t serialLength = sizeof serial;
    char clock[64] = {};
    uint32_t clockLength = sizeof clock;
    const auto before = std::chrono::system_clock::now();
    const uint32_t status = StatusOf(
        s.ctx.Call<CardFn::CardReadSnAndTime>(reader.c_str(), int32_t{0}, serial, &serialLength, clock, &clockLength));
    const auto after = std::chrono::system_clock::now();
    if (status != 0) throw Failure("no token can be read in reader \"" + reader + "\" [" + Hex8(status) + "]");
    const std::string serialText(serial, strnlen(serial, std::min<size_t>(serialLength, sizeof serial)));
    const std::string clockText(clock, strnlen(clock, std::min<size_t>(clockLength, sizeof clock)));
    const double hostTime = std::chrono::duration<double>((before + (after - before) / 2).time_since_epoch()).count();
    r["serial"] = Q(serialText);
    r["tokenTime"] = Q(clockText);
    r["hostTime"] = Q(UtcText(static_cast<std::time_t>(hostTime)));
    if (const auto tokenTime = ParseClockText(clockText))
        r["driftSeconds"] = static_cast<qint64>(std::llround(static_cast<double>(*tokenTime) - hostTime));
    else
        r["driftSeconds"] = QJsonValue();

    // The library reports no profile count: the first profile the token
    // refuses ends the list (a 50-profile token refuses 50).
    QJsonArray profiles;
    int count = 0;
    for (int profile = 0; profile < 100; ++profile) {
        int32_t present = 0;
        const uint32_t flag = StatusOf(s.ctx.Call<CardFn::CardGetSeedFlag>(reader.c_str(), int32_t{profile}, &present));
        if (flag == kStatusStatusWord && profile > 0) break;
        if (flag != 0) throw Failure("profile " + std::to_string(profile) + " cannot be read [" + Hex8(flag) + "]");
        QJsonObject p{{"profile", profile}, {"seed", present == 1}};
        if (present == 1) {
            int32_t clearSeed = 0, autoEnter = 0, kept = 0;
            const uint32_t info = StatusOf(
                s.ctx.Call<CardFn::CardReadSeedInfo>(reader.c_str(), int32_t{profile}, &clearSeed, &autoEnter, &kept));
            if (info != 0) throw Failure("profile " + std::to_string(profile) + " cannot be read [" + Hex8(info) + "]");
            // Not in anything the token command library reads back.
            p["algorithm"] = QJsonValue();
            p["digits"] = QJsonValue();
            p["step"] = QJsonValue();
            p["autoEnter"] = autoEnter == 1;
            p["clearSeed"] = clearSeed == 1;
        }
        profiles.append(p);
        count = profile + 1;
    }
    r["profileCount"] = count;
    r["profiles"] = profiles;
    return out;
}

Outcome RunReaders() {
    Outcome out;
    const ReaderScan scan = ScanReaders();
    QJsonArray readers;
    CardLibrary library;
    CardApi api;
    const bool bound = library.Load(ExecutableDirectory());
    if (bound) api.Resolve([&](const char* name) { return library.Symbol(name); });
    for (const std::string& reader : scan.all) {
        const bool token = std::find(scan.withToken.begin(), scan.withToken.end(), reader) != scan.withToken.end();
        QJsonObject r{{"reader", Q(reader)}, {"token", token}, {"serial", QJsonValue()}};
        if (token && bound) {
            char serial[32] = {};
            uint32_t serialLength = sizeof serial;
            char clock[64] = {};
            uint32_t clockLength = sizeof clock;
            const auto status = api.Call<CardFn::CardReadSnAndTime>(reader.c_str(), int32_t{0}, serial, &serialLength,
                                                                    clock, &clockLength);
            if (status && *status == 0)
                r["serial"] = Q(std::string(serial, strnlen(serial, std::min<size_t>(serialLength, sizeof serial))));
        }
        readers.append(r);
    }
    out.report["readers"] = readers;
    if (!bound) {
        out.status = kExitFailure;
        out.cause = kLoadLibraryFailed.toStdString() + ": serial numbers cannot be read";
    }
    return out;
}

// --- otp, delete, key -------------------------------------------------------

Outcome RunOtp(const Options& o, const Prepared& p, const std::string& reader) {
    Session s(o);
    s.BindLibrary();
    s.LoadKey(p);
    s.Connect(reader, *o.profile);
    CopyOtp(s.ctx);
    Outcome out;
    out.report = TokenJson(s, reader);
    out.report["profile"] = *o.profile;
    out.report["messages"] = MessagesJson(s.view.Messages());
    const auto rows = s.view.Rows();
    const auto otp = s.view.Clipboard();
    if (rows.size() == 1 && !rows.front().failed && otp) {
        out.report["otp"] = *otp;
        return out;
    }
    out.report["otp"] = QJsonValue();
    out.status = kExitFailure;
    out.cause = FlowCause(s.view.Messages());
    if (out.cause.empty()) out.cause = rows.empty() ? "no password was read" : OneLine(rows.back().state);
    return out;
}

Outcome RunDelete(const Options& o, const Prepared& p, const std::string& reader) {
    Session s(o);
    s.BindLibrary();
    s.LoadKey(p);
    s.Connect(reader, *o.profile);
    // The command is the operator's answer to "Are you sure?".
    s.view.SetAnswerOk(true);
    RemoveSeed(s.ctx);
    Outcome out;
    out.report = TokenJson(s, reader);
    out.report["profile"] = *o.profile;
    const auto messages = s.view.Messages();
    out.report["messages"] = MessagesJson(messages);
    const auto rows = s.view.Rows();
    if (rows.size() == 1 && !rows.front().failed) {
        out.report["result"] = "deleted";
    } else if (rows.empty() &&
               Showed(messages, QStringLiteral("Warning,empty seed under profile #%1.").arg(*o.profile))) {
        out.report["result"] = "empty";
    } else {
        out.report["result"] = "failed";
        out.status = kExitFailure;
        out.cause = FlowCause(messages);
        if (out.cause.empty()) out.cause = rows.empty() ? "the seed was not removed" : OneLine(rows.back().state);
    }
    return out;
}

Outcome RunKey(const Options& o, const Prepared& p) {
    Session s(o);
    Outcome out;
    if (o.command == Command::KeySave) {
        // An installed keyloom keeps the file in ~/.config/norvik2, as
        // Provisor does; that directory may not exist yet. It is the
        // owner's alone, like the file.
        const std::filesystem::path dir = s.Startup().ConfigPath().parent_path();
        std::error_code ec;
        if (!dir.empty() && !std::filesystem::exists(dir, ec) && std::filesystem::create_directories(dir, ec))
            chmod(dir.c_str(), S_IRWXU);
        s.view.SetAccessKeyAnswer(Q(p.newKey));
        OnAccessKeyMenu(s.ctx, s.Startup());
        out.report["configFile"] = Q(s.Startup().ConfigPath().string());
        out.report["messages"] = MessagesJson(s.view.Messages());
        out.report["saved"] = s.view.Messages().empty();
        if (!s.view.Messages().empty()) {
            out.status = kExitFailure;
            out.cause = FlowCause(s.view.Messages());
        }
        return out;
    }
    const std::string reader = ChooseReader(o);
    s.BindLibrary();
    if (o.command == Command::KeyChange) s.LoadKey(p);
    s.Connect(reader, 0);
    out.report = TokenJson(s, reader);
    bool changed = false;
    std::string newKey;
    if (o.command == Command::KeyChange) {
        s.view.SetText(Control::HexKey, Q(p.newKey));
        ChangeKey(s.ctx);
        const auto rows = s.view.Rows();
        changed = rows.size() == 1 && !rows.front().failed;
        newKey = p.newKey;
    } else {
        FactoryReset(s.ctx);
        changed = Showed(s.view.Messages(), QStringLiteral("Restore successfully."));
        newKey = s.session.g_customerKey.Get();
    }
    out.report["changed"] = changed;
    bool saved = false;
    if (changed && o.save) {
        saved = s.Startup().SaveCustomerKey(newKey);
        if (!saved) {
            out.status = kExitFailure;
            out.cause = "the token's key was changed, but " + s.Startup().ConfigPath().string() +
                        " could not be written: save the key with keyloom key save";
        }
    }
    out.report["saved"] = saved;
    out.report["messages"] = MessagesJson(s.view.Messages());
    if (!changed) {
        out.status = kExitFailure;
        out.cause = FlowCause(s.view.Messages());
        if (out.cause.empty()) out.cause = "the key was not changed";
    }
    return out;
}

Outcome Dispatch(const Options& o, const std::vector<std::string>& args) {
    if (o.command == Command::Readers) return RunReaders();
    const Prepared p = Prepare(o);
    switch (o.command) {
        case Command::Info: return RunInfo(o, ChooseReader(o));
        case Command::Provision:
        case Command::SeedFile:
        case Command::SeedProvider:
        case Command::Bulk: {
            if (o.allReaders) {
                // The key is checked here once; every worker loads it again.
                if (!o.keyFile) Session(o).LoadKey(p);
                const ReaderScan scan = ScanReaders();
                if (scan.withToken.empty())
                    throw Failure(scan.all.empty() ? "no PC/SC reader found" : "no reader holds a token");
                return RunFleet(o, args, scan.withToken, StandardInputRead());
            }
            const std::string reader = ChooseReader(o);
            return o.command == Command::Bulk ? RunBulk(o, p, reader) : RunProvision(o, p, reader);
        }
        case Command::Otp: return RunOtp(o, p, ChooseReader(o));
        case Command::Delete: return RunDelete(o, p, ChooseReader(o));
        case Command::KeyChange:
        case Command::KeyReset:
        case Command::KeySave: return RunKey(o, p);
        default: break;
    }
    throw UsageError("no command given");
}

}  // namespace

std::string OneLine(const QString& text) { return EscapeControlCharacters(text.simplified().toStdString()); }

Outcome UsageOutcome(const std::string& commandName, const std::string& cause) {
    Outcome out;
    out.status = kExitUsage;
    out.cause = cause;
    out.report = QJsonObject{{"command", commandName.empty() ? QJsonValue() : QJsonValue(Q(commandName))},
                             {"status", kExitUsage},
                             {"error", Q(cause)}};
    return out;
}

Outcome RunCommand(const Options& options, const std::vector<std::string>& args) {
    Outcome out;
    try {
        out = Dispatch(options, args);
    } catch (const UsageError& e) {
        return UsageOutcome(options.commandName, e.what());
    } catch (const Failure& e) {
        out = Outcome{};
        out.status = kExitFailure;
        out.cause = e.what();
    }
    out.report["command"] = Q(options.commandName);
    out.report["status"] = out.status;
    out.report["error"] = out.cause.empty() ? QJsonValue() : QJsonValue(Q(out.cause));
    return out;
}

}  // namespace keyloom
