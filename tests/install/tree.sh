#!/usr/bin/env bash
# `DESTDIR=... cmake --install`: the tree holds exactly the executable, the web
# files, the unit and the udev rule, writable by their owner only; the unit and
# the rule point at what was installed; a reinstall over a directory that holds
# the gateway's state leaves that state alone.
set -euo pipefail
. "$(dirname "$0")/common.sh"

scratch=$(mktemp -d "$build/tests/install/tree.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root

DESTDIR=$root cmake --install "$build" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; fail "cmake --install"; }

tree_expected >"$scratch/expected"
tree_list "$root" >"$scratch/actual"
diff -u "$scratch/expected" "$scratch/actual" || fail "install tree differs from the expected layout (- expected, + installed)"

dir=$root$ORVEL_DIR
(cd "$src/www" && find . -type f) | while read -r f; do
  cmp -s "$src/www/$f" "$dir/www/$f" || fail "www/$f differs from the checkout"
done
[ "$(stat -c %u "$dir/orvel")" = "$(id -u)" ] || fail "orvel not owned by the installing user"

# The unit runs the installed executable, as the user the rule gives the modem to.
unit=$root$ORVEL_SYSTEMD_UNIT_DIR/orvel.service
rule=$root$ORVEL_UDEV_RULES_DIR/99-orvel.rules
unit_value() { sed -n "s/^$1=//p" "$unit"; }
[ "$(unit_value ExecStart)" = "$ORVEL_DIR/orvel" ] || fail "ExecStart is '$(unit_value ExecStart)', not $ORVEL_DIR/orvel"
[ "$(unit_value User)" = "$ORVEL_USER" ] || fail "unit User is not $ORVEL_USER"
unit_value ReadWritePaths | grep -qx "$ORVEL_DIR" || fail "unit does not let the service write $ORVEL_DIR"
# The network modem daemon: the installed executable and its key, as the same
# user (the rule's group reaches the modem).
daemon=$root$ORVEL_SYSTEMD_UNIT_DIR/orvel-modemd.service
[ "$(sed -n 's/^ExecStart=//p' "$daemon")" = "$ORVEL_DIR/orvel-modemd --listen \${LISTEN} --key-file $ORVEL_MODEMD_KEY" ] ||
  fail "orvel-modemd.service runs '$(sed -n 's/^ExecStart=//p' "$daemon")'"
[ "$(sed -n 's/^User=//p' "$daemon")" = "$ORVEL_USER" ] || fail "orvel-modemd.service User is not $ORVEL_USER"
grep -q "GROUP=\"$ORVEL_USER\"" "$rule" || fail "udev rule does not give the modem to group $ORVEL_USER"
# The ids the rule matches are the ids the gateway opens.
for id in MODEM_VENDOR MODEM_PRODUCT; do
  hex=$(sed -n "s/.*constexpr unsigned short $id = 0x\([0-9A-Fa-f]*\);.*/\1/p" "$src/src/radio/modem_reader.cpp" | tr A-F a-f)
  [ -n "$hex" ] || fail "$id not found in src/radio/modem_reader.cpp"
  attr=idVendor
  [ "$id" = MODEM_PRODUCT ] && attr=idProduct
  grep -q "ATTRS{$attr}==\"$hex\"" "$rule" || fail "udev rule does not match $attr $hex"
done

# A reinstall (an upgrade by hand) over a directory holding state.
printf 'PORT=2021\n' >"$dir/setup.ini"
printf '@0a1b2c/rel/Lamp\n' >"$dir/devices"
printf '005/sMTWTFs/07:30/@0a1b2c=100\n' >"$dir/cron"
mkdir -p "$dir/mem" "$dir/logs"
printf 'v' >"$dir/mem/k"
printf 'log line\n' >"$dir/logs/2024-01-01.txt"
printf 'stale' >"$dir/www/index.html"
(cd "$dir" && find setup.ini devices cron mem logs -type f -exec md5sum {} + | sort) >"$scratch/state.before"
DESTDIR=$root cmake --install "$build" >>"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; fail "second cmake --install"; }
(cd "$dir" && find setup.ini devices cron mem logs -type f -exec md5sum {} + | sort) >"$scratch/state.after"
diff -u "$scratch/state.before" "$scratch/state.after" || fail "reinstall changed the gateway's state"
if [ -f "$src/www/index.html" ]; then
  cmp -s "$src/www/index.html" "$dir/www/index.html" || fail "reinstall did not restore www/index.html"
fi
echo "install tree: $(wc -l <"$scratch/actual") entries as expected; state kept over a reinstall"
