#include "cli/HeadlessView.h"

#include <ctime>

#include "session/ClockTicker.h"

namespace keyloom {

namespace choice = provisor::choice;

HeadlessView::HeadlessView() {
    m_selections = {{Control::TimeStep, choice::Step30},
                    {Control::Algorithm, choice::Sha1},
                    {Control::OtpLength, choice::Digits6},
                    {Control::TimeMode, choice::TimeNoChange},
                    {Control::EnterKey, choice::NoEnter},
                    {Control::ClearSeed, choice::ClearNo},
                    {Control::DisplayOff, 0},
                    {Control::Profile, 0}};
}

void HeadlessView::ShowMessage(const QString& text, const QString& caption, MessageIcon icon) {
    std::lock_guard lock(m_mutex);
    m_messages.push_back({text, caption, icon, false, false});
}

bool HeadlessView::AskOkCancel(const QString& text, const QString& caption, MessageIcon icon) {
    std::lock_guard lock(m_mutex);
    m_messages.push_back({text, caption, icon, true, m_answerOk});
    return m_answerOk;
}

QString HeadlessView::Text(Control control) {
    std::lock_guard lock(m_mutex);
    if (control == Control::UtcTime && !m_texts.count(control))
        return QString::fromStdString(provisor::FormatUtcTimeField(std::chrono::system_clock::now()));
    const auto it = m_texts.find(control);
    return it == m_texts.end() ? QString() : it->second;
}

void HeadlessView::SetText(Control control, const QString& text) {
    std::lock_guard lock(m_mutex);
    m_texts[control] = text;
}

int HeadlessView::Selection(Control control) {
    std::lock_guard lock(m_mutex);
    const auto it = m_selections.find(control);
    return it == m_selections.end() ? -1 : it->second;
}

void HeadlessView::SetSelection(Control control, int index) {
    std::lock_guard lock(m_mutex);
    m_selections[control] = index;
}

void HeadlessView::InsertResultRow(const provisor::ResultRow& row) {
    std::lock_guard lock(m_mutex);
    m_rows.push_back(row);
}

void HeadlessView::SetClipboardText(const QString& text) {
    std::lock_guard lock(m_mutex);
    if (!text.isEmpty()) m_clipboard = text;
}

std::optional<QString> HeadlessView::AskAccessKey() {
    std::lock_guard lock(m_mutex);
    return m_accessKey;
}

std::vector<RecordedMessage> HeadlessView::Messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

std::vector<provisor::ResultRow> HeadlessView::Rows() const {
    std::lock_guard lock(m_mutex);
    return m_rows;
}

std::optional<QString> HeadlessView::Clipboard() const {
    std::lock_guard lock(m_mutex);
    return m_clipboard;
}

}  // namespace keyloom
