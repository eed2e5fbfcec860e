"""zek.process_file against the zek tool on real files (made by sox), its
exceptions, and the Dask recipe of the README on a local cluster of two
worker processes, every output checked against the tool's."""
import os
import pathlib
import re
import subprocess
import warnings

import numpy as np
import pytest

import zek

ZEK = os.environ.get("ZEK_BINARY", "build/zek")


def sox(*args):
    subprocess.run(["sox", *map(str, args)], check=True, capture_output=True)


def cli(inp, out, *options):
    subprocess.run([ZEK, *options, str(inp), str(out)], check=True, capture_output=True)


@pytest.fixture
def corpus(tmp_path):
    """A small corpus as speech corpora come: 16 kHz mono WAV and FLAC, a
    stereo 44.1 kHz WAV, a 24-bit WAV and a raw file, at varying levels."""
    d = tmp_path / "corpus"
    (d / "spk1").mkdir(parents=True)
    specs = [("spk1/a.wav", 16000, 1, 16), ("spk1/b.flac", 16000, 1, 16), ("c.wav", 44100, 2, 16),
             ("d24.wav", 48000, 1, 24)]
    for k, (name, rate, channels, bits) in enumerate(specs):
        sox("-n", "-r", rate, "-c", channels, "-b", bits, d / name, "synth", 1.5 + k / 2, "pinknoise",
            "tremolo", 1 + k, 80, "gain", -20 - 6 * k)
    sox(d / "c.wav", "-t", "raw", "-r", 48000, "-e", "signed", "-b", 16, "-c", 1, d / "e.raw")
    return d


def test_process_file_is_the_tool(corpus, tmp_path):
    for inp in sorted(p for p in corpus.rglob("*") if p.is_file()):
        mine, theirs = tmp_path / ("py-" + inp.name), tmp_path / ("cli-" + inp.name)
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            zek.process_file(inp, mine)  # path-like objects are taken
        cli(inp, theirs)
        assert mine.read_bytes() == theirs.read_bytes(), inp.name
        assert [str(w.message) for w in said] == (
            [f"zek: '{inp}' has 24-bit samples: reduced to 16 bits by dropping the low 8 bits (no dither)"]
            if "24" in inp.name else [])


def test_process_file_options_are_the_tools(corpus, tmp_path):
    for inp in (corpus / "c.wav", corpus / "e.raw"):
        mine, theirs = tmp_path / ("py-" + inp.name), tmp_path / ("cli-" + inp.name)
        zek.process_file(inp, mine, speech=True, comp=0.7, link=True)
        cli(inp, theirs, "--speech", "--comp", "0.7", "--link")
        assert mine.read_bytes() == theirs.read_bytes(), inp.name


def test_process_file_raises(corpus, tmp_path):
    out = tmp_path / "out.wav"
    out.write_bytes(b"an earlier result")
    sox("-n", "-r", 192000, tmp_path / "fast.wav", "synth", 0.1, "sine", 440)
    with pytest.raises(FileNotFoundError) as missing:
        zek.process_file(tmp_path / "missing.wav", out)
    assert missing.value.filename == str(tmp_path / "missing.wav")
    with pytest.raises(ValueError, match="192000 Hz"):
        zek.process_file(str(tmp_path / "fast.wav"), str(out))
    with pytest.raises(ValueError, match="same file"):
        zek.process_file(corpus / "c.wav", corpus / "c.wav")
    with pytest.raises(FileNotFoundError):
        zek.process_file(corpus / "c.wav", tmp_path / "no" / "such" / "dir.wav")
    assert out.read_bytes() == b"an earlier result"


def test_dask_recipe_on_a_local_cluster(corpus, tmp_path, monkeypatch, capsys):
    """The README's recipe as it stands, on a local cluster of two worker
    processes, in a folder holding `corpus`."""
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    recipe = next(b for b in re.findall(r"^```python\n(.*?)^```", readme, re.M | re.S) if "dask" in b)
    monkeypatch.chdir(tmp_path)
    # A sanitizer build's runtime must be loaded into the worker processes too.
    if "ZEK_SANITIZER_PRELOAD" in os.environ:
        monkeypatch.setenv("LD_PRELOAD", os.environ["ZEK_SANITIZER_PRELOAD"])
    exec(compile(recipe, "README.md", "exec"), {})
    monkeypatch.delenv("LD_PRELOAD", raising=False)
    assert capsys.readouterr().out == ""  # no file failed
    inputs = sorted(p for p in corpus.rglob("*") if p.suffix in (".wav", ".flac"))
    assert len(inputs) == 4
    for inp in inputs:
        cli(inp, tmp_path / "cli-out")
        out = tmp_path / "levelled" / inp.relative_to(corpus)
        assert out.read_bytes() == (tmp_path / "cli-out").read_bytes(), inp.name


def test_process_into_out(tmp_path):
    x = (np.random.default_rng(3).normal(size=(30000, 2)) * 2000).astype(np.int16)
    out = np.empty_like(x)
    assert zek.process(x, 16000, out=out) is out
    np.testing.assert_array_equal(out, zek.process(x, 16000))
    for bad, error in [(np.empty((30000, 2), np.float32), TypeError), (np.empty((30000, 1), np.int16), ValueError),
                       (np.empty((2, 30000), np.int16).T, ValueError), (x, ValueError)]:
        with pytest.raises(error):
            zek.process(x, 16000, out=bad)
