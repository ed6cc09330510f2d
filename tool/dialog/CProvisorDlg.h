// The main dialog. For now a frame with the result list and counters; its
// start-up work is done by ProvisorStartup, to which it lends the few view
// operations of IStartupView.
#pragma once

#include <QDialog>
#include <QString>

#include <memory>

#include "AccessKeyEntry.h"
#include "ProvisorStartup.h"
#include "UserPrompts.h"

class QLabel;
class QTableWidget;

namespace provisor {

inline const QString kMainTitle = QStringLiteral("Norvik-2 Keyloom 0.4");

class CProvisorDlg : public QDialog, public IStartupView {
    Q_OBJECT
public:
    // sink and prompt default to real message boxes and the access key
    // dialog; tests pass recorders.
    explicit CProvisorDlg(StartupEnvironment env = {}, IMessageSink* sink = nullptr,
                          IAccessKeyPrompt* prompt = nullptr, QWidget* parent = nullptr);
    ~CProvisorDlg() override;

    // Fills the controls and binds the library.
    void InitDialog();
    // InitDialog, then runs modally unless start-up already asked to close.
    int Run();
    bool CloseRequested() const { return m_closeRequested; }
    ProvisorStartup& Startup() { return *m_startup; }

    void CreateResultColumns(const std::vector<ResultColumn>& columns) override;
    void ResetSessionState() override;
    void RequestClose() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ShowCounters();

    std::unique_ptr<IMessageSink> m_ownSink;
    std::unique_ptr<IAccessKeyPrompt> m_ownPrompt;
    IMessageSink* m_sink;
    IAccessKeyPrompt* m_prompt;
    std::unique_ptr<ProvisorStartup> m_startup;

    QTableWidget* m_resultList = nullptr;
    QLabel* m_serialLabel = nullptr;
    QLabel* m_timeLabel = nullptr;
    QLabel* m_counterLabels[3] = {};

    int m_profile = 0;
    int m_autoTime = 1;
    int m_writeArmed = 0;
    QString m_tip;
    int m_totalCount = 0;
    int m_successCount = 0;
    int m_failCount = 0;
    bool m_closeRequested = false;
};

}  // namespace provisor
