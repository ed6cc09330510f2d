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

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "session/CallRunner.h"

class QEventLoop;
class QWidget;

namespace provisor {

//
// Most calls end within a few milliseconds: the UI thread first waits that
// long for the helper without an event loop, which keeps a provisioning's
// five calls about as fast as making them directly.
class UiCallRunner final : public ICallRunner {
public:
    explicit UiCallRunner(QWidget* window);
    ~UiCallRunner() override;
    UiCallRunner(const UiCallRunner&) = delete;
    UiCallRunner& operator=(const UiCallRunner&) = delete;

    void Run(const std::function<void()>& work) override;
    // How many Run() calls are waiting right now.
    int Depth() const { return m_depth; }

    // Longest the UI thread waits for a call without running its event loop.
    static constexpr int kGraceMs = 3;

private:
    struct Job {
        const std::function<void()>* work;
        bool done = false;
        QEventLoop* loop = nullptr;  // set when the UI thread waits in one
    };
    void HelperLoop();

    QPointer<QWidget> m_window;
    int m_depth = 0;
    std::mutex m_mutex;
    std::condition_variable m_wakeHelper;
    std::condition_variable m_jobDone;
    std::deque<Job*> m_jobs;
    bool m_stop = false;
    std::thread m_helper;
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
