#include "dialog/ControlBuilder.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include <algorithm>

#include "dialog/ControlTable.h"
#include "session/ToolView.h"

namespace provisor {

namespace {

QString Text(const char* utf8) { return QString::fromUtf8(utf8); }

QWidget* MakeWidget(const ControlSpec& spec, QWidget* parent) {
    switch (spec.widget) {
        case Widget::Label: return new QLabel(Text(spec.text), parent);
        case Widget::Button: {
            auto* button = new QPushButton(Text(spec.text), parent);
            // Enter must never press a button behind the operator's back.
            button->setAutoDefault(false);
            button->setDefault(false);
            return button;
        }
        case Widget::Edit: {
            auto* edit = new QLineEdit(parent);
            if (spec.maxLength > 0) edit->setMaxLength(spec.maxLength);
            return edit;
        }
        case Widget::List: {
            auto* list = new QComboBox(parent);
            if (spec.items) list->addItems(Text(spec.items).split(QLatin1Char('|')));
            list->setCurrentIndex(spec.items ? spec.selected : -1);
            return list;
        }
        case Widget::Check: return new QCheckBox(Text(spec.text), parent);
        case Widget::Group: return new QGroupBox(Text(spec.text), parent);
        case Widget::Table: return new QTableWidget(0, 0, parent);
        case Widget::Space:
        case Widget::Stretch: break;
    }
    return nullptr;
}

void Name(QWidget* widget, const ControlSpec& spec) {
    if (spec.role)
        widget->setObjectName(spec.id > 0 ? QStringLiteral("%1%2").arg(QLatin1String(spec.role)).arg(spec.id)
                                          : QLatin1String(spec.role));
    // A control its text names keeps no name of its own: its accessible
    // name is its text, whatever the text becomes.
    if (spec.name) widget->setAccessibleName(Text(spec.name));
    if (spec.shown != Shown::Always) widget->hide();
}

struct Layouts {
    std::map<Area, QLayout*> areas;
    QLayout* operator[](Area area) const { return areas.at(area); }
};

// The rows and grids, nested as the dialog shows them.
Layouts MakeLayouts(QWidget* dialog) {
    Layouts l;
    for (Area a : {Area::ReaderRow, Area::BulkGroup, Area::SeedButtons, Area::ProfileButtons, Area::LockGroup,
                   Area::ActionRow, Area::Counters, Area::Hidden})
        l.areas[a] = new QHBoxLayout;
    for (Area a : {Area::Advanced, Area::Form, Area::Status}) l.areas[a] = new QGridLayout;
    l.areas[Area::Main] = new QVBoxLayout(dialog);
    return l;
}

void Put(const Layouts& l, QWidget* widget, const ControlSpec& spec) {
    const Place& p = spec.place;
    if (auto* grid = qobject_cast<QGridLayout*>(l[p.area])) {
        grid->addWidget(widget, p.row, p.column, p.rowSpan, p.columnSpan);
        return;
    }
    auto* box = static_cast<QBoxLayout*>(l[p.area]);
    if (spec.widget == Widget::Space)
        box->addSpacing(spec.maxLength);
    else if (spec.widget == Widget::Stretch)
        box->addStretch();
    else
        box->addWidget(widget);
}

// What the table does not say: sizes, fonts, the result list's manner, the
// big button, and the order of the areas in the dialog.
void Finish(const Layouts& l, const BuiltControls& built) {
    const auto at = [&](int id) { return built.byId.at(id); };
    auto* readers = static_cast<QComboBox*>(at(1018));
    readers->setMinimumContentsLength(28);
    readers->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    static_cast<QHBoxLayout*>(l[Area::ReaderRow])->setStretchFactor(readers, 1);
    auto* hex = static_cast<QLineEdit*>(at(1039));
    hex->setMinimumWidth(hex->fontMetrics().horizontalAdvance(QString(34, QLatin1Char('D'))));
    static_cast<QHBoxLayout*>(l[Area::BulkGroup])->setStretchFactor(at(1003), 1);
    at(1021)->setFont(QApplication::font());  // the system's default font, emoji and all
    static_cast<QComboBox*>(at(1071))->setMaxVisibleItems(20);
    auto* form = static_cast<QGridLayout*>(l[Area::Form]);
    form->addLayout(l[Area::SeedButtons], 1, 4, 1, 3);
    // The two buttons stand on the line of the lock buttons, not of their
    // group's title.
    auto* lockGroup = static_cast<QWidget*>(l[Area::LockGroup]->parent());
    auto* profileColumn = new QVBoxLayout;
    profileColumn->addStretch();
    profileColumn->addLayout(l[Area::ProfileButtons]);
    profileColumn->setContentsMargins(
        0, 0, 0, l[Area::LockGroup]->contentsMargins().bottom() + lockGroup->contentsMargins().bottom());
    static_cast<QBoxLayout*>(l[Area::ActionRow])->insertLayout(0, profileColumn);
    form->addLayout(l[Area::ActionRow], 6, 0, 1, 7);
    form->setColumnStretch(1, 1);
    form->setColumnStretch(3, 1);
    at(1080)->setFont(ProvisionButtonFont());
    at(1080)->setMinimumHeight(48);
    static_cast<QLabel*>(at(1006))->setTextInteractionFlags(Qt::TextSelectableByMouse);
    static_cast<QGridLayout*>(l[Area::Status])->setColumnStretch(1, 1);
    auto* results = static_cast<QTableWidget*>(at(1011));
    results->setSelectionBehavior(QAbstractItemView::SelectRows);
    results->setEditTriggers(QAbstractItemView::NoEditTriggers);
    results->setShowGrid(true);
    results->verticalHeader()->hide();
    results->horizontalHeader()->setStretchLastSection(true);
    results->setMinimumHeight(160);
    auto* main = static_cast<QVBoxLayout*>(l[Area::Main]);
    int index = 0;
    for (Area a : {Area::ReaderRow, Area::Advanced, Area::Form}) main->insertLayout(index++, l[a]);
    main->insertLayout(main->indexOf(at(1080)) + 1, l[Area::Status]);
    main->insertLayout(main->indexOf(at(1080)) + 2, l[Area::Counters]);
    main->insertLayout(main->indexOf(at(1080)) + 3, l[Area::Hidden]);
    main->setStretchFactor(results, 1);
}

}  // namespace

QFont ProvisionButtonFont() {
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Sans Serif")});
    font.setPixelSize(20);
    font.setWeight(QFont::Black);
    return font;
}

BuiltControls BuildControls(QWidget* dialog) {
    const Layouts layouts = MakeLayouts(dialog);
    BuiltControls built;
    built.layout = static_cast<QVBoxLayout*>(layouts[Area::Main]);
    std::map<Area, QWidget*> holders;  // the group box an area lies in
    std::map<QLabel*, int> buddies;
    for (const ControlSpec& spec : ControlTable()) {
        const auto holder = holders.find(spec.place.area);
        QWidget* widget = MakeWidget(spec, holder == holders.end() ? dialog : holder->second);
        if (widget) {
            Name(widget, spec);
            if (spec.id > 0) built.byId[spec.id] = widget;
            if (spec.widget == Widget::Group) {
                holders[spec.holds] = widget;
                widget->setLayout(layouts[spec.holds]);
            }
            if (spec.buddy) buddies[static_cast<QLabel*>(widget)] = spec.buddy;
        }
        Put(layouts, widget, spec);
    }
    for (const auto& [label, id] : buddies) label->setBuddy(built.byId.at(id));
    Finish(layouts, built);
    return built;
}

}  // namespace provisor
