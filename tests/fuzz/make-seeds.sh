#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Seed corpora for the fuzz targets: kesgen files of every container behind
# a 4-byte option header, and a few field tables with their data.
set -euo pipefail
kesgen=$1 out=$2
mkdir -p "$out/scan" "$out/printer" "$out/json"
list=$(mktemp)
trap 'rm -f "$list" "$list".*' EXIT
cat >"$list" <<'LIST'
zeros 20
sync
01 29 25 c1 00
02 f4 ff
04 07 48 65 6c 6c 6f
07
02 00 80 crc=0x55
zeros 60
LIST
for ext in wav flac aiff w64 caf au rf64; do
    "$kesgen" -f "$list" "$list.$ext"
    for header in '\xff\x00\x00\x00' '\x02\x03\x00\x00' '\x01\x01\x05\x00'; do
        { printf "$header"; cat "$list.$ext"; } >"$out/scan/$ext-${#header}-$(printf "$header" | od -An -tx1 | tr -d ' \n')"
    done
done
# A WAV whose data length is left open, as a writer that cannot seek back
# leaves it.
{ printf '\xff\x00\x00\x00'; head -c 40 "$list.wav"; printf '\xff\xff\xff\xff'; tail -c +45 "$list.wav"; } >"$out/scan/wav-open"
# FLAC of 32 bits, which only libFLAC reads, and a stream cut short.
"$kesgen" -b 32 -f "$list" "$list.32.wav"
flac -s -o "$list.32.flac" "$list.32.wav" 2>/dev/null
{ printf '\xff\x00\x00\x00'; cat "$list.32.flac"; } >"$out/scan/flac32"
{ printf '\xff\x00\x00\x00'; head -c 600 "$list.flac"; } >"$out/scan/flac-cut"
printf '\x03\x81\x08\x10\x20\xc2\x00\x08\x04\x05\x06\x07' >"$out/printer/a"
printf '\x04\x02\x03\x40\x04\x00\x01\x20\x60\x0c\xff\xff\xaa\x55\x12' >"$out/printer/b"
printf '\x02\x05\x20\x0c\x28\x05ABCDEFGHIJKLMNOPQRSTUVWXYZ' >"$out/printer/c"
printf 'plain.wav' >"$out/json/a"
printf 'a\tb\\c"d\n\xc3\xa9\xff\xfe\xe2\x82\xac\xed\xa0\x80\xf4\x90\x80\x80' >"$out/json/b"
