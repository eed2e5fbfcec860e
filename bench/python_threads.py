"""zek.level_files from Python threads: whether they scale, the GIL released
around the work. 2,000 WAV files of 3 s at 16 kHz mono on /dev/shm, levelled
by one Python thread, then split between two Python threads (each calling
level_files with jobs=1), then by one call with jobs=2; medians over rounds.

    build/python/venv/bin/python bench/python_threads.py [ROUNDS] [FILES]
"""
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time
import wave

import numpy as np

import zek


def corpus(folder, files):
    rng = np.random.default_rng(1)
    t = np.arange(48000) / 16000
    x = (3000 * np.sin(2 * np.pi * 0.7 * t) * rng.standard_normal(t.size)).astype("<i2")
    one = os.path.join(folder, "one.wav")
    with wave.open(one, "wb") as f:
        f.setnchannels(1)
        f.setsampwidth(2)
        f.setframerate(16000)
        f.writeframes(x.tobytes())
    os.makedirs(os.path.join(folder, "in"))
    names = [os.path.join(folder, "in", f"u{k}.wav") for k in range(files)]
    for n in names:
        shutil.copyfile(one, n)
    return names


def timed(fn):
    """Wall time, and the process's CPU time over it: above 1 only when
    threads run at once, so it shows the GIL released even on a busy machine."""
    t0, c0 = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - t0, time.process_time() - c0


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    files = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    with tempfile.TemporaryDirectory(dir="/dev/shm") as folder:
        names = corpus(folder, files)
        out = os.path.join(folder, "out")
        os.makedirs(out)
        pairs = [(n, os.path.join(out, os.path.basename(n))) for n in names]

        def one_thread():
            zek.level_files(pairs, jobs=1)

        def two_threads():
            halves = [pairs[0::2], pairs[1::2]]
            threads = [threading.Thread(target=zek.level_files, args=(h,), kwargs={"jobs": 1}) for h in halves]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        def two_jobs():
            zek.level_files(pairs, jobs=2)

        ways = {"1 Python thread, jobs=1": one_thread, "2 Python threads, jobs=1 each": two_threads,
                "1 call, jobs=2": two_jobs}
        times = {k: [] for k in ways}
        for _ in range(rounds):
            for name, fn in ways.items():
                times[name].append(timed(fn))
        base = statistics.median(t for t, _ in times["1 Python thread, jobs=1"])
        print(f"{files} WAV files of 3 s at 16 kHz, {rounds} rounds, medians:")
        print("| way | median ms | files/s | speed-up | CPU / wall |")
        print("|---|---:|---:|---:|---:|")
        for name in ways:
            m = statistics.median(t for t, _ in times[name])
            cpu = statistics.median(c / t for t, c in times[name])
            print(f"| {name} | {m * 1000:.0f} | {files / m:.0f} | {base / m:.2f} | {cpu:.2f} |")


if __name__ == "__main__":
    main()
