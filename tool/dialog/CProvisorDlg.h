// The main dialog: the view. Its controls come from the control table, its
// buttons run the flows beside it (provisioning, access key, actions,
// import); what the worker threads want of it reaches it through UiThread,
// and the threads themselves belong to the session's SessionThreads.
#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialog/CAboutDlg.h"
#include "dialog/ControlTable.h"
#include "dialog/UiThread.h"
#include "import/BulkImportFlow.h"
#include "session/PcscProbe.h"
#include "session/ProvisorStartup.h"
#include "session/SessionThreads.h"
#include "session/ToolContext.h"
#include "session/ToolView.h"

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

inline const QString kProvisionButtonText = QStringLiteral("\u26A1 provision profile ");

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
    void BuildView();
    void ConnectSignals();
    void StopThreads();

    // "WM_UPDATE_FIELDS": the session's texts into 1006, 1007 and 1016.
    void UpdateFields();
    void ApplyReaderList(const std::optional<std::vector<std::string>>& listed);
    void SetUtcText(const QString& text);
    // A label that shows a value: the text, and the same as its accessible
    // description (its name is its title).
    void SetValue(QLabel* label, const QString& value);
    void SetTextNow(Control control, const QString& text);

    void OnConnect();
    void OnAdvancedToggled(bool on);
    void OnClearLog();
    void OnProfileChanged(int index);
    void OnTimeModeChanged(int index);
    void OnAbout();
    void SetProvisionButtonText(int profile);

    // First in, last out: everything below works on it.
    ToolSession m_session;
    std::unique_ptr<MessageBoxSink> m_ownSink;
    std::unique_ptr<IAccessKeyPrompt> m_ownPrompt;
    std::unique_ptr<IPcscProbe> m_ownProbe;
    IMessageSink* m_sink;
    IAccessKeyPrompt* m_prompt;
    IPcscProbe* m_probe;
    std::unique_ptr<UiThread> m_ui;
    std::unique_ptr<ProvisorStartup> m_startup;
    std::unique_ptr<UiCallRunner> m_runner;
    ToolContext m_ctx;
    std::unique_ptr<SessionThreads> m_threads;
    std::unique_ptr<BulkRun> m_bulkRun;
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

    bool m_closeRequested = false;
    bool m_closePending = false;
    int m_actionDepth = 0;
};

}  // namespace provisor
