#!/usr/bin/python3
"""Convert a list of pictures on a Dask cluster with the quorvelpbm module.

Each task converts a batch of names (so that a million files make a thousand
tasks, not a million), each file into OUTPUT_DIR under its base name with the
other extension (.pbm for a BMP, .bmp for a PBM, as its first bytes say).
One report comes back: the files converted, those refused with the library's
message, and those whose task failed (a worker lost, say) with the reason.

    dask_convert.py --output-dir out --files-from names.txt
    dask_convert.py --scheduler tcp://head:8786 --output-dir /shared/out /shared/scans/*.bmp

Without --scheduler, a LocalCluster of --workers processes is started. On a
real cluster every worker needs the quorvelpbm module and the qpbm library,
and the inputs and the output directory must be on a file system that every
worker sees under the same paths. The report is JSON, on standard output or
in --report FILE; the exit status is 0 when every file converted, else 1.
"""
import argparse
import json
import os
import sys

from dask.distributed import Client, LocalCluster, as_completed


def output_for(path, output_dir):
    """OUTPUT_DIR/base name with the extension of the output, from the input's first bytes."""
    with open(path, "rb") as f:
        magic = f.read(2)
    extension = ".pbm" if magic == b"BM" else ".bmp"
    return os.path.join(output_dir, os.path.splitext(os.path.basename(path))[0] + extension)


def convert_batch(paths, output_dir):
    """Runs on a worker: converts each path, and tells how each went."""
    import quorvelpbm  # imported where it runs: the worker's library

    converted, refused = [], []
    for path in paths:
        try:
            quorvelpbm.convert(path, output_for(path, output_dir))
            converted.append(path)
        except (quorvelpbm.ConversionError, OSError, ValueError) as error:
            message = getattr(error, "message", None) or getattr(error, "strerror", None) or str(error)
            refused.append({"path": path, "message": message})
    return {"converted": converted, "refused": refused}


def names(arguments):
    yield from arguments.paths
    if arguments.files_from:
        # Bytes, decoded as the system decodes file names, so that a name that
        # is not valid UTF-8 still reaches its file.
        separator = b"\0" if arguments.null else b"\n"
        with open(arguments.files_from, "rb") if arguments.files_from != "-" else sys.stdin.buffer as f:
            pending = b""
            for block in iter(lambda: f.read(1 << 16), b""):
                *complete, pending = (pending + block).split(separator)
                yield from (os.fsdecode(name) for name in complete if name)
            if pending:
                yield os.fsdecode(pending)


def batches(names_, size):
    batch = []
    for name in names_:
        batch.append(name)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def run(client, arguments):
    """Submits the batches, at most a few per worker ahead, and gathers one report."""
    report = {"converted": [], "refused": [], "failed": []}
    in_flight = {}
    ahead = 4 * max(1, len(client.scheduler_info().get("workers", {})))
    pending = as_completed()
    source = batches(names(arguments), arguments.batch)

    def submit():
        batch = next(source, None)
        if batch is None:
            return False
        future = client.submit(convert_batch, batch, os.path.abspath(arguments.output_dir), pure=False)
        in_flight[future] = batch
        pending.add(future)
        return True

    while len(in_flight) < ahead and submit():
        pass
    for future in pending:
        batch = in_flight.pop(future)
        if future.status == "finished":
            result = future.result()
            report["converted"] += result["converted"]
            report["refused"] += result["refused"]
        else:
            try:
                reason = repr(future.exception())
            except Exception as error:  # cancelled: there is no exception to fetch
                reason = repr(error)
            report["failed"] += [{"path": path, "message": reason} for path in batch]
        future.release()
        submit()
    return report


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("paths", nargs="*", help="pictures to convert")
    parser.add_argument("--files-from", metavar="FILE", help="more names, one a line ('-': standard input)")
    parser.add_argument("-0", "--null", action="store_true", help="the names in FILE end with NUL")
    parser.add_argument("-o", "--output-dir", required=True)
    parser.add_argument("--scheduler", metavar="ADDRESS", help="a running scheduler, e.g. tcp://head:8786")
    parser.add_argument("--workers", type=int, default=os.cpu_count(), help="processes of the LocalCluster")
    parser.add_argument("--batch", type=int, default=200, help="names per task (default 200)")
    parser.add_argument("--report", metavar="FILE", help="write the JSON report here, not to standard output")
    arguments = parser.parse_args()
    if not os.path.isdir(arguments.output_dir):
        parser.error(f"output directory {arguments.output_dir!r} does not exist")

    if arguments.scheduler:
        client = Client(arguments.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=arguments.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        report = run(client, arguments)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    report["counts"] = {key: len(report[key]) for key in ("converted", "refused", "failed")}
    text = json.dumps(report, indent=1) + "\n"
    if arguments.report:
        with open(arguments.report, "w") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    print("converted {converted}, refused {refused}, failed {failed}".format(**report["counts"]), file=sys.stderr)
    return 0 if report["counts"]["converted"] == sum(report["counts"].values()) else 1


if __name__ == "__main__":
    sys.exit(main())
