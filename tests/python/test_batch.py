"""zek.level_files against the zek tool's batch mode, and the Dask recipe on a
real cluster (a scheduler and two workers started as a cluster user starts
them) that loses a worker part-way."""
import json
import os
import re
import pathlib
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import soundfile

import zek

ZEK = os.environ.get("ZEK_BINARY", "build/zek")
REPO = pathlib.Path(__file__).parents[2]


def sox(*args):
    subprocess.run(["sox", *map(str, args)], check=True, capture_output=True)


def tool_batch(*args):
    return subprocess.run([ZEK, *map(str, args)], capture_output=True, text=True)


def manifest(outdir):
    lines = (pathlib.Path(outdir) / "zek-manifest.jsonl").read_text().splitlines()
    records = [json.loads(line) for line in lines]
    return {r["output"]: r for r in records}, len(lines)


@pytest.fixture
def corpus(tmp_path):
    d = tmp_path / "corpus"
    (d / "spk1").mkdir(parents=True)
    for k, (name, rate, channels) in enumerate([("spk1/a.wav", 16000, 1), ("spk1/b.flac", 16000, 1),
                                                ("c.wav", 44100, 2)]):
        sox("-n", "-r", rate, "-c", channels, "-b", 16, d / name, "synth", 1 + k / 2, "pinknoise", "tremolo", 2, 80,
            "gain", -24 - 4 * k)
    (d / "notes.txt").write_text("not audio\n")
    return d


@pytest.mark.parametrize("options, kwargs", [
    (["--speech"], dict(speech=True)),
    (["--speech", "--target", "-20", "--true-peak", "-2", "--loudness"],
     dict(speech=True, target=-20, true_peak=-2, loudness=True)),
])
def test_level_files_records_are_the_tools(corpus, tmp_path, options, kwargs):
    assert tool_batch(*options, "-o", tmp_path / "tool", corpus).returncode == 0
    tool, _ = manifest(tmp_path / "tool")
    found = zek.find_inputs(corpus)
    assert [f["output"] for f in found] == ["c.wav", "spk1/a.wav", "spk1/b.flac"]
    pairs = [(f["path"], tmp_path / "py" / f["output"]) for f in found]
    records = zek.level_files(pairs, jobs=2, **kwargs)
    if kwargs.get("loudness"):
        assert all(r["loudness_out"] == pytest.approx(-20, abs=0.1) for r in records)
    for f, (_, out), r in zip(found, pairs, records):
        assert out.read_bytes() == (tmp_path / "tool" / f["output"]).read_bytes(), f["output"]
        assert (r["input"], r["output"]) == (f["path"], str(out))
        theirs = dict(tool[f["output"]])
        for key in ("root", "input", "output"):
            theirs.pop(key)
        mine = {k: v for k, v in r.items() if k not in ("input", "output")}
        assert mine == theirs, f["output"]
    # Given their records back, the same pairs are skipped; a changed output is levelled again.
    (tmp_path / "py" / "c.wav").write_bytes(b"changed")
    again = zek.level_files(pairs, previous=records, **kwargs)
    assert [r["status"] for r in again] == ["done", "skipped", "skipped"]
    assert (tmp_path / "py" / "c.wav").read_bytes() == (tmp_path / "tool" / "c.wav").read_bytes()
    # Other options: nothing is skipped.
    assert [r["status"] for r in zek.level_files(pairs, previous=again)] == ["done"] * 3


def test_level_files_names_failures_and_refuses_bad_arguments(corpus, tmp_path):
    sox("-n", "-r", 192000, corpus / "fast.wav", "synth", 0.1, "sine", 440)
    (tmp_path / "old.wav").write_bytes(b"an earlier result")
    [r] = zek.level_files([(corpus / "fast.wav", tmp_path / "old.wav")])
    assert r["status"] == "failed" and "192000 Hz" in r["message"] and r["sha256"] is None
    assert (tmp_path / "old.wav").read_bytes() == b"an earlier result"
    for kwargs, error, message in [({"format": "mp3"}, ValueError, "does not write MP3"),
                                   ({"format": "doc"}, ValueError, "not a container"),
                                   ({"jobs": 0}, ValueError, "jobs"),
                                   ({"previous": []}, ValueError, "one record"),
                                   ({"previous": [{"no": "record"}]}, ValueError, "no record")]:
        with pytest.raises(error, match=message):
            zek.level_files([(corpus / "c.wav", tmp_path / "x.wav")], **kwargs)


def test_the_manifest_class_resumes_the_tools_manifest(corpus, tmp_path):
    assert tool_batch("-o", tmp_path / "out", corpus).returncode == 0
    with open(tmp_path / "out" / "zek-manifest.jsonl", "a") as m:
        m.write('{"output": "cut')  # a run killed in the middle of a line
    with zek.Manifest(tmp_path / "out") as m:
        assert sorted(m.records) == ["c.wav", "spk1/a.wav", "spk1/b.flac"]
        with pytest.raises(RuntimeError, match="another zek is writing"):
            zek.Manifest(tmp_path / "out")
        assert "another zek is writing" in tool_batch("-o", tmp_path / "out", corpus).stderr
        m.write(dict(m.previous("c.wav"), status="skipped"))
    records, lines = manifest(tmp_path / "out")
    assert lines == 3 and records["c.wav"]["status"] == "skipped"


def start(args, log, env):
    return subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, env=env, start_new_session=True)


def stop(processes):
    for p in processes:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGTERM)
    deadline = time.monotonic() + 10
    for p in processes:
        try:
            p.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()


def test_dask_recipe_on_a_cluster_that_loses_a_worker(tmp_path):
    """A scheduler and two workers on 127.0.0.1, started as the README says
    (the workers run the Python where zek is installed), the recipe against
    the scheduler's address; one worker is killed once the first batches are
    in. Every file is levelled exactly once, as the zek tool levels it, and
    the manifest, which the tool then resumes from, is complete."""
    corpus = tmp_path / "corpus"
    rng = np.random.default_rng(7)
    t = np.arange(16000) / 16000
    sound = (0.05 * np.sin(2 * np.pi * 3 * t) * rng.standard_normal(t.size)).astype(np.float32)
    first = tmp_path / "one.wav"
    soundfile.write(first, sound, 16000, subtype="PCM_16")
    files = 2000  # about 30 batches: enough that the kill comes part-way
    for k in range(files):
        d = corpus / f"spk{k % 20}"
        d.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(first, d / f"utt{k}.wav")
    env = dict(os.environ)
    if "ZEK_SANITIZER_PRELOAD" in env:
        env["LD_PRELOAD"] = env["ZEK_SANITIZER_PRELOAD"]
    py = sys.executable  # the virtual environment's, where zek is installed
    log = open(tmp_path / "cluster.log", "w")
    processes = []
    try:
        processes.append(start([py, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                                "--no-dashboard", "--scheduler-file", tmp_path / "scheduler.json"], log, env))
        deadline = time.monotonic() + 60
        while not (tmp_path / "scheduler.json").exists():
            assert time.monotonic() < deadline, (tmp_path / "cluster.log").read_text()
            time.sleep(0.05)
        time.sleep(0.2)  # written whole
        address = json.loads((tmp_path / "scheduler.json").read_text())["address"]
        workers = [start([py, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1", "--no-nanny",
                          "--no-dashboard", "--host", "127.0.0.1"], log, env) for _ in range(2)]
        processes += workers
        recipe = start([py, REPO / "examples" / "level_corpus.py", corpus, tmp_path / "levelled", address],
                       open(tmp_path / "recipe.log", "w"), env)
        processes.append(recipe)
        m = tmp_path / "levelled" / "zek-manifest.jsonl"
        deadline = time.monotonic() + 120
        while not (m.exists() and m.read_text().count("\n") > 0):
            assert recipe.poll() is None, (tmp_path / "recipe.log").read_text()
            assert time.monotonic() < deadline, (tmp_path / "recipe.log").read_text()
            time.sleep(0.01)
        lines_when_killed = m.read_text().count("\n")
        os.kill(workers[0].pid, signal.SIGKILL)
        assert lines_when_killed < files, "the run ended before the kill: give it more files"
        recipe.wait(timeout=240)
        assert recipe.returncode == 0, (tmp_path / "recipe.log").read_text()
    finally:
        stop(processes)
        log.close()
    records, lines = manifest(tmp_path / "levelled")
    assert lines == files, "one line per file"
    assert {r["status"] for r in records.values()} == {"done"}
    assert tool_batch("-o", tmp_path / "tool", corpus).returncode == 0
    for output, r in records.items():
        assert (tmp_path / "levelled" / output).read_bytes() == (tmp_path / "tool" / output).read_bytes(), output
    # The killed worker may leave the temporary file it was writing (hidden,
    # never under an output's name): SIGKILL gives it no chance to remove it.
    left = re.compile(r"^\..+\.zek-[0-9a-f]{8}$")
    assert sum(1 for p in (tmp_path / "levelled").rglob("*") if left.match(p.name)) <= 1
    assert sorted(p.name for p in (tmp_path / "levelled" / "spk0").iterdir() if not left.match(p.name)) == sorted(
        p.name for p in (tmp_path / "tool" / "spk0").iterdir() if p.name != "zek-manifest.jsonl")
    # The tool resumes from the recipe's manifest: everything is done.
    again = tool_batch("-o", tmp_path / "levelled", corpus)
    assert f"{files} files: 0 levelled, {files} skipped" in again.stderr, again.stderr


def test_other_threads_run_while_files_are_levelled(corpus, tmp_path):
    # With a switch interval longer than the test, this thread gets the GIL
    # back from the worker only when level_files lets it go.
    pairs = [(corpus / "c.wav", tmp_path / f"out{k}.wav") for k in range(200)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        finished = []
        worker = threading.Thread(target=lambda: finished.append(zek.level_files(pairs, jobs=1)))
        worker.start()  # returns once this thread holds the GIL again
        during = not finished
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    assert during, "no other thread ran while files were levelled: the GIL was held"
    assert [r["status"] for r in finished[0]] == ["done"] * 200
