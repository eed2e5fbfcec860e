#!/usr/bin/python3
"""How zek levels real speech over real backgrounds, default mode against
--speech: the figures of a leveller that rides through words, keeps every
onset and leaves the pauses alone.

    bench/speech_figures.py [--zek build/zek] [--work DIR] [--set tune|check]
                            [--modes default,speech,live,dynaudnorm] [--only TEXT]

Needs sox, espeak-ng, Debian's Python with NumPy, and the recordings of
bench/speech_corpus.py (asterisk-core-sounds-en-wav; the check set also
asterisk-core-sounds-fr-wav, -es-wav and asterisk-moh-opsound-wav):
scripts/install-packages bench. "live" levels through the stream API in its
live look-ahead (build/tests/stream_apply --speech-live), "dynaudnorm" is
ffmpeg's dynamic audio normaliser at its defaults, as a peer.

Every level is taken in 10 ms frames. The gain of a frame is the output's
RMS over the input's (each tool applies a pure gain; frames of digital
silence have none). A sentence's active speech is the frames of its clean
speech within 30 dB of its loudest frame; its gain is the output's RMS over
the input's on those frames, its SNR the clean speech's RMS there over the
background's RMS. The figures:
- closures /s: in the sentences that got 15 dB or more, runs of frames more
  than 15 dB under the sentence's gain (the first and last 100 ms left out),
  per second of those sentences;
- dropped %: of the frames whose clean speech stands 10 dB or more over the
  background, after a sentence's first 100 ms, the share more than 10 dB
  under the sentence's gain; "after 3 s" counts only frames 3 s or more into
  their sentence (the readings' long sentences);
- onset: over the sentences after a pause that stand 10 dB over the
  background, the gain of the first 30 ms from the first active frame less
  the sentence's gain: the median, the share that lose more than 6 dB, and
  the largest; "onset 20" the median over the first 20 ms;
- gain SD: the standard deviation of a sentence's frame gains over its
  active frames 10 dB over the background after its first 100 ms, the mean
  over the sentences 10 dB over the background;
- spread: the standard deviation of the sentences' output levels (active
  speech, dBFS) over those that stand 10 dB over the background;
- weak: the sentences of 3 dB SNR or more, where the default mode gave 3 dB
  or more, that got less than half the default mode's gain in dB (count of
  how many such sentences);
- pauses: the median over the pauses of the output's RMS over the input's,
  150 ms cut off each end;
- pooled: all pause time together (50 ms cut off each end), output energy
  over input energy; in a room, the pause starts where the room's tail has
  died into the background;
- tail: in a room, the gain over 50 to 250 ms after each sentence's dry end
  less the sentence's gain: the mean over the sentences 10 dB over the
  background, and the worst;
- clipped: output samples at full scale where the input's was not.
Last, for each mode but the default, the figures that miss their target,
recording by recording.
"""
import argparse
import datetime
import pathlib
import subprocess
import sys
import tempfile
import wave

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import speech_corpus  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent.parent
TARGETS = {
    "closures /s": "≤ 0.2", "dropped %": "≤ 1", "dropped after 3 s %": "≤ 1", "onset median dB": "≥ -2",
    "onsets losing > 6 dB %": "≤ 10", "onset max dB": "≤ +10", "gain SD dB": "≤ 2.5",
    "spread dB": "≤ default + 0.3", "weak sentences under half": "0", "pauses median dB": "≤ +3",
    "pauses pooled dB": "≤ +6", "room tail mean dB": "≥ -8", "clipped": "0",
}


def misses(res, base):
    """The figures of one recording that miss their target."""
    out = []
    for key, target in TARGETS.items():
        v = res.get(key)
        if v is None or (isinstance(v, float) and not np.isfinite(v)):
            continue
        op, _, bound = target.partition(" ")
        if op not in ("≤", "≥"):
            op, bound = "≤", target
        if bound.startswith("default + "):
            bound_value = base[key] + float(bound.split(" + ")[1])
        else:
            bound_value = float(bound)
        if (v > bound_value) if op == "≤" else (v < bound_value):
            out.append(key)
    return out


def write_wav(path, x, rate):
    with wave.open(str(path), "wb") as f:
        f.setnchannels(1)
        f.setsampwidth(2)
        f.setframerate(rate)
        f.writeframes(x.astype("<i2").tobytes())


def read_wav(path):
    with wave.open(str(path)) as f:
        return np.frombuffer(f.readframes(f.getnframes()), "<i2").astype(np.float64)


def level(args, mode, rec, work):
    src, dst = work / "in.wav", work / "out.wav"
    write_wav(src, rec.mix, rec.rate)
    if mode in ("default", "speech"):
        subprocess.run([args.zek] + (["--speech"] if mode == "speech" else []) + [str(src), str(dst)], check=True)
        return read_wav(dst)
    if mode == "live":
        raw = rec.mix.astype("<i2").tobytes()
        r = subprocess.run([args.stream_apply, "--speech-live", str(rec.rate), "1", "128"], input=raw,
                           capture_output=True, check=True)
        return np.frombuffer(r.stdout, "<i2").astype(np.float64)
    if mode == "dynaudnorm":
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", str(src), "-af", "dynaudnorm", "-c:a", "pcm_s16le",
                        str(dst)], check=True)
        return read_wav(dst)[:len(rec.mix)]
    raise SystemExit(f"unknown mode {mode}")


def frames(x, f):
    n = len(x) // f
    return np.sqrt(np.mean(x[:n * f].reshape(n, f) ** 2, axis=1))


def db(a, b):
    return 20 * np.log10(np.maximum(a, 1e-12) / np.maximum(b, 1e-12))


def rms(x):
    return np.sqrt(np.mean(x * x)) if len(x) else 0.0


def sentence_facts(rec):
    """What does not depend on the leveller: per sentence, its active frames,
    SNR, the frames 10 dB over the background."""
    f = rec.rate // 100
    clean = frames(rec.speech, f)
    facts = []
    for s, e, p in rec.spans:
        a, b = s // f, e // f
        c = clean[a:b]
        active = c >= c.max() * 10 ** (-30 / 20)
        snr = np.inf if rec.floor_rms == 0 else db(rms(rec.speech[a * f:b * f][np.repeat(active, f)]), rec.floor_rms)
        over = c >= rec.floor_rms * 10 ** (10 / 20) if rec.floor_rms else c > 0
        facts.append({"a": a, "b": b, "active": active, "snr": snr, "over": over, "pause_end": p // f})
    return facts


def figures(rec, facts, out, default_gains=None):
    f = rec.rate // 100
    n = min(len(out), len(rec.mix)) // f
    fin, fout = frames(rec.mix[:n * f], f), frames(out[:n * f], f)
    gain = np.where(fin > 0, db(fout, fin), np.nan)
    r = {k: [] for k in ("closure_runs", "closure_s", "drop", "drop3", "onset30", "onset20", "sd", "loud", "gains",
                         "pause", "tail")}
    pause_in = pause_out = 0.0
    cut150, cut50 = 15, 5
    for k, sf in enumerate(facts):
        a, b = sf["a"], min(sf["b"], n)
        act = sf["active"][:b - a]
        ain, aout = fin[a:b][act], fout[a:b][act]
        g = db(rms(aout), rms(ain))
        r["gains"].append(g)
        fg = gain[a:b]
        if sf["snr"] >= 10:
            r["loud"].append(db(rms(aout), 32768))
            inside = act & sf["over"][:b - a]
            inside[:10] = False
            d = fg[inside]
            d = d[np.isfinite(d)]
            if len(d) > 2:
                r["sd"].append(float(np.std(d)))
        if g >= 15 and b - a > 20:
            inner = fg[10:b - a - 10]
            under = np.nan_to_num(inner, nan=g) < g - 15
            runs = int(np.sum(under[1:] & ~under[:-1]) + (under[0] if len(under) else 0))
            r["closure_runs"].append(runs)
            r["closure_s"].append((b - a) / 100)
        over = sf["over"][:b - a].copy()
        over[:10] = False
        dropped = np.nan_to_num(fg, nan=g) < g - 10
        r["drop"].append((int(np.sum(dropped & over)), int(np.sum(over))))
        late = over.copy()
        late[:300] = False
        r["drop3"].append((int(np.sum(dropped & late)), int(np.sum(late))))
        if k > 0 and sf["snr"] >= 10:
            first = a + int(np.flatnonzero(act)[0])
            for ms, key in ((30, "onset30"), (20, "onset20")):
                o = slice(first * f, first * f + ms * rec.rate // 1000)
                r[key].append(db(rms(out[o]), rms(rec.mix[o])) - g)
        # the pause after the sentence
        pe = min(sf["pause_end"], n)
        ps = sf["b"]
        if rec.room_tail:
            if sf["snr"] >= 10:
                t = slice(sf["b"] * f + rec.rate // 20, sf["b"] * f + rec.rate // 4)
                r["tail"].append(db(rms(out[t]), rms(rec.mix[t])) - g)
            wet = frames(rec.speech[ps * f:pe * f], f)
            above = np.flatnonzero(wet >= rec.floor_rms)
            ps = ps + (int(above[-1]) + 1 if len(above) else 0)
        if pe - ps > 2 * cut150:
            r["pause"].append(db(rms(out[(ps + cut150) * f:(pe - cut150) * f]),
                                 rms(rec.mix[(ps + cut150) * f:(pe - cut150) * f])))
        if pe - ps > 2 * cut50:
            seg = slice((ps + cut50) * f, (pe - cut50) * f)
            pause_in += float(np.sum(rec.mix[seg] ** 2))
            pause_out += float(np.sum(out[seg] ** 2))
    clipped = int(np.sum(((out[:n * f] >= 32767) | (out[:n * f] <= -32768)) &
                         (np.abs(rec.mix[:n * f]) < 32767)))
    drop = sum(x for x, _ in r["drop"]), sum(y for _, y in r["drop"])
    drop3 = sum(x for x, _ in r["drop3"]), sum(y for _, y in r["drop3"])
    res = {
        "closures /s": sum(r["closure_runs"]) / max(sum(r["closure_s"]), 1e-9),
        "dropped %": 100 * drop[0] / max(drop[1], 1),
        "dropped after 3 s %": 100 * drop3[0] / drop3[1] if drop3[1] else np.nan,
        "onset median dB": float(np.median(r["onset30"])) if r["onset30"] else np.nan,
        "onset 20 ms median dB": float(np.median(r["onset20"])) if r["onset20"] else np.nan,
        "onsets losing > 6 dB %": 100 * float(np.mean(np.array(r["onset30"]) < -6)) if r["onset30"] else np.nan,
        "onset max dB": float(np.max(r["onset30"])) if r["onset30"] else np.nan,
        "gain SD dB": float(np.mean(r["sd"])) if r["sd"] else np.nan,
        "spread dB": float(np.std(r["loud"])) if len(r["loud"]) > 1 else np.nan,
        "pauses median dB": float(np.median(r["pause"])) if r["pause"] else np.nan,
        "pauses pooled dB": 10 * np.log10(max(pause_out, 1e-12) / pause_in) if pause_in > 0 else np.nan,
        "room tail mean dB": float(np.mean(r["tail"])) if r["tail"] else np.nan,
        "room tail worst dB": float(np.min(r["tail"])) if r["tail"] else np.nan,
        "clipped": clipped,
        "gains": r["gains"],
    }
    if default_gains is not None:
        weak = [k for k, sf in enumerate(facts) if sf["snr"] >= 3 and default_gains[k] >= 3]
        res["weak sentences under half"] = sum(r["gains"][k] < default_gains[k] / 2 for k in weak)
        res["weak of"] = len(weak)
        res["weakest share"] = min((r["gains"][k] / default_gains[k] for k in weak), default=np.nan)
    return res


COLUMNS = ["closures /s", "dropped %", "dropped after 3 s %", "onset median dB", "onset 20 ms median dB",
           "onsets losing > 6 dB %", "onset max dB", "gain SD dB", "spread dB", "weak sentences under half",
           "pauses median dB", "pauses pooled dB", "room tail mean dB", "room tail worst dB", "clipped"]
SHORT = {"closures /s": "closures /s", "dropped %": "dropped %", "dropped after 3 s %": "dropped > 3 s %",
         "onset median dB": "onset 30 ms", "onset 20 ms median dB": "onset 20 ms",
         "onsets losing > 6 dB %": "onsets < -6 dB %", "onset max dB": "onset max",
         "gain SD dB": "gain SD", "spread dB": "spread", "weak sentences under half": "weak < ½",
         "pauses median dB": "pauses", "pauses pooled dB": "pooled", "room tail mean dB": "tail mean",
         "room tail worst dB": "tail worst", "clipped": "clipped"}


def cell(key, v, res):
    if key == "weak sentences under half":
        return f"{v} of {res.get('weak of', 0)}"
    if isinstance(v, (int, np.integer)):
        return str(v)
    if v is None or not np.isfinite(v):
        return "–"
    signed = key not in ("closures /s", "dropped %", "dropped after 3 s %", "onsets losing > 6 dB %", "gain SD dB",
                         "spread dB")
    return f"{v:+.1f}" if signed else f"{v:.2f}" if key in ("closures /s", "gain SD dB", "spread dB") else f"{v:.1f}"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--zek", default=str(HERE / "build" / "zek"))
    ap.add_argument("--stream-apply", default=str(HERE / "build" / "tests" / "stream_apply"))
    ap.add_argument("--work", help="keep the recordings here (made once) instead of in a temporary folder")
    ap.add_argument("--set", default="tune", choices=["tune", "check"])
    ap.add_argument("--modes", default="default,speech")
    ap.add_argument("--only", help="only the recordings whose name contains this")
    args = ap.parse_args()
    tmp = None
    if args.work:
        work = pathlib.Path(args.work)
    else:
        tmp = tempfile.TemporaryDirectory()
        work = pathlib.Path(tmp.name)
    modes = args.modes.split(",")
    if "default" not in modes:
        modes.insert(0, "default")
    recs = speech_corpus.recordings(work, args.set)
    print(f"# zek on real speech: the {args.set} set\n")
    print(f"Made by `bench/speech_figures.py --set {args.set} --modes {','.join(modes)}` on {datetime.date.today()}. "
          "What each figure measures is said at the top of the script; the recordings are those of "
          "`bench/speech_corpus.py`.\n")
    print("| recording | mode | " + " | ".join(SHORT[c] for c in COLUMNS) + " |")
    print("|---|---|" + "---:|" * len(COLUMNS))
    summary = {m: {} for m in modes}
    for rec in recs:
        if args.only and args.only not in rec.name:
            continue
        facts = sentence_facts(rec)
        base = None
        for mode in modes:
            out = level(args, mode, rec, work)
            res = figures(rec, facts, out, None if mode == "default" else base["gains"])
            if mode == "default":
                base = res
                res["weak sentences under half"] = 0
                res["weak of"] = 0
            summary[mode][rec.name] = res
            print(f"| {rec.name} | {mode} | " + " | ".join(cell(c, res[c], res) for c in COLUMNS) + " |", flush=True)
    print("\nThe worst recording for each figure, and the target:\n")
    print("| figure | " + " | ".join(modes) + " | target |")
    print("|---|" + "---:|" * len(modes) + "---|")
    worst_high = {"closures /s", "dropped %", "dropped after 3 s %", "onsets losing > 6 dB %", "onset max dB",
                  "gain SD dB", "weak sentences under half", "pauses median dB", "pauses pooled dB", "clipped"}
    for c in COLUMNS:
        if c == "room tail worst dB":
            continue
        row = []
        for m in modes:
            vals = [(r[c], name) for name, r in summary[m].items() if not (isinstance(r[c], float) and np.isnan(r[c]))]
            if c == "spread dB":
                d = [(r[c] - summary["default"][name][c], name) for name, r in summary[m].items()
                     if np.isfinite(r[c])]
                if not d:
                    row.append("–")
                    continue
                v, name = max(d)
                row.append(f"{v:+.2f} over default ({name})" if m != "default" else
                           f"{min(x for x, _ in vals):.2f}–{max(x for x, _ in vals):.2f}")
                continue
            if not vals:
                row.append("–")
                continue
            v, name = max(vals) if c in worst_high else min(vals)
            shown = f"{v} of {summary[m][name].get('weak of', 0)}" if c == "weak sentences under half" else cell(c, v, {})
            row.append(f"{shown} ({name})")
        print(f"| {c} | " + " | ".join(row) + f" | {TARGETS.get(c, '')} |")
    for m in modes[1:]:
        missed = {name: misses(r, summary["default"][name]) for name, r in summary[m].items()}
        print(f"\n{m}: {sum(map(len, missed.values()))} figures of the recordings above miss their target" +
              "".join(f"\n- {name}: {', '.join(keys)}" for name, keys in missed.items() if keys))
    if tmp:
        tmp.cleanup()


if __name__ == "__main__":
    sys.exit(main())
