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
//
// When the ring cannot be attached, the lines up to the last TraceEnd are
// dropped and counted, and the next first TraceBegins do not try again
// until a pause has passed: 1 s after the first failure, doubling up to a
// minute, back to none after a success.
void TraceBegin();
int TraceEnd();

// Lines this process meant to write but could not (no usable ring, or the
// ring's bounds were hit) since it started. When a line goes through again,
// a warning line with the number dropped since the last such note comes
// first.
uint64_t DroppedTraceLines();

// Test hook: forget earlier attach failures, so the next first TraceBegin
// tries at once.
void ResetTraceBackoffForTesting();

// printf-style line; a null format writes nothing.
void TraceLine(uint32_t level, const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Uppercase hexadecimal dump, 2048 bytes per record; a null pointer writes
// nothing, a length of 0 writes one empty line.
void TraceHex(uint32_t level, const char* file, int line, const void* bytes, size_t length);

// One line for bytes whose middle is secret: the first keepHead and the
// last keepTail bytes in hexadecimal, and between them "[N bytes withheld]"
// instead of the N bytes. With nothing between them, the same as TraceHex.
// For the head and tail of an APDU or an answer (at most 2048 bytes).
void TraceHexWithheld(uint32_t level, const char* file, int line, const void* bytes, size_t length, size_t keepHead,
                      size_t keepTail);

}  // namespace quillon

#define QTRACE(level, ...) ::quillon::TraceLine((level), __FILE__, __LINE__, __VA_ARGS__)
#define QTRACE_HEX(level, bytes, length) ::quillon::TraceHex((level), __FILE__, __LINE__, (bytes), (length))
