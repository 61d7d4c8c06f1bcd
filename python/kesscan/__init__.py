# SPDX-License-Identifier: MIT
"""Scans audio for its side stream, as the kesscan command line does.

scan() tells what a file holds, as ``kesscan --summary --json`` does;
frames() gives its frames, as ``kesscan --json`` does; decode() scans
samples already decoded; survey() scans many files on the command line's
workers. The scans run the command line's own code, without Python's lock.
"""

from __future__ import annotations

import dataclasses
import io
import json
import os
from typing import Any, BinaryIO, Iterable, Iterator, Optional, Union

from . import _kesscan

__all__ = ["Summary", "Frame", "scan", "frames", "decode", "walk", "survey", "__version__"]
__version__ = _kesscan.version

Source = Union[str, bytes, "os.PathLike[Any]", BinaryIO]


@dataclasses.dataclass(frozen=True)
class Summary:
    """What a scan found in a file: one line of ``kesscan --summary --json``.

    status is "stream", "none", "damaged" or "error"; sync is the sample
    frame of the sync pattern; rate ("96 kHz"), rate_hz, bits and gain are
    the source's, from the first sound stream_params frame; frames counts
    the frames decoded and errors those with checksum errors; reason says
    why the status is not "stream". What is not known is None.
    """

    file: str
    status: str
    sync: Optional[int]
    rate: Optional[str]
    rate_hz: Optional[int]
    bits: Optional[int]
    gain: Optional[int]
    frames: int
    errors: int
    reason: Optional[str]
    json: str = dataclasses.field(repr=False)

    @classmethod
    def from_json(cls, text: Union[str, bytes]) -> "Summary":
        """The summary of one line of ``kesscan --summary --json``."""
        d = json.loads(text)
        depth = d["bitdepth"]
        return cls(d["file"], d["status"], d["sync"], d["rate"], d["rate_hz"],
                   int(depth.split()[0]) if depth else None, d["replay_gain"],
                   d["frames"], d["errors"], d["reason"],
                   text.decode() if isinstance(text, bytes) else text)

    def to_dict(self) -> dict:
        """The object ``kesscan --summary --json`` writes, key for key."""
        return json.loads(self.json)


@dataclasses.dataclass(frozen=True)
class Frame:
    """A frame of the side stream: one object of ``kesscan --json``.

    pos is the sample frame of its first bit; name and fields (each a dict
    of name, bits, value and, where the value has a name, text) are None
    for a frame shown only for its checksum error; crc_ok tells whether its
    checksum matched, and error_pos, when it did not, the frame after it.
    A frame the samples ended inside has crc None.
    """

    file: str
    pos: int
    type: int
    name: Optional[str]
    fields: Optional[tuple]
    crc: Optional[int]
    crc_ok: Optional[bool]
    error_pos: Optional[int]
    json: str = dataclasses.field(repr=False)

    @classmethod
    def from_json(cls, text: Union[str, bytes]) -> "Frame":
        """The frame of one line of ``kesscan --json``."""
        d = json.loads(text)
        fields = d.get("fields")
        return cls(d["file"], d["pos"], d["type"], d.get("name"),
                   tuple(fields) if fields is not None else None,
                   d.get("crc"), d.get("crc_ok"), d.get("error_pos"),
                   text.decode() if isinstance(text, bytes) else text)

    def __hash__(self) -> int:
        return hash(self.json)

    def to_dict(self) -> dict:
        """The object ``kesscan --json`` writes, key for key."""
        return json.loads(self.json)


def _settings(start: int, single: bool, type: Optional[int]) -> tuple:
    if not isinstance(start, int) or isinstance(start, bool):
        raise TypeError("start must be an int")
    if type is not None and (not isinstance(type, int) or isinstance(type, bool)):
        raise TypeError("type must be an int or None")
    return start, bool(single), -1 if type is None else type


def _source(source: Source):
    """What the native scan reads for source, as the command line names it,
    and what must be kept while it is read."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return _kesscan.path(os.fsencode(source)), None
    name = getattr(source, "name", None)
    name = os.fsencode(name) if isinstance(name, (str, bytes)) else b"-"
    if isinstance(source, io.BytesIO):
        view = source.getbuffer()[source.tell():]
        return _kesscan.buffer(view, name), view
    if not hasattr(source, "read"):
        raise TypeError("source must be a path or a binary file object, not " + type(source).__name__)
    try:
        fd = source.fileno()
    except (AttributeError, OSError, io.UnsupportedOperation):
        fd = None
    if fd is not None:
        # What Python holds read ahead is not at the descriptor's offset.
        if source.seekable():
            os.lseek(fd, source.tell(), os.SEEK_SET)
        return _kesscan.fd(fd, name), source
    data = source.read()
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError("source must be opened in binary mode")
    return _kesscan.buffer(memoryview(data).cast("B"), name), data


def scan(source: Source, *, start: int = 0, single: bool = False, type: Optional[int] = None) -> Summary:
    """Scans source, a path or a binary file object, as ``kesscan --summary``.

    start is the sample frame where the search begins; single stops at the
    first sound stream_params frame (``-1``). A file that cannot be scanned
    is a Summary with status "error" and its reason.
    """
    settings = _settings(start, single, type)
    native, kept = _source(source)
    try:
        return Summary.from_json(_kesscan.scan(native, *settings))
    finally:
        del native
        if isinstance(kept, memoryview):
            kept.release()


def frames(source: Source, *, start: int = 0, type: Optional[int] = None) -> Iterator[Frame]:
    """The frames of source, as ``kesscan --json``: of type type only, if
    given. They are decoded as they are taken, on a thread of their own."""
    settings = _settings(start, False, type)
    native, kept = _source(source)
    stream = _kesscan.frames(native, settings[0], settings[2])

    def taken(stream, kept):
        # kept stays referenced while the frames are read.
        for line in stream:
            yield Frame.from_json(line)

    return taken(stream, kept)


def decode(samples: Any, *, start: int = 0, single: bool = False, type: Optional[int] = None,
           name: str = "-") -> Summary:
    """Scans stereo samples already decoded: a numpy array of shape (n, 2)
    and dtype int32, as ``soundfile.read(path, dtype="int32")`` gives it."""
    import numpy

    if not isinstance(samples, numpy.ndarray):
        raise TypeError("samples must be a numpy array")
    if samples.ndim == 1 or (samples.ndim == 2 and samples.shape[1] == 1):
        raise ValueError("mono: the stream is carried by two channels")
    if samples.ndim != 2 or samples.shape[1] != 2:
        raise ValueError(f"samples must have the shape (n, 2), not {samples.shape}")
    if samples.dtype.kind == "f":
        raise ValueError("float samples cannot carry the stream")
    if samples.dtype == numpy.int16:
        raise ValueError("int16: convert with dtype='int32' from the file")
    if samples.dtype != numpy.int32:
        raise ValueError(f"{samples.dtype}: the samples must be int32")
    array = numpy.ascontiguousarray(samples)
    settings = _settings(start, single, type)
    return Summary.from_json(_kesscan.scan(_kesscan.samples(array, os.fsencode(name)), *settings))


def walk(paths: Iterable[Union[str, bytes, "os.PathLike[Any]"]], *, recursive: bool = False,
         extensions: Iterable[str] = ()) -> list:
    """The files a survey of paths scans, in its order, as str: the sound
    files below the folders with recursive (or those of extensions), depth
    first in byte order of the names. What scan() is mapped over."""
    names = _kesscan.walk([os.fsencode(p) for p in paths], recursive, [e.lstrip(".") for e in extensions])
    return [os.fsdecode(n) for n in names]


def survey(paths: Iterable[Union[str, bytes, "os.PathLike[Any]"]], *, jobs: Optional[int] = None,
           recursive: bool = False, single: bool = False, cache: Optional[Union[str, "os.PathLike[Any]"]] = None,
           extensions: Iterable[str] = ()) -> Iterator[Summary]:
    """Scans paths as ``kesscan --summary`` does, on its workers (jobs, by
    default one per processor), walking folders with recursive, and with
    the command line's cache file when one is named. The summaries come in
    the command line's order."""
    names = [os.fsencode(p) for p in paths]
    if jobs is None:
        jobs = len(os.sched_getaffinity(0))
    cache_file = os.fsencode(cache) if cache is not None else None
    exts = [e.lstrip(".") for e in extensions]
    lines = _kesscan.survey(names, jobs, recursive, single, cache_file, exts)
    return (Summary.from_json(line) for line in lines)
