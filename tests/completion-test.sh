#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The completions offer the long options, an option's values and file
# names, as bash-completion runs them.
# bash-completion itself is not written for set -eu.
completions=$1
. /usr/share/bash-completion/bash_completion
. "$completions/kesscan"
. "$completions/kesgen"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
mkdir folder
touch song.flac

complete_line() {
    COMP_LINE=$1
    COMP_POINT=${#COMP_LINE}
    read -ra COMP_WORDS <<<"$COMP_LINE"
    [[ $COMP_LINE == *' ' ]] && COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$2" 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}

expect() {
    local got
    got=$(complete_line "$1" "$2")
    if [ "$got" != "$3" ]; then
        printf '%s: completed %s, expected %s\n' "$1" "$got" "$3"
        exit 1
    fi
}

expect 'kesscan --recu' _kesscan '--recursive '
expect 'kesscan --rechec' _kesscan '--recheck-limit= --recheck= '
expect 'kesscan --j' _kesscan '--jobs= --json '
expect 'kesscan --pro' _kesscan '--progress '
expect 'kesscan so' _kesscan 'song.flac '
expect 'kesscan --cache-' _kesscan '--cache-prune '
expect 'kesscan --cache=so' _kesscan 'song.flac '
expect 'kesscan fo' _kesscan 'folder '
expect 'kesscan --list=da' _kesscan 'damaged '
expect 'kesscan --list=stream,err' _kesscan 'stream,error stream,errors '
expect 'kesscan --list ' _kesscan 'damaged error errors none stream '
expect 'kesscan --ext=fl' _kesscan 'flac '
expect 'kesscan --ext=flac,w' _kesscan 'flac,w64 flac,wav flac,wve '
expect 'kesscan --jobs ' _kesscan ' '
expect 'kesgen --sig' _kesgen '--signal= '
expect 'kesgen --v' _kesgen '--version '
expect 'kesgen -s t' _kesgen 'tone '
expect 'kesgen -b ' _kesgen '16 24 32 '
expect 'kesgen --carrier so' _kesgen 'song.flac '
