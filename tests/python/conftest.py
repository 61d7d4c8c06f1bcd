# SPDX-License-Identifier: MIT
"""A generated library of every outcome, and the programs that made and
read it: the command line is what the module is checked against."""

import json
import os
import shutil
import subprocess
import time

import pytest

BUILD = os.environ["KESSCAN_BUILD"]
KESSCAN = os.path.join(BUILD, "kesscan")
KESGEN = os.path.join(BUILD, "kesgen")

# name: (kesgen arguments, frame list); what each is for is in its name.
FILES = {
    "a/stream.wav": ([], "zeros 300\nsync\n01 29 25 c1 00\n02 f4 ff\n04 07 48 65 6c 6c 6f\n07\n"
                         "sync\n02 00 80 crc=0x55\n01 29 25 c1 00 crc=0x48\nzeros 56\n"),
    "a/stream.flac": ([], "zeros 3\nsync\n01 29 25 91 00\n" + "02 40 00\n" * 300 + "zeros 100\n"),
    "a/16bit.wav": (["-b", "16"], "sync\n01 29 25 c1 00\n"),
    "b/none.wav": ([], "zeros 2000\n"),
    "b/mono.wav": (["-c", "1"], "sync\n"),
    "b/late.aif": ([], "zeros 700\nsync\n01 29 25 01 00\nzeros 10\n"),
    "c/gains.flac": ([], "zeros 3\nsync\n" + "".join(f"02 {i % 90 + 10} 00\n" for i in range(3000))),
}


def kesgen(path, args, frames):
    subprocess.run([KESGEN, *args, path], input=frames.encode(), check=True, capture_output=True)


@pytest.fixture(scope="session")
def library(tmp_path_factory):
    root = tmp_path_factory.mktemp("library")
    for name, (args, frames) in FILES.items():
        os.makedirs(root / os.path.dirname(name), exist_ok=True)
        kesgen(str(root / name), args, frames)
    # Damaged: a FLAC file cut short, and a WAV file cut inside a frame.
    data = (root / "c/gains.flac").read_bytes()
    (root / "c/cut.flac").write_bytes(data[: len(data) // 2])
    data = (root / "a/stream.wav").read_bytes()
    (root / "c/cut.wav").write_bytes(data[: len(data) - 300])
    (root / "c/junk.flac").write_bytes(b"fLaC" + b"\x00" * 100)
    return root


def cli(*args, cwd=None):
    """The JSON objects the command line writes, and its status."""
    run = subprocess.run([KESSCAN, *args], capture_output=True, cwd=cwd)
    return [json.loads(line) for line in run.stdout.splitlines()], run.returncode


@pytest.fixture
def files(library):
    return sorted(str(p) for p in library.rglob("*") if p.is_file()) + [str(library / "missing.wav")]


def have(program):
    return shutil.which(program) is not None


def settled(root):
    """Waits until the clock has left the tick the files under root were
    last changed in, which a cache would take for a change it might not see:
    a wait for the clock, of some 25 ms at most, never for the machine."""
    last = max(p.stat().st_ctime_ns for p in root.rglob("*"))
    while time.time_ns() <= last + 25_000_000:
        pass
