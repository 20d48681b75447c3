#!/usr/bin/env bash
# A second scripts/run.sh while one runs from the same checkout: it stops at
# once with a clear message, before it builds, deletes or copies anything.
# Runs a copy of the script in a scratch checkout whose run/ is held the way
# a running first instance holds it.
set -euo pipefail
. "$(dirname "$0")/common.sh"
command -v flock >/dev/null || skip "flock not installed"

scratch=$(mktemp -d "$build/tests/install/run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/scripts" "$scratch/run"
cp "$src/scripts/run.sh" "$scratch/scripts/run.sh"
# Stand-ins: the first instance's files, and a deps step that must not run.
printf '#!/bin/sh\ntouch "%s/deps.ran"\n' "$scratch" >"$scratch/scripts/deps.sh"
chmod +x "$scratch/scripts/deps.sh"
for f in orvel vmodem.sock sim.ctl setup.ini; do echo "first $f" >"$scratch/run/$f"; done

exec 8>>"$scratch/run/.lock"
flock -n 8 || fail "cannot take the scratch lock"
listing() { (cd "$scratch/run" && find . -printf '%p %s %T@\n' | sort); }
before=$(listing)
if out=$(bash "$scratch/scripts/run.sh" 2>&1); then fail "the second run did not stop: $out"; fi
echo "$out"
echo "$out" | grep -q "already running" || fail "no clear message: $out"
[ "$(listing)" = "$before" ] || fail "the second run changed run/"
[ ! -e "$scratch/deps.ran" ] || fail "the second run went on to install/build"
echo "second run stopped and left the first alone"
