#!/usr/bin/env bash
# Loudness, end to end, against the default mode and against ffmpeg's meter,
# in one run: on a 40-minute 48 kHz mono WAV file of speech in memory
# (/dev/shm), the median wall time of `zek IN OUT`, `zek --target -16
# --true-peak -1 IN OUT`, `zek --preset podcast IN OUT`, the meter alone
# through <agc/loudness.h> (bench/loudness_meter), `zek-report --json IN OUT`
# (which replays the levelling and measures both files), ffmpeg's
# `-af ebur128=peak=true` and its loudnorm, and `zek --target` 0.4 LU over
# the default output's loudness (where the limiter acts); runs alternate between the
# commands, so that a busy machine slows them alike. Prints each time and the
# ratios the README quotes, and what each meter says of the output.
#
#   bench/loudness.sh [runs]      (BUILD=build, WORK=/dev/shm/zek-loudness)
set -euo pipefail

runs=${1:-5}
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build}
work=${WORK:-/dev/shm/zek-loudness}
zek=$build/zek report=$build/zek-report meter=$build/bench/loudness_meter
for p in "$zek" "$report" "$meter"; do [ -x "$p" ] || { echo "build first: cmake --build build (no $p)" >&2; exit 1; }; done
for p in sox ffmpeg; do command -v $p >/dev/null || { echo "needs $p" >&2; exit 1; }; done
mkdir -p "$work"
in=$work/speech40.wav

# Asterisk's prompts (Debian's asterisk-core-sounds-en-wav) one after the
# other at 48 kHz, repeated to 40 minutes; espeak-ng's voice if they are missing.
if [ ! -f "$in" ]; then
  prompts=(/usr/share/asterisk/sounds/en_US_f_Allison/*.wav)
  if [ -f "${prompts[0]}" ]; then
    sox "${prompts[@]:0:300}" -r 48000 -b 16 "$work/unit.wav"
  else
    espeak-ng -w "$work/espeak.wav" "Automatic gain control raises quiet speech and holds loud passages under a ceiling."
    sox "$work/espeak.wav" -r 48000 -b 16 "$work/unit.wav" pad 0 1
  fi
  unit=$(soxi -D "$work/unit.wav")
  repeats=$(awk -v u="$unit" 'BEGIN { print int(2400 / u) + 1 }')
  sox $(for _ in $(seq "$repeats"); do echo "$work/unit.wav"; done) "$work/long.wav"
  sox "$work/long.wav" "$in" trim 0 2400
  rm -f "$work/long.wav"
fi

# A target 0.4 LU over the loudness of the default mode's output, as a
# recording whose levelled loudness is -16.4 LUFS meets --target -16: the
# levelled speech's peaks stand at full scale, so the limiter acts all
# through it and the gain is measured pass after pass.
"$zek" "$in" "$work/out.wav"
over=$("$meter" "$work/out.wav" | awk '{ printf "%.1f", $2 + 0.4 }')
names=("zek (default)" "zek --target -16 --true-peak -1" "zek --preset podcast" "meter alone"
  "zek-report --json" "ffmpeg ebur128=peak=true" "ffmpeg loudnorm" "zek --target $over --true-peak -1")
run_one() {
  case $1 in
    0) "$zek" "$in" "$work/out.wav" ;;
    1) "$zek" --target -16 --true-peak -1 "$in" "$work/target.wav" ;;
    2) "$zek" --preset podcast "$in" "$work/podcast.wav" ;;
    3) "$meter" "$in" > "$work/meter.txt" ;;
    4) "$report" --json "$in" "$work/out.wav" > "$work/report.json" ;;
    5) ffmpeg -nostats -v quiet -i "$in" -af ebur128=peak=true -f null - ;;
    6) ffmpeg -nostats -v quiet -i "$in" -af loudnorm=I=-16:TP=-1 -ar 48000 -y "$work/loudnorm.wav" ;;
    7) "$zek" --target "$over" --true-peak -1 "$in" "$work/over.wav" ;;
  esac
}
declare -A times
for ((r = 0; r < runs; ++r)); do
  for k in "${!names[@]}"; do
    t0=$(date +%s%N)
    run_one "$k"
    t1=$(date +%s%N)
    times[$k]+="$(((t1 - t0) / 1000000)) "
  done
done
median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
declare -A med
for k in "${!names[@]}"; do med[$k]=$(median "${times[$k]}"); done
printf '%-34s %9s\n' "40 min, 48 kHz mono WAV in /dev/shm" "median ms"
for k in "${!names[@]}"; do printf '%-34s %9s\n' "${names[$k]}" "${med[$k]}"; done
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo
echo "--target -16 --true-peak -1 / default:  $(ratio "${med[1]}" "${med[0]}")x"
echo "--preset podcast / default:             $(ratio "${med[2]}" "${med[0]}")x"
echo "--target $over --true-peak -1 / default: $(ratio "${med[7]}" "${med[0]}")x"
echo "ffmpeg ebur128 / meter alone:           $(ratio "${med[5]}" "${med[3]}")x"
echo "ffmpeg ebur128 / zek-report --json:     $(ratio "${med[5]}" "${med[4]}")x"
echo "ffmpeg loudnorm / --preset podcast:     $(ratio "${med[6]}" "${med[2]}")x"
echo
echo "meter alone: $(cat "$work/meter.txt")"
for f in target podcast loudnorm over; do
  echo "$f: $(ffmpeg -nostats -hide_banner -i "$work/$f.wav" -af ebur128=peak=true -f null - 2>&1 |
    grep -A16 Summary | grep -E 'I:|Peak:' | tr -s ' ' | tr '\n' ' ')"
done
