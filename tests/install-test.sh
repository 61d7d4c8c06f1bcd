#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build in $1 into a folder of its own, and builds and runs a
# program against the library there, once through pkg-config and once
# through the CMake package: it must tell what the command line tells. $2
# holds the compiler flags the library was built with that the program
# needs too (a sanitizer's).
set -euo pipefail
build=$1
flags=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/usr" >/dev/null
libdir=$(dirname "$(find "$work/usr" -name libkesscan.so -print -quit)")
printf 'zeros 300\nsync\n01 29 25 c1 00\n02 f4 ff\n02 00 80 crc=0x55\nzeros 56\n' | "$build/kesgen" "$work/x.wav"
"$build/kesgen" -c 1 "$work/mono.wav" <<< sync
files=("$work/x.wav" "$work/mono.wav" "$work/missing.wav")
"$build/kesscan" --summary --json "${files[@]}" >"$work/summaries" 2>/dev/null || true
"$build/kesscan" --json "$work/x.wav" >"$work/frames"

PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
# The package is where it was installed, not where it was configured for.
# shellcheck disable=SC2046,SC2086
g++ $flags -Wall -Wextra -Werror -o "$work/by-pkg-config" "$here/embed/embed.cpp" $(pkg-config --define-variable=prefix="$work/usr" --cflags --libs kesscan)
cmake -S "$here/embed" -B "$work/by-cmake" -DCMAKE_PREFIX_PATH="$work/usr" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/by-cmake" >/dev/null
for program in "$work/by-pkg-config" "$work/by-cmake/embed"; do
    LD_LIBRARY_PATH=$libdir "$program" "${files[@]}" | cmp - "$work/summaries"
    LD_LIBRARY_PATH=$libdir "$program" -f "$work/x.wav" | cmp - "$work/frames"
done
# What the library shows is its interface alone.
exported=$(nm -D --defined-only "$libdir/libkesscan.so" | c++filt | grep -c ' T kesscan::')
[ "$exported" -eq 5 ] || { echo "libkesscan.so shows $exported functions of kesscan::, not 5"; exit 1; }
echo "embedded through pkg-config and CMake"
