#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

#include "provisor/CProvisorApp.h"
#include "session/CardApi.h"
#include "session/CardLibrary.h"
#include "session/CoreDumps.h"
#include "import/ExternalProgram.h"
#include "NorvikVersion.h"
#include "session/OperationLog.h"
#include "session/ProvisorStartup.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "Usage: Provisor [--diagnose | --version | --help]\n"
                 "Provisions the TOTP profiles of Norvik-2 tokens through PC/SC readers.\n"
                 "Without options it opens its dialog.\n\n"
                 "  --diagnose  print where the tool finds the token library, the QR programs,\n"
                 "              its configuration file and its operation log, then exit\n"
                 "              (status 1 when the library cannot be loaded)\n"
                 "  --version   print the version and exit\n"
                 "  --help      print this text and exit\n");
}

// What an operator or a packager needs to see when the tool misbehaves,
// without a display.
int Diagnose() {
    using namespace provisor;
    const std::filesystem::path exeDir = ExecutableDirectory();
    std::printf("Provisor %s in %s\n", NORVIK_VERSION, exeDir.c_str());
    CardLibrary library;
    int status = 0;
    if (library.Load(exeDir)) {
        CardApi api;
        api.Resolve([&](const char* name) { return library.Symbol(name); });
        size_t resolved = 0;
        for (size_t i = 0; i < kCardExportCount; ++i) resolved += api.Has(static_cast<CardFn>(i)) ? 1 : 0;
        std::printf("token library:  %s (%zu of %zu commands)\n", library.Path().c_str(), resolved, kCardExportCount);
    } else {
        std::printf("token library:  not found (%s or %s beside the program or on the loader's path)\n",
                    kCardLibraryName, QUILLON_SONAME);
        status = 1;
    }
    for (const char* program : {"qrdecode.dll", "scrn.dll"}) {
        const ExternalProgram found(program, exeDir);
        std::printf("%-15s %s\n", (std::string(program) + ":").c_str(),
                    found.Found() ? found.Path().c_str() : "not found (QR import will find no code)");
    }
    const std::filesystem::path config = ConfigDirectoryFor(exeDir) / kConfigFileName;
    std::error_code ec;
    std::printf("configuration:  %s (%s)\n", config.c_str(),
                std::filesystem::exists(config, ec) ? "present" : "absent: created at the first start");
    std::printf("operation log:  %s\n", (std::filesystem::current_path(ec) / kLogFileName).c_str());
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    provisor::DisableCoreDumps();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("Provisor %s\n", NORVIK_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--diagnose") == 0) return Diagnose();
    }
    provisor::CProvisorApp app(argc, argv);
    return app.InitInstance();
}
