#include "dialog/CProvisorDlg.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

#include "accesskey/AccessKeyFlows.h"
#include "actions/DeviceActions.h"
#include "dialog/CInputCustomerKey.h"
#include "dialog/ControlBuilder.h"
#include "dialog/MessageBoxSink.h"
#include "dialog/UiCallRunner.h"
#include "import/QrImportFlow.h"
#include "provisioning/Provisioning.h"
#include "session/ClockTicker.h"

namespace provisor {

namespace {

// "Name (*.ext)|*.ext|...||" as Qt's "Name (*.ext);;..." filter.
QString QtFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList names;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        if (!parts[i].isEmpty()) names << parts[i];
    return names.join(QStringLiteral(";;"));
}

template <typename W>
W* Find(const std::map<int, QWidget*>& controls, int id) {
    return qobject_cast<W*>(controls.at(id));
}

// The buttons that run a flow and nothing else.
struct ButtonFlow {
    int id;
    void (*flow)(const ToolContext&);
};
constexpr ButtonFlow kButtonFlows[] = {
    {1080, &ProvisionProfile},
    {1031, &ApplyConfigOnly},
    {1015, &ToggleWriteSeed},
    {1000, &LoadFromFile},
    {1040, &ChangeKey},
    {1041, &FactoryReset},
    {1053, &SetTitleOnly},
    {1068, &ChangeDisplayOffTime},
    {1083, &SetKeypadMode},
    {1078, &RemoveSeed},
    {1079, &CopyOtp},
    {1085, &LockScreen},
    {1093, &UnlockScreen},
    {1002, &ImportQrFromImage},
    {1004, &ImportQrFromScreen},
    {1005, &ChooseBulkFile},
};

}  // namespace

CProvisorDlg::CProvisorDlg(StartupEnvironment env, Options options, QWidget* parent)
    : QDialog(parent), m_session(options.clock), m_ctx{m_session, *this, nullptr} {
    if (!options.sink) m_ownSink = std::make_unique<MessageBoxSink>();
    m_sink = options.sink ? options.sink : m_ownSink.get();
    if (!options.prompt) m_ownPrompt = std::make_unique<AccessKeyDialogPrompt>(*m_sink, this);
    m_prompt = options.prompt ? options.prompt : m_ownPrompt.get();
    if (!options.probe) m_ownProbe = std::make_unique<PcscLiteProbe>(m_session.cardApi.CallLock());
    m_probe = options.probe ? options.probe : m_ownProbe.get();
    m_ui = std::make_unique<UiThread>(this, *m_sink, m_ownSink.get());
    m_startup = std::make_unique<ProvisorStartup>(std::move(env), *m_sink, *m_prompt, *this, m_session);
    m_ctx.log = &m_startup->Log();
    m_runner = std::make_unique<UiCallRunner>(this);

    setObjectName(QStringLiteral("CProvisorDlg"));
    setWindowTitle(kMainTitle);
    setWindowIcon(ToolIcon());
    // A dialog with the window buttons of a main window.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    BuildView();
    ConnectSignals();

    m_session.SetFieldUpdateHandler(m_ui->FieldUpdatePoster([this] { UpdateFields(); }));
    SessionThreads::Callbacks callbacks;
    callbacks.readers = [this](const auto& listed) {
        QMetaObject::invokeMethod(
            this, [this, listed] { ApplyReaderList(listed); }, Qt::QueuedConnection);
    };
    callbacks.utcText = [this](const std::string& text) {
        const QString value = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            this, [this, value] { SetUtcText(value); }, Qt::QueuedConnection);
    };
    callbacks.autoWrite = [this] { RunAutoWrite(m_ctx); };
    m_threads = std::make_unique<SessionThreads>(m_ctx, *m_probe, std::move(callbacks));
    m_bulkRun = std::make_unique<BulkRun>(m_threads->Jobs());
}

CProvisorDlg::~CProvisorDlg() {
    StopThreads();
    m_session.SetFieldUpdateHandler({});
    if (m_ownSink) m_ownSink->CloseAll();
    // Only now, with no thread left inside it, may the library go.
    m_startup->Release();
}

void CProvisorDlg::BuildView() {
    BuiltControls built = BuildControls(this);
    m_controls = std::move(built.byId);
    // Menu bar: the key the tool uses, and the about box.
    auto* menuBar = new QMenuBar(this);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    QMenu* toolMenu = menuBar->addMenu(QStringLiteral("Tool Configuration"));
    toolMenu->setObjectName(QStringLiteral("toolConfigurationMenu"));
    m_accessKeyAction = toolMenu->addAction(QStringLiteral("Access Key"));
    m_accessKeyAction->setObjectName(QStringLiteral("accessKeyAction32771"));
    QMenu* helpMenu = menuBar->addMenu(QStringLiteral("Help"));
    helpMenu->setObjectName(QStringLiteral("helpMenu"));
    m_aboutAction = helpMenu->addAction(QStringLiteral("About this tool..."));
    m_aboutAction->setObjectName(QStringLiteral("aboutAction16"));
    built.layout->setMenuBar(menuBar);

    m_readerList = Find<QComboBox>(m_controls, 1018);
    m_advanced = Find<QCheckBox>(m_controls, 1087);
    m_profileList = Find<QComboBox>(m_controls, 1071);
    m_timeModeList = Find<QComboBox>(m_controls, 1077);
    m_utcEdit = Find<QLineEdit>(m_controls, 1029);
    m_provisionButton = Find<QPushButton>(m_controls, 1080);
    m_serialLabel = Find<QLabel>(m_controls, 1006);
    m_timeLabel = Find<QLabel>(m_controls, 1007);
    m_tipLabel = Find<QLabel>(m_controls, 1016);
    for (int i = 0; i < 3; ++i) m_counterLabels[i] = Find<QLabel>(m_controls, 1008 + i);
    m_resultList = Find<QTableWidget>(m_controls, 1011);

    // The limit is for typing only. A longer text the "Ascii:" field puts
    // here stays whole (the edit would cut it to a valid-looking key the
    // operator never typed), so that "change key" refuses it; the limit
    // follows the text back down as it is shortened.
    auto* hex = Find<QLineEdit>(m_controls, 1039);
    connect(hex, &QLineEdit::textChanged, hex, [hex](const QString& text) {
        hex->setMaxLength(std::max(TextLimit(Control::HexKey), static_cast<int>(text.size())));
    });
}

void CProvisorDlg::ConnectSignals() {
    for (const ButtonFlow& b : kButtonFlows)
        connect(qobject_cast<QPushButton*>(ControlWidget(b.id)), &QPushButton::clicked, this,
                [this, flow = b.flow] { RunAction([this, flow] { flow(m_ctx); }); });
    const auto clicked = [this](int id, void (CProvisorDlg::*handler)()) {
        connect(qobject_cast<QPushButton*>(ControlWidget(id)), &QPushButton::clicked, this,
                [this, handler] { RunAction([this, handler] { (this->*handler)(); }); });
    };
    clicked(1019, &CProvisorDlg::OnConnect);
    clicked(1017, &CProvisorDlg::OnClearLog);
    connect(qobject_cast<QPushButton*>(ControlWidget(1021)), &QPushButton::clicked, this,
            [this] { RunAction([this] { StartBulkImport(m_ctx, *m_bulkRun); }); });
    connect(qobject_cast<QLineEdit*>(ControlWidget(1092)), &QLineEdit::textChanged, this,
            [this] { OnAsciiKeyChanged(m_ctx); });
    connect(m_accessKeyAction, &QAction::triggered, this,
            [this] { RunAction([this] { OnAccessKeyMenu(m_ctx, *m_startup); }); });
    connect(m_advanced, &QCheckBox::toggled, this, &CProvisorDlg::OnAdvancedToggled);
    connect(m_profileList, qOverload<int>(&QComboBox::currentIndexChanged), this,
            [this](int index) { RunAction([this, index] { OnProfileChanged(index); }); });
    connect(m_timeModeList, qOverload<int>(&QComboBox::currentIndexChanged), this, &CProvisorDlg::OnTimeModeChanged);
    connect(m_aboutAction, &QAction::triggered, this, &CProvisorDlg::OnAbout);
}

QWidget* CProvisorDlg::ControlWidget(int id) const {
    const auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second;
}

void CProvisorDlg::InitDialog() {
    // The field shows a time before the first clock tick.
    m_session.m_autoTime = m_timeModeList->currentIndex() == choice::AutoTime;
    if (m_session.m_autoTime) SetUtcText(QString::fromStdString(FormatUtcTimeField(m_session.clock.Now())));
    m_session.runner.Set(m_runner.get());
    m_startup->BindCardLibrary();
    m_threads->Start();
}

int CProvisorDlg::Run() {
    InitDialog();
    if (m_closeRequested) return QDialog::Rejected;
    return exec();
}

void CProvisorDlg::StopThreads() {
    // From here on, a worker asking the UI thread anything gets a default
    // answer at once, so no worker can hold up the stops below.
    m_ui->Close();
    if (m_ownSink) m_ownSink->CloseAll();
    // The bulk worker asks the UI thread for the UTC field and its rows; it
    // finishes the line it is on and applies no more.
    m_bulkRun->RequestStop();
    m_threads->Stop();
    m_session.runner.Set(nullptr);
}

// ---- start-up view ---------------------------------------------------------

void CProvisorDlg::CreateResultColumns(const std::vector<ResultColumn>& columns) {
    m_resultList->setColumnCount(static_cast<int>(columns.size()));
    int total = 2 * m_resultList->frameWidth();
    for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        auto* header = new QTableWidgetItem(columns[static_cast<size_t>(i)].title);
        header->setTextAlignment(Qt::AlignCenter);
        m_resultList->setHorizontalHeaderItem(i, header);
        m_resultList->setColumnWidth(i, columns[static_cast<size_t>(i)].width);
        total += columns[static_cast<size_t>(i)].width;
    }
    m_resultList->setMinimumWidth(total);
}

void CProvisorDlg::ResetSessionState() {
    m_session.ResetCounters();
    ShowCounters(0, 0, 0);
    m_session.SetTip({});
    m_session.m_writeArmed = false;
}

void CProvisorDlg::RequestClose() {
    m_closeRequested = true;
    if (isVisible()) QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
}

// ---- keyboard and closing --------------------------------------------------

void CProvisorDlg::keyPressEvent(QKeyEvent* event) {
    // Neither key may end the tool; only the close box does.
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter: event->accept(); return;
        default: QDialog::keyPressEvent(event);
    }
}

void CProvisorDlg::closeEvent(QCloseEvent* event) {
    // An action still on the stack (waiting for the token or for an answer)
    // finishes first; the window closes when it has.
    if (m_actionDepth > 0 || m_runner->Depth() > 0) {
        m_closePending = true;
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void CProvisorDlg::RunAction(const std::function<void()>& action) {
    ++m_actionDepth;
    action();
    --m_actionDepth;
    if (m_actionDepth == 0 && m_closePending) {
        m_closePending = false;
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    }
}

// ---- worker updates --------------------------------------------------------

void CProvisorDlg::UpdateFields() {
    const TokenInfo token = m_session.Token();
    SetValue(m_serialLabel, QString::fromStdString(token.serialNumber));
    SetValue(m_timeLabel, QString::fromStdString(token.tokenTime));
    SetValue(m_tipLabel, QString::fromStdString(m_session.Tip()));
}

void CProvisorDlg::SetValue(QLabel* label, const QString& value) {
    label->setText(value);
    // Screen readers name these by their title; the value is the description.
    label->setAccessibleDescription(value);
}

void CProvisorDlg::ApplyReaderList(const std::optional<std::vector<std::string>>& listed) {
    if (!listed) {
        while (m_readerList->count() > 0) m_readerList->removeItem(m_readerList->count() - 1);
        return;
    }
    std::vector<std::string> entries;
    for (int i = 0; i < m_readerList->count(); ++i) entries.push_back(m_readerList->itemText(i).toStdString());
    const ReaderListEdit edit = ReconcileReaderList(entries, *listed);
    const QString selected = m_readerList->currentIndex() >= 0 ? m_readerList->currentText() : QString();
    bool selectedRemoved = false;
    for (int index : edit.removeIndices) {
        if (index == m_readerList->currentIndex()) selectedRemoved = true;
        m_readerList->removeItem(index);
    }
    for (const std::string& name : edit.append) m_readerList->addItem(QString::fromStdString(name));
    // Removing entries never moves the selection to another reader: the
    // operator would connect to a reader they did not pick.
    if (selectedRemoved)
        m_readerList->setCurrentIndex(-1);
    else if (!selected.isNull())
        m_readerList->setCurrentIndex(m_readerList->findText(selected, Qt::MatchExactly | Qt::MatchCaseSensitive));
    else
        m_readerList->setCurrentIndex(-1);
}

void CProvisorDlg::SetUtcText(const QString& text) {
    // A tick queued before the operator chose "Manual time" must not
    // overwrite what they type.
    if (m_session.m_autoTime && m_utcEdit->text() != text) m_utcEdit->setText(text);
}

// ---- this dialog's own actions --------------------------------------------

void CProvisorDlg::OnConnect() {
    if (m_readerList->currentIndex() < 0) {
        ShowMessage(QStringLiteral("Please select a card reader!"), kCaption, MessageIcon::Warning);
        return;
    }
    m_session.g_readerName.Set(m_readerList->currentText().toStdString());
    // A token already read in the reader connected before is not the one in
    // this reader: read (and, when armed, write) whatever is found here. The
    // card thread of that reader is gone before the flags say so.
    m_threads->StopCard();
    m_session.g_readPending = true;
    m_session.g_writePending = true;
    m_session.ClearTokenInfo();
    m_session.PostFieldUpdate();
    m_threads->Connect();
    ShowMessage(QStringLiteral("Successful operation!"), kCaption, MessageIcon::Information);
}

void CProvisorDlg::OnAdvancedToggled(bool on) {
    for (int id : kAdvancedControlIds)
        if (QWidget* w = ControlWidget(id)) w->setVisible(on);
}

void CProvisorDlg::OnClearLog() {
    m_resultList->setRowCount(0);
    m_session.ResetCounters();
    ShowCounters(0, 0, 0);
}

void CProvisorDlg::OnProfileChanged(int index) {
    m_session.m_profile = index;
    ReadTokenInfo(m_ctx, index);
    SetProvisionButtonText(index);
}

void CProvisorDlg::SetProvisionButtonText(int profile) {
    m_provisionButton->setText(kProvisionButtonText + QString::number(profile));
    m_provisionButton->setFont(ProvisionButtonFont());
}

void CProvisorDlg::OnTimeModeChanged(int index) { m_session.m_autoTime = index == choice::AutoTime; }

void CProvisorDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

// ---- the view, from any thread ---------------------------------------------

void CProvisorDlg::ShowMessage(const QString& text, const QString& caption, MessageIcon icon) {
    m_ui->Box(text, caption, icon, false);
}

bool CProvisorDlg::AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) {
    return m_ui->Box(text, caption, icon, true);
}

QString CProvisorDlg::Text(Control control) {
    return m_ui->Call([this, control] {
        QWidget* w = ControlWidget(static_cast<int>(control));
        if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
        if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
        if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
        return QString();
    });
}

void CProvisorDlg::SetText(Control control, const QString& text) {
    m_ui->Call([this, control, &text] { SetTextNow(control, text); });
}

void CProvisorDlg::SetTextNow(Control control, const QString& text) {
    QWidget* w = ControlWidget(static_cast<int>(control));
    if (auto* e = qobject_cast<QLineEdit*>(w)) {
        if (!CutsSetText(control) && text.size() > e->maxLength()) e->setMaxLength(static_cast<int>(text.size()));
        e->setText(text);
    } else if (auto* l = qobject_cast<QLabel*>(w)) {
        SetValue(l, text);
        // The bulk run's progress would tell nobody anything while hidden:
        // it shows while it has something to say.
        if (control == Control::Progress) l->setVisible(!text.isEmpty());
    } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
        b->setText(text);
    }
}

int CProvisorDlg::Selection(Control control) {
    return m_ui->Call([this, control] {
        auto* c = qobject_cast<QComboBox*>(ControlWidget(static_cast<int>(control)));
        return c ? c->currentIndex() : -1;
    });
}

void CProvisorDlg::SetSelection(Control control, int index) {
    m_ui->Call([this, control, index] {
        if (auto* c = qobject_cast<QComboBox*>(ControlWidget(static_cast<int>(control)))) c->setCurrentIndex(index);
    });
}

bool CProvisorDlg::IsChecked(Control control) {
    return m_ui->Call([this, control] {
        auto* b = qobject_cast<QAbstractButton*>(ControlWidget(static_cast<int>(control)));
        return b && b->isChecked();
    });
}

void CProvisorDlg::SetEnabled(Control control, bool enabled) {
    m_ui->Call([this, control, enabled] {
        if (QWidget* w = ControlWidget(static_cast<int>(control))) w->setEnabled(enabled);
    });
}

void CProvisorDlg::InsertResultRow(const ResultRow& row) {
    m_ui->Call([this, &row] {
        m_resultList->insertRow(0);
        auto* serial = new QTableWidgetItem(row.serialNumber);
        auto* state = new QTableWidgetItem(row.state);
        for (QTableWidgetItem* item : {serial, state}) {
            item->setTextAlignment(Qt::AlignCenter);
            if (row.failed) {
                item->setData(Qt::UserRole, 1);
                item->setBackground(QColor(255, 0, 0));
            }
        }
        m_resultList->setItem(0, 0, serial);
        m_resultList->setItem(0, 1, state);
    });
}

void CProvisorDlg::ShowCounters(int total, int success, int fail) {
    m_ui->Call([this, total, success, fail] {
        const int values[3] = {total, success, fail};
        for (int i = 0; i < 3; ++i) SetValue(m_counterLabels[i], QString::number(values[i]));
    });
}

void CProvisorDlg::SetClipboardText(const QString& text) {
    m_ui->Call([&text] {
        if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
    });
}

std::optional<QString> CProvisorDlg::ChooseOpenFile(const QString& filter) {
    return m_ui->Call([this, &filter]() -> std::optional<QString> {
        if (m_fileChooser) return m_fileChooser(filter);
        const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), QtFilter(filter));
        if (path.isEmpty()) return std::nullopt;
        return path;
    });
}

void CProvisorDlg::SetMinimized(bool minimized) {
    m_ui->Call([this, minimized] {
        if (minimized)
            showMinimized();
        else
            showNormal();
    });
}

std::optional<QString> CProvisorDlg::AskAccessKey() {
    return m_ui->Call([this] { return m_prompt->AskAccessKey(); });
}

}  // namespace provisor
