#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every manual page formats without a single warning.
set -euo pipefail
status=0
for page in "$1"/*.1; do
    out=$(groff -man -ww -z "$page" 2>&1)
    if [ -n "$out" ]; then
        printf '%s:\n%s\n' "$page" "$out"
        status=1
    fi
done
exit $status
