// The application object: runs the main dialog modally and nothing else.
#pragma once

#include <QApplication>

namespace provisor {

class CProvisorApp : public QApplication {
public:
    CProvisorApp(int& argc, char** argv);
    // Runs the main dialog; returns when it is closed.
    int InitInstance();
};

}  // namespace provisor
