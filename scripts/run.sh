#!/usr/bin/env bash
# Installs what is missing, builds, and starts the gateway in the foreground
# from run/ inside the checkout, where its state files live across rebuilds.
# Without a radio modem attached it starts the simulated house (orvel-sim)
# and runs the gateway on the virtual modem, so everything works at once;
# that gateway listens on this machine only. With a modem the gateway is
# reachable from the network, so the first such run gives it a token.
set -euo pipefail
cd "$(dirname "$0")/.."

# One run per checkout. The lock is held as long as this script or the
# gateway it started lives; a second run stops here, before it touches
# anything of the first (its binary, its sockets, its files).
mkdir -p run
exec 9>>run/.lock
if ! flock -n 9; then
  echo "orvel is already running from $PWD/run (scripts/run.sh): stop it first (Ctrl+C there)." >&2
  exit 1
fi
ini=run/setup.ini
port=$(grep -v ';' "$ini" 2>/dev/null | sed -n 's/.*PORT *= *\([0-9]*\).*/\1/p' | head -1 || true)
port=${port:-2020}
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "Port $port is already in use (another gateway?): stop it or set PORT in $ini." >&2
  exit 1
fi

scripts/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target orvel vmodem orvel-sim
cp build/orvel run/orvel.new && mv run/orvel.new run/orvel
# The sample pages are copied only into a run directory that has none, so a
# user's own pages are never overwritten.
[ -e run/www ] || cp -r www run/www

# A radio modem is a hidraw device with vendor 04d8 and product 2005.
modem=""
for u in /sys/class/hidraw/*/device/uevent; do
  if [ -e "$u" ] && grep -qi 'HID_ID=0003:000004D8:00002005' "$u"; then modem=yes; fi
done

# The line this script adds for the simulated house, after its own comment;
# removed again once a real modem is used. A BIND of the user's own stays.
bind_note='; scripts/run.sh: the simulated house listens on this machine only'
cd run
if [ -n "$modem" ]; then
  if grep -qxF "$bind_note" setup.ini 2>/dev/null; then
    sed -i "/^; scripts\/run.sh: the simulated house/{N;/\nBIND=127.0.0.1$/d}" setup.ini
  fi
  # Any line naming TOKEN (even a comment such as "; no TOKEN") means the
  # user has decided; otherwise the first run with a modem makes one.
  if ! grep -q 'TOKEN' setup.ini 2>/dev/null; then
    token=$(od -An -tx1 -N16 /dev/urandom | tr -d ' \n')
    touch setup.ini && chmod 600 setup.ini
    printf 'TOKEN=%s\n' "$token" >>setup.ini
    echo "Created an access token (TOKEN in run/setup.ini): $token"
    echo "  dashboard: open the page below and log in with it"
    echo "  HTTP:      curl -H 'Authorization: Bearer $token' 'http://localhost:$port/&devices'"
    echo "  raw:       send 'auth $token' first"
  elif grep -v ';' setup.ini | grep -q 'TOKEN'; then
    echo "Log in with the token in run/setup.ini (TOKEN)."
  fi
  echo "Radio modem found: the gateway uses it."
  echo "Open http://localhost:$port/ (stop with Ctrl+C)"
  exec ./orvel
fi

if ! grep -v ';' setup.ini 2>/dev/null | grep -q 'BIND'; then
  printf '%s\nBIND=127.0.0.1\n' "$bind_note" >>setup.ini
fi
echo "No radio modem attached: starting the simulated house (sim/house.txt) on a virtual modem."
echo "Drive it with: build/orvel-sim ctl press 7a8b90 1  (build/orvel-sim ctl help lists every command)"
rm -f vmodem.sock sim.ctl
../build/orvel-sim --socket "$PWD/vmodem.sock" --house ../sim/house.txt --control "$PWD/sim.ctl" \
  --write-devices "$PWD/devices" --announce --quiet </dev/null 9>&- &
sim=$!
trap 'kill $sim 2>/dev/null' EXIT INT TERM
for _ in $(seq 50); do [ -S vmodem.sock ] && break; sleep 0.1; done
echo "Open http://localhost:$port/ (stop with Ctrl+C)"
ORVEL_VMODEM="$PWD/vmodem.sock" LD_PRELOAD="$PWD/../build/libvmodem.so" ./orvel
