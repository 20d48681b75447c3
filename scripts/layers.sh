#!/usr/bin/env bash
# The layer check: every include in src/ and app/ points at the file's own
# layer or a layer before it in src/layers.txt, never at a later one; a
# folder of src/ that is no layer is an error too. Prints each offence and
# exits non-zero when there is one. Run by the test command.
set -uo pipefail
cd "$(dirname "$0")/.."
mapfile -t layers < <(grep -E '^[a-z]+$' src/layers.txt)
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done
status=0
for dir in src/*/; do
  name=$(basename "$dir")
  [ -n "${rank[$name]+x}" ] || { echo "layers: src/$name is not in src/layers.txt"; status=1; }
done
while IFS= read -r file; do
  layer=$(echo "$file" | sed -E 's#^src/([a-z]+)/.*#\1#; s#^app/.*#app#')
  while IFS=: read -r line include; do
    target=${include%%/*}
    [ -n "${rank[$target]+x}" ] || continue  # a system header or a file of the same folder
    if [ "${rank[$target]}" -gt "${rank[$layer]}" ]; then
      echo "layers: $file:$line includes $include ($layer may not reach up to $target)"
      status=1
    fi
  done < <(grep -nE '^#include "' "$file" | sed -E 's/^([0-9]+):#include "([^"]+)".*/\1:\2/')
done < <(find src app -name '*.cpp' -o -name '*.h' | sort)
[ $status -eq 0 ] && echo "layers: every include points down (${#layers[@]} layers)"
exit $status
