// Diagnostic trace calls of the command library. Every line becomes one
// 5120-byte record in the cross-process shared-memory ring (VkShmLogger.h).
// Nothing here ever fails towards the caller: lines are dropped instead.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillon {

enum TraceLevel : uint32_t {
    TRACE_INFO = 1,
    TRACE_WARNING = 2,
    TRACE_ERROR = 3,
};

// Reference-counted start/end of the trace facility in this process. The
// first TraceBegin creates the logger and attaches the ring; the matching
// last TraceEnd detaches it. TraceEnd returns -1 when the count was 0.
// With QUILLON_TRACE=0 in the environment at the first TraceBegin, no logger
// is created and the lines up to the last TraceEnd are dropped.
void TraceBegin();
int TraceEnd();

// printf-style line; a null format writes nothing.
void TraceLine(uint32_t level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Uppercase hexadecimal dump, 2048 bytes per record; a null pointer writes
// nothing, a length of 0 writes one empty line.
void TraceHex(uint32_t level, const char* file, int line, const void* bytes, size_t length);

}  // namespace quillon

#define QTRACE(level, ...) ::quillon::TraceLine((level), __FILE__, __LINE__, __VA_ARGS__)
#define QTRACE_HEX(level, bytes, length) ::quillon::TraceHex((level), __FILE__, __LINE__, (bytes), (length))
