#include "dialog/MessageBoxSink.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>

#include <memory>

namespace provisor {

namespace {

QMessageBox::Icon BoxIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::None: return QMessageBox::NoIcon;
        case MessageIcon::Error: return QMessageBox::Critical;
        case MessageIcon::Warning: return QMessageBox::Warning;
        case MessageIcon::Information: return QMessageBox::Information;
        case MessageIcon::Question: return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

MessageBoxSink::~MessageBoxSink() { CloseAll(); }

void MessageBoxSink::Open(const QString& text, const QString& caption, MessageIcon icon, bool question,
                          std::function<void(bool)> done) {
    // The texts keep their CR LF line breaks; Qt breaks at LF alone.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    auto* box = new QMessageBox(BoxIcon(icon), caption, shown,
                                question ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok);
    box->setObjectName(QStringLiteral("messageBox"));
    // The main dialog runs modal (exec): a window outside its family would
    // be blocked by it and ignore every click and key, leaving the operator
    // no way to answer. Joining the family of whatever window is modal now
    // keeps the box answerable; it still blocks nothing itself.
    if (QWidget* modal = QApplication::activeModalWidget()) box->setParent(modal, box->windowFlags());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    // English buttons, whatever the desktop's language.
    box->button(QMessageBox::Ok)->setText(QStringLiteral("OK"));
    if (question) box->button(QMessageBox::Cancel)->setText(QStringLiteral("Cancel"));
    auto answered = std::make_shared<bool>(false);
    QObject::connect(box, &QMessageBox::finished, box, [box, done, answered](int) {
        if (*answered) return;
        *answered = true;
        done(box->clickedButton() == box->button(QMessageBox::Ok));
    });
    // Closed from outside (CloseAll, the window system): counts as Cancel.
    QObject::connect(box, &QObject::destroyed, [done, answered] {
        if (*answered) return;
        *answered = true;
        done(false);
    });
    m_open.emplace_back(box);
    box->show();
    box->raise();
    box->activateWindow();
}

bool MessageBoxSink::Exec(const QString& text, const QString& caption, MessageIcon icon, bool question) {
    QEventLoop loop;
    bool ok = false;
    bool finished = false;
    Open(text, caption, icon, question, [&](bool answer) {
        ok = answer;
        finished = true;
        loop.quit();
    });
    if (!finished) loop.exec();
    return ok;
}

void MessageBoxSink::ShowMessage(const QString& text, const QString& caption, MessageIcon icon) {
    Exec(text, caption, icon, false);
}

bool MessageBoxSink::AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) {
    return Exec(text, caption, icon, true);
}

void MessageBoxSink::CloseAll() {
    std::vector<QPointer<QMessageBox>> open;
    open.swap(m_open);
    for (auto& box : open)
        if (box) delete box.data();
}

}  // namespace provisor
