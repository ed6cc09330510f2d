#include "provisor/CProvisorApp.h"

#include "dialog/CProvisorDlg.h"

namespace provisor {

CProvisorApp::CProvisorApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Provisor"));
    setApplicationDisplayName(kMainTitle);
}

int CProvisorApp::InitInstance() {
    CProvisorDlg dialog;
    dialog.Run();
    return 0;
}

}  // namespace provisor
