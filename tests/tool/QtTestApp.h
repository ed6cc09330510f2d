// One offscreen QApplication per test process, created on first use so that
// test discovery (--gtest_list_tests) needs no platform plugin.
#pragma once

#include <QApplication>
#include <QString>

#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include <ostream>

// A crash in a test that drives threads leaves the stack of the thread that
// crashed on standard error, so a rare one can be told from the CI log.
inline void PrintBacktraceAndDie(int signal) {
    void* frames[64];
    const int n = backtrace(frames, 64);
    static const char header[] = "\n*** fatal signal; backtrace of the crashing thread:\n";
    (void)!write(STDERR_FILENO, header, sizeof header - 1);
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

inline bool InstallCrashBacktrace() {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // the sanitizers report better
    for (int sig : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) ::signal(sig, PrintBacktraceAndDie);
#endif
    return true;
}

// Readable QString values in assertion messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

inline QApplication& EnsureQtApp() {
    static const bool crashBacktrace = InstallCrashBacktrace();
    (void)crashBacktrace;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "provisor-test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: at exit it would outlive Qt's own globals.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}
