"""Levels every WAV and FLAC file under a folder (subfolders included) into
another folder of the same layout, with zek.process_file mapped over the
files on a Dask cluster.

    python examples/level_corpus.py CORPUS LEVELLED [SCHEDULER]

Without SCHEDULER, on a local cluster of one single-threaded worker process
per core; with it (e.g. tcp://scheduler:8786), on that cluster's workers.
Exits with status 1 if any file failed, after naming each on standard error.
"""
import pathlib
import sys

from dask.distributed import Client, wait

import zek


def level_corpus(corpus, levelled, scheduler=None):
    corpus, levelled = pathlib.Path(corpus), pathlib.Path(levelled)
    inputs = sorted(p for p in corpus.rglob("*") if p.suffix.lower() in (".wav", ".flac"))
    outputs = [levelled / p.relative_to(corpus) for p in inputs]
    for p in outputs:
        p.parent.mkdir(parents=True, exist_ok=True)

    with Client(scheduler) if scheduler else Client(threads_per_worker=1) as client:
        futures = client.map(zek.process_file, [str(p) for p in inputs], [str(p) for p in outputs])
        wait(futures)
        failed = [(p, f.exception()) for p, f in zip(inputs, futures) if f.status == "error"]
    for p, error in failed:  # the file's OSError or ValueError; the others are done
        print(f"{p}: {error}", file=sys.stderr)
    return 1 if failed else 0


# Dask's worker processes import this file again to start: only the process
# the user started may run the recipe, or each worker would start a cluster.
if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(f"usage: {sys.argv[0]} CORPUS LEVELLED [SCHEDULER]")
    sys.exit(level_corpus(*sys.argv[1:]))
