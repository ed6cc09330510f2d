// The "Access key" dialog: the operator types the access key as hexadecimal
// digits or as plain characters, or takes the factory default. It returns
// the cleaned key text and stores nothing itself.
#pragma once

#include <QDialog>
#include <QString>

#include "accesskey/AccessKeyEntry.h"
#include "session/UserPrompts.h"

class QLineEdit;
class QPushButton;

namespace provisor {

class CInputCustomerKey : public QDialog {
    Q_OBJECT
public:
    explicit CInputCustomerKey(IMessageSink& sink, QWidget* parent = nullptr);

    // The key confirmed with "Save"; meaningful when exec() gave Accepted.
    QString Key() const { return m_key; }

private slots:
    void OnSaveHex();
    void OnSaveAscii();
    void OnResetDefault();

private:
    void SaveText(const QString& text);

    IMessageSink& m_sink;
    QString m_key;
    QLineEdit* m_editAscii = nullptr;
    QLineEdit* m_editHex = nullptr;
};

// Opens CInputCustomerKey modally.
class AccessKeyDialogPrompt final : public IAccessKeyPrompt {
public:
    AccessKeyDialogPrompt(IMessageSink& sink, QWidget* parent) : m_sink(sink), m_parent(parent) {}
    std::optional<QString> AskAccessKey() override;

private:
    IMessageSink& m_sink;
    QWidget* m_parent;
};

}  // namespace provisor
