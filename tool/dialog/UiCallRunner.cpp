#include "dialog/UiCallRunner.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QWidget>

#include <chrono>

namespace provisor {

UiCallRunner::UiCallRunner(QWidget* window) : m_window(window), m_helper([this] { HelperLoop(); }) {}

UiCallRunner::~UiCallRunner() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wakeHelper.notify_all();
    m_helper.join();
}

void UiCallRunner::HelperLoop() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wakeHelper.wait(lock, [this] { return m_stop || !m_jobs.empty(); });
        if (m_jobs.empty()) return;
        Job* job = m_jobs.front();
        m_jobs.pop_front();
        lock.unlock();
        (*job->work)();
        lock.lock();
        job->done = true;
        if (QEventLoop* loop = job->loop)
            // The loop lives until this quit has reached it.
            QMetaObject::invokeMethod(
                loop, [loop] { loop->quit(); }, Qt::QueuedConnection);
        m_jobDone.notify_all();
    }
}

void UiCallRunner::Run(const std::function<void()>& work) {
    InputBlocker blocker(m_window);
    ++m_depth;
    Job job{&work};
    std::unique_lock lock(m_mutex);
    m_jobs.push_back(&job);
    m_wakeHelper.notify_one();
    if (!m_jobDone.wait_for(lock, std::chrono::milliseconds(kGraceMs), [&] { return job.done; })) {
        QEventLoop loop;
        job.loop = &loop;
        lock.unlock();
        loop.exec();
        lock.lock();
        // Only the helper's quit ends that loop, but the job must be over
        // before it goes out of scope whatever happens.
        m_jobDone.wait(lock, [&] { return job.done; });
    }
    --m_depth;
}

InputBlocker::InputBlocker(QWidget* window) : m_window(window) {
    if (QCoreApplication::instance()) QCoreApplication::instance()->installEventFilter(this);
}

InputBlocker::~InputBlocker() {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeEventFilter(this);
}

bool InputBlocker::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::ContextMenu:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd: {
            auto* widget = qobject_cast<QWidget*>(watched);
            return widget && m_window && widget->window() == m_window;
        }
        default: return false;
    }
}

}  // namespace provisor
