"""Levels every audio file under a folder (subfolders included, told by
content) into another folder of the same layout on a Dask cluster, in
batches of files per task, and keeps the zek tool's manifest there
(LEVELLED/zek-manifest.jsonl): run it again and it skips what is done.

    python examples/level_corpus.py CORPUS LEVELLED [SCHEDULER]

Without SCHEDULER, on a local cluster of one single-threaded worker process
per core; with it (e.g. tcp://scheduler:8786), on that cluster's workers.
Shows Dask's progress bar on a terminal. Exits with status 1 if any file
failed, after naming each on standard error.
"""
import contextlib
import os
import sys
import threading

from dask.distributed import Client, as_completed, progress

import zek

BATCH = 64  # files per task: each task costs the scheduler about a millisecond


def level_batch(batch):
    """On a worker: one batch of (input, output, earlier record) triples."""
    return zek.level_files([(i, o) for i, o, _ in batch], previous=[p for *_, p in batch], jobs=1)


def level_corpus(corpus, levelled, scheduler=None):
    found = zek.find_inputs(corpus)
    failed = 0
    with zek.Manifest(levelled) as manifest, Client(scheduler) if scheduler else Client(threads_per_worker=1) as client:
        work = [(f["path"], os.path.join(levelled, f["output"]), manifest.previous(f["output"])) for f in found]
        chunks = [(found[k:k + BATCH], work[k:k + BATCH]) for k in range(0, len(work), BATCH)]
        futures = {client.submit(level_batch, w, pure=False): f for f, w in chunks}
        if sys.stderr.isatty():  # Dask's bar, on standard error beside zek's own progress
            def bar():
                with contextlib.redirect_stdout(sys.stderr):
                    progress(list(futures))
            threading.Thread(target=bar, daemon=True).start()
        # Each batch's records go into the manifest as it finishes; a batch
        # whose worker was lost is run again elsewhere and comes once.
        for future in as_completed(futures):
            for f, record in zip(futures[future], future.result()):
                record.update(root=f["root"], input=f["input"], output=f["output"])
                manifest.write(record)
                if record["status"] == "failed":
                    failed += 1
                    print(f"{f['path']}: {record['message']}", file=sys.stderr)
    return 1 if failed else 0


# Dask's worker processes import this file again to start: only the process
# the user started may run the recipe, or each worker would start a cluster.
if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(f"usage: {sys.argv[0]} CORPUS LEVELLED [SCHEDULER]")
    sys.exit(level_corpus(*sys.argv[1:]))
