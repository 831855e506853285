#!/bin/sh
# The first column of the README's map of the tree names every folder under src/ and the other
# top-level folders of code, and every folder it names exists.
#   tree_map.sh SOURCE_DIR
set -eu
cd "$1"
named="$(sed -n '/^## The tree/,/^## /p' README.md | sed -n 's/^| \([^|]*\) |.*/\1/p' |
    grep -o '`[a-z/]*/`' | tr -d '`' | sort -u)"
status=0
for folder in $named; do
    [ -d "$folder" ] || { echo "the README's map names $folder, which is not in the tree"; status=1; }
done
for folder in $(ls -d src/*/ tools/*/ bench/ fuzz/ tests/ cmake/); do
    echo "$named" | grep -qx "$folder" || { echo "$folder is missing from the README's map"; status=1; }
done
exit $status
