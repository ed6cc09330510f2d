// The about box: the tool's name and version, and "OK".
#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>

#include "NorvikVersion.h"

namespace provisor {

inline const QString kMainTitle = QStringLiteral("Norvik-2 Keyloom " NORVIK_VERSION_SHORT);

QIcon ToolIcon();

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent);
};

}  // namespace provisor
