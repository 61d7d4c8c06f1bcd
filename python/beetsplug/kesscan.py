# SPDX-License-Identifier: MIT
"""Stores what kesscan finds in each item's file as flexible attributes:
kes_status, kes_rate_hz, kes_bits, kes_gain, kes_frames, kes_errors and
kes_reason, for queries such as ``beet ls kes_status:damaged``.

The scans run in this process, on kesscan's own workers. An item whose
file has not changed since its fields were written is not scanned again,
but with ``-f``.

Configuration (all optional)::

    kesscan:
        auto: yes     # scan what is imported
        quick: no     # stop at the first stream_params frame (-1)
        jobs: 0       # files scanned at once; 0: one per processor
"""

import os

import kesscan
from beets import ui
from beets.dbcore import types
from beets.plugins import BeetsPlugin

FIELDS = {
    "kes_status": ("status", types.STRING),
    "kes_rate_hz": ("rate_hz", types.INTEGER),
    "kes_bits": ("bits", types.INTEGER),
    "kes_gain": ("gain", types.INTEGER),
    "kes_frames": ("frames", types.INTEGER),
    "kes_errors": ("errors", types.INTEGER),
    "kes_reason": ("reason", types.STRING),
}
# When the file was scanned, by its modification time in nanoseconds
# (as text: beets would round so large a number), and how.
STAMP = "kes_mtime_ns"
MODE = "kes_mode"


class KesscanPlugin(BeetsPlugin):
    item_types = dict({name: t for name, (_, t) in FIELDS.items()}, kes_mtime_ns=types.STRING,
                      kes_mode=types.STRING)

    def __init__(self):
        super().__init__()
        self.config.add({"auto": True, "quick": False, "jobs": 0})
        if self.config["auto"].get(bool):
            self.import_stages = [self.imported]

    def commands(self):
        cmd = ui.Subcommand("kesscan", help="scan items for their side stream")
        cmd.parser.add_option("-f", "--force", action="store_true", default=False,
                              help="scan every item, changed or not")
        cmd.parser.add_option("-j", "--jobs", type="int", default=None, help="files scanned at once")
        cmd.parser.add_option("-1", "--quick", action="store_true", default=None,
                              help="stop at the first stream_params frame")
        cmd.parser.add_option("--full", action="store_false", dest="quick",
                              help="read every frame (the default)")
        cmd.func = self.command
        return [cmd]

    def command(self, lib, opts, args):
        quick = self.config["quick"].get(bool) if opts.quick is None else opts.quick
        jobs = opts.jobs if opts.jobs is not None else self.config["jobs"].get(int)
        items = list(lib.items(ui.decargs(args)))
        if not opts.force:
            items = [i for i in items if not self.current(i, quick)]
        self.scan(items, quick, jobs)

    def imported(self, session, task):
        self.scan(task.imported_items(), self.config["quick"].get(bool), self.config["jobs"].get(int))

    @staticmethod
    def mode(quick):
        return "quick" if quick else "full"

    def current(self, item, quick):
        """Whether the item's fields tell of its file as it stands, read in
        this mode or fully."""
        try:
            mtime = str(os.stat(item.path).st_mtime_ns)
        except OSError:
            return False
        return item.get(STAMP) == mtime and item.get(MODE) in ("full", self.mode(quick))

    def scan(self, items, quick, jobs):
        items = list(items)
        if not items:
            return
        stamps = []
        for item in items:
            try:
                stamps.append(str(os.stat(item.path).st_mtime_ns))
            except OSError:
                stamps.append(None)
        summaries = kesscan.survey([item.path for item in items], jobs=jobs or None, single=quick)
        for item, stamp, summary in zip(items, stamps, summaries):
            for name, (attribute, _) in FIELDS.items():
                value = getattr(summary, attribute)
                if value is not None:
                    item[name] = value
                elif name in item.keys():
                    del item[name]
            item[STAMP] = stamp if stamp is not None else ""
            item[MODE] = self.mode(quick)
            item.store()
            self._log.debug("{0}: {1}", summary.file, summary.status)
