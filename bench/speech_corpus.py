#!/usr/bin/python3
"""Recordings of speech over a background, with the clean speech and the
background kept apart, for bench/speech_figures.py.

Each recording is sentences at peaks spread evenly from -45 to -3 dBFS in a
shuffled order, with pauses of 0.5 to 2 s between them (1 s of background
before the first), over a background mixed in afterwards. What is kept of
each: the mix (16-bit, what zek levels), the speech as it reaches the
microphone (`speech`: dry, or through the room for the reverberant one), the
background, where each sentence starts and ends and where its pause ends,
and the background's RMS.

The sentences are real voices from Debian's packages: the asterisk
telephone prompts (8 kHz, resampled by sox): Allison in US English for the
set tuned on; for the held-out set June in Canadian French, Allison in
Mexican Spanish and the English prompts the tuned set leaves out. Beside
them, sentences spoken by espeak-ng. The backgrounds:
- pink noise (sox's, -R: the same on every run) at a given RMS;
- babble: six voices talking at once, each a chain of sentences that none
  of the recording's own speakers says;
- a music bed: chords that change every two bars under a plucked melody,
  synthesised by sox, with rests and swells (its level moves as music's does);
- a reverberant room: the speech through sox's reverb (its tail belongs to
  the sentence), over pink noise;
- digital silence;
- a continuous reading: prompts of 30 s and more read without a break of
  their own, split into sentences only where a gap of 0.5 s or more lies.
The music-on-hold of Debian's asterisk-moh-opsound-wav (real recorded music)
is a background of the held-out set.
"""
import pathlib
import subprocess

import numpy as np

SOUNDS = pathlib.Path("/usr/share/asterisk/sounds")
MOH = pathlib.Path("/usr/share/asterisk/moh")
ESPEAK_SENTENCES = [
    "The birch canoe slid on the smooth planks.",
    "Glue the sheet to the dark blue background.",
    "It is easy to tell the depth of a well.",
    "These days a chicken leg is a rare dish.",
    "Rice is often served in round bowls.",
    "The juice of lemons makes fine punch.",
    "The box was thrown beside the parked truck.",
    "The hogs were fed chopped corn and garbage.",
    "Four hours of steady work faced us.",
    "A large size in stockings is hard to sell.",
    "The boy was there when the sun rose.",
    "A rod is used to catch pink salmon.",
    "The source of the huge river is the clear spring.",
    "Kick the ball straight and follow through.",
    "Help the woman get back to her feet.",
    "A pot of tea helps to pass the evening.",
    "Smoky fires lack flame and heat.",
    "The soft cushion broke the man's fall.",
    "The salt breeze came across from the sea.",
    "The girl at the booth sold fifty bonds.",
    "The small pup gnawed a hole in the sock.",
    "The fish twisted and turned on the bent hook.",
    "Press the pants and sew a button on the vest.",
    "The swan dive was far short of perfect.",
    "The beauty of the view stunned the young boy.",
    "Two blue fish swam in the tank.",
    "Her purse was full of useless trash.",
    "The colt reared and threw the tall rider.",
    "It snowed, rained, and hailed the same morning.",
    "Read verse out loud for pleasure.",
    "Hoist the load to your left shoulder.",
    "Take the winding path to reach the lake.",
    "Note closely the size of the gas tank.",
    "Wipe the grease off his dirty face.",
    "Mend the coat before you go out.",
    "The wrist was badly strained and hung limp.",
    "The stray cat gave birth to kittens.",
    "The young girl gave no clear response.",
    "The meal was cooked before the bell rang.",
    "What joy there is in living.",
]
ESPEAK_VOICES = ["en-us", "en-gb", "en-us+f3", "en-gb-x-rp", "en-us+m3", "en-gb+f2", "en-gb-scotland", "en-us+f4"]
READINGS = ["demo-instruct", "priv-callee-options", "demo-congrats"]
# Not speech, or a prompt the readings already hold.
NOT_SENTENCES = ("tt-", "beep", "demo-instruct", "priv-callee-options", "demo-congrats", "silence")


def run(*args):
    subprocess.run([str(a) for a in args], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def read_raw(path):
    return np.fromfile(path, "<i2").astype(np.float64)


def raw_args(rate):
    return ["-t", "raw", "-r", rate, "-e", "signed", "-b", "16", "-c", "1"]


def load_clip(src, work, rate):
    """A sound file as floats at `rate`, cached in work."""
    dst = work / "clips" / f"{pathlib.Path(src).parent.name}-{pathlib.Path(src).stem}-{rate}.raw"
    if not dst.exists():
        dst.parent.mkdir(parents=True, exist_ok=True)
        run("sox", "-R", src, *raw_args(rate), dst, "remix", "-", "rate", "-h", rate)
    return read_raw(dst)


def trimmed(x):
    """A clip without its leading and trailing near-silence, at full-scale peak."""
    loud = np.flatnonzero(np.abs(x) > 1e-3 * np.abs(x).max())
    x = x[loud[0]:loud[-1] + 1]
    return x / np.abs(x).max()


def prompts(voice):
    """The asterisk prompts of one speaker that are sentences of 1.8 to 7 s."""
    folder = SOUNDS / voice
    out = []
    for p in sorted(folder.glob("*.wav")):
        if p.name.startswith(NOT_SENTENCES):
            continue
        seconds = p.stat().st_size / 16000  # 8 kHz 16-bit mono after a 44-byte header
        if 1.8 <= seconds <= 7:
            out.append(p)
    return out


def voice_folders():
    return sorted(p.name for p in SOUNDS.iterdir() if p.is_dir())


def espeak_clips(work, rate, voices, first, count):
    out = []
    for k in range(first, first + count):
        text = ESPEAK_SENTENCES[k % len(ESPEAK_SENTENCES)]
        voice = voices[k % len(voices)]
        wav = work / "clips" / f"espeak-{k}-{voice}.wav"
        if not wav.exists():
            wav.parent.mkdir(parents=True, exist_ok=True)
            run("espeak-ng", "-v", voice, "-s", [150, 165, 175, 185][k % 4], "-w", wav, text)
        out.append(trimmed(load_clip(wav, work, rate)))
    return out


def sentence_clips(work, rate, source, count, offset=0):
    """`count` clean sentences from a source: 'en' (the English prompts),
    'fr', 'es' (other speakers), 'espeak'; every other prompt from offset."""
    if source == "espeak":
        return espeak_clips(work, rate, ESPEAK_VOICES, offset, count)
    folder = {"en": "en_US_f_Allison"}.get(source)
    if folder is None:
        folder = next(f for f in voice_folders() if f.startswith(source))
    files = prompts(folder)[offset::2]
    return [trimmed(load_clip(p, work, rate)) for p in files[:count]]


def reading_clips(work, rate):
    return [trimmed(load_clip(SOUNDS / "en_US_f_Allison" / f"{name}.wav", work, rate)) for name in READINGS]


def split_at_gaps(x, rate, gap=0.5, below=50):
    """Sentences of a reading: cut where 10 ms frames stay more than `below`
    dB under its loudest for `gap` seconds or more. Returns (start, end) pairs."""
    f = rate // 100
    n = len(x) // f
    e = 10 * np.log10(np.mean(x[:n * f].reshape(n, f) ** 2, axis=1) + 1e-20)
    quiet = e < e.max() - below
    spans, start, k = [], 0, 0
    while k < n:
        if quiet[k]:
            j = k
            while j < n and quiet[j]:
                j += 1
            if (j - k) * f >= gap * rate and k > 0 and j < n:
                spans.append((start * f, k * f))
                start = j
            k = j
        else:
            k += 1
    spans.append((start * f, len(x)))
    return spans


class Recording:
    """One recording: mix = speech + background, and where its sentences lie."""

    def __init__(self, name, rate, speech, background, spans, floor_rms, room_tail=False):
        self.name, self.rate, self.speech, self.background = name, rate, speech, background
        self.spans = spans  # (sentence start, sentence end, end of the pause after it), samples
        self.floor_rms = floor_rms
        self.room_tail = room_tail  # the speech carries a room's tail past each sentence's end
        self.mix = np.clip(np.round(speech + background), -32768, 32767)


def lay_out(clips, rate, seed, peaks=(-45, -3), pauses=(0.5, 2.0)):
    """The dry speech track: clips at shuffled peaks with shuffled pauses."""
    rng = np.random.default_rng(seed)
    levels = rng.permutation(np.linspace(peaks[0], peaks[1], len(clips)))
    gaps = rng.uniform(pauses[0], pauses[1], len(clips))
    parts, spans, at = [np.zeros(rate)], [], rate
    for x, peak, pause in zip(clips, levels, gaps):
        s = x * 32768 * 10 ** (peak / 20)
        gap = int(pause * rate)
        spans.append((at, at + len(s), at + len(s) + gap))
        parts += [s, np.zeros(gap)]
        at += len(s) + gap
    return np.concatenate(parts), spans


def reading_layout(work, rate, seed):
    """The readings, each at its own level, 1.5 s apart; their sentences are
    the parts between gaps of 0.5 s or more."""
    rng = np.random.default_rng(seed)
    parts, spans, at = [np.zeros(rate)], [], rate
    for x, peak in zip(reading_clips(work, rate), rng.permutation([-30.0, -12.0, -20.0])):
        s = x * 32768 * 10 ** (peak / 20)
        inner = split_at_gaps(s, rate)
        for k, (a, b) in enumerate(inner):
            end_of_pause = at + inner[k + 1][0] if k + 1 < len(inner) else at + len(s) + int(1.5 * rate)
            spans.append((at + a, at + b, end_of_pause))
        parts += [s, np.zeros(int(1.5 * rate))]
        at += len(s) + int(1.5 * rate)
    return np.concatenate(parts), spans


def unit(x):
    x = x - x.mean()
    return x / np.sqrt(np.mean(x * x))


def pink(work, rate, n, seed=0):
    """Unit-RMS pink noise; another seed takes another stretch of sox's."""
    skip = seed * 480000
    path = work / f"pink-{rate}-{n + skip}.raw"
    if not path.exists():
        run("sox", "-R", "-r", rate, "-n", *raw_args(rate), path, "synth", f"{n + skip}s", "pinknoise", "vol", "0.3")
    return unit(read_raw(path)[skip:skip + n])


def babble(work, rate, n, source, seed=1):
    """Six voices at once: each a chain of sentences at levels a few dB
    apart with short breaths between, starting at its own place."""
    rng = np.random.default_rng(seed)
    clips = sentence_clips(work, rate, source, 40, offset=1) if source != "espeak" else \
        espeak_clips(work, rate, ["en-us+m1", "en-gb+m4", "en-us+f2", "en-gb+f4", "en-us+m7", "en-gb-x-gbclan"], 0, 36)
    total = np.zeros(n)
    for v in range(6):
        chain, length = [], 0
        while length < n + rate * 5:
            c = clips[rng.integers(len(clips))] * 10 ** (rng.uniform(-3, 3) / 20)
            chain += [c, np.zeros(int(rng.uniform(0.08, 0.3) * rate))]
            length += len(chain[-2]) + len(chain[-1])
        chain = np.concatenate(chain)
        start = rng.integers(rate * 4)
        total += chain[start:start + n]
    return unit(total)


NOTES = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}


def hz(name, octave):
    return 440.0 * 2 ** ((NOTES[name] + 12 * (octave - 4) - 9) / 12)


def music(work, rate, n, seed=2):
    """A music bed from sox: a pad of chords (a new chord every 2 s, each
    swelling in and dying away) under a plucked melody of quarter and eighth
    notes with rests. Loops of 32 s repeated."""
    path = work / f"music-{rate}-{seed}.raw"
    if not path.exists():
        rng = np.random.default_rng(seed)
        progression = [("C", "E", "G"), ("A", "C", "E"), ("F", "A", "C"), ("G", "B", "D")] * 4
        notes_dir = work / f"notes-{rate}"
        notes_dir.mkdir(parents=True, exist_ok=True)
        bar = 2.0
        bed = np.zeros(int(len(progression) * bar * rate) + rate)
        for k, chord in enumerate(progression):
            f = notes_dir / f"chord-{k}.raw"
            # sox: the first synth makes the tone, each later "synth ... mix" adds one
            args = ["sox", "-R", "-r", rate, "-n", *raw_args(rate), f, "synth", str(bar), "triangle", f"{hz(chord[0], 3):.2f}"]
            for name in chord[1:]:
                args += ["synth", str(bar), "sine", "mix", f"{hz(name, 4):.2f}"]
            args += ["fade", "q", "0.4", str(bar), "0.6", "vol", "0.25"]
            run(*args)
            x = read_raw(f)
            at = int(k * bar * rate)
            bed[at:at + len(x)] += x
        scale = ["C", "D", "E", "G", "A"]
        t = 0.0
        while t < len(progression) * bar:
            d = rng.choice([0.25, 0.25, 0.5, 0.5, 0.75])
            if rng.random() < 0.2:  # a rest
                t += d
                continue
            name = scale[rng.integers(len(scale))]
            f = notes_dir / f"note-{name}-{d}.raw"
            if not f.exists():
                run("sox", "-R", "-r", rate, "-n", *raw_args(rate), f, "synth", str(d + 0.3), "pluck", f"{hz(name, 5):.2f}",
                    "fade", "0.005", str(d + 0.3), "0.2", "vol", "0.5")
            x = read_raw(f) * 10 ** (rng.uniform(-4, 2) / 20)
            at = int(t * rate)
            end = min(len(bed), at + len(x))
            bed[at:end] += x[:end - at]
            t += d
        np.clip(bed, -32768, 32767).astype("<i2").tofile(path)
    x = read_raw(path)
    return unit(np.tile(x, n // len(x) + 1)[:n])


def music_on_hold(work, rate, n):
    files = sorted(MOH.glob("*.wav"))
    parts = [load_clip(p, work, rate) for p in files[:3]]
    x = np.concatenate(parts)
    return unit(np.tile(x, n // len(x) + 1)[:n])


def room(work, rate, speech):
    """The speech through a room: sox's reverb, wet and dry as a microphone
    a few metres off hears them, the tail kept."""
    src, dst = work / "room-in.raw", work / "room-out.raw"
    np.clip(np.round(speech * 0.5), -32768, 32767).astype("<i2").tofile(src)
    run("sox", "-R", *raw_args(rate), src, *raw_args(rate), dst, "reverb", "60", "50", "90", "100", "20", "0")
    y = read_raw(dst)[:len(speech)] * 2
    return y


def db_rms(level):
    return 32768 * 10 ** (level / 20)


def recordings(work, which="tune"):
    """The recordings of one set: 'tune' (the corpus tuned on) or 'check'
    (other speakers, other backgrounds and levels, other rates)."""
    work = pathlib.Path(work)
    work.mkdir(parents=True, exist_ok=True)
    out = []
    if which == "tune":
        rate = 48000
        en = sentence_clips(work, rate, "en", 40)
        speech, spans = lay_out(en, rate, seed=27)
        n = len(speech)
        for level in (-60, -70):
            out.append(Recording(f"real, pink {level}", rate, speech, db_rms(level) * pink(work, rate, n), spans,
                                 db_rms(level)))
        out.append(Recording("real, babble -45", rate, speech, db_rms(-45) * babble(work, rate, n, "espeak"), spans,
                             db_rms(-45)))
        out.append(Recording("real, music -40", rate, speech, db_rms(-40) * music(work, rate, n), spans, db_rms(-40)))
        wet = room(work, rate, speech)
        out.append(Recording("real, room, pink -60", rate, wet, db_rms(-60) * pink(work, rate, n), spans, db_rms(-60),
                             room_tail=True))
        out.append(Recording("real, digital silence", rate, speech, np.zeros(n), spans, 0.0))
        reading, rspans = reading_layout(work, rate, seed=5)
        out.append(Recording("reading, pink -60", rate, reading, db_rms(-60) * pink(work, rate, len(reading)), rspans,
                             db_rms(-60)))
        tts = espeak_clips(work, rate, ESPEAK_VOICES, 0, 40)
        tspeech, tspans = lay_out(tts, rate, seed=20)
        out.append(Recording("espeak-ng, pink -60", rate, tspeech, db_rms(-60) * pink(work, rate, len(tspeech)), tspans,
                             db_rms(-60)))
    else:
        for rate, source, seed in ((44100, "fr", 31), (16000, "es", 32)):
            clips = sentence_clips(work, rate, source, 36)
            speech, spans = lay_out(clips, rate, seed=seed, peaks=(-42, -6), pauses=(0.55, 1.8))
            n = len(speech)
            out.append(Recording(f"{source} {rate // 1000} kHz, pink -65", rate, speech,
                                 db_rms(-65) * pink(work, rate, n, seed=7), spans, db_rms(-65)))
            out.append(Recording(f"{source} {rate // 1000} kHz, babble -42", rate, speech,
                                 db_rms(-42) * babble(work, rate, n, "en", seed=seed), spans, db_rms(-42)))
            out.append(Recording(f"{source} {rate // 1000} kHz, music on hold -45", rate, speech,
                                 db_rms(-45) * music_on_hold(work, rate, n), spans, db_rms(-45)))
        rate = 48000
        en = sentence_clips(work, rate, "en", 36, offset=1)
        speech, spans = lay_out(en, rate, seed=33, peaks=(-40, -4))
        n = len(speech)
        wet = room(work, rate, speech)
        out.append(Recording("real (others), room, pink -55", rate, wet, db_rms(-55) * pink(work, rate, n, seed=3),
                             spans, db_rms(-55), room_tail=True))
        out.append(Recording("real (others), digital silence", rate, speech, np.zeros(n), spans, 0.0))
        out.append(Recording("real (others), music -35", rate, speech, db_rms(-35) * music(work, rate, n, seed=9),
                             spans, db_rms(-35)))
    return out
