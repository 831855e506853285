#!/bin/sh
# The README's table of Debian packages names exactly the steps and packages
# of debian-packages.
#   readme_agrees.sh SOURCE_DIR
set -eu
list="$(awk '!/^[[:space:]]*(#|$)/ { print $1, $2 }' "$1/debian-packages" | sort)"
table="$(sed -n '/^## Debian packages/,/^## /p' "$1/README.md" |
    sed -n 's/^| `\([^`]*\)` | \([a-z]*\) |.*/\2 \1/p' | sort)"
if [ "$list" != "$table" ]; then
    echo "debian-packages and the README's table of packages differ:"
    printf 'list:\n%s\nREADME:\n%s\n' "$list" "$table"
    exit 1
fi
