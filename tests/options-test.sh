#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual's OPTIONS, the README's table of options and the bash
# completion name the options the program's help names, no more, no fewer;
# the README's synopsis is the help's.
set -euo pipefail
kesscan=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Each list: one option a line, "-p" or "--cache", sorted.
"$kesscan" --help | grep -oE '^  -[-a-z0-9]+' | sed 's/^  //' | sort -u >"$tmp/help"
awk '/^\.SH OPTIONS/ { on = 1; next } /^\.SH/ { on = 0 } on && last == ".TP" { print $2 } { last = $0 }' \
    "$src/man/kesscan.1" | sed 's/\\-/-/g' | sort -u >"$tmp/manual"
awk '/^\| option \| effect \|/ { on = 1; next } on && !/^\|/ { on = 0 } on' "$src/README.md" |
    grep -oE '^\| `-[-a-z0-9]+' | sed 's/^| `//' | sort -u >"$tmp/readme"
tr '\n' ' ' <"$src/completions/kesscan" | grep -oE "compgen -W '-[^']*'" | head -1 | sed 's/^compgen -W //' | tr -s " '" '\n' |
    grep -E '^-' | sed 's/=$//' | sort -u >"$tmp/completion"

# The README's synopsis is the help's, but for the program's name.
"$kesscan" --help | sed -n '1,/}$/p' | sed 's/^usage: //; s/^       //' >"$tmp/synopsis"
awk '/^    kesscan \[/ { on = 1 } on { sub(/^    /, ""); print } on && /}$/ { exit }' "$src/README.md" >"$tmp/readme-synopsis"

status=0
if ! diff -u "$tmp/synopsis" "$tmp/readme-synopsis"; then
    echo "the README's synopsis is not the help's"
    status=1
fi
[ "$(wc -l <"$tmp/help")" -ge 20 ] || { echo "the help names only $(wc -l <"$tmp/help") options"; status=1; }
for doc in manual readme completion; do
    if ! diff -u "$tmp/help" "$tmp/$doc" >"$tmp/diff"; then
        echo "the $doc does not name the options the help names:"
        cat "$tmp/diff"
        status=1
    fi
done
exit $status
