// What the flows see of the main dialog: its controls by their ids, the
// result list, the clipboard, a file chooser and the window state. The Qt
// dialog implements it (and carries calls made on worker threads over to
// the UI thread); the tests have their own, which keep the same limits.
#pragma once

#include <QString>

#include <optional>

#include "session/UserPrompts.h"

namespace provisor {

// The dialog's controls, by the ids the operator's documentation uses.
enum class Control : int {
    Seed = 1001,
    QrFromImage = 1002,
    BulkPath = 1003,
    QrFromScreen = 1004,
    ImportFromFile = 1005,
    SerialNumber = 1006,
    TokenTime = 1007,
    TotalCount = 1008,
    SuccessCount = 1009,
    FailCount = 1010,
    ResultList = 1011,
    Tip = 1016,
    ClearLog = 1017,
    ReaderList = 1018,
    Connect = 1019,
    BulkImport = 1021,
    UtcTime = 1029,
    ApplyConfig = 1031,
    HexKey = 1039,
    ChangeKey = 1040,
    FactoryReset = 1041,
    Title = 1052,
    SetTitle = 1053,
    ChangeDisplayOff = 1068,
    Profile = 1071,
    TimeStep = 1072,
    Algorithm = 1073,
    OtpLength = 1074,
    ClearSeed = 1075,
    EnterKey = 1076,
    TimeMode = 1077,
    RemoveSeed = 1078,
    CopyOtp = 1079,
    Provision = 1080,
    DisplayOff = 1081,
    Keypad = 1082,
    SetKeypad = 1083,
    Progress = 1084,
    Lock = 1085,
    Advanced = 1087,
    AsciiKey = 1092,
    Unlock = 1093,
    LoadFromFile = 1000,
    WriteSeed = 1015,
};

// Entries of the drop-down lists, in list order.
namespace choice {
enum TimeStep { Step30 = 0, Step60 = 1, StepNoChange = 2 };
enum Algorithm { Sha1 = 0, Sha256 = 1, AlgorithmNoChange = 2 };
enum OtpLength { Digits4 = 0, Digits6 = 1, Digits8 = 2, Digits10 = 3, DigitsNoChange = 4 };
enum TimeMode { AutoTime = 0, ManualTime = 1, TimeNoChange = 2 };
enum EnterKey { AutoEnter = 0, NoEnter = 1, EnterNoChange = 2 };
enum ClearSeed { ClearYes = 0, ClearNo = 1, ClearNoChange = 2 };
}  // namespace choice

// The real dialog's text limits, which every view keeps: an edit takes at
// most this many characters, whether typed or set (a longer text is cut, as
// the widget cuts it). The "Hex:" field limits typing only: a longer key the
// "Ascii:" field sets there stays whole, so that "change key" refuses it
// rather than writing a key the operator never typed. 0: no limit.
constexpr int TextLimit(Control control) {
    switch (control) {
        case Control::Seed: return 256;
        case Control::Title: return 12;
        case Control::HexKey: return 32;
        default: return 0;
    }
}
// Whether a text set (not typed) is cut at the limit.
constexpr bool CutsSetText(Control control) { return control != Control::HexKey && TextLimit(control) > 0; }

// One row of the result list.
struct ResultRow {
    QString serialNumber;
    QString state;
    bool failed = false;
};

class IToolView : public IMessageSink {
public:
    // Text of an edit, label or button.
    virtual QString Text(Control control) = 0;
    virtual void SetText(Control control, const QString& text) = 0;
    // Selected index of a drop-down list, -1 for none.
    virtual int Selection(Control control) = 0;
    virtual void SetSelection(Control control, int index) = 0;
    virtual bool IsChecked(Control control) = 0;
    virtual void SetEnabled(Control control, bool enabled) = 0;
    // Newest row on top.
    virtual void InsertResultRow(const ResultRow& row) = 0;
    // Counters Total, Success and Fail as the list shows them.
    virtual void ShowCounters(int total, int success, int fail) = 0;
    // Replaces the clipboard's text; an empty text leaves it alone.
    virtual void SetClipboardText(const QString& text) = 0;
    // Full path of the file the operator picked, nullopt when cancelled.
    // The filter is in "Name (*.ext)|*.ext|...||" form.
    virtual std::optional<QString> ChooseOpenFile(const QString& filter) = 0;
    // Minimises the main window (true) or restores it (false).
    virtual void SetMinimized(bool minimized) = 0;
    virtual std::optional<QString> AskAccessKey() = 0;
};

}  // namespace provisor
