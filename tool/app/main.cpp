#include "CProvisorApp.h"

int main(int argc, char** argv) {
    provisor::CProvisorApp app(argc, argv);
    return app.InitInstance();
}
