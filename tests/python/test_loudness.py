"""zek.loudness and zek.LoudnessMeter against figures known by construction
and against each other; the loudness keywords of zek.process, zek.Stream and
zek.process_file; and their bad arguments."""
import re

import numpy as np
import pytest
import soundfile

import zek


def tone(seconds, dbfs, rate=48000, hz=1000.0, channels=1):
    t = np.arange(int(seconds * rate)) / rate
    x = np.round(10 ** (dbfs / 20) * 32768 * np.sin(2 * np.pi * hz * t)).clip(-32768, 32767).astype(np.int16)
    return x if channels == 1 else np.repeat(x[:, None], channels, axis=1)


def speechlike(seconds, rate=48000, seed=3):
    rng = np.random.default_rng(seed)
    n = int(seconds * rate)
    level = np.repeat(10 ** rng.uniform(2.8, 3.9, n // 12000 + 1) * (rng.integers(0, 4, n // 12000 + 1) > 0), 12000)[:n]
    x = np.convolve(rng.normal(size=n) * level, np.ones(3) / 3, mode="same")
    return x.clip(-32768, 32767).astype(np.int16)


@pytest.mark.parametrize("x, rate, integrated, true_peak", [
    (tone(10, -20), 48000, -23.01, -20.0),
    (tone(10, -20, channels=2), 48000, -20.0, -20.0),
    (tone(10, -30, rate=44100), 44100, -33.01, -30.0),
    (tone(10, -20).astype(np.float32) / 32768, 48000, -23.01, -20.0),
])
def test_loudness_of_tones(x, rate, integrated, true_peak):
    f = zek.loudness(x, rate)
    assert f["integrated_lufs"] == pytest.approx(integrated, abs=0.05)
    assert f["true_peak_dbtp"] == pytest.approx(true_peak, abs=0.05)
    assert f["sample_peak_dbfs"] <= f["true_peak_dbtp"]
    assert set(f) == {"integrated_lufs", "loudness_range_lu", "true_peak_dbtp", "sample_peak_dbfs",
                      "momentary_max_lufs", "shortterm_max_lufs"}


def test_silence_has_no_loudness():
    assert all(v is None for v in zek.loudness(np.zeros(48000 * 5, np.int16), 48000).values())


def test_a_meter_in_chunks_gives_the_figures_of_the_whole():
    x = speechlike(12)
    meter = zek.LoudnessMeter(48000)
    for chunk in np.array_split(x, 37):
        meter.add(chunk)
    assert meter.figures() == zek.loudness(x, 48000)
    meter.reset()
    assert meter.figures()["integrated_lufs"] is None


def test_true_peak_and_target_keywords():
    x = speechlike(20)
    limited = zek.process(x, 48000, true_peak=-3)
    assert zek.loudness(limited, 48000)["true_peak_dbtp"] <= -3.0
    plain = zek.Stream(48000)
    assert zek.Stream(48000, true_peak=-1).latency == plain.latency + 111
    assert zek.Stream(48000, target=-16).latency == plain.latency + 111
    live = zek.Stream(48000, target=-23, true_peak=-1)
    out = np.concatenate([live.process(c) for c in np.array_split(np.tile(x, 2), 20)] + [live.flush()])
    assert zek.loudness(out[len(out) // 2:], 48000)["integrated_lufs"] == pytest.approx(-23, abs=0.5)


def test_process_file_to_a_target(tmp_path):
    soundfile.write(tmp_path / "in.wav", speechlike(15), 48000, subtype="PCM_16")
    zek.process_file(tmp_path / "in.wav", tmp_path / "out.wav", target=-18, true_peak=-1)
    y, rate = soundfile.read(tmp_path / "out.wav", dtype="int16")
    f = zek.loudness(y, rate)
    assert f["integrated_lufs"] == pytest.approx(-18, abs=0.1)
    assert f["true_peak_dbtp"] <= -1.0


@pytest.mark.parametrize("call, error, message", [
    (lambda: zek.process_file("a.wav", "b.wav", target=-80), ValueError, "target must be from -70 to -5, not -80"),
    (lambda: zek.Stream(48000, true_peak=0.5), ValueError, "true_peak must be from -9 to 0, not 0.5"),
    (lambda: zek.process(np.zeros(10, np.int16), 48000, true_peak="-1"), TypeError, "true_peak must be a number or None"),
    (lambda: zek.loudness(np.zeros(10, np.int32), 48000), TypeError, "int16, float32 or float64"),
    (lambda: zek.loudness(np.zeros(10, np.int16), 7999), ValueError, "sample_rate 7999"),
    (lambda: zek.LoudnessMeter(48000, 2).add(np.zeros(10, np.int16)), ValueError, "the meter has 2 channels"),
    (lambda: zek.loudness(np.array([0.0, np.nan]), 48000), ValueError, "NaN at frame 1"),
])
def test_bad_loudness_arguments(call, error, message):
    with pytest.raises(error, match=re.escape(message)):
        call()
