#!/usr/bin/env bash
# Makes docs/example.raw, the demo's recording: four spoken sentences at very
# different levels, with pauses, over a faint noise floor, as zek reads it
# (48 kHz, 16-bit signed little-endian, mono, no header).
# Needs espeak-ng and sox. The committed file was made with Debian 12's
# espeak-ng 1.51 and sox 14.4.2; other versions may differ slightly.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# sentence, its peak level in dBFS, and the pause after it in seconds
parts=(
  "This is zek, at a normal level.|-6|0.6"
  "Now a whisper, forty decibels down.|-40|0.6"
  "And now a shout, near full scale!|-1|0.6"
  "Quiet again, twenty six down.|-26|0.4"
)
files=()
for k in "${!parts[@]}"; do
  IFS='|' read -r text peak pause <<<"${parts[$k]}"
  espeak-ng -v en-us -s 180 -w "$tmp/said$k.wav" "$text"
  sox -R "$tmp/said$k.wav" -r 48000 -c 1 -b 16 "$tmp/part$k.wav" \
    silence 1 0.02 0.3% reverse silence 1 0.02 0.3% reverse gain -n "$peak" pad 0 "$pause"
  files+=("$tmp/part$k.wav")
done
sox -R "${files[@]}" "$tmp/speech.wav" pad 0.25 0

# A noise floor near -70 dBFS RMS, as from a real microphone, so that the
# pauses are not digital silence.
len=$(soxi -D "$tmp/speech.wav")
sox -R -n -r 48000 -c 1 -b 16 "$tmp/noise.wav" synth "$len" whitenoise vol 0.0005
sox -R -m -v 1 "$tmp/speech.wav" -v 1 "$tmp/noise.wav" -t raw -r 48000 -e signed -b 16 -c 1 example.raw
echo "docs/example.raw: $(($(stat -c %s example.raw) / 2)) samples"
