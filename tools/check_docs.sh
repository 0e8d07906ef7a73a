#!/usr/bin/env bash
# tools/check_docs.sh: the documents that name code, against the tree, so that they cannot drift.
# - docs/architecture.md, the map: every file it names must exist (a name with * stands for a family, sender.* for a
#   header and its code, and must match at least one file), and every source file must be named, alone or by a family.
# - every test that a document names (`Suite.Name`, as docs/bad_input.md does for each row) must exist.
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

mapfile -t tests < <(grep -h -o -E '`[A-Z][A-Za-z0-9]*\.[A-Z][A-Za-z0-9]*`' docs/*.md README.md | tr -d '`' | sort -u)
for t in "${tests[@]}"; do
    grep -r -q -E "TEST(_F|_P)?\(\s*${t%%.*},\s*${t#*.}\)" tests/ || { echo "documents name the test $t, which does not exist"; bad=$((bad + 1)); }
done
[ "$bad" -eq 0 ] && echo "documents: ${#names[@]} names in the map, every source file named; ${#tests[@]} tests named, all there" && exit 0
echo "documents: $bad difference(s) from the tree"
exit 1
