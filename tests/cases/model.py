#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""An independent model of the side stream, for checking the transcripts.

    python3 tests/cases/model.py tests/cases/*.txt

It knows nothing of kesscan's code: it turns each frame list that a transcript
gives kesgen into bits, decodes them as the format describes (sync search,
bytes most significant bit first, fields least significant bit first, the
checksum bit by bit from its definition), prints with the printf formats, and
compares the result with the output written under every plain
"kesscan [-1] [-p N] [-s N] [-v] FILE" command whose file it can follow.
Other commands (pipes, containers compared with cmp) are left to the test run.
"""

import re
import shlex
import sys

SYNC = [0x00, 0x04, 0x8C, 0x49, 0xE0, 0xAB, 0x2C]
RATES = {0: "44.1 kHz", 1: "88.1 KHz", 2: "176.4 kHz", 3: "352.8 kHz", 4: "705.6 kHz",
         5: "1.4112 MHz", 6: "2.8224 MHz", 7: "5.6448 MHz", 8: "48 kHz", 9: "96 kHz",
         10: "192 kHz", 11: "384 kHz", 12: "768 kHz", 13: "1.536 MHz", 14: "3.072 MHz",
         15: "6.144 MHz", 16: "64 kHz", 17: "128 kHz", 18: "256 kHz", 19: "512 kHz",
         20: "1.024 MHz", 21: "2.048 MHz", 22: "4.096 MHz", 23: "8.192 MHz"}
DEPTHS = {0: "20 bits", 1: "18 bits", 2: "16 bits", 3: "15 bits"}
# name, width, how: u unsigned, s signed, x hexadecimal; value names
LAYOUTS = {
    0: ("magic", [("magic", 32, "x", None)]),
    1: ("stream_params", [("resampling_filter", 5, "u", None), ("noise_shaping_filter", 2, "u", None),
                          ("bitdepth", 2, "u", DEPTHS), ("unknown", 1, "u", None),
                          ("replay_gain", 10, "s", None), ("orig_rate", 5, "x", RATES),
                          ("unknown", 2, "u", None), ("unknown", 1, "u", None),
                          ("swizzle", 1, "u", None), ("pad", 3, "u", None)]),
    2: ("gain", [("gain", 16, "s", None)]),
    4: ("metadata", [("type", 8, "u", None)]),
}


def checksum(data):
    """The register takes each byte at the top; the byte leaving at the
    bottom goes through eight steps of the reflected CRC-32 polynomial."""
    def step(c):
        low = c & 0xFF
        for _ in range(8):
            low = (low >> 1) ^ (0xEDB88320 if low & 1 else 0)
        return (c >> 8) ^ low
    c = 0
    for b in data:
        c = step(c) ^ (b << 24)
    for _ in range(3):
        c = step(c)
    return c & 0xFF


def byte_bits(b):
    return [(b >> (7 - k)) & 1 for k in range(8)]


def list_bits(text):
    bits = []
    for line in text.split("\n"):
        words = line.split("#")[0].split()
        if not words:
            continue
        if words[0] == "sync":
            bits += sum((byte_bits(b) for b in SYNC), [])
        elif words[0] == "zeros":
            bits += [0] * int(words[1], 0)
        elif words[0] == "bits":
            bits += [int(c) for w in words[1:] for c in w]
        elif words[0] == "raw":
            bits += sum((byte_bits(int(w, 16)) for w in words[1:]), [])
        else:
            payload = [int(w, 16) for w in words[1:] if "=" not in w]
            opts = dict(w.split("=") for w in words[1:] if "=" in w)
            frame = [int(words[0], 16), int(opts.get("size", str(len(payload))), 0)] + payload
            frame.append(int(opts["crc"], 0) if "crc" in opts else checksum(frame))
            bits += sum((byte_bits(b) for b in frame), [])
    return bits


class Ended(Exception):
    pass


def scan(bits, ptype, single, start, out):
    """Prints what the format says a scan of bits from start prints."""
    sync_bits = sum((byte_bits(b) for b in SYNC), [])
    for pos in range(start, start + 1024):
        if pos + 56 > len(bits):
            return
        if bits[pos:pos + 56] == sync_bits:
            break
    else:
        return
    while True:
        spos = pos
        data = []

        def byte():
            nonlocal pos
            if pos + 8 > len(bits):
                raise Ended
            v = int("".join(map(str, bits[pos:pos + 8])), 2)
            pos += 8
            data.append(v)
            return v

        t = byte()
        shown = ptype < 0 or t == ptype
        say = out.append if shown else (lambda _: None)
        name, fields = LAYOUTS.get(t, (None, None))
        say("%08x: [%x] %s" % (spos, t, name or "unknown type"))
        size = 0
        if fields:
            size = byte()
            say("%10s%-24s%4d: %d" % ("", "size", 8, size))
            acc, have = 0, 0  # bits of the payload, least significant first
            for fname, width, how, names in fields:
                while have < width:
                    acc |= byte() << have
                    have += 8
                v = acc & ((1 << width) - 1)
                acc >>= width
                have -= width
                if how == "x":
                    text = "0x%0*x" % ((width + 3) // 4, v)
                elif how == "s":
                    text = "%d" % (v - (1 << width) if v >> (width - 1) else v)
                else:
                    text = "%d" % v
                if names and v in names:
                    text += " [%s]" % names[v]
                say("%10s%-24s%4d: %s" % ("", fname, width, text))
        else:
            byte()  # taken for the size byte, which is then 0
        while pos < spos + 16 + 8 * size:
            byte()
        want = checksum(data)
        got = byte()
        say("%10s%-24s%4d: 0x%02x" % ("", "crc", 8, got))
        if want != got:
            out.append("%08x: checksum error" % pos)
        if single and (ptype < 0 or t == ptype):
            return


def number(text):
    """C notation (0x hexadecimal, 0 octal), saturated to 64 bits as strtoll
    does, cut to a signed 32-bit value."""
    digits = text.lstrip("-")
    base = 16 if digits[:2] in ("0x", "0X") else 8 if digits[:1] == "0" and len(digits) > 1 else 10
    v = int(text, base)
    v = max(-2**63, min(2**63 - 1, v)) & 0xFFFFFFFF
    return v - 2**32 if v >> 31 else v


def expected(bits, argv):
    ptype, single, start, files = -1, False, 0, []
    args = iter(argv)
    for a in args:
        if a == "-1":
            if single:
                start += 1
            single = True
            ptype = 1 if ptype < 0 else ptype
        elif a == "-p":
            ptype = number(next(args))
        elif a == "-s":
            start = number(next(args))
        elif re.fullmatch("-v+", a):
            pass
        elif a.startswith("-"):
            return None
        else:
            files.append(a)
    out = []
    if len(files) != 1:
        return None
    if start < 0 or start > len(bits):
        return out  # outside the file: only a message
    try:
        scan(bits, ptype, single, start, out)
    except Ended:
        pass
    return out


def check(path):
    lists, made, checked, wrong = {}, {}, 0, 0
    lines = open(path).read().split("\n")
    i = 0
    while i < len(lines):
        if not lines[i].startswith("$ "):
            i += 1
            continue
        cmd, i = lines[i][2:], i + 1
        while i < len(lines) and lines[i].startswith("> "):
            cmd += "\n" + lines[i][2:]
            i += 1
        output = []
        while i < len(lines) and lines[i] and lines[i][0] not in "#$!?":
            output.append(lines[i])
            i += 1
        m = re.fullmatch(r"cat >(\S+) <<'\.'\n(.*)\n\.", cmd, re.S)
        if m:
            lists[m[1]] = m[2]
            continue
        m = re.fullmatch(r"kesgen (.*?)(\S+) <<< (\$?)'?(.*?)'?", cmd, re.S)
        if m and "-b 16" not in m[1] and "-c" not in m[1]:
            try:
                made[m[2]] = list_bits(m[4].encode().decode("unicode_escape") if m[3] else m[4])
            except ValueError:  # a list kesgen refuses makes no file
                pass
            continue
        m = re.fullmatch(r"kesgen (\S+) <<'\.'\n(.*)\n\.", cmd, re.S)
        if m:
            made[m[1]] = list_bits(m[2])
            continue
        m = re.fullmatch(r"kesgen (-b 32 )?-f (\S+) (\S+)", cmd)
        if m and m[2] in lists:
            made[m[3]] = list_bits(lists[m[2]])
            continue
        m = re.fullmatch(r"kesscan ([-\w. ]*)", cmd)
        if not m:
            continue
        argv = shlex.split(m[1])
        if argv[-1] not in made or len(argv) - argv.count("-v") < 1:
            continue
        out = expected(made[argv[-1]], argv)
        if out is None or len([a for a in argv if a in made]) != 1:
            continue
        checked += 1
        if out != output:
            wrong += 1
            print("%s: $ %s\n  model:  %s\n  case:   %s" % (path, cmd, out, output))
    print("%s: %d commands checked, %d differ" % (path, checked, wrong))
    return wrong


if __name__ == "__main__":
    sys.exit(1 if sum(check(p) for p in sys.argv[1:]) else 0)
