// How the worker threads reach the UI thread: a call they wait for, a box
// they wait to be answered, a field update they only ask for. Once the
// dialog is closing, no worker waits for the UI thread any more: it gets a
// default answer at once, so no worker can hold up the close.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <type_traits>

#include "session/UserPrompts.h"

namespace provisor {

class MessageBoxSink;

class UiThread {
public:
    // Calls run in owner's thread (the dialog's); boxes are opened through
    // sink, without nesting an event loop when it is the tool's own boxes.
    UiThread(QObject* owner, IMessageSink& sink, MessageBoxSink* boxes)
        : m_owner(owner), m_sink(sink), m_boxes(boxes) {}

    bool IsCurrent() const { return QThread::currentThread() == m_owner->thread(); }

    // f on the UI thread, its result handed back; from a worker thread the
    // worker waits until the UI thread has run it.
    template <typename F>
    auto Call(F f) -> decltype(f());

    // A message box or question for any thread; true for OK.
    bool Box(const QString& text, const QString& caption, MessageIcon icon, bool question);

    // A function for the session's field updates: it queues update onto the
    // UI thread unless one is queued already, and never blocks.
    std::function<void()> FieldUpdatePoster(std::function<void()> update);

    // From here on workers wait for nothing.
    void Close() { m_closing = true; }
    bool Closing() const { return m_closing; }

private:
    // A box for a worker thread: opened on the UI thread without nesting an
    // event loop there, answered while the worker waits.
    bool WorkerBox(const QString& text, const QString& caption, MessageIcon icon, bool question);

    QPointer<QObject> m_owner;
    IMessageSink& m_sink;
    MessageBoxSink* m_boxes;
    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_fieldUpdateQueued{false};
};

template <typename F>
auto UiThread::Call(F f) -> decltype(f()) {
    using R = decltype(f());
    if (IsCurrent()) return f();
    if (m_closing) return R();
    if constexpr (std::is_void_v<R>) {
        QMetaObject::invokeMethod(
            m_owner,
            [this, &f] {
                if (!m_closing) f();
            },
            Qt::BlockingQueuedConnection);
    } else {
        R result{};
        QMetaObject::invokeMethod(
            m_owner,
            [this, &f, &result] {
                if (!m_closing) result = f();
            },
            Qt::BlockingQueuedConnection);
        return result;
    }
}

}  // namespace provisor
