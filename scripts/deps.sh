#!/usr/bin/env bash
# Installs the Debian packages orvel needs that are missing.
#   scripts/deps.sh run   - to build and run the gateway
#   scripts/deps.sh test  - to build and run the whole test suite
set -euo pipefail
want=(cmake make g++ pkg-config libhidapi-dev libmosquitto-dev libsystemd-dev libssl-dev)
if [ "${1:-run}" = test ]; then
  want+=(googletest libgtest-dev mosquitto mosquitto-clients curl libfaketime faketime clang libclang-rt-14-dev nodejs chromium dpkg-dev
         python3-prometheus-client)
  # npm may come with the machine's Node.js rather than as a Debian package.
  command -v npm >/dev/null 2>&1 || want+=(npm)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
