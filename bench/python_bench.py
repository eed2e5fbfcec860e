"""zek.process against the C stream API on the same samples: 10 minutes of
48 kHz mono int16 speech-like noise. Run it with a Python that has zek
installed, giving the C program that levels raw samples through the stream
API (built with the tests):

    build/python/venv/bin/python bench/python_bench.py build/tests/stream_apply [ROUNDS]

Each round times 5 levellings of the recording by the C program (in its own
process, on the samples written to a file) and 5 by zek.process, one after
the other; the medians over the rounds are printed, as ratios to the C stream
API writing into a buffer it has written before. Every levelling creates a
stream, processes, flushes and gives the aligned result. zek.process returns
a new array, so the C program is also timed writing into a buffer allocated
(and freed) for each levelling: fresh memory costs the kernel about as much
time as the levelling itself; zek.process(out=...) writes into an array
written before, as the C program's first timing does."""
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import zek

RATE = 48000
RUNS = 5


def recording(seconds):
    """Noise under a level that changes every half second, from -50 to 0 dBFS."""
    rng = np.random.default_rng(1)
    halves = 2 * seconds
    level = 32768 * 10 ** rng.uniform(-2.5, 0, halves)
    x = rng.standard_normal(RATE * seconds, np.float32) * np.repeat(level, RATE // 2).astype(np.float32) / 4
    return np.clip(x, -32768, 32767).astype(np.int16)


def main():
    stream_apply = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    x = recording(600)
    with tempfile.NamedTemporaryFile() as raw:
        raw.write(x.tobytes())
        raw.flush()
        reused_ns, fresh_ns, py_ns, py_out_ns = [], [], [], []
        out = np.empty_like(x)
        for _ in range(rounds):
            raw.seek(0)
            done = subprocess.run([stream_apply, str(RATE), "1", str(len(x)), str(RUNS)], stdin=raw,
                                  capture_output=True, check=True)
            reused, fresh = map(float, done.stderr.split())
            reused_ns.append(reused)
            fresh_ns.append(fresh)
            times = []
            for _ in range(RUNS):
                start = time.perf_counter_ns()
                zek.process(x, RATE)  # and the result freed, as the C program frees its new buffer
                times.append(time.perf_counter_ns() - start)
            py_ns.append(statistics.median(times))
            times = []
            for _ in range(RUNS):
                start = time.perf_counter_ns()
                zek.process(x, RATE, out=out)  # into an array written before, as the C program's first timing
                times.append(time.perf_counter_ns() - start)
            py_out_ns.append(statistics.median(times))
    if not np.array_equal(np.frombuffer(done.stdout, np.int16), zek.process(x, RATE)):
        sys.exit("zek.process and the C stream API disagree")
    base = statistics.median(reused_ns)
    print(f"{len(x)} samples (10 min, 48 kHz mono int16), {rounds} rounds of {RUNS} runs, medians:")
    for name, ns in [("C stream API, into a buffer written before", reused_ns),
                     ("C stream API, into a new buffer", fresh_ns), ("zek.process (a new array)", py_ns),
                     ("zek.process(out=an array written before)", py_out_ns)]:
        median = statistics.median(ns)
        print(f"{name:44} {median / 1e6:7.2f} ms  {len(x) / median:5.2f} G samples/s  x {median / base:.2f}")


if __name__ == "__main__":
    main()
