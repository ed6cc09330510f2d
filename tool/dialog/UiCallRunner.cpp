#include "UiCallRunner.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QWidget>

#include <thread>

namespace provisor {

void UiCallRunner::Run(const std::function<void()>& work) {
    InputBlocker blocker(m_window);
    ++m_depth;
    QEventLoop loop;
    std::thread helper([&] {
        work();
        // Delivered inside loop.exec() below; dropped if the loop is gone.
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    helper.join();
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
        default:
            return false;
    }
}

}  // namespace provisor
