#!/usr/bin/env bash
# `cpack -G DEB`: the package's metadata, its contents (exactly the install
# tree, owned by root), and its maintainer scripts.
set -euo pipefail
. "$(dirname "$0")/common.sh"

for tool in cpack dpkg-deb dpkg; do
  command -v "$tool" >/dev/null || skip "$tool not installed"
done

scratch=$(mktemp -d "$build/tests/install/package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# With the Ninja generator CPack runs no "preinstall" build step (which
# would race the other suites).
(cd "$build" && cpack -G DEB -B "$scratch" -D CPACK_CMAKE_GENERATOR=Ninja) >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack -G DEB"; }
debs=("$scratch"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in $scratch, found: ${debs[*]}"
deb=${debs[0]}

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orvel ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$ORVEL_VERSION" ] || fail "Version is '$(field Version)', not $ORVEL_VERSION"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
echo "Depends: $depends"
for dep in libhidapi-hidraw0 passwd; do
  echo ", $depends," | grep -Eq ", *$dep( \([^)]*\))? *," || fail "Depends lacks $dep"
done

# Contents: the same entries and modes as a DESTDIR install, all root:root.
dpkg-deb -c "$deb" >"$scratch/contents"
awk '$2 != "root/root" { print "not root/root: " $0; bad = 1 } END { exit bad }' "$scratch/contents" ||
  fail "package files not owned by root"
awk '{ p = $6; sub(/^\./, "", p); sub(/\/$/, "", p); if (p != "") print $1, p }' "$scratch/contents" |
  sort -k2 >"$scratch/actual"
tree_expected >"$scratch/expected"
diff -u "$scratch/expected" "$scratch/actual" || fail "package contents differ from the install layout (- expected, + package)"

# Maintainer scripts: present, executable, valid shell, about this directory.
dpkg-deb -e "$deb" "$scratch/control"
for script in postinst prerm postrm; do
  f=$scratch/control/$script
  [ -f "$f" ] || fail "no $script"
  [ -x "$f" ] || fail "$script not executable"
  sh -n "$f" || fail "$script is not valid sh"
done
for script in postinst postrm; do
  grep -q "^DIR=\"$ORVEL_DIR\"$" "$scratch/control/$script" || fail "$script does not act on $ORVEL_DIR"
done
# The package never carries state: conffiles would make dpkg own user files.
[ ! -e "$scratch/control/conffiles" ] || fail "package declares conffiles: $(cat "$scratch/control/conffiles")"

echo "package $(basename "$deb"): $(wc -l <"$scratch/actual") entries as expected"
