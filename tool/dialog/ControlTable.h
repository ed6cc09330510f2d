// The main dialog's controls as data: what each one is, its object name,
// its text, its accessible name when its text does not name it, its
// limits, whether "advanced" shows it, and where it sits. The dialog is
// built from this table; the operator's documentation names the controls
// by the same ids.
#pragma once

#include <cstdint>
#include <span>

namespace provisor {

enum class Widget : uint8_t {
    Label,
    Button,
    Edit,
    List,   // a drop-down list
    Check,  // a check box
    Group,  // a group box; its controls are in the area it holds
    Table,  // the result list
    Space,  // fixed room in a row (width in maxLength)
    Stretch,
};

enum class Shown : uint8_t { Always, Advanced, Never };

// The rows and grids the controls sit in; Layout() in ControlTable.cpp
// nests them.
enum class Area : uint8_t {
    Main,  // top to bottom
    ReaderRow,
    Advanced,
    BulkGroup,
    Form,
    SeedButtons,
    ProfileButtons,
    LockGroup,
    ActionRow,
    Status,
    Counters,
    Hidden,
};

struct Place {
    Area area = Area::Main;
    int row = 0;  // grids only; rows and Main go by table order
    int column = 0;
    int rowSpan = 1;
    int columnSpan = 1;
};

struct ControlSpec {
    int id = 0;  // 0: a control no flow names (a label, a group)
    Widget widget = Widget::Label;
    const char* role = nullptr;  // the object name, with the id appended
    const char* text = "";       // caption or first text, UTF-8
    // The accessible name of a control its text does not name: a field or
    // list by its label, a value by its title. Null: the text names it, and
    // follows every change of it.
    const char* name = nullptr;
    Place place;
    Shown shown = Shown::Always;
    int maxLength = 0;            // edits; Space: its width
    const char* items = nullptr;  // lists: entries separated by '|'
    int selected = 0;             // lists
    int buddy = 0;                // labels: the control they name
    Area holds = Area::Main;      // groups: the area inside them
};

std::span<const ControlSpec> ControlTable();

// Ids of the controls "advanced" shows and hides, all together.
inline constexpr int kAdvancedControlIds[] = {1015, 1053, 1031, 1041, 1040, 1039, 1088, 1089, 1081, 1068,
                                              1082, 1083, 1091, 1005, 1003, 1021, 1094, 1095, 1096, 1092};

}  // namespace provisor
