#!/usr/bin/env bash
# The Debian package on this machine, for real: install, run the gateway as
# the service user from the installed directory, reinstall, remove, purge.
# It changes the system while it runs (dpkg database, the orvel user, the
# install directory), so it runs only when asked with ORVEL_TEST_DPKG=1, as
# root, on a machine without orvel; it leaves the machine as it found it.
set -euo pipefail
. "$(dirname "$0")/common.sh"

[ "${ORVEL_TEST_DPKG:-}" = 1 ] || skip "set ORVEL_TEST_DPKG=1 to install the package on this machine"
[ "$(id -u)" -eq 0 ] || skip "needs root"
for tool in cpack dpkg setpriv curl; do
  command -v "$tool" >/dev/null || skip "$tool not installed"
done
! dpkg -s orvel >/dev/null 2>&1 || skip "orvel is installed on this machine"
! getent passwd "$ORVEL_USER" >/dev/null || skip "user $ORVEL_USER exists on this machine"
[ ! -e "$ORVEL_DIR" ] || skip "$ORVEL_DIR exists on this machine"

pid=
scratch=$(mktemp -d "$build/tests/install/dpkg.XXXXXX")
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid"; wait "$pid" 2>/dev/null || true; fi
  if dpkg -s orvel >/dev/null 2>&1; then dpkg --purge orvel >/dev/null 2>&1 || true; fi
  case "$ORVEL_DIR" in /?*) rm -rf "$ORVEL_DIR" ;; esac
  if getent passwd "$ORVEL_USER" >/dev/null; then userdel "$ORVEL_USER" || true; fi
  if getent group "$ORVEL_USER" >/dev/null; then groupdel "$ORVEL_USER" || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$scratch" -D CPACK_CMAKE_GENERATOR=Ninja) >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack -G DEB"; }
deb=$(echo "$scratch"/*.deb)
dpkg -i "$deb" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -i"; }

getent passwd "$ORVEL_USER" >/dev/null || fail "install did not create user $ORVEL_USER"
[ "$(getent passwd "$ORVEL_USER" | cut -d: -f7)" = /usr/sbin/nologin ] || fail "$ORVEL_USER can log in"
[ "$(stat -c '%U:%G %a' "$ORVEL_DIR")" = "root:$ORVEL_USER $ORVEL_DIR_MODE" ] ||
  fail "$ORVEL_DIR is $(stat -c '%U:%G %a' "$ORVEL_DIR"), expected root:$ORVEL_USER $ORVEL_DIR_MODE"
wants=/etc/systemd/system/multi-user.target.wants/orvel.service
if command -v systemctl >/dev/null; then
  [ -L "$wants" ] || fail "service not enabled"
  [ ! -e "${wants%/*}/orvel-modemd.service" ] || fail "orvel-modemd enabled before it has a key"
fi

# A first install writes a random token that only root and the service read.
[ "$(stat -c '%U:%G %a' "$ORVEL_DIR/setup.ini")" = "root:$ORVEL_USER 640" ] ||
  fail "setup.ini is $(stat -c '%U:%G %a' "$ORVEL_DIR/setup.ini"), expected root:$ORVEL_USER 640"
grep -Eqx 'TOKEN=[0-9a-f]{32}' "$ORVEL_DIR/setup.ini" || fail "no random TOKEN in setup.ini"

# The installed gateway as the service user, as the unit starts it (its
# setup.ini, without a token now, is what the reinstall below must keep).
start_as_user "$ORVEL_USER" "$ORVEL_DIR" "$scratch/out.log"
[ -n "$port" ] || { cat "$scratch/out.log"; fail "installed gateway did not start"; }
[ "$(curl -s "http://127.0.0.1:$port/&set/k/v")" = OK ] || fail "&set failed"
curl -s "http://127.0.0.1:$port/&device/@0a1b2c/rel/Lamp" >/dev/null
curl -s "http://127.0.0.1:$port/&kill" >/dev/null || true
wait "$pid" || fail "gateway exited with $?"
pid=
grep -q "@0a1b2c" "$ORVEL_DIR/devices" || fail "device not saved"
state_sum() { (cd "$ORVEL_DIR" && md5sum setup.ini devices mem/k); }
state_sum >"$scratch/state.md5"

# Reinstall (as an upgrade does), then remove: the state stays.
dpkg -i "$deb" >>"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "second dpkg -i"; }
state_sum | diff -u "$scratch/state.md5" - || fail "reinstall changed the state"
dpkg -r orvel >>"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -r"; }
state_sum | diff -u "$scratch/state.md5" - || fail "removal changed the state"
[ ! -e "$ORVEL_DIR/orvel" ] || fail "removal left the executable"
[ ! -e "$ORVEL_SYSTEMD_UNIT_DIR/orvel.service" ] || fail "removal left the unit"
[ ! -L "$wants" ] || fail "removal left the service enabled"

# Purge deletes what the gateway wrote, keeps the administrator's setup.ini.
dpkg --purge orvel >>"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg --purge"; }
for f in devices mem logs; do
  [ ! -e "$ORVEL_DIR/$f" ] || fail "purge left $f"
done
[ -f "$ORVEL_DIR/setup.ini" ] || fail "purge deleted setup.ini"
! dpkg-statoverride --list "$ORVEL_DIR" >/dev/null || fail "purge left the mode override"
echo "package installed, ran, reinstalled, removed and purged as expected"
