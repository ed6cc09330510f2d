#include "dialog/UiThread.h"

#include <chrono>
#include <future>
#include <memory>

#include "dialog/MessageBoxSink.h"

namespace provisor {

bool UiThread::Box(const QString& text, const QString& caption, MessageIcon icon, bool question) {
    if (!IsCurrent()) return WorkerBox(text, caption, icon, question);
    if (question) return m_sink.AskOkCancel(text, caption, icon);
    m_sink.ShowMessage(text, caption, icon);
    return true;
}

bool UiThread::WorkerBox(const QString& text, const QString& caption, MessageIcon icon, bool question) {
    auto answer = std::make_shared<std::promise<bool>>();
    std::future<bool> future = answer->get_future();
    QMetaObject::invokeMethod(
        m_owner,
        [this, answer, text, caption, icon, question] {
            if (m_closing) {
                answer->set_value(false);
            } else if (m_boxes) {
                m_boxes->Open(text, caption, icon, question, [answer](bool ok) { answer->set_value(ok); });
            } else if (question) {
                answer->set_value(m_sink.AskOkCancel(text, caption, icon));
            } else {
                m_sink.ShowMessage(text, caption, icon);
                answer->set_value(true);
            }
        },
        Qt::QueuedConnection);
    while (future.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready)
        if (m_closing) return false;
    return future.get();
}

std::function<void()> UiThread::FieldUpdatePoster(std::function<void()> update) {
    return [this, update = std::move(update)] {
        // Posts that come while one waits to be run add nothing to it.
        if (m_fieldUpdateQueued.exchange(true)) return;
        QMetaObject::invokeMethod(
            m_owner,
            [this, update] {
                m_fieldUpdateQueued = false;
                update();
            },
            Qt::QueuedConnection);
    };
}

}  // namespace provisor
