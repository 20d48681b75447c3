# Shared by the install checks: arguments, the layout, failing and skipping,
# and the listing of an install tree. Sourced, not run.
set -euo pipefail
umask 022

build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
# ORVEL_DIR ORVEL_USER ORVEL_DIR_MODE ORVEL_SYSTEMD_UNIT_DIR ORVEL_UDEV_RULES_DIR ORVEL_VERSION
. "$build/packaging/install.env"

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

# Prints "<mode string> <path>" for every entry under tree root $1, paths
# absolute as installed, sorted.
tree_list() {
  (cd "$1" && find . -mindepth 1 -printf '%M /%P\n') | sort -k2
}

# Prints what an install must hold, in tree_list's form: the executable, the
# web files of the checkout, the unit, the udev rule, and every directory
# leading to them, nothing else.
tree_expected() {
  {
    echo "-rwxr-xr-x $ORVEL_DIR/orvel"
    echo "-rw-r--r-- $ORVEL_SYSTEMD_UNIT_DIR/orvel.service"
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
