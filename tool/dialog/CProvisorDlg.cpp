#include "dialog/CProvisorDlg.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <future>
#include <type_traits>

#include "accesskey/AccessKeyEntry.h"
#include "accesskey/AccessKeyFlows.h"
#include "import/BulkImportFlow.h"
#include "import/QrImportFlow.h"
#include "dialog/CInputCustomerKey.h"
#include "actions/DeviceActions.h"
#include "dialog/MessageBoxSink.h"
#include "provisioning/Provisioning.h"
#include "dialog/UiCallRunner.h"

namespace provisor {

namespace {

QFont ProvisionButtonFont() {
    // Tahoma where installed, else the nearest heavy sans-serif.
    QFont font;
    font.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Sans Serif")});
    font.setPixelSize(20);
    font.setWeight(QFont::Black);
    return font;
}

QIcon ToolIcon() { return QIcon(QStringLiteral(":/provisor/provisor.png")); }

// "Name (*.ext)|*.ext|...||" as Qt's "Name (*.ext);;..." filter.
QString QtFilter(const QString& filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList names;
    for (int i = 0; i + 1 < parts.size(); i += 2)
        if (!parts[i].isEmpty()) names << parts[i];
    return names.join(QStringLiteral(";;"));
}

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent) : QDialog(parent) {
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
};

}  // namespace

template <typename W>
W* CProvisorDlg::Add(int id, W* widget, const char* role, const QString& accessibleName) {
    widget->setObjectName(id > 0 ? QStringLiteral("%1%2").arg(QLatin1String(role)).arg(id) : QLatin1String(role));
    widget->setAccessibleName(accessibleName);
    if constexpr (std::is_base_of_v<QPushButton, W>) {
        // Enter must never press a button behind the operator's back.
        widget->setAutoDefault(false);
        widget->setDefault(false);
    }
    if (id > 0) m_controls[id] = widget;
    return widget;
}

CProvisorDlg::CProvisorDlg(StartupEnvironment env, Options options, QWidget* parent)
    : QDialog(parent), m_session(options.clock), m_ctx{m_session, *this, nullptr} {
    if (options.sink) {
        m_sink = options.sink;
    } else {
        m_ownSink = std::make_unique<MessageBoxSink>();
        m_sink = m_ownSink.get();
    }
    if (options.prompt) {
        m_prompt = options.prompt;
    } else {
        m_ownPrompt = std::make_unique<AccessKeyDialogPrompt>(*m_sink, this);
        m_prompt = m_ownPrompt.get();
    }
    if (options.probe) {
        m_probe = options.probe;
    } else {
        m_ownProbe = std::make_unique<PcscLiteProbe>(m_session.cardApi.CallLock());
        m_probe = m_ownProbe.get();
    }
    m_startup = std::make_unique<ProvisorStartup>(std::move(env), *m_sink, *m_prompt, *this, m_session);
    m_ctx.log = &m_startup->Log();
    m_runner = std::make_unique<UiCallRunner>(this);

    setObjectName(QStringLiteral("CProvisorDlg"));
    setWindowTitle(kMainTitle);
    setWindowIcon(ToolIcon());
    // A dialog with the window buttons of a main window.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    BuildControls();
    ConnectSignals();

    m_session.SetFieldUpdateHandler([this] {
        if (m_fieldUpdatePosted.exchange(true)) return;
        QMetaObject::invokeMethod(
            this, [this] { UpdateFields(); }, Qt::QueuedConnection);
    });
    m_readerWatch = std::make_unique<ReaderWatch>(*m_probe, m_session, [this](const auto& listed) {
        QMetaObject::invokeMethod(
            this, [this, listed] { ApplyReaderList(listed); }, Qt::QueuedConnection);
    });
    m_clock = std::make_unique<ClockTicker>(m_session, [this](const std::string& text) {
        const QString value = QString::fromStdString(text);
        QMetaObject::invokeMethod(
            this, [this, value] { SetUtcText(value); }, Qt::QueuedConnection);
    });
    m_cardMonitor = std::make_unique<CardMonitor>(*m_probe, m_ctx, [this] { RunAutoWrite(m_ctx); });
}

CProvisorDlg::~CProvisorDlg() {
    StopThreads();
    m_session.SetFieldUpdateHandler({});
    if (m_ownSink) m_ownSink->CloseAll();
    // Only now, with no thread left inside it, may the library go.
    m_startup->Release();
}

void CProvisorDlg::BuildControls() {
    auto label = [this](const QString& text, const char* role = nullptr, int id = 0) {
        auto* l = new QLabel(text, this);
        if (role) Add(id, l, role, text);
        return l;
    };
    auto button = [this](int id, const QString& text, const char* role) {
        return Add(id, new QPushButton(text, this), role, text);
    };
    auto list = [this](int id, const QStringList& entries, int selected, const char* role, const QString& name) {
        auto* combo = Add(id, new QComboBox(this), role, name);
        combo->addItems(entries);
        combo->setCurrentIndex(selected);
        return combo;
    };
    auto edit = [this](int id, const char* role, const QString& name, int maxLength = 0) {
        auto* e = Add(id, new QLineEdit(this), role, name);
        if (maxLength > 0) e->setMaxLength(maxLength);
        return e;
    };
    auto buddy = [](QLabel* l, QWidget* w) {
        l->setBuddy(w);
        return l;
    };

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

    // Reader row.
    auto* chooseLabel = label(QStringLiteral("Choose device:"), "chooseDeviceLabel");
    m_readerList = Add(1018, new QComboBox(this), "readerList", QStringLiteral("Choose device:"));
    m_readerList->setMinimumContentsLength(28);
    m_readerList->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    buddy(chooseLabel, m_readerList);
    auto* connectButton = button(1019, QStringLiteral("\U0001F50Cconnect"), "connectButton");
    m_tipLabel = label(QStringLiteral("TIP"), "tipLabel", 1016);
    m_tipLabel->hide();
    m_advanced =
        Add(1087, new QCheckBox(QStringLiteral("advanced"), this), "advancedCheck", QStringLiteral("advanced"));
    auto* readerRow = new QHBoxLayout;
    readerRow->addWidget(chooseLabel);
    readerRow->addWidget(m_readerList, 1);
    readerRow->addWidget(connectButton);
    readerRow->addWidget(m_tipLabel);
    readerRow->addWidget(m_advanced);

    // The advanced block: key management, display and keypad, bulk import.
    auto* factoryReset = button(1041, QStringLiteral("factory reset"), "factoryResetButton");
    auto* accessKeyLabel = label(QStringLiteral("Access key:"), "accessKeyLabel", 1088);
    auto* asciiNote =
        label(QStringLiteral("[the key entered in ASCII format will be converted to HEX]"), "asciiNoteLabel", 1096);
    auto* asciiLabel = label(QStringLiteral("Ascii:"), "asciiLabel", 1094);
    auto* asciiEdit = edit(1092, "asciiKeyEdit", QStringLiteral("Ascii:"));
    buddy(asciiLabel, asciiEdit);
    auto* hexLabel = label(QStringLiteral("Hex:"), "hexLabel", 1095);
    auto* hexEdit = edit(1039, "hexKeyEdit", QStringLiteral("Hex:"), kAccessKeyMaxChars);
    hexEdit->setMinimumWidth(hexEdit->fontMetrics().horizontalAdvance(QString(34, QLatin1Char('D'))));
    // The limit is for typing only. A longer text the "Ascii:" field puts
    // here stays whole (the edit would cut it to a valid-looking key the
    // operator never typed), so that "change key" refuses it; the limit
    // follows the text back down as it is shortened.
    connect(hexEdit, &QLineEdit::textChanged, hexEdit, [hexEdit](const QString& text) {
        hexEdit->setMaxLength(std::max(kAccessKeyMaxChars, static_cast<int>(text.size())));
    });
    buddy(hexLabel, hexEdit);
    auto* changeKey = button(1040, QStringLiteral("change key"), "changeKeyButton");
    auto* displayOffLabel = label(QStringLiteral("Display off time:"), "displayOffLabel", 1089);
    auto* displayOff =
        list(1081, {QStringLiteral("15s"), QStringLiteral("30s"), QStringLiteral("60s"), QStringLiteral("120s")}, 0,
             "displayOffList", QStringLiteral("Display off time:"));
    buddy(displayOffLabel, displayOff);
    auto* changeDisplayOff = button(1068, QStringLiteral("change"), "changeDisplayOffButton");
    auto* keypad = Add(1082, new QCheckBox(QStringLiteral("Use numeric keypad"), this), "keypadCheck",
                       QStringLiteral("Use numeric keypad"));
    auto* setKeypad = button(1083, QStringLiteral("Set"), "setKeypadButton");
    auto* bulkGroup =
        Add(1091, new QGroupBox(QStringLiteral("Bulk import"), this), "bulkGroup", QStringLiteral("Bulk import"));
    auto* importFromFile = Add(1005, new QPushButton(QStringLiteral("Import from file"), bulkGroup),
                               "importFromFileButton", QStringLiteral("Import from file"));
    auto* bulkPath = Add(1003, new QLineEdit(bulkGroup), "bulkPathEdit", QStringLiteral("Bulk import"));
    auto* bulkImport = Add(1021, new QPushButton(QStringLiteral("\u2630 bulk import"), bulkGroup), "bulkImportButton",
                           QStringLiteral("\u2630 bulk import"));
    bulkImport->setFont(QApplication::font());  // the system's default font, emoji and all
    auto* bulkLayout = new QHBoxLayout(bulkGroup);
    bulkLayout->addWidget(importFromFile);
    bulkLayout->addWidget(bulkPath, 1);
    bulkLayout->addWidget(bulkImport);

    auto* advancedGrid = new QGridLayout;
    advancedGrid->addWidget(factoryReset, 0, 0);
    advancedGrid->addWidget(accessKeyLabel, 0, 1);
    advancedGrid->addWidget(asciiNote, 0, 2, 1, 4);
    advancedGrid->addWidget(asciiLabel, 1, 1);
    advancedGrid->addWidget(asciiEdit, 1, 2);
    advancedGrid->addWidget(hexLabel, 1, 3);
    advancedGrid->addWidget(hexEdit, 1, 4);
    advancedGrid->addWidget(changeKey, 1, 5);
    advancedGrid->addWidget(displayOffLabel, 2, 1);
    advancedGrid->addWidget(displayOff, 2, 2);
    advancedGrid->addWidget(changeDisplayOff, 2, 3);
    advancedGrid->addWidget(keypad, 2, 4);
    advancedGrid->addWidget(setKeypad, 2, 5);
    advancedGrid->addWidget(bulkGroup, 3, 0, 1, 6);

    // Profile form.
    auto* profileLabel = label(QStringLiteral("Profile:"), "profileLabel");
    QStringList profiles;
    for (int i = 0; i < 100; ++i) profiles << QString::number(i);
    m_profileList = list(1071, profiles, 0, "profileList", QStringLiteral("Profile:"));
    m_profileList->setMaxVisibleItems(20);
    buddy(profileLabel, m_profileList);
    auto* note = label(QStringLiteral("Note: Norvik-2 supports 50 profiles, Norvik-2 v2 supports 100 profiles (0-99)"),
                       "profileNoteLabel");
    auto* seedLabel = label(QStringLiteral("Seed (base32) :"), "seedLabel");
    auto* seedEdit = edit(1001, "seedEdit", QStringLiteral("Seed (base32) :"), 256);
    buddy(seedLabel, seedEdit);
    auto* loadFromFile = button(1000, QStringLiteral("Load from file"), "loadFromFileButton");
    auto* writeSeed = button(1015, QStringLiteral("write seed only"), "writeSeedButton");
    auto* qrScreen = button(1004, QStringLiteral("QR from screen"), "qrFromScreenButton");
    auto* qrImage = button(1002, QStringLiteral("QR from image"), "qrFromImageButton");
    auto* titleLabel = label(QStringLiteral("Profile title:"), "titleLabel");
    auto* titleEdit = edit(1052, "titleEdit", QStringLiteral("Profile title:"), 12);
    buddy(titleLabel, titleEdit);
    auto* titleNote = label(QStringLiteral("12 chars max, ASCII only"), "titleNoteLabel");
    auto* setTitle = button(1053, QStringLiteral("set title only"), "setTitleButton");
    auto* timeStepLabel = label(QStringLiteral("Time Step:"), "timeStepLabel", 1033);
    auto* timeStep = list(1072, {QStringLiteral("30s"), QStringLiteral("60s"), QStringLiteral("No change")}, 0,
                          "timeStepList", QStringLiteral("Time Step:"));
    buddy(timeStepLabel, timeStep);
    auto* algorithmLabel = label(QStringLiteral("Algorithm:"), "algorithmLabel", 1034);
    auto* algorithm = list(1073, {QStringLiteral("SHA1"), QStringLiteral("SHA256"), QStringLiteral("No change")}, 0,
                           "algorithmList", QStringLiteral("Algorithm:"));
    buddy(algorithmLabel, algorithm);
    auto* otpLengthLabel = label(QStringLiteral("OTP Length:"), "otpLengthLabel");
    auto* otpLength = list(1074,
                           {QStringLiteral("4"), QStringLiteral("6"), QStringLiteral("8"), QStringLiteral("10"),
                            QStringLiteral("No change")},
                           1, "otpLengthList", QStringLiteral("OTP Length:"));
    buddy(otpLengthLabel, otpLength);
    m_timeModeList =
        list(1077, {QStringLiteral("Auto time"), QStringLiteral("Manual time"), QStringLiteral("No change")}, 0,
             "timeModeList", QStringLiteral("Time mode:"));
    auto* enterLabel = label(QStringLiteral("Enter key:"), "enterKeyLabel");
    auto* enterKey = list(1076, {QStringLiteral("Auto Enter"), QStringLiteral("No Enter"), QStringLiteral("No change")},
                          0, "enterKeyList", QStringLiteral("Enter key:"));
    buddy(enterLabel, enterKey);
    auto* utcLabel = label(QStringLiteral("UTC Time:"), "utcTimeLabel");
    m_utcEdit = edit(1029, "utcTimeEdit", QStringLiteral("UTC Time:"));
    buddy(utcLabel, m_utcEdit);
    auto* applyConfig = button(1031, QStringLiteral("apply config conly"), "applyConfigButton");
    auto* removeSeed = button(1078, QStringLiteral("remove seed"), "removeSeedButton");
    auto* copyOtp = button(1079, QStringLiteral("copy OTP"), "copyOtpButton");
    auto* lockGroup = new QGroupBox(QStringLiteral("Screen lock"), this);
    Add(0, lockGroup, "screenLockGroup", QStringLiteral("Screen lock"));
    auto* lock = Add(1085, new QPushButton(QStringLiteral("\U0001F512lock"), lockGroup), "lockButton",
                     QStringLiteral("\U0001F512lock"));
    auto* unlock = Add(1093, new QPushButton(QStringLiteral("\U0001F511unlock"), lockGroup), "unlockButton",
                       QStringLiteral("\U0001F511unlock"));
    auto* lockLayout = new QHBoxLayout(lockGroup);
    lockLayout->addWidget(lock);
    lockLayout->addWidget(unlock);

    auto* form = new QGridLayout;
    int row = 0;
    form->addWidget(profileLabel, row, 0);
    form->addWidget(m_profileList, row, 1);
    form->addWidget(note, row, 2, 1, 5);
    ++row;
    form->addWidget(seedLabel, row, 0);
    form->addWidget(seedEdit, row, 1, 1, 3);
    auto* seedButtons = new QHBoxLayout;
    seedButtons->addWidget(loadFromFile);
    seedButtons->addWidget(writeSeed);
    seedButtons->addWidget(qrScreen);
    seedButtons->addWidget(qrImage);
    form->addLayout(seedButtons, row, 4, 1, 3);
    ++row;
    form->addWidget(titleLabel, row, 0);
    form->addWidget(titleEdit, row, 1);
    form->addWidget(titleNote, row, 2, 1, 2);
    form->addWidget(setTitle, row, 4);
    ++row;
    form->addWidget(timeStepLabel, row, 0);
    form->addWidget(timeStep, row, 1);
    form->addWidget(algorithmLabel, row, 2);
    form->addWidget(algorithm, row, 3);
    form->addWidget(otpLengthLabel, row, 4);
    form->addWidget(otpLength, row, 5);
    ++row;
    form->addWidget(m_timeModeList, row, 1);
    form->addWidget(enterLabel, row, 2);
    form->addWidget(enterKey, row, 3);
    ++row;
    form->addWidget(utcLabel, row, 0);
    form->addWidget(m_utcEdit, row, 1, 1, 3);
    form->addWidget(applyConfig, row, 4);
    ++row;
    // The two buttons stand on the line of the lock buttons, not of their
    // group's title.
    auto* profileButtons = new QHBoxLayout;
    profileButtons->addWidget(removeSeed);
    profileButtons->addWidget(copyOtp);
    auto* profileColumn = new QVBoxLayout;
    profileColumn->addStretch();
    profileColumn->addLayout(profileButtons);
    profileColumn->setContentsMargins(0, 0, 0,
                                      lockLayout->contentsMargins().bottom() + lockGroup->contentsMargins().bottom());
    auto* actionRow = new QHBoxLayout;
    actionRow->addLayout(profileColumn);
    actionRow->addWidget(lockGroup);
    actionRow->addStretch();
    form->addLayout(actionRow, row, 0, 1, 7);
    form->setColumnStretch(1, 1);
    form->setColumnStretch(3, 1);

    m_provisionButton = button(1080, kProvisionButtonText + QStringLiteral("0"), "provisionButton");
    m_provisionButton->setFont(ProvisionButtonFont());
    m_provisionButton->setMinimumHeight(48);

    // Status: token, counters, result list.
    auto* serialTitle = label(QStringLiteral("Current Serial Number:"), "serialNumberTitle");
    m_serialLabel = label(QString(), "serialNumberLabel", 1006);
    m_serialLabel->setAccessibleName(QStringLiteral("Current Serial Number:"));
    m_serialLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* timeTitle = label(QStringLiteral("Time:"), "tokenTimeTitle");
    m_timeLabel = label(QString(), "tokenTimeLabel", 1007);
    m_timeLabel->setAccessibleName(QStringLiteral("Time:"));
    auto* status = new QGridLayout;
    status->addWidget(serialTitle, 0, 0);
    status->addWidget(m_serialLabel, 0, 1);
    status->addWidget(timeTitle, 1, 0);
    status->addWidget(m_timeLabel, 1, 1);
    status->setColumnStretch(1, 1);

    auto* counters = new QHBoxLayout;
    const QString counterTitles[3] = {QStringLiteral("Total:"), QStringLiteral("Success:"), QStringLiteral("Fail:")};
    const char* counterRoles[3] = {"totalLabel", "successLabel", "failLabel"};
    for (int i = 0; i < 3; ++i) {
        counters->addWidget(new QLabel(counterTitles[i], this));
        m_counterLabels[i] = label(QStringLiteral("0"), counterRoles[i], 1008 + i);
        m_counterLabels[i]->setAccessibleName(counterTitles[i]);
        counters->addWidget(m_counterLabels[i]);
        counters->addSpacing(12);
    }
    counters->addStretch();
    auto* clearLog = button(1017, QStringLiteral("clear log"), "clearLogButton");
    counters->addWidget(clearLog);

    auto* progress = label(QString(), "progressLabel", 1084);
    progress->setAccessibleName(QStringLiteral("Progress"));
    progress->hide();
    auto* clearSeedLabel = label(QStringLiteral("Clear Seed when change Time or Algorithm:"), "clearSeedLabel");
    clearSeedLabel->hide();
    auto* clearSeed = list(1075, {QStringLiteral("YES"), QStringLiteral("NO"), QStringLiteral("No change")}, 1,
                           "clearSeedList", QStringLiteral("Clear Seed when change Time or Algorithm:"));
    clearSeed->hide();
    loadFromFile->hide();
    auto* hidden = new QHBoxLayout;
    hidden->addWidget(progress);
    hidden->addWidget(clearSeedLabel);
    hidden->addWidget(clearSeed);

    // Report view; its columns are created when the library is bound.
    m_resultList = Add(1011, new QTableWidget(0, 0, this), "resultList", QStringLiteral("Results"));
    m_resultList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_resultList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_resultList->setShowGrid(true);
    m_resultList->verticalHeader()->hide();
    m_resultList->horizontalHeader()->setStretchLastSection(true);
    m_resultList->setMinimumHeight(160);

    auto* layout = new QVBoxLayout(this);
    layout->setMenuBar(menuBar);
    layout->addLayout(readerRow);
    layout->addLayout(advancedGrid);
    layout->addLayout(form);
    layout->addWidget(m_provisionButton);
    layout->addLayout(status);
    layout->addLayout(counters);
    layout->addLayout(hidden);
    layout->addWidget(m_resultList, 1);

    OnAdvancedToggled(false);
}

void CProvisorDlg::ConnectSignals() {
    auto clicked = [this](int id, void (CProvisorDlg::*handler)()) {
        connect(qobject_cast<QPushButton*>(ControlWidget(id)), &QPushButton::clicked, this,
                [this, handler] { RunAction([this, handler] { (this->*handler)(); }); });
    };
    auto flow = [this](int id, void (*action)(const ToolContext&)) {
        connect(qobject_cast<QPushButton*>(ControlWidget(id)), &QPushButton::clicked, this,
                [this, action] { RunAction([this, action] { action(m_ctx); }); });
    };
    clicked(1019, &CProvisorDlg::OnConnect);
    clicked(1017, &CProvisorDlg::OnClearLog);
    flow(1080, &ProvisionProfile);
    flow(1031, &ApplyConfigOnly);
    flow(1015, &ToggleWriteSeed);
    flow(1000, &LoadFromFile);
    flow(1040, &ChangeKey);
    flow(1041, &FactoryReset);
    flow(1053, &SetTitleOnly);
    flow(1068, &ChangeDisplayOffTime);
    flow(1083, &SetKeypadMode);
    flow(1078, &RemoveSeed);
    flow(1079, &CopyOtp);
    flow(1085, &LockScreen);
    flow(1093, &UnlockScreen);
    flow(1002, &ImportQrFromImage);
    flow(1004, &ImportQrFromScreen);
    flow(1005, &ChooseBulkFile);
    connect(qobject_cast<QPushButton*>(ControlWidget(1021)), &QPushButton::clicked, this,
            [this] { RunAction([this] { StartBulkImport(m_ctx, m_bulkRun); }); });
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
    StartThreads();
}

int CProvisorDlg::Run() {
    InitDialog();
    if (m_closeRequested) return QDialog::Rejected;
    return exec();
}

void CProvisorDlg::StartThreads() {
    m_readerWatch->Start();
    m_clock->Start();
}

void CProvisorDlg::StopThreads() {
    // From here on, a worker asking the UI thread anything gets a default
    // answer at once, so no worker can hold up the stops below.
    m_closing = true;
    if (m_ownSink) m_ownSink->CloseAll();
    m_readerWatch->Stop();
    m_clock->Stop();
    m_cardMonitor->Stop();
    // The bulk worker asks the UI thread for the UTC field and its rows; it
    // finishes the line it is on and applies no more.
    m_bulkRun.RequestStop();
    m_session.RunBlocking([this] { m_bulkRun.Wait(); });
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
    m_fieldUpdatePosted = false;
    const TokenInfo token = m_session.Token();
    m_serialLabel->setText(QString::fromStdString(token.serialNumber));
    m_timeLabel->setText(QString::fromStdString(token.tokenTime));
    // Screen readers name these by their title; the value is the description.
    m_serialLabel->setAccessibleDescription(m_serialLabel->text());
    m_timeLabel->setAccessibleDescription(m_timeLabel->text());
    m_tipLabel->setText(QString::fromStdString(m_session.Tip()));
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
    m_cardMonitor->Stop();
    // A token already read in the reader connected before is not the one in
    // this reader: read (and, when armed, write) whatever is found here.
    m_session.g_readPending = true;
    m_session.g_writePending = true;
    m_session.ClearTokenInfo();
    m_session.PostFieldUpdate();
    m_cardMonitor->Restart();
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

bool CProvisorDlg::OnUiThreadNow() const { return QThread::currentThread() == thread(); }

template <typename F>
auto CProvisorDlg::OnUiThread(F f) -> decltype(f()) {
    using R = decltype(f());
    if (OnUiThreadNow()) return f();
    if (m_closing) return R();
    if constexpr (std::is_void_v<R>) {
        QMetaObject::invokeMethod(
            this,
            [this, &f] {
                if (!m_closing) f();
            },
            Qt::BlockingQueuedConnection);
    } else {
        R result{};
        QMetaObject::invokeMethod(
            this,
            [this, &f, &result] {
                if (!m_closing) result = f();
            },
            Qt::BlockingQueuedConnection);
        return result;
    }
}

bool CProvisorDlg::WorkerBox(const QString& text, const QString& caption, MessageIcon icon, bool question) {
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> future = answer->get_future();
    QMetaObject::invokeMethod(
        this,
        [this, answer, text, caption, icon, question] {
            if (m_closing) {
                answer->set_value(false);
            } else if (m_ownSink) {
                m_ownSink->Open(text, caption, icon, question, [answer](bool ok) { answer->set_value(ok); });
            } else if (question) {
                answer->set_value(m_sink->AskOkCancel(text, caption, icon));
            } else {
                m_sink->ShowMessage(text, caption, icon);
                answer->set_value(true);
            }
        },
        Qt::QueuedConnection);
    while (future.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        if (m_closing) return false;
    return future.get();
}

void CProvisorDlg::ShowMessage(const QString& text, const QString& caption, MessageIcon icon) {
    if (OnUiThreadNow())
        m_sink->ShowMessage(text, caption, icon);
    else
        WorkerBox(text, caption, icon, false);
}

bool CProvisorDlg::AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) {
    if (OnUiThreadNow()) return m_sink->AskOkCancel(text, caption, icon);
    return WorkerBox(text, caption, icon, true);
}

QString CProvisorDlg::Text(Control control) {
    return OnUiThread([this, control] {
        QWidget* w = ControlWidget(static_cast<int>(control));
        if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
        if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) return b->text();
        if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
        return QString();
    });
}

void CProvisorDlg::SetText(Control control, const QString& text) {
    OnUiThread([this, control, &text] {
        QWidget* w = ControlWidget(static_cast<int>(control));
        if (auto* e = qobject_cast<QLineEdit*>(w)) {
            if (control == Control::HexKey && text.size() > e->maxLength())
                e->setMaxLength(static_cast<int>(text.size()));
            e->setText(text);
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            l->setText(text);
            // The bulk run's progress would tell nobody anything while
            // hidden: it shows while it has something to say.
            if (control == Control::Progress) l->setVisible(!text.isEmpty());
        } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            b->setText(text);
        }
    });
}

int CProvisorDlg::Selection(Control control) {
    return OnUiThread([this, control] {
        auto* c = qobject_cast<QComboBox*>(ControlWidget(static_cast<int>(control)));
        return c ? c->currentIndex() : -1;
    });
}

void CProvisorDlg::SetSelection(Control control, int index) {
    OnUiThread([this, control, index] {
        if (auto* c = qobject_cast<QComboBox*>(ControlWidget(static_cast<int>(control)))) c->setCurrentIndex(index);
    });
}

bool CProvisorDlg::IsChecked(Control control) {
    return OnUiThread([this, control] {
        auto* b = qobject_cast<QAbstractButton*>(ControlWidget(static_cast<int>(control)));
        return b && b->isChecked();
    });
}

void CProvisorDlg::SetEnabled(Control control, bool enabled) {
    OnUiThread([this, control, enabled] {
        if (QWidget* w = ControlWidget(static_cast<int>(control))) w->setEnabled(enabled);
    });
}

void CProvisorDlg::InsertResultRow(const ResultRow& row) {
    OnUiThread([this, &row] {
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
    OnUiThread([this, total, success, fail] {
        const int values[3] = {total, success, fail};
        for (int i = 0; i < 3; ++i) {
            m_counterLabels[i]->setText(QString::number(values[i]));
            m_counterLabels[i]->setAccessibleDescription(m_counterLabels[i]->text());
        }
    });
}

void CProvisorDlg::SetClipboardText(const QString& text) {
    OnUiThread([&text] {
        if (!text.isEmpty()) QGuiApplication::clipboard()->setText(text);
    });
}

std::optional<QString> CProvisorDlg::ChooseOpenFile(const QString& filter) {
    return OnUiThread([this, &filter]() -> std::optional<QString> {
        if (m_fileChooser) return m_fileChooser(filter);
        const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), QtFilter(filter));
        if (path.isEmpty()) return std::nullopt;
        return path;
    });
}

void CProvisorDlg::SetMinimized(bool minimized) {
    OnUiThread([this, minimized] {
        if (minimized)
            showMinimized();
        else
            showNormal();
    });
}

std::optional<QString> CProvisorDlg::AskAccessKey() {
    return OnUiThread([this] { return m_prompt->AskAccessKey(); });
}

}  // namespace provisor
