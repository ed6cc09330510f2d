// Recording stand-ins for the message boxes and the main dialog, so flows
// can be driven without widgets and their texts, rows and field changes read
// back.
#pragma once

#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "session/ToolView.h"
#include "session/UserPrompts.h"

namespace tooltest {

using provisor::Control;
using provisor::MessageIcon;
using provisor::ResultRow;

struct MessageEntry {
    QString text;
    QString caption;
    MessageIcon icon;
    bool question = false;
};

// Keeps every message; questions get answerOk (or what onQuestion says).
class RecordingMessageSink final : public provisor::IMessageSink {
public:
    void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) override {
        std::lock_guard lock(mutex);
        entries.push_back({text, caption, icon, false});
    }
    bool AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) override {
        std::function<bool(const QString&)> decide;
        {
            std::lock_guard lock(mutex);
            entries.push_back({text, caption, icon, true});
            decide = onQuestion;
        }
        return decide ? decide(text) : answerOk;
    }
    QStringList Texts() const {
        std::lock_guard lock(mutex);
        QStringList texts;
        for (const auto& e : entries) texts << e.text;
        return texts;
    }

    mutable std::mutex mutex;
    std::vector<MessageEntry> entries;
    bool answerOk = true;
    std::function<bool(const QString&)> onQuestion;
};

// The main dialog's fields, lists and result list as plain values, starting
// as the dialog starts.
class RecordingView final : public provisor::IToolView {
public:
    RecordingView() {
        selections = {{Control::TimeStep, 0}, {Control::Algorithm, 0}, {Control::OtpLength, 1},  {Control::TimeMode, 0},
                      {Control::EnterKey, 0}, {Control::ClearSeed, 1}, {Control::DisplayOff, 0}, {Control::Profile, 0}};
        texts[Control::Provision] = QStringLiteral("\u26A1 provision profile 0");
        texts[Control::WriteSeed] = QStringLiteral("write seed only");
    }

    void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) override {
        sink.ShowMessage(text, caption, icon);
    }
    bool AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) override {
        return sink.AskOkCancel(text, caption, icon);
    }
    QString Text(Control c) override {
        std::lock_guard lock(mutex);
        return texts[c];
    }
    // Cut where the real edit cuts it (the view contract's limits).
    void SetText(Control c, const QString& t) override {
        std::lock_guard lock(mutex);
        const QString kept = provisor::CutsSetText(c) ? t.left(provisor::TextLimit(c)) : t;
        texts[c] = kept;
        textHistory.push_back({c, kept});
    }
    int Selection(Control c) override {
        std::lock_guard lock(mutex);
        const auto it = selections.find(c);
        return it == selections.end() ? -1 : it->second;
    }
    void SetSelection(Control c, int index) override {
        std::lock_guard lock(mutex);
        selections[c] = index;
    }
    bool IsChecked(Control c) override {
        std::lock_guard lock(mutex);
        return checked[c];
    }
    void SetEnabled(Control c, bool on) override {
        std::function<void(Control, bool)> hook;
        {
            std::lock_guard lock(mutex);
            enabledHistory.push_back({c, on});
            disabled[c] = !on;
            hook = onEnabled;
        }
        if (hook) hook(c, on);
    }
    void InsertResultRow(const ResultRow& row) override {
        std::lock_guard lock(mutex);
        rows.insert(rows.begin(), row);
    }
    void ShowCounters(int total, int success, int fail) override {
        std::lock_guard lock(mutex);
        counters = {total, success, fail};
    }
    void SetClipboardText(const QString& text) override {
        std::lock_guard lock(mutex);
        if (!text.isEmpty()) clipboard = text;
    }
    std::optional<QString> ChooseOpenFile(const QString& filter) override {
        std::lock_guard lock(mutex);
        chooserFilters << filter;
        if (chosenFiles.empty()) return std::nullopt;
        std::optional<QString> next = chosenFiles.front();
        chosenFiles.pop_front();
        return next;
    }
    void SetMinimized(bool minimized) override {
        std::lock_guard lock(mutex);
        minimizedHistory.push_back(minimized);
    }
    std::optional<QString> AskAccessKey() override {
        std::lock_guard lock(mutex);
        ++accessKeyPrompts;
        return accessKeyAnswer;
    }

    QStringList Messages() const { return sink.Texts(); }
    std::vector<ResultRow> Rows() const {
        std::lock_guard lock(mutex);
        return rows;
    }

    mutable std::mutex mutex;
    RecordingMessageSink sink;
    std::map<Control, QString> texts;
    std::vector<std::pair<Control, QString>> textHistory;
    std::map<Control, int> selections;
    std::map<Control, bool> checked;
    std::map<Control, bool> disabled;
    std::vector<std::pair<Control, bool>> enabledHistory;
    // Called on the caller's thread, after recording.
    std::function<void(Control, bool)> onEnabled;
    std::vector<ResultRow> rows;  // newest first
    std::vector<int> counters{0, 0, 0};
    QString clipboard;
    QStringList chooserFilters;
    std::deque<std::optional<QString>> chosenFiles;  // answers of the file chooser, in turn
    std::vector<bool> minimizedHistory;
    std::optional<QString> accessKeyAnswer;
    int accessKeyPrompts = 0;
};

}  // namespace tooltest
