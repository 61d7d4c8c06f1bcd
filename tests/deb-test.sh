#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The packages dpkg-buildpackage made, in the folder $1: lintian finds no
# error or warning in them, and once apt-get has installed them, with every
# dependency, the installed kesscan decodes a file the installed kesgen
# writes. They are removed again at the end.
set -euo pipefail
debs=$(cd "$1" && pwd)
tags=$(lintian --pedantic --tag-display-limit 0 "$debs"/kesscan_*.changes)
printf '%s\n' "$tags" | sed '/^$/d'
if printf '%s\n' "$tags" | grep -q '^[EW]:'; then
    echo "lintian found errors or warnings"
    exit 1
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$debs"/kesscan_*.deb "$debs"/kesgen_*.deb \
    "$debs"/libkesscan0_*.deb "$debs"/libkesscan-dev_*.deb "$debs"/python3-kesscan_*.deb >/dev/null
trap 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq kesscan kesgen libkesscan0 libkesscan-dev python3-kesscan >/dev/null' EXIT
for f in /usr/share/man/man1/kesscan.1.gz /usr/share/man/man1/kesgen.1.gz /usr/share/doc/kesscan/copyright \
    /usr/share/bash-completion/completions/kesscan /usr/share/bash-completion/completions/kesgen; do
    [ -e "$f" ] || { echo "not installed: $f"; exit 1; }
done
/usr/bin/kesscan --version | grep -qx 'kesscan [0-9.]*' || { echo "no version"; exit 1; }
AUTOPKGTEST_TMP=$(mktemp -d) "$(dirname "$0")/../debian/tests/installed" >/dev/null
# A program builds against the installed library as against any other.
work=$(mktemp -d)
g++ -o "$work/embed" "$(dirname "$0")/embed/embed.cpp" $(pkg-config --cflags --libs kesscan)
/usr/bin/kesgen "$work/x.wav" <<< $'sync\n01 29 25 c1 00'
[ "$("$work/embed" "$work/x.wav")" = "$(/usr/bin/kesscan --summary --json "$work/x.wav")" ] ||
    { echo "the embedded scan differs"; exit 1; }
# Debian's Python finds the module, and beets the plugin.
[ "$(cd / && /usr/bin/python3 -c 'import kesscan, sys; print(kesscan.scan(sys.argv[1]).json)' "$work/x.wav")" = \
    "$(/usr/bin/kesscan --summary --json "$work/x.wav")" ] || { echo "the module's scan differs"; exit 1; }
if command -v beet >/dev/null; then
    mkdir "$work/beets"
    echo 'plugins: kesscan' >"$work/beets/config.yaml"
    BEETSDIR=$work/beets HOME=$work beet kesscan --help >/dev/null 2>"$work/beets/err" && ! [ -s "$work/beets/err" ] ||
        { echo "beets cannot load the plugin:"; cat "$work/beets/err"; exit 1; }
fi
rm -rf "$work"
echo "installed and scanned: $(dpkg-query -W -f='${Package} ${Version}  ' kesscan kesgen libkesscan0 libkesscan-dev python3-kesscan)"
