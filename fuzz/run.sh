#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehavior-
# Sanitizer) into build-fuzz/ and runs each one for SECONDS seconds, starting
# from its seed corpus in fuzz/corpus/<target>/ copied to a scratch directory
# (the repository is never written, apart from build-fuzz/).
#
#   fuzz/run.sh            15 seconds per target (the test command runs 5)
#   fuzz/run.sh 600        a longer local run: 10 minutes per target
#   fuzz/run.sh 60 fuzz_dispatch   one target only
#
# Exits non-zero when a target crashes, hangs, runs out of memory or breaks
# one of its properties; the failing input is kept and its path printed.
# Prints per target: runs, coverage (edges, features), corpus size, seconds.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-15}"
only="${2:-}"
build="$root/build-fuzz"

cxx="${FUZZ_CXX:-}"
if [ -z "$cxx" ]; then
  for c in clang++ clang++-14; do command -v "$c" >/dev/null 2>&1 && { cxx="$c"; break; }; done
fi
[ -n "$cxx" ] || { echo "fuzz: clang++ not found (Debian: clang libclang-rt-14-dev)"; exit 1; }

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null || exit 1
cmake --build "$build" -j"$jobs" >/dev/null || { cmake --build "$build" 2>&1 | tail -30; exit 1; }

scratch="$(mktemp -d "${TMPDIR:-/tmp}/orvel-fuzz-run.XXXXXX")"
keep="$(mktemp -d "${TMPDIR:-/tmp}/orvel-fuzz-crashes.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
status=0
printf '%-16s %10s %8s %8s %8s %6s  %s\n' target runs edges features corpus secs result
for dir in "$root"/fuzz/corpus/*/; do
  name="$(basename "$dir")"
  [ -n "$only" ] && [ "$name" != "$only" ] && continue
  bin="$build/$name"
  [ -x "$bin" ] || { echo "$name: no such target"; status=1; continue; }
  corpus="$scratch/$name/corpus"
  mkdir -p "$corpus" "$scratch/$name/work"
  cp "$dir"/* "$corpus"/
  log="$scratch/$name/log"
  start=$(date +%s)
  ORVEL_FUZZ_SCRATCH="$scratch/$name/work" "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=4096 -print_final_stats=1 -artifact_prefix="$keep/$name-" "$corpus" >"$log" 2>&1
  rc=$?
  secs=$(( $(date +%s) - start ))
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED|NEW|REDUCE|pulse)' "$log" | tail -1)
  edges=$(echo "$last" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
  ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
  corp=$(echo "$last" | sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p')
  result=ok
  if [ $rc -ne 0 ]; then
    result="FAILED (exit $rc)"
    status=1
  fi
  printf '%-16s %10s %8s %8s %8s %6s  %s\n' "$name" "${runs:-?}" "${edges:-?}" "${ft:-?}" "${corp:-?}" "$secs" "$result"
  if [ $rc -ne 0 ]; then
    grep -E 'PROPERTY FAILED|bytes:|ERROR: |SUMMARY|^ +#[0-9]+ .* in ' "$log" | head -25 | sed 's/^/    /'
    echo "    failing input kept in $keep (reproduce: $bin <file>)"
  fi
done
[ $status -eq 0 ] && rm -rf "$keep"
exit $status
