#include "UserPrompts.h"

#include <QMessageBox>

namespace provisor {

void MessageBoxSink::ShowMessage(const QString& text, const QString& caption, MessageIcon icon) {
    QMessageBox::Icon boxIcon = QMessageBox::Critical;
    switch (icon) {
        case MessageIcon::Error: boxIcon = QMessageBox::Critical; break;
        case MessageIcon::Warning: boxIcon = QMessageBox::Warning; break;
        case MessageIcon::Information: boxIcon = QMessageBox::Information; break;
        case MessageIcon::Question: boxIcon = QMessageBox::Question; break;
    }
    QMessageBox box(boxIcon, caption, text, QMessageBox::Ok, m_parent);
    // Application modal is the nearest Qt has to a system-modal box.
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

bool MessageBoxSink::AskYesNo(const QString& text, const QString& caption) {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, m_parent);
    box.setWindowModality(Qt::ApplicationModal);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace provisor
