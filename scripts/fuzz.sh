#!/usr/bin/env bash
# Fuzzes every libFuzzer target of the fuzz preset (build/fuzz/bin/fuzz_*)
# for SECONDS each (default 60) and prints, per target, the executions,
# executions per second, coverage (cov: edges, ft: features, from libFuzzer's
# final line) and findings.
#
#   scripts/fuzz.sh [SECONDS] [--update-corpus] [TARGET...]
#
# Naming targets (fuzz_all_exports ...) fuzzes only those.
#
# Each target starts from its seed corpus in the source tree: the CORPUS its
# quillon_add_fuzzer call states, found through the manifest the build writes
# (build/fuzz/fuzz-targets.tsv). A plain run only reads that corpus; what the
# fuzzer finds goes to a scratch directory and is thrown away, so CI never
# changes the tree. With --update-corpus the inputs that reach new coverage
# are merged into the checked-in corpus with -merge=1 (libFuzzer keeps only
# the smallest inputs that add features), ready to be committed.
#
# Crashes, leaks, timeouts and out-of-memory inputs are kept under
# build/fuzz/findings/<target>/ and make the script exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
update=0
only=()
for arg in "$@"; do
  case "$arg" in
    --update-corpus) update=1 ;;
    fuzz_*) only+=("$arg") ;;
    ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS] [--update-corpus] [TARGET...]" >&2; exit 2 ;;
    *) seconds="$arg" ;;
  esac
done

build=build/fuzz
manifest="$build/fuzz-targets.tsv"
JOBS="${JOBS:-$(nproc)}"

# Configuring writes the manifest afresh (a target added since the last
# build is in it); building brings every fuzz target up to date, a no-op
# when nothing changed.
cmake --preset fuzz >/dev/null
mapfile -t targets < <(cut -f1 "$manifest")
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz targets in $manifest" >&2
  exit 1
fi
cmake --build "$build" -j "$JOBS" --target "${targets[@]}" >/dev/null

corpus_of() {
  awk -F'\t' -v t="$1" '$1 == t { print $2; exit }' "$manifest"
}

# The last value libFuzzer printed for a statistic ("cov:", "ft:") or a
# final "stat::" line.
last_field() {
  grep -o "$2 *[0-9]*" "$1" | tail -1 | grep -o '[0-9]*$' || true
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

status=0
shopt -s nullglob
bins=()
for bin in "$build"/bin/fuzz_*; do
  if [ ${#only[@]} -eq 0 ] || [[ " ${only[*]} " == *" $(basename "$bin") "* ]]; then bins+=("$bin"); fi
done
if [ ${#bins[@]} -eq 0 ]; then
  echo "fuzz.sh: no fuzz target to run in $build/bin" >&2
  exit 1
fi
echo "== fuzzing ${#bins[@]} targets, ${seconds} s each$([ $update = 1 ] && echo ', updating the corpora') =="
printf '%-24s %10s %8s %6s %7s %7s %5s  %s\n' target runs exec/s cov ft corpus new findings
for bin in "${bins[@]}"; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus=$(corpus_of "$name")
  work="$scratch/$name"
  findings="$build/findings/$name"
  log="$scratch/$name.log"
  mkdir -p "$work" "$findings"
  seeds=()
  if [ -n "$corpus" ] && [ -d "$corpus" ]; then seeds=("$corpus"); fi
  [ -n "$corpus" ] || echo "    $name: no CORPUS in its quillon_add_fuzzer call, starting empty"

  # New inputs land in the first directory, the scratch one.
  marker="$scratch/$name.start"
  touch "$marker"
  set +e
  "$bin" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=4096 -timeout=30 \
    -artifact_prefix="$findings/" "$work" "${seeds[@]}" >"$log" 2>&1
  rc=$?
  set -e

  # Only what this run wrote counts; older findings stay for inspection.
  mapfile -t fresh < <(find "$findings" -maxdepth 1 -type f -newer "$marker" \
    \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | sort)
  seeded=0
  [ ${#seeds[@]} -gt 0 ] && seeded=$(find "$corpus" -maxdepth 1 -type f | wc -l)
  found=$(find "$work" -maxdepth 1 -type f | wc -l)
  result=${#fresh[@]}
  if [ $rc -ne 0 ] && [ ${#fresh[@]} -eq 0 ]; then result="exit $rc"; fi
  printf '%-24s %10s %8s %6s %7s %7s %5s  %s\n' "$name" \
    "$(last_field "$log" 'stat::number_of_executed_units:')" \
    "$(last_field "$log" 'stat::average_exec_per_sec:')" \
    "$(last_field "$log" 'cov:')" "$(last_field "$log" 'ft:')" \
    "$seeded" "$found" "$result"

  if [ $rc -ne 0 ] || [ ${#fresh[@]} -gt 0 ]; then
    status=1
    for f in "${fresh[@]}"; do echo "    finding: $f (reproduce: $bin $f)"; done
    grep -m1 -E 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY:' "$log" | sed 's/^/    /' || true
    tail -25 "$log" | sed 's/^/    | /'
    continue
  fi

  if [ $update = 1 ]; then
    if [ -z "$corpus" ]; then
      echo "    no CORPUS stated for $name in its quillon_add_fuzzer call; nothing kept"
      continue
    fi
    mkdir -p "$corpus"
    before=$(find "$corpus" -maxdepth 1 -type f | wc -l)
    "$bin" -merge=1 -rss_limit_mb=4096 -timeout=30 "$corpus" "$work" >"$scratch/$name.merge" 2>&1 || {
      echo "    merge failed:"; tail -10 "$scratch/$name.merge" | sed 's/^/    | /'; status=1; continue; }
    after=$(find "$corpus" -maxdepth 1 -type f | wc -l)
    echo "    corpus $corpus: $((after - before)) inputs with new coverage added ($after in all)"
  fi
done
exit $status
