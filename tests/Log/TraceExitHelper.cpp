// A process that traces once into a private ring and ends the ordinary way
// (return from main), for the tests of what happens to the ring when the
// last process using it goes away.
//
//   quillon-trace-exit-helper PREFIX
//
// Prints "kept" when the ring still exists after the last TraceEnd (the
// process keeps its attachment until it exits), "gone" otherwise.
#include "Trace.h"
#include "TraceObjects.h"

#include <cstdio>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    quillon::SetTraceObjectPrefixForTesting(argv[1]);
    quillon::TraceBegin();
    QTRACE(quillon::TRACE_INFO, "helper %d", int(getpid()));
    if (quillon::TraceEnd() != 0) return 3;
    std::string ring = quillon::ShmPath(quillon::CurrentTraceObjectNames().ring);
    std::printf("%s\n", access(ring.c_str(), F_OK) == 0 ? "kept" : "gone");
    return 0;
}
