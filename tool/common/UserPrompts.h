// Every message box of the tool goes through IMessageSink, so the flows can
// run without widgets and GUI tests can read the texts instead of blocking on
// a modal box.
#pragma once

#include <QString>
#include <QStringList>

#include <vector>

class QWidget;

namespace provisor {

// Caption of the tool's own message boxes.
inline const QString kCaption = QStringLiteral("Keyloom");

enum class MessageIcon { Error, Warning, Information, Question };

class IMessageSink {
public:
    virtual ~IMessageSink() = default;
    virtual void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) = 0;
    // Yes/No question; true for Yes.
    virtual bool AskYesNo(const QString& text, const QString& caption) = 0;
};

// Modal QMessageBox over the given parent (may be null).
class MessageBoxSink final : public IMessageSink {
public:
    explicit MessageBoxSink(QWidget* parent = nullptr) : m_parent(parent) {}
    void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) override;
    bool AskYesNo(const QString& text, const QString& caption) override;

private:
    QWidget* m_parent;
};

// Keeps every message and answers questions with a fixed reply.
class RecordingMessageSink final : public IMessageSink {
public:
    struct Entry {
        QString text;
        QString caption;
        MessageIcon icon;
    };
    void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) override {
        entries.push_back({text, caption, icon});
    }
    bool AskYesNo(const QString& text, const QString& caption) override {
        entries.push_back({text, caption, MessageIcon::Question});
        return answerYes;
    }
    QStringList Texts() const {
        QStringList texts;
        for (const auto& e : entries) texts << e.text;
        return texts;
    }

    std::vector<Entry> entries;
    bool answerYes = true;
};

}  // namespace provisor
