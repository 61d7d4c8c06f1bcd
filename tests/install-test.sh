#!/usr/bin/env bash
# cmake --install puts both programs and both pages under the prefix; the
# .deb that CPack builds depends on libsndfile1, and its kesscan, unpacked
# into a temporary root, decodes a kesgen file.
set -euo pipefail
build=$1 kesgen=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
for f in bin/kesscan bin/kesgen share/man/man1/kesscan.1 share/man/man1/kesgen.1 \
    share/bash-completion/completions/kesscan share/bash-completion/completions/kesgen; do
    [ -e "$tmp/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

(cd "$build" && cpack -G DEB -B "$tmp/deb" >/dev/null)
deb=$(ls "$tmp"/deb/kesscan_*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libsndfile1' || { echo "no dependency on libsndfile1"; exit 1; }
dpkg -x "$deb" "$tmp/root"
[ -e "$tmp/root/usr/share/man/man1/kesgen.1" ] || { echo "no manual page in the package"; exit 1; }
[ -e "$tmp/root/usr/share/bash-completion/completions/kesscan" ] || { echo "no completion in the package"; exit 1; }

printf 'sync\n02 f4 ff\n' | "$kesgen" "$tmp/in.flac"
expected='00000038: [2] gain
          size                       8: 2
          gain                      16: -12
          crc                        8: 0x16'
actual=$("$tmp/root/usr/bin/kesscan" -p 2 "$tmp/in.flac")
if [ "$actual" != "$expected" ]; then
    printf 'installed kesscan printed:\n%s\n' "$actual"
    exit 1
fi
