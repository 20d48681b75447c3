#!/usr/bin/env bash
# Installs what is missing, builds, runs every fuzz target briefly, then the
# whole CTest suite twice: a normal build and a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. Exits non-zero when any test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test || exit 1
# The dashboard test drives the system Chromium through playwright-core and
# checks accessibility with axe-core.
if [ ! -d tests/browser/node_modules/playwright-core ] || [ ! -d tests/browser/node_modules/axe-core ]; then
  (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error) || exit 1
fi
jobs=$(nproc 2>/dev/null || echo 2)
status=0
# The house's layers: no include reaches up (src/layers.txt).
scripts/layers.sh || status=1
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null && cmake --build build -j"$jobs" || exit 1
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORVEL_SANITIZE=ON >/dev/null && cmake --build build-asan -j"$jobs" || exit 1
# Every fuzz target for a short, fixed time, from its corpus (fuzz/run.sh 600
# for a longer local run).
echo "== Fuzzing (5 s per target)"
fuzz/run.sh 5 || status=1
# Most end-to-end tests wait on the gateway's clock more than they compute:
# one more test than cores keeps the machine busy.
tests_jobs=$((jobs + 1))
echo "== Tests (normal build)"
(cd build && ctest -j"$tests_jobs" --output-on-failure --timeout 300) || status=1
echo "== Tests (AddressSanitizer + UndefinedBehaviorSanitizer build)"
(cd build-asan && ctest -j"$tests_jobs" --output-on-failure --timeout 300) || status=1
exit $status
