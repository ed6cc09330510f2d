#!/usr/bin/env bash
# Installs what the project needs, builds it twice (plain and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both.
# Tests that need pcscd start and stop their own instance through CTest
# fixtures. The last line printed is CTest's summary of the sanitizer run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

JOBS="${JOBS:-$(nproc)}"
cmake --preset default >/dev/null
cmake --build --preset default -j "$JOBS"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$JOBS"
# The clang/libFuzzer configuration is built too, so it cannot rot, and each
# fuzz target gets a short real fuzzing run (the plain builds replay them).
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$JOBS"

status=0
# Every fuzz target from its checked-in corpus; nothing is written back.
bash scripts/fuzz.sh "${FUZZ_SECONDS:-15}" || status=1
echo "== tests (plain build) =="
ctest --preset default -j "$JOBS" || status=1
echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer) =="
ctest --preset asan -j "$JOBS" || status=1
exit $status
