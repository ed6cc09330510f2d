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

status=0
echo "== tests (plain build) =="
ctest --preset default -j "$JOBS" || status=1
echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer) =="
ctest --preset asan -j "$JOBS" || status=1
exit $status
