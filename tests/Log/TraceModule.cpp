// A loadable module carrying its own copy of the trace facility, the way
// libQuillon.so does, so a test can unload it and watch the ring go.
#include "Trace.h"
#include "TraceObjects.h"

extern "C" __attribute__((visibility("default"))) int QuillonTraceModuleRun(const char* prefix) {
    quillon::SetTraceObjectPrefixForTesting(prefix);
    quillon::TraceBegin();
    QTRACE(quillon::TRACE_INFO, "from the module");
    return quillon::TraceEnd();
}
