// The main dialog as keyloom plays it: the form's fields are filled from the
// command line, every message box and question is recorded instead of
// shown, and the result rows are collected for the report. The flows run
// unchanged against it, so their texts and library calls are the dialog's.
#pragma once

#include <QString>

#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "session/ToolView.h"
#include "session/UserPrompts.h"

namespace keyloom {

using provisor::Control;
using provisor::MessageIcon;

struct RecordedMessage {
    QString text;
    QString caption;
    MessageIcon icon = MessageIcon::None;
    bool question = false;
    bool answeredOk = false;
};

class HeadlessView final : public provisor::IToolView, public provisor::IAccessKeyPrompt {
public:
    // The dialog's selections at start, except that nothing is chosen for the
    // time and the Enter key: the command line says what it wants.
    HeadlessView();

    void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) override;
    // Nobody is there to ask: the answer is decided beforehand.
    bool AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) override;
    // The UTC time field follows the computer's clock, as the dialog's does
    // under "Auto time".
    QString Text(Control control) override;
    void SetText(Control control, const QString& text) override;
    int Selection(Control control) override;
    void SetSelection(Control control, int index) override;
    // No command of keyloom reads a check box.
    bool IsChecked(Control) override { return false; }
    void SetEnabled(Control, bool) override {}
    void InsertResultRow(const provisor::ResultRow& row) override;
    void ShowCounters(int, int, int) override {}
    void SetClipboardText(const QString& text) override;
    // Files are named on the command line; nobody picks one.
    std::optional<QString> ChooseOpenFile(const QString&) override { return std::nullopt; }
    void SetMinimized(bool) override {}
    std::optional<QString> AskAccessKey() override;

    void SetAnswerOk(bool ok) { m_answerOk = ok; }
    void SetAccessKeyAnswer(std::optional<QString> key) { m_accessKey = std::move(key); }

    std::vector<RecordedMessage> Messages() const;
    // In the order they were added (the dialog shows the newest on top).
    std::vector<provisor::ResultRow> Rows() const;
    std::optional<QString> Clipboard() const;

private:
    mutable std::mutex m_mutex;
    std::map<Control, QString> m_texts;
    std::map<Control, int> m_selections;
    std::vector<RecordedMessage> m_messages;
    std::vector<provisor::ResultRow> m_rows;
    std::optional<QString> m_clipboard;
    std::optional<QString> m_accessKey;
    bool m_answerOk = false;
};

}  // namespace keyloom
