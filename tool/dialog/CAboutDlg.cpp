#include "dialog/CAboutDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace provisor {

QIcon ToolIcon() { return QIcon(QStringLiteral(":/provisor/provisor.png")); }

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutBox100"));
    setWindowTitle(kMainTitle);
    setWindowIcon(ToolIcon());
    auto* icon = new QLabel(this);
    icon->setPixmap(ToolIcon().pixmap(32, 32));
    auto* line = new QLabel(kMainTitle, this);
    line->setObjectName(QStringLiteral("aboutText"));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("aboutOkButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon);
    row->addWidget(line, 1);
    row->addWidget(ok);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
}

}  // namespace provisor
