#!/usr/bin/env bash
# Installs what is missing, builds, and starts the gateway in the foreground
# from run/ inside the checkout, where its state files live across rebuilds.
# Without a radio modem attached it starts the simulated house (orvel-sim)
# and runs the gateway on the virtual modem, so everything works at once.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target orvel vmodem orvel-sim
mkdir -p run
cp build/orvel run/orvel.new && mv run/orvel.new run/orvel
# The sample pages are copied only into a run directory that has none, so a
# user's own pages are never overwritten.
[ -e run/www ] || cp -r www run/www
port=$(grep -v ';' run/setup.ini 2>/dev/null | sed -n 's/.*PORT *= *\([0-9]*\).*/\1/p' | head -1 || true)
port=${port:-2020}

# A radio modem is a hidraw device with vendor 04d8 and product 2005.
modem=""
for u in /sys/class/hidraw/*/device/uevent; do
  if [ -e "$u" ] && grep -qi 'HID_ID=0003:000004D8:00002005' "$u"; then modem=yes; fi
done

cd run
if [ -n "$modem" ]; then
  echo "Radio modem found: the gateway uses it."
  echo "Open http://localhost:$port/ (stop with Ctrl+C)"
  exec ./orvel
fi

echo "No radio modem attached: starting the simulated house (sim/house.txt) on a virtual modem."
echo "Drive it with: echo 'press <id> 1' | nc -U run/sim.ctl  (help lists every command)"
rm -f vmodem.sock sim.ctl
../build/orvel-sim --socket "$PWD/vmodem.sock" --house ../sim/house.txt --control "$PWD/sim.ctl" \
  --write-devices "$PWD/devices" --announce --quiet </dev/null &
sim=$!
trap 'kill $sim 2>/dev/null' EXIT INT TERM
for _ in $(seq 50); do [ -S vmodem.sock ] && break; sleep 0.1; done
echo "Open http://localhost:$port/ (stop with Ctrl+C)"
ORVEL_VMODEM="$PWD/vmodem.sock" LD_PRELOAD="$PWD/../build/libvmodem.so" ./orvel
