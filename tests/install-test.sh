#!/usr/bin/env bash
# cmake --install puts both programs and both pages under the prefix; the
# .deb that CPack builds depends on the libraries the programs link, as
# dpkg-shlibdeps finds them, and its kesscan decodes a kesgen file. In CI
# the package is installed for real with apt-get, which must find every
# dependency, and removed again; elsewhere it is unpacked into a temporary
# root.
set -euo pipefail
build=$1 kesgen=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
for f in bin/kesscan bin/kesgen share/man/man1/kesscan.1 share/man/man1/kesgen.1 \
    share/bash-completion/completions/kesscan share/bash-completion/completions/kesgen; do
    [ -e "$tmp/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

(cd "$build" && cpack -G DEB -B "$tmp/deb" >/dev/null 2>&1)
deb=$(ls "$tmp"/deb/kesscan_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libsndfile1 libflac libstdc++6 libc6; do
    case "$depends" in *"$lib"*) ;; *) echo "no dependency on $lib: $depends"; exit 1 ;; esac
done
if [ -n "${CI:-}" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
    trap 'DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq kesscan >/dev/null; rm -rf "$tmp"' EXIT
    root=
else
    dpkg -x "$deb" "$tmp/root"
    root=$tmp/root
fi
[ -e "$root/usr/share/man/man1/kesgen.1" ] || { echo "no manual page in the package"; exit 1; }
[ -e "$root/usr/share/bash-completion/completions/kesscan" ] || { echo "no completion in the package"; exit 1; }
"$root/usr/bin/kesscan" --version | grep -qx 'kesscan [0-9.]*' || { echo "no version"; exit 1; }

printf 'sync\n02 f4 ff\n' | "$kesgen" "$tmp/in.flac"
expected='00000038: [2] gain
          size                       8: 2
          gain                      16: -12
          crc                        8: 0x16'
actual=$("$root/usr/bin/kesscan" -p 2 "$tmp/in.flac")
if [ "$actual" != "$expected" ]; then
    printf 'installed kesscan printed:\n%s\n' "$actual"
    exit 1
fi
