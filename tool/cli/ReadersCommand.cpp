// readers: every PC/SC reader, whether a token is in it and its serial
// number.
#include <QJsonArray>

#include <algorithm>

#include "cli/CommandSession.h"
#include "cli/Commands.h"
#include "cli/Readers.h"

namespace keyloom {

using namespace provisor;

Outcome RunReaders() {
    Outcome out;
    const ReaderScan scan = ScanReaders();
    QJsonArray readers;
    CardLibrary library;
    CardApi api;
    const bool bound = library.Load(ExecutableDirectory());
    if (bound) api.Resolve([&](const char* name) { return library.Symbol(name); });
    for (const std::string& reader : scan.all) {
        const bool token = std::find(scan.withToken.begin(), scan.withToken.end(), reader) != scan.withToken.end();
        QJsonObject r{{"reader", Q(reader)}, {"token", token}, {"serial", QJsonValue()}};
        if (token && bound) {
            const SerialAndClock read = api.ReadSnAndTime(reader.c_str(), 0);
            if (read.Ok()) r["serial"] = Q(read.serial);
        }
        readers.append(r);
    }
    out.report["readers"] = readers;
    if (!bound) {
        out.status = kExitFailure;
        out.cause = kLoadLibraryFailed.toStdString() + ": serial numbers cannot be read";
    }
    return out;
}

}  // namespace keyloom
