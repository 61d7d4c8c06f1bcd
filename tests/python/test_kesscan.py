# SPDX-License-Identifier: MIT
"""The module against the command line, on every file and option set."""

import io
import json
import os
import pathlib
import pickle
import subprocess
import threading

import numpy
import pytest
import soundfile

import kesscan
from conftest import KESSCAN, cli, settled

# Keyword settings and the command line's options for them.
OPTION_SETS = [
    ({}, []),
    ({"single": True}, ["-1"]),
    ({"start": 356}, ["-s", "356"]),
    ({"start": 5000}, ["-s", "5000"]),
    ({"type": 2}, ["-p", "2"]),
]


def test_summaries_and_frames_are_the_command_lines(files):
    statuses = set()
    for settings, options in OPTION_SETS:
        for f in files:
            expected, _ = cli("--summary", "--json", *options, f)
            got = kesscan.scan(f, **settings)
            assert got.to_dict() == expected[0], (f, options)
            assert (got.file, got.status, got.frames, got.errors) == (
                f, expected[0]["status"], expected[0]["frames"], expected[0]["errors"])
            statuses.add(got.status + ("+errors" if got.errors else ""))
            if settings.get("single"):
                continue
            frames, _ = cli("--json", *options, f)
            assert [x.to_dict() for x in kesscan.frames(f, **settings)] == frames, (f, options)
    assert statuses == {"stream", "stream+errors", "none", "damaged", "damaged+errors", "error"}


def test_summary_fields(library):
    s = kesscan.scan(str(library / "a/stream.wav"))
    assert (s.status, s.sync, s.rate, s.rate_hz, s.bits, s.gain, s.frames, s.errors, s.reason) == (
        "stream", 300, "768 kHz", 768000, 16, 73, 9, 2, None)
    none = kesscan.scan(str(library / "a/16bit.wav"))
    assert (none.status, none.sync, none.rate_hz, none.bits) == ("none", None, None, None)
    assert none.reason == "16-bit samples cannot carry the stream"
    frame = next(kesscan.frames(str(library / "a/stream.wav"), type=1))
    assert (frame.pos, frame.type, frame.name, frame.crc_ok) == (356, 1, "stream_params", True)
    assert frame.fields[6] == {"name": "orig_rate", "bits": 5, "value": 12, "text": "768 kHz"}
    bad = [f for f in kesscan.frames(str(library / "a/stream.wav")) if not f.crc_ok]
    assert [(f.pos, f.type, f.crc, f.error_pos) for f in bad] == [(604, 2, 0x55, 644), (644, 1, 0x48, 700)]


def test_every_kind_of_source_reads_the_same(library):
    path = str(library / "a/stream.flac")
    want = kesscan.scan(path)
    assert kesscan.scan(os.fsencode(path)) == want
    assert kesscan.scan(pathlib.Path(path)) == want
    with open(path, "rb") as f:
        assert kesscan.scan(f) == want
    with open(path, "rb") as f:
        f.read(10)  # what Python read ahead is not where the descriptor stands
        f.seek(0)
        assert kesscan.scan(f) == want
    data = pathlib.Path(path).read_bytes()
    unnamed = dict(want.to_dict(), file="-")
    assert kesscan.scan(io.BytesIO(data)).to_dict() == unnamed
    assert [x.to_dict()["pos"] for x in kesscan.frames(io.BytesIO(data))] == [
        x.to_dict()["pos"] for x in kesscan.frames(path)]

    class Reader(io.RawIOBase):  # a file object with no descriptor
        def __init__(self):
            self.inner = io.BytesIO(data)

        def readable(self):
            return True

        def readinto(self, b):
            return self.inner.readinto(b)

    assert kesscan.scan(io.BufferedReader(Reader())).to_dict() == unnamed
    cat = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
    assert kesscan.scan(cat.stdout).to_dict() == unnamed
    cat.wait()


def test_decoded_samples_read_as_the_file(library):
    for name in ["a/stream.wav", "a/stream.flac", "b/late.aif", "c/gains.flac"]:
        path = str(library / name)
        samples, _ = soundfile.read(path, dtype="int32")
        assert kesscan.decode(samples, name=path) == kesscan.scan(path), name
        assert kesscan.decode(samples, name=path, start=356, single=True) == kesscan.scan(
            path, start=356, single=True), name
    samples, _ = soundfile.read(str(library / "a/stream.wav"), dtype="int32")
    assert kesscan.decode(numpy.asfortranarray(samples)).frames == 9
    refusals = [
        (samples[:, 0], "mono"),
        (samples[:, :1], "mono"),
        (samples.astype("float32"), "float samples cannot carry the stream"),
        (samples.astype("int16"), "int16: convert with dtype='int32' from the file"),
        (samples.astype("int64"), "int64: the samples must be int32"),
        (numpy.zeros((4, 3), "int32"), "samples must have the shape (n, 2), not (4, 3)"),
    ]
    for array, why in refusals:
        with pytest.raises(ValueError, match="^" + why.replace("(", r"\(").replace(")", r"\)")):
            kesscan.decode(array)


def test_misuse_raises(library):
    with pytest.raises(TypeError):
        kesscan.scan(3)
    with pytest.raises(TypeError):
        kesscan.decode([[1, 2]])
    with pytest.raises(TypeError):
        kesscan.scan(str(library / "a/stream.wav"), start="0")
    for settings in [{"start": -1}, {"type": 256}, {"type": -2}]:
        with pytest.raises(ValueError):
            kesscan.scan(str(library / "a/stream.wav"), **settings)
    with pytest.raises(ValueError):
        list(kesscan.survey([str(library)], jobs=0))


def test_records_pickle_and_compare_field_by_field(library):
    s = kesscan.scan(str(library / "a/stream.wav"))
    frames = list(kesscan.frames(str(library / "a/stream.wav")))
    assert pickle.loads(pickle.dumps(s)) == s
    assert pickle.loads(pickle.dumps(frames)) == frames
    assert s != kesscan.scan(str(library / "a/stream.wav"), single=True)
    with pytest.raises(Exception):
        s.status = "none"


def test_two_threads_scan_at_once(library):
    paths = [str(library / n) for n in ["c/gains.flac", "a/stream.wav", "c/cut.flac", "b/late.aif"]] * 3
    alone = [kesscan.scan(p) for p in paths]
    got = [None] * len(paths)

    def worker(k):
        for i in range(k, len(paths), 2):
            got[i] = kesscan.scan(paths[i])

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == alone


def test_survey_is_the_command_lines(library, tmp_path):
    expected, status = cli("--summary", "--json", "--recursive", str(library))
    assert status == 0
    for jobs in [1, 2]:
        assert [s.to_dict() for s in kesscan.survey([str(library)], recursive=True, jobs=jobs)] == expected
    cache = str(tmp_path / "cache.sqlite")
    for p in library.rglob("*"):
        os.utime(p, (1577836800, 1577836800))
    settled(library)
    first = list(kesscan.survey([str(library)], recursive=True, cache=cache))
    again = list(kesscan.survey([str(library)], recursive=True, cache=cache))
    assert [s.to_dict() for s in first] == expected and again == first
    # The command line's cache is the same one: it recalls what the module kept.
    run = subprocess.run([KESSCAN, "--summary", "--json", "--recursive", "--cache=" + cache, "--stats", "--json",
                          str(library)], capture_output=True, text=True)
    # -1 too: what the module keeps, the command line recalls.
    quick = list(kesscan.survey([str(library)], recursive=True, single=True, cache=cache))
    run1 = subprocess.run([KESSCAN, "--summary", "--json", "-1", "--recursive", "--cache=" + cache, "--stats", "--json",
                           str(library)], capture_output=True, text=True)
    assert json.loads(run1.stderr.splitlines()[-1])["bytes_read"] <= (library / "c/junk.flac").stat().st_size
    assert [json.loads(line) for line in run1.stdout.splitlines()] == [s.to_dict() for s in quick]
    # All but a file that could not be scanned, which it does not keep.
    stats = json.loads(run.stderr.splitlines()[-1])
    assert 0 < stats["bytes_read"] <= (library / "c/junk.flac").stat().st_size, run.stderr
    assert [json.loads(line) for line in run.stdout.splitlines()] == expected
    names = [str(library / "a/stream.wav"), str(library / "missing.wav")]
    assert [s.status for s in kesscan.survey(names)] == ["stream", "error"]
    with pytest.raises(RuntimeError, match="cache"):
        list(kesscan.survey(names, cache=str(tmp_path / "no/such/folder/cache")))


def test_frames_come_as_they_are_taken(library):
    path = str(library / "c/gains.flac")
    every = list(kesscan.frames(path))
    assert len(every) == 3001
    it = kesscan.frames(path)
    assert [next(it), next(it)] == every[:2]
    del it  # the scan ends there, its thread with it
    with open(path, "rb") as f:
        assert list(kesscan.frames(f)) == every
    data = io.BytesIO(pathlib.Path(path).read_bytes())
    it = kesscan.frames(data)
    assert next(it).to_dict() == dict(every[0].to_dict(), file="-")
    assert len(list(it)) == 3000
    data.write(b"more")  # the buffer is let go with the frames
    with pytest.raises(ValueError):
        kesscan.frames(path, type=300)


def test_a_survey_comes_as_it_is_taken(library, tmp_path):
    every = list(kesscan.survey([str(library)], recursive=True, jobs=2))
    it = kesscan.survey([str(library)], recursive=True, jobs=2)
    assert next(it) == every[0]
    del it  # the survey stops there
    cache = str(tmp_path / "cache.sqlite")
    it = kesscan.survey([str(library)], recursive=True, cache=cache)
    assert next(it) == every[0]
    del it  # and keeps what it has read
    assert list(kesscan.survey([str(library)], recursive=True, cache=cache)) == every
