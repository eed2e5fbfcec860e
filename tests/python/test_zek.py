"""The Python package against the C library, and its own promises: any split
of a recording into Stream chunks gives zek.process's samples, floats convert
as documented, bad arguments are refused clearly, and the GIL is let go while
samples are processed."""
import os
import pathlib
import re
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
import pytest
import soundfile
from numpy.testing import assert_array_equal

import zek

# The C stream API applied to raw samples (tests/stream_apply.c).
STREAM_APPLY = os.environ.get("ZEK_STREAM_APPLY", "build/tests/stream_apply")


def speechlike(frames, channels, seed):
    """Bursts of noise at levels from -60 to +3 dBFS (so clipped at full
    scale), with pauses, a different pattern on every channel."""
    rng = np.random.default_rng(seed)
    bursts = -(-frames // 1500)
    level = 10 ** rng.uniform(-3, 0.3, (bursts, channels)) * 12000 * (rng.integers(0, 5, (bursts, channels)) > 0)
    x = rng.normal(size=(frames, channels)) * np.repeat(level, 1500, axis=0)[:frames]
    return np.clip(x, -32768, 32767).astype(np.int16)


def c_library(x, rate, *options):
    """x levelled by the C stream API (with stream_apply's options), aligned, in x's shape."""
    channels = x.shape[1] if x.ndim == 2 else 1
    out = subprocess.run([STREAM_APPLY, *options, str(rate), str(channels), "4096"], input=x.tobytes(),
                         capture_output=True, check=True).stdout
    return np.frombuffer(out, np.int16).reshape(x.shape)


@pytest.mark.parametrize("rate, channels, frames", [
    (8000, 1, 24_011), (16000, 2, 40_003), (22050, 1, 50_000), (44100, 2, 90_001), (48000, 1, 100_000),
    (48000, 6, 30_000), (96000, 1, 200_003),
    (48000, 1, 300), (48000, 2, 700), (96000, 1, 0),  # shorter than the latency, than the lead-in; empty
])
def test_process_is_bit_exact_with_the_c_library(rate, channels, frames):
    x = speechlike(frames, channels, seed=rate + channels)
    if channels == 1:
        x = x[:, 0]
    y = zek.process(x, rate)
    assert y.dtype == np.int16
    assert_array_equal(y, c_library(x, rate))


@pytest.mark.parametrize("layout", [
    np.asfortranarray,                                       # channels apart
    lambda x: np.repeat(x, 2, axis=0)[::2],                  # every other frame of a longer array
    lambda x: x.astype(">i2"),                               # big-endian
    lambda x: np.frombuffer(x.tobytes(), np.int16).reshape(x.shape),  # read-only
])
def test_any_memory_layout_gives_the_same_samples(layout):
    x = speechlike(20_000, 2, seed=5)
    assert_array_equal(zek.process(layout(x), 44100), zek.process(x, 44100))
    assert_array_equal(zek.process(layout(x[:, :1]), 44100), zek.process(x[:, 0], 44100)[:, None])


def test_int16_input_is_read_where_it_lies():
    x = speechlike(1 << 21, 1, seed=6)[:, 0]
    tracemalloc.start()  # NumPy reports its arrays' memory to it
    try:
        zek.process(x, 48000)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 1.5 * x.nbytes  # the result; a copy of the input would double it


@pytest.mark.parametrize("rate, channels, dtype, latency", [
    (48000, 1, np.int16, 480), (44100, 2, np.int16, 440), (16000, 1, np.float32, 160), (8000, 3, np.float64, 80),
])
def test_stream_in_any_chunks_gives_the_samples_of_process(rate, channels, dtype, latency):
    x = speechlike(60_000, channels, seed=7)
    x = x if dtype == np.int16 else (x / 32768).astype(dtype)
    stream = zek.Stream(rate, channels)
    assert stream.latency == latency
    rng = np.random.default_rng(8)
    cuts = np.cumsum(np.concatenate([rng.integers(0, 5000, 10), np.ones(300, int), rng.integers(0, 5000, 10)]))
    y = np.concatenate([stream.process(part) for part in np.split(x, cuts)] + [stream.flush()])
    assert y.dtype == dtype and y.shape == (len(x) + latency, channels)
    assert not y[:latency].any()
    assert_array_equal(y[latency:], zek.process(x, rate))
    stream.reset()
    assert_array_equal(np.concatenate([stream.process(x), stream.flush()]), y)


def test_gain_is_the_latest_of_each_channel_in_db():
    x = np.zeros((1000, 2), np.int16)
    x[:, 1] = speechlike(1000, 1, seed=9)[:, 0] * 4
    stream = zek.Stream(48000, 2)
    assert stream.gain() == stream.gain(1) == 0.0
    stream.process(x)
    # Two silent hops after the lead-in raise the gain to 272/256.
    assert stream.gain(0) == pytest.approx(20 * np.log10(272 / 256))
    assert stream.gain(1) < 0


@pytest.mark.parametrize("dtype, frames, channels", [(np.float32, 30_000, 1), (np.float64, 300, 2)])
def test_floats_are_scaled_rounded_and_clipped_and_come_back_as_they_came(dtype, frames, channels):
    x = (speechlike(frames, channels, seed=10) / 20_000).astype(dtype)
    # Full scale and beyond it clip; halves of a step round to even.
    x[:11, 0] = [1.0, -1.0, 1.5, -2.0, np.inf, -np.inf] + [v / 32768 for v in (0.5, -0.5, 1.5, 2.5, 32767.5)]
    if channels == 1:
        x = x[:, 0]
    as_int16 = np.clip(np.rint(x.astype(np.float64) * 32768), -32768, 32767).astype(np.int16)
    y = zek.process(x, 48000)
    assert y.dtype == dtype
    assert_array_equal(y, zek.process(as_int16, 48000).astype(dtype) / 32768)
    assert_array_equal(y.reshape(frames, channels)[:11, 0] * 32768,
                       [32767, -32768, 32767, -32768, 32767, -32768, 0, 0, 2, 2, 32767])


@pytest.mark.parametrize("layout", [lambda x: x, lambda x: x.astype(">i2")])
def test_process_into_out(layout):
    x = speechlike(30_000, 2, seed=3)
    out = np.empty_like(x)  # the machine's byte order, whatever the samples'
    assert zek.process(layout(x), 16000, out=out) is out
    assert_array_equal(out, zek.process(x, 16000))


# The keyword arguments against the C stream API's options (comp in Q15: 0.5
# is 16383, truncated as the tool truncates), whole and in chunks.
@pytest.mark.parametrize("kwargs, options", [
    (dict(speech=True), ["--speech"]),
    (dict(link=True), ["--link"]),
    (dict(speech=True, link=True, comp=0.5), ["--speech", "--link", "--comp", "16383"]),
    (dict(comp=0.0), ["--comp", "0"]),
    (dict(comp=1.0, speech=False, link=False), []),
])
def test_options_are_the_c_librarys(kwargs, options):
    x = speechlike(100_000, 2, seed=12) // 16
    y = zek.process(x, 44100, **kwargs)
    assert_array_equal(y, c_library(x, 44100, *options))
    stream = zek.Stream(44100, 2, **kwargs)
    chunks = [stream.process(part) for part in np.array_split(x, 7)] + [stream.flush()]
    assert_array_equal(np.concatenate(chunks)[stream.latency:], y)


def flushed_stream():
    stream = zek.Stream(48000)
    stream.flush()
    return stream


MONO = np.zeros(1000, np.int16)
OTHER_ORDER = ">i2" if sys.byteorder == "little" else "<i2"


@pytest.mark.parametrize("call, error, message", [
    (lambda: zek.process(MONO.astype(np.int32), 48000), TypeError, "int16, float32 or float64, not int32"),
    (lambda: zek.process(MONO.astype(np.float16), 48000), TypeError, "not float16"),
    (lambda: zek.process(list(MONO), 48000), TypeError, "must be a NumPy array, not list"),
    (lambda: zek.process(MONO.reshape(10, 10, 10), 48000), ValueError, "(frames, channels), not (10, 10, 10)"),
    (lambda: zek.process(np.zeros((5, 0), np.int16), 48000), ValueError, "1 to 256 channels"),
    (lambda: zek.process(np.zeros((5, 257), np.int16), 48000), ValueError, "1 to 256 channels"),
    (lambda: zek.process(MONO, 7999), ValueError, "sample_rate 7999: sample rate out of range"),
    (lambda: zek.process(MONO, 96001), ValueError, "sample_rate 96001"),
    (lambda: zek.process(MONO, 48000.0), TypeError, "sample_rate must be an integer, not float"),
    (lambda: zek.process(np.array([0.5, np.nan]), 48000), ValueError, "NaN at frame 1, channel 0"),
    (lambda: zek.Stream(48000, 2).process(np.array([[0, 0], [0, np.nan]], np.float32)), ValueError,
     "NaN at frame 1, channel 1"),
    (lambda: zek.process(MONO.astype(">i4"), 48000), TypeError, "not >i4"),
    (lambda: zek.process(MONO, 48000, out=np.empty(1000, np.float32)), TypeError, "out must be int16, not float32"),
    (lambda: zek.process(MONO.astype(OTHER_ORDER), 48000, out=np.empty(1000, np.float32)), TypeError,
     f"out must be int16 for samples of dtype {OTHER_ORDER}, not float32"),
    (lambda: zek.process(MONO, 48000, out=np.empty(1000, OTHER_ORDER)), ValueError,
     f"out must be in the machine's byte order, int16, not {OTHER_ORDER}"),
    (lambda: zek.process(MONO, 48000, out=np.empty((1000, 1), np.int16)), ValueError, "shape, (1000,), not (1000, 1)"),
    (lambda: zek.process(np.zeros((9, 2), np.int16), 48000, out=np.empty((2, 9), np.int16).T), ValueError,
     "C-contiguous"),
    (lambda: zek.process(MONO, 48000, out=MONO), ValueError, "share memory"),
    (lambda: zek.Stream(48000, 0), ValueError, "channels 0: channel count out of range"),
    (lambda: zek.Stream(48000, 2).process(MONO), ValueError, "the stream has 2 channels"),
    (lambda: zek.Stream(48000).gain(1), ValueError, "channel 1 is out of range"),
    (lambda: flushed_stream().process(MONO), ValueError, "reset it"),
    (lambda: flushed_stream().flush(), ValueError, "reset it"),
    (lambda: zek.process(MONO, 48000, comp=1.5), ValueError, "comp must be a number from 0 to 1, not 1.5"),
    (lambda: zek.Stream(48000, comp=float("nan")), ValueError, "not nan"),
    (lambda: zek.process(MONO, 48000, comp="1"), TypeError, "incompatible function arguments"),
])
def test_bad_arguments_are_refused_clearly(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()


def test_the_readme_examples_run(tmp_path, monkeypatch):
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    examples = [b for b in re.findall(r"^```python\n(.*?)^```", readme, re.M | re.S) if "dask" not in b]
    assert len(examples) == 5  # the last two: Corpora, Loudness
    monkeypatch.chdir(tmp_path)
    for example in examples:
        # wave reads plain PCM headers; sox gives three channels a WAVE_FORMAT_EXTENSIBLE one.
        channels = 2 if "import wave" in example else 3
        x = speechlike(44100, channels, seed=11)
        subprocess.run(["sox", "-t", "raw", "-r", "44100", "-e", "signed", "-b", "16", "-c", str(channels), "-",
                        "take1.wav"], input=x.tobytes(), check=True)
        exec(compile(example, "README.md", "exec"), {})
        if "take1.agc.wav" in example:
            y, rate = soundfile.read("take1.agc.wav", dtype="int16", always_2d=True)
            assert rate == 44100
            assert_array_equal(y, c_library(x, 44100))


@pytest.mark.parametrize("level", [lambda x: zek.process(x, 48000), zek.Stream(48000).process])
def test_other_threads_run_while_samples_are_processed(level):
    # With a switch interval longer than the test, this thread gets the GIL
    # back from the worker only when the worker lets it go: during the call
    # if the call releases it, else once the worker has finished.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        for frames in (1 << 19, 1 << 21, 1 << 23):  # longer, should the call end before this thread wakes
            x = np.zeros(frames, np.float32)
            finished = []
            worker = threading.Thread(target=lambda: finished.append(level(x)))
            worker.start()  # returns once this thread holds the GIL again
            during = not finished
            worker.join()
            if during:
                return
    finally:
        sys.setswitchinterval(interval)
    pytest.fail("no other thread ran while samples were processed: the GIL was held")
