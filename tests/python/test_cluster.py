# SPDX-License-Identifier: MIT
"""The survey on a real Dask cluster: a scheduler and two worker processes,
over TCP on the loopback address."""

import os
import subprocess
import sys

import pytest

from conftest import KESSCAN

distributed = pytest.importorskip("distributed", reason="distributed is not installed")


def test_the_cluster_gives_the_command_lines_survey(library):
    expected = subprocess.run([KESSCAN, "--summary", "--json", "--recursive", str(library)],
                              capture_output=True).stdout
    run = subprocess.run([sys.executable, "-m", "kesscan.cluster", "--workers", "2", str(library)],
                         capture_output=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert run.stdout == expected
    assert expected.count(b"\n") == 10


def test_summaries_travel_between_processes(library):
    from distributed import Client, LocalCluster

    import kesscan
    from kesscan.cluster import survey

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        got = list(survey(client, [str(library)], batch=3))
        pids = set(client.run(os.getpid).values())
    assert got == list(kesscan.survey([str(library)], recursive=True))
    assert len(pids) == 2 and os.getpid() not in pids
