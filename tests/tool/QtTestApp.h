// One offscreen QApplication per test process, created on first use so that
// test discovery (--gtest_list_tests) needs no platform plugin.
#pragma once

#include <QApplication>
#include <QString>

#include <ostream>

// Readable QString values in assertion messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

inline QApplication& EnsureQtApp() {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "provisor-test";
    static char* argv[] = {name, nullptr};
    // Never destroyed: at exit it would outlive Qt's own globals.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}
