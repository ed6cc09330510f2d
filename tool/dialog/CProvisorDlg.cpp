#include "CProvisorDlg.h"

#include <QAbstractItemView>
#include <QGridLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include "CInputCustomerKey.h"

namespace provisor {

namespace {

QLabel* MakeLabel(const QString& text, const char* name, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    if (name) label->setObjectName(QLatin1String(name));
    return label;
}

}  // namespace

CProvisorDlg::CProvisorDlg(StartupEnvironment env, IMessageSink* sink, IAccessKeyPrompt* prompt, QWidget* parent)
    : QDialog(parent) {
    if (!sink) {
        m_ownSink = std::make_unique<MessageBoxSink>(this);
        sink = m_ownSink.get();
    }
    if (!prompt) {
        m_ownPrompt = std::make_unique<AccessKeyDialogPrompt>(*sink, this);
        prompt = m_ownPrompt.get();
    }
    m_sink = sink;
    m_prompt = prompt;
    m_startup = std::make_unique<ProvisorStartup>(std::move(env), *m_sink, *m_prompt, *this);

    setObjectName(QStringLiteral("CProvisorDlg"));
    setWindowTitle(kMainTitle);

    auto* status = new QGridLayout;
    status->addWidget(MakeLabel(QStringLiteral("Current Serial Number:"), nullptr, this), 0, 0);
    m_serialLabel = MakeLabel(QString(), "labelSerialNumber", this);
    status->addWidget(m_serialLabel, 0, 1);
    status->addWidget(MakeLabel(QStringLiteral("Time:"), nullptr, this), 1, 0);
    m_timeLabel = MakeLabel(QString(), "labelTokenTime", this);
    status->addWidget(m_timeLabel, 1, 1);

    auto* counters = new QHBoxLayout;
    const char* counterNames[3] = {"labelTotal", "labelSuccess", "labelFail"};
    const QString counterTitles[3] = {QStringLiteral("Total:"), QStringLiteral("Success:"), QStringLiteral("Fail:")};
    for (int i = 0; i < 3; ++i) {
        counters->addWidget(MakeLabel(counterTitles[i], nullptr, this));
        m_counterLabels[i] = MakeLabel(QStringLiteral("0"), counterNames[i], this);
        counters->addWidget(m_counterLabels[i]);
    }
    counters->addStretch();

    // Report view; its columns are created when the library is bound.
    m_resultList = new QTableWidget(0, 0, this);
    m_resultList->setObjectName(QStringLiteral("resultList"));
    m_resultList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_resultList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_resultList->setShowGrid(true);
    m_resultList->verticalHeader()->hide();

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(status);
    layout->addLayout(counters);
    layout->addWidget(m_resultList);
}

CProvisorDlg::~CProvisorDlg() { m_startup->Release(); }

void CProvisorDlg::InitDialog() { m_startup->BindCardLibrary(); }

int CProvisorDlg::Run() {
    InitDialog();
    if (m_closeRequested) return QDialog::Rejected;
    return exec();
}

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
    m_totalCount = m_successCount = m_failCount = 0;
    ShowCounters();
    m_tip.clear();
    m_writeArmed = 0;
}

void CProvisorDlg::RequestClose() {
    m_closeRequested = true;
    if (isVisible()) QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
}

void CProvisorDlg::keyPressEvent(QKeyEvent* event) {
    // Neither key may end the tool; only the close box does.
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter:
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void CProvisorDlg::ShowCounters() {
    const int values[3] = {m_totalCount, m_successCount, m_failCount};
    for (int i = 0; i < 3; ++i) m_counterLabels[i]->setText(QString::number(values[i]));
}

}  // namespace provisor
