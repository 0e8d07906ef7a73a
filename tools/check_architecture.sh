#!/usr/bin/env bash
# tools/check_architecture.sh: docs/architecture.md, the map of the code, against the tree. Every file it names must
# exist (a name with * stands for a family, sender.* for a header and its code, and must match at least one file),
# and every source file must be named, alone or by a family. Run by tools/test.sh, so that the map cannot drift.
set -u
cd "$(dirname "$0")/.."
map=docs/architecture.md
folders=(platform support wire forward run service collector tests fuzz bench)

mapfile -t names < <(grep -o -E '[A-Za-z0-9_*.-]+(/[A-Za-z0-9_*.-]+)*/[A-Za-z0-9_*.-]+\.(cpp|h|\*)' "$map" | sort -u)
bad=0
for name in "${names[@]}"; do
    # shellcheck disable=SC2086  # the name's * is a glob on purpose
    compgen -G "$name" >/dev/null || { echo "$map names $name, which does not exist"; bad=$((bad + 1)); }
done
while read -r file; do
    named=0
    for name in "${names[@]}"; do
        # shellcheck disable=SC2053  # the name's * matches as a pattern on purpose
        [[ $file == $name ]] && named=1 && break
    done
    [ $named -eq 1 ] || { echo "$map does not name $file"; bad=$((bad + 1)); }
done < <(git ls-files -- "${folders[@]/%//*.cpp}" "${folders[@]/%//*.h}" | sort)
[ "$bad" -eq 0 ] && echo "architecture map: ${#names[@]} names, every source file named" && exit 0
echo "architecture map: $bad difference(s) from the tree"
exit 1
