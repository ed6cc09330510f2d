#include "cli/Readers.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <mutex>

#include "cli/CommandSession.h"
#include "session/PcscProbe.h"

namespace keyloom {

namespace {

// Whether pcscd answers at all: PC/SC reports "no service" and "no reader"
// alike when listing.
bool PcscServiceAnswers() {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
    SCardReleaseContext(context);
    return true;
}

}  // namespace

ReaderScan ScanReaders() {
    // Nothing else talks PC/SC in this process while it scans.
    std::mutex callLock;
    provisor::PcscLiteProbe probe(callLock);
    ReaderScan scan;
    const auto readers = probe.ListReaders();
    if (!readers) {
        if (!PcscServiceAnswers()) throw Failure("the PC/SC service (pcscd) does not answer");
        return scan;
    }
    scan.all = *readers;
    for (const std::string& reader : scan.all)
        if (probe.ConnectShared(reader)) scan.withToken.push_back(reader);
    return scan;
}

std::string ChooseReader(const Options& o) {
    if (o.reader) return *o.reader;
    const ReaderScan scan = ScanReaders();
    if (scan.withToken.size() == 1) return scan.withToken.front();
    if (scan.withToken.empty()) throw Failure(scan.all.empty() ? "no PC/SC reader found" : "no reader holds a token");
    std::string names;
    for (const std::string& r : scan.withToken) names += (names.empty() ? "\"" : ", \"") + r + "\"";
    throw UsageError("several readers hold a token (" + names + "): choose one with -r READER");
}

}  // namespace keyloom
