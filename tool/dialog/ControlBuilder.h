// Builds the main dialog's widgets and layouts from its control table.
#pragma once

#include <QFont>
#include <QString>

#include <map>

class QMenuBar;
class QVBoxLayout;
class QWidget;

namespace provisor {

struct BuiltControls {
    std::map<int, QWidget*> byId;   // every control with an id
    QVBoxLayout* layout = nullptr;  // the dialog's own, top to bottom
};

// The controls of the table as children of dialog, laid out in it, each
// with its object name, text, accessible name and limits; "advanced" and
// never-shown controls start hidden.
BuiltControls BuildControls(QWidget* dialog);

// "Tahoma" where installed, else the nearest heavy sans-serif, 20 pixels,
// weight 900: the big button's font.
QFont ProvisionButtonFont();

}  // namespace provisor
