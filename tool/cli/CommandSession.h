// What every keyloom command that talks to a token stands on: its own
// session with the token command library bound, the access key, the token
// in the chosen reader, and the record of the messages the dialog would
// have shown, which the report carries and its cause is taken from.
#pragma once

#include <QJsonArray>
#include <QString>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "cli/Prepared.h"
#include "provisioning/ProfileWrite.h"
#include "session/CardLibrary.h"
#include "session/ProvisorStartup.h"
#include "session/ToolSession.h"
#include "session/UserPrompts.h"

namespace keyloom {

// A token or operation failure found before a report could be built: exit
// status 1 with the text as its cause.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RecordedMessage {
    provisor::Notice notice;
    bool question = false;
    bool answeredOk = false;
};

// The messages and questions of a command, in order. Start-up reports
// through it; nobody can be asked, so questions get the answer decided
// beforehand.
class CommandRecord final : public provisor::IMessageSink,
                            public provisor::IAccessKeyPrompt,
                            public provisor::IOverwritePrompt {
public:
    void ShowMessage(const QString& text, const QString& caption, provisor::MessageIcon icon) override;
    bool AskOkCancel(const QString& text, const QString& caption, provisor::MessageIcon icon) override;
    std::optional<QString> AskAccessKey() override { return std::nullopt; }
    // The dialog's overwrite question, answered as the command was told.
    bool ConfirmOverwrite(int profile) override;

    void Add(const std::vector<provisor::Notice>& notices);
    void SetAnswer(bool ok) { m_answerOk = ok; }

    const std::vector<RecordedMessage>& Messages() const { return m_messages; }
    QJsonArray Json() const;
    // The last error shown, else the last warning, as one line; empty when
    // there was neither.
    std::string Cause() const;

private:
    std::vector<RecordedMessage> m_messages;
    bool m_answerOk = false;
};

class CommandSession {
public:
    explicit CommandSession(const Options& options);

    // libQuillon.so beside keyloom or on the loader's path.
    void BindLibrary();
    // The access key from --key-file, else from the configuration file,
    // which keyloom never creates: there is nobody to ask for a key.
    void LoadKey(const Prepared& prepared);
    // Reads the serial number of the token in reader, as "connect" and the
    // card thread do; the command's calls go to that reader from then on.
    void Connect(const std::string& reader, int profile);
    // All three, for a command on one profile of the token in reader.
    void Open(const Prepared& prepared, const std::string& reader, int profile);
    // CardVerify with the access key, as every action starts; a refusal is
    // recorded in the dialog's words (profile names the profile in them).
    bool Authenticate(int profile);

    provisor::ToolSession& Session() { return m_session; }
    const provisor::CardApi& Api() const { return m_session.cardApi; }
    const std::string& Reader() const { return m_reader; }
    const std::string& Serial() const { return m_serial; }
    std::string Key() const { return m_session.g_customerKey.Get(); }
    provisor::ProvisorStartup& Startup() { return m_startup; }
    CommandRecord& Record() { return m_record; }

private:
    class NullStartupView final : public provisor::IStartupView {
    public:
        void CreateResultColumns(const std::vector<provisor::ResultColumn>&) override {}
        void ResetSessionState() override {}
        void RequestClose() override {}
    };

    const Options& m_options;
    provisor::ToolSession m_session;
    CommandRecord m_record;
    NullStartupView m_nullView;
    provisor::CardLibrary m_library;
    provisor::ProvisorStartup m_startup;
    std::string m_reader;
    std::string m_serial;
};

// "reader" and "serial" of a token's part of a report.
QJsonObject TokenJson(const std::string& reader, const std::string& serial);

QString Q(const std::string& text);

}  // namespace keyloom
