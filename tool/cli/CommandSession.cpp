#include "cli/CommandSession.h"

#include <QJsonObject>

#include <system_error>

#include "cli/Keyloom.h"
#include "provisioning/Provisioning.h"

namespace keyloom {

using namespace provisor;

namespace {

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

StartupEnvironment Environment(const Options& o) {
    StartupEnvironment env;
    if (o.configDir) env.configDir = *o.configDir;
    return env;
}

}  // namespace

void CommandRecord::ShowMessage(const QString& text, const QString& caption, MessageIcon icon) {
    m_messages.push_back({{text, caption, icon}, false, false});
}

bool CommandRecord::AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) {
    m_messages.push_back({{text, caption, icon}, true, m_answerOk});
    return m_answerOk;
}

bool CommandRecord::ConfirmOverwrite(int profile) {
    return AskOkCancel(OverwriteQuestion(profile), kCaption, MessageIcon::Warning);
}

void CommandRecord::Add(const std::vector<Notice>& notices) {
    for (const Notice& n : notices) ShowMessage(n.text, n.caption, n.icon);
}

QJsonArray CommandRecord::Json() const {
    QJsonArray out;
    for (const RecordedMessage& m : m_messages) {
        QJsonObject o{{"text", m.notice.text}, {"caption", m.notice.caption}, {"level", Level(m.notice.icon)}};
        if (m.question) o["answer"] = m.answeredOk ? "ok" : "cancel";
        out.append(o);
    }
    return out;
}

std::string CommandRecord::Cause() const {
    for (const MessageIcon level : {MessageIcon::Error, MessageIcon::Warning})
        for (auto it = m_messages.rbegin(); it != m_messages.rend(); ++it)
            if (!it->question && it->notice.icon == level) return OneLine(it->notice.text);
    return {};
}

CommandSession::CommandSession(const Options& options)
    : m_options(options), m_startup(Environment(options), m_record, m_record, m_nullView, m_session) {}

void CommandSession::BindLibrary() {
    if (!m_library.Load(ExecutableDirectory()))
        throw Failure(kLoadLibraryFailed.toStdString() + ": " + kCardLibraryName +
                      " is neither beside keyloom nor on the library path");
    m_session.cardApi.Resolve([this](const char* name) { return m_library.Symbol(name); });
}

void CommandSession::LoadKey(const Prepared& prepared) {
    if (m_options.keyFile) {
        m_session.g_customerKey.Set(prepared.keyText);
        return;
    }
    std::error_code ec;
    if (!std::filesystem::exists(m_startup.ConfigPath(), ec))
        throw UsageError("no access key: " + m_startup.ConfigPath().string() +
                         " does not exist (start Provisor once, run keyloom key save, or give --key-file FILE)");
    // A file that cannot be read, or holds a key the tools never stored, is
    // refused before a token could spend a try on it.
    if (!m_startup.LoadCustomerKey()) throw UsageError(m_record.Cause());
}

void CommandSession::Connect(const std::string& reader, int profile) {
    m_reader = reader;
    m_session.g_readerName.Set(reader);
    m_session.m_profile = profile;
    const SerialAndClock token = m_session.cardApi.ReadSnAndTime(reader.c_str(), profile);
    if (!token.Ok() || token.serial.empty()) throw Failure("no token can be read in reader \"" + reader + "\"");
    m_serial = token.serial;
    m_session.SetTokenInfo({token.serial, token.clock});
}

void CommandSession::Open(const Prepared& prepared, const std::string& reader, int profile) {
    BindLibrary();
    LoadKey(prepared);
    Connect(reader, profile);
}

bool CommandSession::Authenticate(int profile) {
    const uint32_t status = StatusOf(m_session.cardApi.Call<CardFn::CardVerify>(m_reader.c_str(), Key().c_str()));
    if (status != CARD_OK) m_record.Add({AuthenticationNotice(status, profile)});
    return status == CARD_OK;
}

QJsonObject TokenJson(const std::string& reader, const std::string& serial) {
    return QJsonObject{{"reader", Q(reader)}, {"serial", Q(serial)}};
}

QString Q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace keyloom
