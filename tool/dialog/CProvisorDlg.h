// The main dialog: a map of controls and signal connections. It shows and
// asks; the threads live in ReaderWatch, CardMonitor and ClockTicker, the
// shared values in ToolSession, and every button's decisions in the flows
// beside it (provisioning, access key, actions, import).
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "import/BulkImportFlow.h"
#include "session/CardMonitor.h"
#include "session/ClockTicker.h"
#include "NorvikVersion.h"
#include "session/PcscProbe.h"
#include "session/ProvisorStartup.h"
#include "session/ReaderWatch.h"
#include "session/ToolContext.h"
#include "session/ToolView.h"
#include "session/UserPrompts.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace provisor {

class MessageBoxSink;
class UiCallRunner;

inline const QString kMainTitle = QStringLiteral("Norvik-2 Keyloom " NORVIK_VERSION_SHORT);
inline const QString kProvisionButtonText = QStringLiteral("\u26A1 provision profile ");

// Ids of the controls "advanced" shows and hides, all together.
inline constexpr int kAdvancedControlIds[] = {1015, 1053, 1031, 1041, 1040, 1039, 1088, 1089, 1081, 1068,
                                              1082, 1083, 1091, 1005, 1003, 1021, 1094, 1095, 1096, 1092};

// What tests replace; every null member gets the real thing.
struct DialogOptions {
    IMessageSink* sink = nullptr;        // default: real message boxes
    IAccessKeyPrompt* prompt = nullptr;  // default: the access key dialog
    IPcscProbe* probe = nullptr;         // default: pcsc-lite
    IClock* clock = nullptr;             // default: the computer's
};

class CProvisorDlg : public QDialog, public IStartupView, public IToolView {
    Q_OBJECT
public:
    using Options = DialogOptions;

    explicit CProvisorDlg(StartupEnvironment env = {}, Options options = {}, QWidget* parent = nullptr);
    ~CProvisorDlg() override;

    // Fills the controls, binds the library, starts the reader watch and the
    // clock.
    void InitDialog();
    // InitDialog, then runs modally unless start-up already asked to close.
    int Run();
    bool CloseRequested() const { return m_closeRequested; }
    ProvisorStartup& Startup() { return *m_startup; }
    ToolSession& Session() { return m_session; }
    ToolContext& Context() { return m_ctx; }

    // The widget of a control id (also the hidden and label-only ones).
    QWidget* ControlWidget(int id) const;
    // Replaces the file chooser (tests).
    void SetFileChooser(std::function<std::optional<QString>(const QString& filter)> chooser) {
        m_fileChooser = std::move(chooser);
    }

    // IStartupView
    void CreateResultColumns(const std::vector<ResultColumn>& columns) override;
    void ResetSessionState() override;
    void RequestClose() override;

    // IToolView; callable from any thread.
    void ShowMessage(const QString& text, const QString& caption, MessageIcon icon) override;
    bool AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) override;
    QString Text(Control control) override;
    void SetText(Control control, const QString& text) override;
    int Selection(Control control) override;
    void SetSelection(Control control, int index) override;
    bool IsChecked(Control control) override;
    void SetEnabled(Control control, bool enabled) override;
    void InsertResultRow(const ResultRow& row) override;
    void ShowCounters(int total, int success, int fail) override;
    void SetClipboardText(const QString& text) override;
    std::optional<QString> ChooseOpenFile(const QString& filter) override;
    void SetMinimized(bool minimized) override;
    std::optional<QString> AskAccessKey() override;

    // Runs a button's action: the dialog is not closed underneath it, and a
    // close asked for meanwhile happens when the action has ended.
    void RunAction(const std::function<void()>& action);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildControls();
    void ConnectSignals();
    void StartThreads();
    void StopThreads();

    // "WM_UPDATE_FIELDS": the shared texts into 1006, 1007 and 1016.
    void UpdateFields();
    void ApplyReaderList(const std::optional<std::vector<std::string>>& listed);
    void SetUtcText(const QString& text);

    void OnConnect();
    void OnAdvancedToggled(bool on);
    void OnClearLog();
    void OnProfileChanged(int index);
    void OnTimeModeChanged(int index);
    void OnAbout();
    void SetProvisionButtonText(int profile);

    // Runs f on the UI thread and hands back its result; from a worker
    // thread it waits until the UI thread has run it. Once the dialog is
    // closing, worker calls return a default value without waiting.
    template <typename F>
    auto OnUiThread(F f) -> decltype(f());
    bool OnUiThreadNow() const;
    // A box for a worker thread: opened on the UI thread without nesting an
    // event loop there, answered while the worker waits.
    bool WorkerBox(const QString& text, const QString& caption, MessageIcon icon, bool question);

    template <typename W>
    W* Add(int id, W* widget, const char* role, const QString& accessibleName);

    // First in, last out: everything below works on it.
    ToolSession m_session;
    std::unique_ptr<MessageBoxSink> m_ownSink;
    std::unique_ptr<IAccessKeyPrompt> m_ownPrompt;
    std::unique_ptr<IPcscProbe> m_ownProbe;
    IMessageSink* m_sink;
    IAccessKeyPrompt* m_prompt;
    IPcscProbe* m_probe;
    std::unique_ptr<ProvisorStartup> m_startup;
    std::unique_ptr<UiCallRunner> m_runner;

    ToolContext m_ctx;
    std::unique_ptr<ReaderWatch> m_readerWatch;
    std::unique_ptr<ClockTicker> m_clock;
    std::unique_ptr<CardMonitor> m_cardMonitor;
    BulkRun m_bulkRun;
    std::function<std::optional<QString>(const QString&)> m_fileChooser;

    std::map<int, QWidget*> m_controls;
    QComboBox* m_readerList = nullptr;
    QCheckBox* m_advanced = nullptr;
    QComboBox* m_profileList = nullptr;
    QComboBox* m_timeModeList = nullptr;
    QLineEdit* m_utcEdit = nullptr;
    QPushButton* m_provisionButton = nullptr;
    QLabel* m_serialLabel = nullptr;
    QLabel* m_timeLabel = nullptr;
    QLabel* m_tipLabel = nullptr;
    QLabel* m_counterLabels[3] = {};
    QTableWidget* m_resultList = nullptr;
    QAction* m_accessKeyAction = nullptr;
    QAction* m_aboutAction = nullptr;

    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_fieldUpdatePosted{false};
    bool m_closeRequested = false;
    bool m_closePending = false;
    int m_actionDepth = 0;
};

}  // namespace provisor
