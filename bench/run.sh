#!/usr/bin/env bash
# Benchmark (not part of the tests): builds a Release gateway of this checkout
# in build-bench/, installs lighttpd when missing, and prints one table
# (bench/bench.cpp says what is measured and how).
#   bench/run.sh [OTHER]
# OTHER, measured side by side with this checkout: another orvel checkout
# (built in its own build-bench/) or an orvel binary with libvmodem.so beside
# it; ORVEL_BIN=<orvel binary> does the same (ORVEL_VMODEM_LIB=<libvmodem.so>
# when it lies elsewhere). BENCH_SECS and BENCH_ROUNDS: seconds per load and
# rounds (4 and 3).
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD

scripts/deps.sh run
# Configuring the project needs GoogleTest; lighttpd is the web server compared.
missing=()
for p in lighttpd libgtest-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

build() {  # <checkout>: a Release gateway, virtual modem and network modem daemon in <checkout>/build-bench
  local targets=(orvel vmodem)
  [ -d "$1/modemd" ] && targets+=(orvel-modemd)  # a checkout from before the daemon has none
  cmake -S "$1" -B "$1/build-bench" -DCMAKE_BUILD_TYPE=Release >/dev/null
  nice cmake --build "$1/build-bench" -j2 --target "${targets[@]}" >/dev/null
}
describe() { git -C "$1" log -1 --format='%h %s' 2>/dev/null | cut -c1-70 || true; }

build "$here"
nice g++ -std=c++20 -O2 -Wall -Wextra -pthread -o build-bench/bench bench/bench.cpp
nice g++ -std=c++20 -O2 -Wall -Wextra -o build-bench/ceiling bench/ceiling.cpp
args=("this=$here/build-bench/orvel:$here/build-bench/libvmodem.so")
echo "this  = $here ($(describe "$here"))"

other=${1:-${ORVEL_BIN:-}}
if [ -n "$other" ]; then
  if [ -d "$other" ]; then
    other=$(realpath "$other")
    build "$other"
    echo "other = $other ($(describe "$other"))"
    bin=$other/build-bench/orvel
  else
    bin=$(realpath "$other")
    echo "other = $bin"
  fi
  vm=$(realpath "${ORVEL_VMODEM_LIB:-$(dirname "$bin")/libvmodem.so}")
  args=("other=$bin:$vm" "${args[@]}")
fi

exec build-bench/bench build-bench/ceiling "$(command -v lighttpd || echo /usr/sbin/lighttpd)" "${args[@]}"
