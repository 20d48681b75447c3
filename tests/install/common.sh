# Shared by the install checks: arguments, the layout, failing and skipping,
# and the listing of an install tree. Sourced, not run.
set -euo pipefail
umask 022

build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
# ORVEL_DIR ORVEL_USER ORVEL_DIR_MODE ORVEL_SYSTEMD_UNIT_DIR ORVEL_UDEV_RULES_DIR ORVEL_MODEMD_KEY ORVEL_VERSION
. "$build/packaging/install.env"

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

# Prints "<mode string> <path>" for every entry under tree root $1, paths
# absolute as installed, sorted.
tree_list() {
  (cd "$1" && find . -mindepth 1 -printf '%M /%P\n') | sort -k2
}

# Prints what an install must hold, in tree_list's form: the executables, the
# web files of the checkout, the units, the udev rule, and every directory
# leading to them, nothing else.
tree_expected() {
  {
    echo "-rwxr-xr-x $ORVEL_DIR/orvel"
    echo "-rwxr-xr-x $ORVEL_DIR/orvel-modemd"
    echo "-rw-r--r-- $ORVEL_SYSTEMD_UNIT_DIR/orvel.service"
    echo "-rw-r--r-- $ORVEL_SYSTEMD_UNIT_DIR/orvel-modemd.service"
    echo "-rw-r--r-- $ORVEL_UDEV_RULES_DIR/99-orvel.rules"
    echo "drwxr-xr-x $ORVEL_DIR/www"
    (cd "$src/www" && find . -mindepth 1 -type d -printf "drwxr-xr-x $ORVEL_DIR/www/%P\n")
    (cd "$src/www" && find . -type f -printf "-rw-r--r-- $ORVEL_DIR/www/%P\n")
    for p in "$ORVEL_DIR/orvel" "$ORVEL_SYSTEMD_UNIT_DIR/x" "$ORVEL_UDEV_RULES_DIR/x"; do
      d=$(dirname "$p")
      while [ "$d" != / ]; do
        echo "drwxr-xr-x $d"
        d=$(dirname "$d")
      done
    done
  } | sort -u -k2
}

# Starts the gateway installed in directory $2 as user $1, from / (it must
# find its directory itself), on a free port; its output goes to $3. Sets
# `port` and `pid`, or leaves `port` empty when it did not start (a port
# taken meanwhile makes the gateway exit with 1, so a few ports are tried).
start_as_user() {
  local user=$1 dir=$2 log=$3 attempt try
  port=
  for attempt in 1 2 3 4 5; do
    try=$((20000 + RANDOM % 40000))
    printf 'PORT=%d\n' "$try" >"$dir/setup.ini"
    (cd / && exec setpriv --reuid="$user" --regid="$user" --init-groups -- "$dir/orvel") >"$log" 2>&1 &
    pid=$!
    for _ in $(seq 50); do
      if curl -s -o /dev/null "http://127.0.0.1:$try/&get/none"; then port=$try; break; fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -n "$port" ] && return 0
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
  done
}
