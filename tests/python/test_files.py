"""zek.process_file against the zek tool on real files (made by sox), its
exceptions, and the Dask recipe run as a user runs it, every output checked
against the tool's."""
import os
import pathlib
import re
import signal
import subprocess
import sys
import warnings

import numpy as np
import pytest

import zek

ZEK = os.environ.get("ZEK_BINARY", "build/zek")
REPO = pathlib.Path(__file__).parents[2]


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


# One rule for comp= and the tool's --comp: every number from 0 to 1 as a
# double, however small (its weight is 0); nothing negative, however small,
# nor NaN or an infinity, nor anything past 1 that single precision rounds to 1.
@pytest.mark.parametrize("comp", [0.0, -0.0, 1e-50, 5e-324, 0.7, 1.0])
def test_comp_is_taken_as_the_tool_takes_it(corpus, tmp_path, comp):
    inp, mine, theirs = corpus / "e.raw", tmp_path / "py.raw", tmp_path / "cli.raw"
    zek.process_file(inp, mine, comp=comp)
    cli(inp, theirs, "--comp", repr(comp))
    assert mine.read_bytes() == theirs.read_bytes()


@pytest.mark.parametrize("comp", [-1e-300, -5e-324, -0.5, 1.00000001, float("nan"), float("inf"), float("-inf")])
def test_comp_is_refused_as_the_tool_refuses_it(corpus, tmp_path, comp):
    inp, out = corpus / "e.raw", tmp_path / "out.raw"
    with pytest.raises(ValueError, match="comp must be a number from 0 to 1"):
        zek.process_file(inp, out, comp=comp)
    r = subprocess.run([ZEK, "--comp", repr(comp), str(inp), str(out)], capture_output=True, text=True)
    assert (r.returncode, r.stderr) == (2, f"zek: --comp takes a number from 0 to 1, not '{comp!r}'\n")
    assert not out.exists()


def test_process_file_raises_and_replaces_nothing(corpus, tmp_path):
    out = tmp_path / "out.wav"
    out.write_bytes(b"an earlier result")
    sox("-n", "-r", 192000, corpus / "fast.wav", "synth", 0.1, "sine", 440)
    (corpus / "cut.wav").write_bytes((corpus / "c.wav").read_bytes()[:-1001])
    descriptors = len(os.listdir("/proc/self/fd"))
    for args, error, message in [
        ((corpus / "cut.wav", out), ValueError, "cut short"),
        ((tmp_path / "missing.wav", out), FileNotFoundError, f"'{tmp_path / 'missing.wav'}'"),
        ((str(corpus / "fast.wav"), str(out)), ValueError, "192000 Hz"),
        ((corpus / "c.wav", corpus / "c.wav"), ValueError, "same file"),
        ((corpus / "c.wav", tmp_path / "no" / "such" / "dir.wav"), FileNotFoundError, "dir.wav"),
        # Cut at the NUL, these paths would name out.wav.
        ((corpus / "c.wav", f"{out}\0.wav"), ValueError, "embedded null byte"),
        ((os.fsencode(out) + b"\0.raw", tmp_path / "new.wav"), ValueError, "embedded null byte"),
        # The conversion is told before the output is put in place.
        ((corpus / "d24.wav", out), UserWarning, "24-bit samples"),
        ((corpus / "d24.wav", tmp_path / "new.wav"), UserWarning, "24-bit samples"),
    ]:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(error, match=re.escape(message)):
                zek.process_file(*args)
        assert out.read_bytes() == b"an earlier result", args
        assert sorted(os.listdir(tmp_path)) == ["corpus", "out.wav"], args  # no new output, no temporary file
        assert len(os.listdir("/proc/self/fd")) == descriptors, args  # a corpus would run out of them


def test_dask_recipe_as_a_user_runs_it(corpus, tmp_path):
    """examples/level_corpus.py as the README shows it and says to run it, in
    a process of its own: a file zek refuses is named, the others are the
    tool's outputs. Its worker processes import the script again, so a fault
    there shows as a run that never ends: the whole process group is stopped
    at the time limit."""
    recipe = REPO / "examples" / "level_corpus.py"
    assert f"```python\n{recipe.read_text()}```" in (REPO / "README.md").read_text()
    sox("-n", "-r", 192000, corpus / "fast.wav", "synth", 0.1, "sine", 440)
    env = dict(os.environ)
    if "ZEK_SANITIZER_PRELOAD" in env:  # a sanitizer build's runtime, for the extension
        env["LD_PRELOAD"] = env["ZEK_SANITIZER_PRELOAD"]
    with subprocess.Popen([sys.executable, str(recipe), "corpus", "levelled"], cwd=tmp_path, env=env, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True) as run:
        try:
            out, err = run.communicate(timeout=300)
        except subprocess.TimeoutExpired:
            os.killpg(run.pid, signal.SIGKILL)
            pytest.fail("still running after 300 s; the end of its output:\n" + run.communicate()[1][-3000:])
    assert (run.returncode, out) == (1, ""), err
    assert re.search(r"^corpus/fast\.wav: .*192000 Hz", err, re.M), err
    inputs = sorted(p for p in corpus.rglob("*") if p.suffix in (".wav", ".flac") and p.name != "fast.wav")
    assert len(inputs) == 4
    for inp in inputs:
        cli(inp, tmp_path / "cli-out")
        out = tmp_path / "levelled" / inp.relative_to(corpus)
        assert out.read_bytes() == (tmp_path / "cli-out").read_bytes(), inp.name
