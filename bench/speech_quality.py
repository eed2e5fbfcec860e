#!/usr/bin/python3
"""How zek levels speech over a noise floor, in the default and the
speech-aware mode: the quality table of bench/speech-quality.md.

    bench/speech_quality.py [--zek build/zek] [--work DIR] [--only NAME] > bench/speech-quality.md

Needs espeak-ng, sox and Debian's Python with NumPy (python3-numpy).

The corpus: forty sentences spoken by espeak-ng (several voices and speeds),
made 48 kHz by sox, at peaks spread evenly from -45 to -3 dBFS in a shuffled
order, with pauses of 0.5 to 2 s between them and 1 s before the first, over
a noise floor: pink noise at -70 to -35 dBFS RMS, brown noise, 50 and 60 Hz
mains hum with its harmonics, and a fan (low-passed brown and pink noise with
a slowly wandering blade tone), each at -50 dBFS RMS unless named otherwise.
The noise comes from sox (-R: the same on every run), the mix is written as
a 16-bit WAV file, and zek levels it as a user would: `zek [--speech] in.wav
out.wav`, whose output is aligned on its input.

The measures, for each recording:
- pause raise: output over input RMS in dB over each pause, the median over
  the pauses; "inner" leaves out each pause's first and last 100 ms, where
  the hangover after a sentence and the fade-in before the next one lie.
- sentence loudness: output RMS over the active samples of each sentence
  (10 ms frames of the clean sentence within 30 dB of its loudest frame);
  the spread is the standard deviation over the sentences whose active
  speech stands at least 10 dB above the floor (RMS). "lowest" is the least
  change of any sentence from input to output (negative: quieter than it
  went in). The input's spread is given for comparison.
- onset: over the sentences that follow a pause and stand 10 dB over the
  floor, the output RMS of the first 20 ms after the sentence's first active
  frame over that of the rest of its active samples: the largest, in dB.
  "onset gain" is the same less the input's own ratio: how much more gain
  the onset got than the body.
- clipped: output samples at full scale (32767 or -32768) where the input
  sample was not.
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
import speech_corpus  # noqa: E402  (the sentences, shared with bench/speech_figures.py)

RATE = 48000
SENTENCES = speech_corpus.ESPEAK_SENTENCES
VOICES = ["en-us", "en-gb", "en-us+f3", "en-gb-x-rp", "en-us+m3", "en-gb+f2", "en-gb-scotland", "en-us+f4"]
SPEEDS = [150, 165, 175, 185]
PAUSE_EDGE = 0.1  # s left out at each end of a pause for the inner raise
ONSET = 0.02      # s: the onset of a sentence

# name, noise, floor RMS dBFS
FLOORS = [
    ("pink -70", "pink", -70), ("pink -60", "pink", -60), ("pink -50", "pink", -50),
    ("pink -40", "pink", -40), ("pink -35", "pink", -35), ("brown -50", "brown", -50),
    ("hum 50 Hz -50", "hum50", -50), ("hum 60 Hz -50", "hum60", -50), ("fan -50", "fan", -50),
]


def run(*args, **kw):
    subprocess.run([str(a) for a in args], check=True, **kw)


def read_wav(path):
    with wave.open(str(path)) as f:
        assert f.getsampwidth() == 2 and f.getnchannels() == 1, path
        return np.frombuffer(f.readframes(f.getnframes()), "<i2").astype(np.float64), f.getframerate()


def write_wav(path, x):
    with wave.open(str(path), "wb") as f:
        f.setnchannels(1)
        f.setsampwidth(2)
        f.setframerate(RATE)
        f.writeframes(x.astype("<i2").tobytes())


def sentences(work):
    """The clean sentences, 48 kHz floats at full-scale peak, leading and
    trailing silence trimmed."""
    out = []
    for k, text in enumerate(SENTENCES):
        wav = work / f"said{k}.wav"
        if not wav.exists():
            said = work / f"said{k}-22k.wav"
            run("espeak-ng", "-v", VOICES[k % len(VOICES)], "-s", SPEEDS[k % len(SPEEDS)], "-w", said, text)
            run("sox", "-R", said, "-r", RATE, "-b", "16", wav, "rate", "-h", RATE)
        x, rate = read_wav(wav)
        assert rate == RATE
        loud = np.flatnonzero(np.abs(x) > 1e-3 * np.abs(x).max())
        x = x[loud[0]:loud[-1] + 1]
        out.append(x / np.abs(x).max())
    return out


def noise(work, kind, seconds):
    """Unit-RMS noise of the given kind."""
    n = int(seconds * RATE)
    t = np.arange(n) / RATE
    if kind in ("hum50", "hum60"):
        f0 = 50 if kind == "hum50" else 60
        x = sum(np.sin(2 * np.pi * f0 * h * t + h) / h ** 1.5 for h in range(1, 8))
    else:
        def sox_noise(colour, *effects):
            path = work / f"{colour}-{seconds}.wav"
            if not path.exists():
                run("sox", "-R", "-n", "-r", RATE, "-b", "16", "-c", "1", path, "synth", seconds, colour,
                    "vol", "0.3", *effects)
            return read_wav(path)[0][:n]
        if kind == "pink":
            x = sox_noise("pinknoise")
        elif kind == "brown":
            x = sox_noise("brownnoise")
        else:  # a fan: broadband rush low-passed, and a blade tone that wanders
            rush = sox_noise("brownnoise", "lowpass", "800") + 0.5 * sox_noise("pinknoise", "lowpass", "3000")
            blade = np.sin(2 * np.pi * (118 * t + 4 * np.sin(2 * np.pi * 0.2 * t) / (2 * np.pi * 0.2)))
            x = rush / rush.std() + 0.3 * blade
    x = x - x.mean()
    return x / x.std()


def corpus(work, clean):
    """The speech track and where its sentences and pauses lie (samples)."""
    rng = np.random.default_rng(20)
    peaks = rng.permutation(np.linspace(-45, -3, len(clean)))
    pauses = rng.uniform(0.5, 2.0, len(clean))
    parts, spans, at = [np.zeros(RATE)], [], RATE
    for x, peak, pause in zip(clean, peaks, pauses):
        s = x * 32768 * 10 ** (peak / 20)
        gap = int(pause * RATE)
        spans.append((at, at + len(s), at + len(s) + gap))  # sentence start, end, end of the pause after it
        parts += [s, np.zeros(gap)]
        at += len(s) + gap
    return np.concatenate(parts), spans


def rms(x):
    return np.sqrt(np.mean(x * x)) if len(x) else 0.0


def db(a, b):
    return 20 * np.log10(max(a, 1e-9) / max(b, 1e-9))


def active(x):
    """Mask of the active samples of a clean sentence: 10 ms frames within
    30 dB of its loudest frame."""
    frame = RATE // 100
    n = len(x) // frame * frame
    e = np.sqrt(np.mean(x[:n].reshape(-1, frame) ** 2, axis=1))
    keep = np.repeat(e >= e.max() * 10 ** (-30 / 20), frame)
    return np.concatenate([keep, np.zeros(len(x) - n, bool)])


def measure(speech, spans, mix, out, floor_rms):
    r = {"raise": [], "inner": [], "loud": [], "change": [], "onset": [], "onset gain": [], "input loud": []}
    for k, (s, e, p) in enumerate(spans):
        m = active(speech[s:e])
        a_in, a_out = mix[s:e][m], out[s:e][m]
        snr = db(rms(speech[s:e][m]), floor_rms)
        if snr >= 10:
            r["loud"].append(db(rms(a_out), 32768))
            r["input loud"].append(db(rms(a_in), 32768))
        r["change"].append(db(rms(a_out), rms(a_in)))
        first = np.flatnonzero(m)[0]
        o = slice(s + first, s + first + int(ONSET * RATE))
        body = np.zeros(e - s, bool)
        body[first + int(ONSET * RATE):] = True
        body &= m
        if k > 0 and snr >= 10:
            r["onset"].append(db(rms(out[o]), rms(out[s:e][body])))
            r["onset gain"].append(r["onset"][-1] - db(rms(mix[o]), rms(mix[s:e][body])))
        r["raise"].append(db(rms(out[e:p]), rms(mix[e:p])))
        edge = int(PAUSE_EDGE * RATE)
        r["inner"].append(db(rms(out[e + edge:p - edge]), rms(mix[e + edge:p - edge])))
    clipped = int(np.sum(((out >= 32767) | (out <= -32768)) & (mix < 32767) & (mix > -32768)))
    return {
        "pause raise": np.median(r["raise"]), "inner raise": np.median(r["inner"]),
        "spread": np.std(r["loud"]), "input spread": np.std(r["input loud"]), "sentences": len(r["loud"]),
        "lowest": min(r["change"]), "onset": max(r["onset"]), "onset gain": max(r["onset gain"]), "clipped": clipped,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--zek", default=str(pathlib.Path(__file__).resolve().parent.parent / "build" / "zek"))
    ap.add_argument("--work", help="keep the corpus here (made once) instead of in a temporary folder")
    ap.add_argument("--only", help="only the floors whose name contains this")
    ap.add_argument("--modes", default="default,speech", help="comma-separated: default, speech")
    args = ap.parse_args()
    tmp = None
    if args.work:
        work = pathlib.Path(args.work)
        work.mkdir(parents=True, exist_ok=True)
    else:
        tmp = tempfile.TemporaryDirectory()
        work = pathlib.Path(tmp.name)

    clean = sentences(work)
    speech, spans = corpus(work, clean)
    seconds = int(np.ceil(len(speech) / RATE))
    flags = {"default": [], "speech": ["--speech"]}
    modes = args.modes.split(",")
    espeak = subprocess.run(["espeak-ng", "--version"], capture_output=True, text=True).stdout.split(":")[1].split()[0]
    sox = subprocess.run(["sox", "--version"], capture_output=True, text=True).stdout.split()[-1]
    tools = [f"espeak-ng {espeak}", f"sox {sox}"]
    print("# zek on speech over a noise floor\n")
    print(f"Made by `bench/speech_quality.py` on {datetime.date.today()} ({'; '.join(tools)}). "
          "What each column measures is said at the top of the script. The corpus: forty espeak-ng sentences "
          "at peaks from -45 to -3 dBFS, pauses of 0.5 to 2 s, over each noise floor at the RMS level named.\n")
    print("| floor | mode | pause raise dB | inner pause raise dB | spread dB (input's, sentences) | lowest dB "
          "| onset dB | onset gain dB | clipped |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for name, kind, level in FLOORS:
        if args.only and args.only not in name:
            continue
        floor_rms = 32768 * 10 ** (level / 20)
        mix = np.clip(np.round(speech + floor_rms * noise(work, kind, seconds)[:len(speech)]), -32768, 32767)
        src = work / "in.wav"
        write_wav(src, mix)
        for mode in modes:
            dst = work / "out.wav"
            run(args.zek, *flags[mode], src, dst)
            out, _ = read_wav(dst)
            m = measure(speech, spans, mix, out, floor_rms)
            print(f"| {name} | {mode} | {m['pause raise']:+.1f} | {m['inner raise']:+.1f} | "
                  f"{m['spread']:.2f} ({m['input spread']:.1f}, {m['sentences']}) | {m['lowest']:+.1f} | "
                  f"{m['onset']:+.1f} | {m['onset gain']:+.1f} | {m['clipped']} |", flush=True)
    print("\nAt -70 dBFS the sentences whose peaks lie under -36 dBFS need more than the gain law's largest "
          "gain, +36 dB, in either mode: they set the spread there. The whole-pause raise in the speech-aware "
          "mode lies at the pause's edges: the sentences' own fading ends (audible over so faint a floor as "
          "-70 dBFS) and the gain's 160 ms fall after them, and before each onset the gain's 60 ms rise and a "
          "start moved back to where the sound first rose over the floor (up to 100 ms); past the pause's first "
          "and last 100 ms it is gone, but for the end of that fall where the fading ends reach deepest, over "
          "pink -70.")
    if tmp:
        tmp.cleanup()


if __name__ == "__main__":
    sys.exit(main())
