// Library calls made on the UI thread run on a helper thread while the UI
// thread waits in a local event loop: the window keeps painting and takes
// the worker threads' updates, so the desktop never marks the tool as not
// responding, even while the token waits for its user. Input to the main
// window is dropped meanwhile (not queued: a click made during a write
// must not start a second one afterwards); other windows, such as a message
// box a worker thread opened, stay usable.
#pragma once

#include <QObject>
#include <QPointer>

#include "CallRunner.h"

class QWidget;

namespace provisor {

class UiCallRunner final : public ICallRunner {
public:
    explicit UiCallRunner(QWidget* window) : m_window(window) {}
    void Run(const std::function<void()>& work) override;
    // How many Run() calls are waiting right now.
    int Depth() const { return m_depth; }

private:
    QPointer<QWidget> m_window;
    int m_depth = 0;
};

// Swallows user input to one window for its lifetime.
class InputBlocker final : public QObject {
public:
    explicit InputBlocker(QWidget* window);
    ~InputBlocker() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> m_window;
};

}  // namespace provisor
