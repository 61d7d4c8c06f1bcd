# SPDX-License-Identifier: MIT
"""A survey on a Dask cluster: python3 -m kesscan.cluster [options] PATH...

The files below the paths are walked here, in the command line's order,
and scanned on the cluster's workers in batches; their summaries come out
in that order, as ``kesscan --summary --json --recursive`` writes them.
Without --scheduler the cluster is made here, of local worker processes.
With it, the scheduler and workers run on many machines
(``dask-scheduler``, then ``dask-worker tcp://HOST:8786`` on each), which
must see the files at the same paths, on a shared filesystem.
"""

import argparse
import sys

import kesscan


def scan_batch(paths, single):
    """The summaries of paths, scanned on a worker."""
    return [kesscan.scan(p, single=single) for p in paths]


def survey(client, paths, single=False, batch=64):
    """The summaries of the files below paths, scanned by client's workers,
    in the command line's order."""
    files = kesscan.walk(paths, recursive=True)
    batches = [files[i:i + batch] for i in range(0, len(files), batch)]
    futures = client.map(scan_batch, batches, single=single, pure=False)
    for future in futures:
        yield from future.result()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m kesscan.cluster", description=__doc__.split("\n")[0])
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, as tcp://HOST:8786")
    parser.add_argument("--workers", type=int, default=2, help="without --scheduler: local worker processes")
    parser.add_argument("-1", dest="single", action="store_true", help="stop at the first stream_params frame")
    parser.add_argument("paths", nargs="+", metavar="PATH")
    args = parser.parse_args(argv)
    from distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               host="127.0.0.1", protocol="tcp", dashboard_address=None)
        client = Client(cluster)
    with client:
        for summary in survey(client, args.paths, args.single):
            sys.stdout.write(summary.json + "\n")
        if not args.scheduler:
            cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
