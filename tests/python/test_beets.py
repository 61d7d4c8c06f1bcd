# SPDX-License-Identifier: MIT
"""The beets plugin, driven through Debian's real beets."""

import os
import pathlib
import subprocess

import pytest

from conftest import cli, have, settled

PLUGINS = pathlib.Path(__file__).resolve().parents[2] / "python" / "beetsplug"

pytestmark = pytest.mark.skipif(not have("beet"), reason="beets is not installed")


@pytest.fixture
def beets(tmp_path, library):
    """Runs beet with a configuration of its own, in a folder of its own."""
    home = tmp_path / "beets"
    home.mkdir()

    def configure(auto):
        (home / "config.yaml").write_text(
            f"directory: {tmp_path / 'music'}\n"
            f"library: {home / 'library.db'}\n"
            f"pluginpath: [{PLUGINS}]\n"
            "plugins: kesscan\n"
            "import: {copy: no, move: no, write: no, duplicate_action: keep, log: null}\n"
            f"kesscan: {{auto: {'yes' if auto else 'no'}, jobs: 2}}\n")

    def beet(*args):
        run = subprocess.run(["beet", *args], capture_output=True, text=True,
                             env=dict(os.environ, BEETSDIR=str(home), HOME=str(tmp_path)))
        assert run.returncode == 0, run.stderr
        return run

    beet.configure = configure
    configure(False)
    return beet


def statuses(beet, query=()):
    lines = beet("ls", "-f", "$kes_status $path", *query).stdout.splitlines()
    return dict(reversed(line.split(" ", 1)) for line in lines)


def test_fields_are_the_command_lines_and_queries_find_them(beets, library):
    beets("import", "-A", "-s", "-q", str(library))
    items = statuses(beets)
    assert len(items) >= 8 and set(items.values()) == {"$kes_status"}
    beets("kesscan")
    items = statuses(beets)
    expected = {s["file"]: s for s in cli("--summary", "--json", *sorted(items))[0]}
    assert items == {path: s["status"] for path, s in expected.items()}
    assert {"stream", "none", "damaged"} <= set(items.values())
    fields = "$kes_rate_hz $kes_bits $kes_gain $kes_frames $kes_errors $path"
    for line in beets("ls", "-f", fields, "kes_status:stream").stdout.splitlines():
        s = expected[line.split(" ", 5)[5]]
        told = [s["rate_hz"], s["bitdepth"] and int(s["bitdepth"].split()[0]), s["replay_gain"], s["frames"],
                s["errors"]]
        # A field a stream does not tell is not set, and beets shows its name.
        unset = fields.split()[:5]
        assert line.split(" ")[:5] == [str(v) if v is not None else u for v, u in zip(told, unset)], line

    def found(*query):
        return sorted(beets("ls", "-p", *query).stdout.splitlines())

    assert found("kes_status:damaged") == sorted(p for p, s in expected.items() if s["status"] == "damaged")
    assert found("kes_rate_hz:768000") == sorted(p for p, s in expected.items() if s["rate_hz"] == 768000)
    assert found("kes_errors:1..") == sorted(p for p, s in expected.items() if s["errors"] >= 1)
    assert found("kes_errors:1..") and found("kes_rate_hz:768000")


def test_only_changed_items_are_scanned_again(beets, library, tmp_path):
    beets("import", "-A", "-s", "-q", str(library / "a"))
    for p in (library / "a").iterdir():
        os.utime(p, (1577836800, 1577836800))
    settled(library)

    def scanned(*args):
        log = beets("-v", "kesscan", *args).stderr.splitlines()
        return sorted(line.split(": ")[1] for line in log if line.startswith("kesscan: ") and ": " in line[9:])

    everything = scanned()
    assert len(everything) == 3
    assert scanned() == []
    os.utime(library / "a/stream.wav")
    assert scanned() == [str(library / "a/stream.wav")]
    assert scanned("-f") == everything
    # A quick read stands for a quick one, not for a full one.
    assert scanned("-f", "-1") == everything
    assert scanned("-1") == []
    assert scanned() == everything


def test_what_is_imported_is_scanned(beets, library):
    beets.configure(True)
    beets("import", "-A", "-s", "-q", str(library / "b"))
    items = statuses(beets)
    assert items == {s["file"]: s["status"] for s in cli("--summary", "--json", *sorted(items))[0]}
    assert "$kes_status" not in items.values()
