#!/usr/bin/env bash
# Installs what is missing, builds, and starts the gateway in the foreground
# from run/ inside the checkout, where its state files live across rebuilds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"
mkdir -p run
cp build/orvel run/orvel
cd run
exec ./orvel
