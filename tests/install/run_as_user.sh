#!/usr/bin/env bash
# The installed gateway, started from its install directory by an unprivileged
# user laid out as the package lays it out (directory root:<group> with the
# package's mode, everything installed owned by root): it writes its state
# there (stored values, uploads, device list and schedule, both rewritten
# through their .tmp files) and cannot change its executable or its web files.
# Needs root for the throwaway user; skipped otherwise.
set -euo pipefail
. "$(dirname "$0")/common.sh"

[ "$(id -u)" -eq 0 ] || skip "needs root to create a throwaway user"
for tool in useradd userdel setpriv curl; do
  command -v "$tool" >/dev/null || skip "$tool not installed"
done

user=orvt$$
pid=
# Outside the build tree: the throwaway user must be able to reach it.
scratch=$(mktemp -d /tmp/orvel-install-test.XXXXXX)
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid"; wait "$pid" 2>/dev/null || true; fi
  if getent passwd "$user" >/dev/null; then userdel "$user" || true; fi
  if getent group "$user" >/dev/null; then groupdel "$user" || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT
chmod 0755 "$scratch"

root=$scratch/root
DESTDIR=$root cmake --install "$build" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; fail "cmake --install"; }
dir=$root$ORVEL_DIR
useradd --system --user-group --no-create-home --home-dir / --shell /usr/sbin/nologin "$user"
chown "root:$user" "$dir"
chmod "$ORVEL_DIR_MODE" "$dir"
as_user() { setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"; }
(cd "$dir" && find orvel www -type f -exec md5sum {} + | sort) >"$scratch/installed.md5"

# Start on a free port: a port taken meanwhile makes the gateway exit with 1.
start_as_user "$user" "$dir" "$scratch/out.log"
[ -n "$port" ] || { cat "$scratch/out.log"; fail "gateway did not start"; }

get() { curl -s --max-time 5 "http://127.0.0.1:$port/$1"; }
expect_body() { [ "$(get "$1")" = "$2" ] || fail "GET /$1 did not answer '$2'"; }
owned_by_user() { [ "$(stat -c %U "$1")" = "$user" ] || fail "$1 is owned by $(stat -c %U "$1"), not $user"; }

# Stored value: mem/ was created by the gateway and holds the value.
expect_body '&set/k/v' OK
[ "$(cat "$dir/mem/k")" = v ] || fail "mem/k holds '$(cat "$dir/mem/k" 2>/dev/null)'"
for f in mem mem/k logs; do owned_by_user "$dir/$f"; done

# Upload: streamed into tmp_file in the gateway's directory, then moved into mem/.
body=$(curl -s --max-time 10 --data-binary 'uploaded bytes' "http://127.0.0.1:$port/&save/up")
[ "$(cat "$dir/mem/up" 2>/dev/null)" = 'uploaded bytes' ] || fail "upload not stored (reply '$body')"
[ ! -e "$dir/tmp_file" ] || fail "tmp_file left behind"

# Device list and schedule: created, then rewritten by renaming the .tmp file
# over the file the gateway created before (allowed in the sticky directory).
for id in 0a1b2c 0a1b2d; do
  get "&device/@$id/rel/Lamp$id" >/dev/null
  grep -q "@$id" "$dir/devices" 2>/dev/null || fail "devices lacks @$id after the edit"
done
grep -q "@0a1b2c" "$dir/devices" || fail "second device edit lost the first device"
expect_body '&cron/005/sMTWTFs/07:30/@0a1b2c=100' 'CRON SAVED'
expect_body '&cron/006/sMTWTFs/08:30/@0a1b2d=0' 'CRON SAVED'
grep -q "005" "$dir/cron" && grep -q "006" "$dir/cron" || fail "cron lacks an entry: $(cat "$dir/cron")"
for f in devices cron; do
  owned_by_user "$dir/$f"
  [ ! -e "$dir/$f.tmp" ] || fail "$f.tmp left behind"
done


get '&kill' >/dev/null || true
status=0
wait "$pid" || status=$?
pid=
[ $status -eq 0 ] || { cat "$scratch/out.log"; fail "gateway exited with $status after &kill"; }

# The same user cannot change what root installed, by any route...
denied() { ! as_user sh -c "$2" 2>/dev/null || fail "$user could $1"; }
cd "$dir"
denied "append to the executable" 'echo x >> orvel'
denied "remove the executable" 'rm -f orvel'
denied "replace the executable by a rename" 'echo x > new && mv -f new orvel'
denied "write a web file" 'echo x >> www/index.html'
denied "add a web file" 'echo x > www/added.html'
denied "replace the web directory" 'mkdir w2 && mv -T w2 www'
# ...while creating, renaming and removing its own files works.
as_user sh -c 'echo x > own && mv -f own own2 && rm -f own2 new && rmdir w2' ||
  fail "$user cannot manage its own files in $dir"
cd /
(cd "$dir" && find orvel www -type f -exec md5sum {} + | sort) | diff -u "$scratch/installed.md5" - ||
  fail "the executable or the web files changed"

echo "gateway ran as $user on port $port: state written, executable and web files untouched"
