// The tools hold access keys and seeds in memory; a core file (written
// where the working directory happens to be, or handed to a crash
// collector) would keep them on disk, and a process that can be dumped can
// also be read by any debugger of the same user. Both are switched off at
// start, before a secret is read.
#pragma once

#include <sys/prctl.h>
#include <sys/resource.h>

namespace provisor {

inline void DisableCoreDumps() {
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

}  // namespace provisor
