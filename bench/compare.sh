#!/usr/bin/env bash
# End-to-end speed of zek against `cat` of the same file and against peer
# tools, on a speech-like recording of at least 40 minutes in the page cache.
# Runs alternate between commands so that drift on a shared machine hits all
# of them alike; prints medians, ratios to cat, and peak resident memory.
#
#   bench/compare.sh [runs]        (ZEK=path/to/zek, MINUTES=41, WORK=dir)
set -euo pipefail

source "$(dirname "$0")/common.sh"
in=$work/long.raw
# The same recording as a WAV and a FLAC file, for the audio-file path.
[ -f "$work/long.wav" ] || sox "${raw[@]}" "$in" "$work/long.wav"
[ -f "$work/long.flac" ] || sox "$work/long.wav" "$work/long.flac"
cat "$in" "$work/short.raw" "$work/long.wav" "$work/long.flac" > /dev/null # into the page cache

names=(cat zek)
cmds=("cat '$in' > '$work/out'" "'$zek' '$in' '$work/out'")
if command -v ffmpeg >/dev/null; then
  for f in dynaudnorm speechnorm; do
    names+=("ffmpeg $f")
    cmds+=("ffmpeg -nostdin -loglevel error -y -f s16le -ar 48000 -ac 1 -i '$in' -af $f -f s16le '$work/out'")
  done
fi
names+=("sox compand")
cmds+=("sox -V1 ${raw[*]} '$in' ${raw[*]} '$work/out' compand 0.3,1 6:-70,-60,-20 -5 -90 0.2")
# Audio files: WAV to WAV against cat of the WAV, FLAC to FLAC against
# libsndfile's own converter (the codec is the floor there).
audio_names=("cat in.wav > out.wav" "zek in.wav out.wav")
audio_cmds=("cat '$work/long.wav' > '$work/out.wav'" "'$zek' '$work/long.wav' '$work/out.wav'")
if command -v sndfile-convert >/dev/null; then
  audio_names+=("sndfile-convert in.flac out.flac" "zek in.flac out.flac")
  audio_cmds+=("sndfile-convert '$work/long.flac' '$work/out.flac'" "'$zek' '$work/long.flac' '$work/out.flac'")
fi
first_audio=${#cmds[@]}
names+=("${audio_names[@]}")
cmds+=("${audio_cmds[@]}")

# One timed run: wall milliseconds and peak RSS in KiB, appended to a file per command.
timed() {
  local k=$1 t0 t1
  sync # the previous run's output is written back first, not during this one
  t0=$(date +%s%N)
  /usr/bin/time -f %M -o "$work/rss" sh -c "${cmds[$k]}"
  t1=$(date +%s%N)
  echo "$(( (t1 - t0) / 1000000 )) $(cat "$work/rss")" >> "$work/times.$k"
  rm -f "$work/out" "$work/out.wav" "$work/out.flac"
}

rm -f "$work"/times.*
for ((r = 0; r < runs; r++)); do
  for k in "${!cmds[@]}"; do timed "$k"; done
done

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
cat_ms=$(cut -d' ' -f1 "$work/times.0" | median)
zek_ms=$(cut -d' ' -f1 "$work/times.1" | median)
size_mb=$(( $(stat -c %s "$in") / 1000000 ))
echo "Input: $size_mb MB ($(( $(stat -c %s "$in") / 96000 / 60 )) min of 48 kHz mono), $runs alternating runs, $(date -u +%F), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo
echo "| command | median ms | × cat | zek is × faster | peak RSS MiB |"
echo "|---|---:|---:|---:|---:|"
for ((k = 0; k < first_audio; k++)); do
  ms=$(cut -d' ' -f1 "$work/times.$k" | median)
  rss=$(cut -d' ' -f2 "$work/times.$k" | sort -n | tail -1)
  awk -v n="${names[$k]}" -v ms="$ms" -v c="$cat_ms" -v z="$zek_ms" -v rss="$rss" \
    'BEGIN { printf "| %s | %d | %.2f | %.1f | %.1f |\n", n, ms, ms / c, ms / z, rss / 1024 }'
done

echo
echo "Audio files, the same recording (WAV $(( $(stat -c %s "$work/long.wav") / 1000000 )) MB, FLAC $(( $(stat -c %s "$work/long.flac") / 1000000 )) MB): each zek against the command before it"
echo
echo "| command | median ms | × the command before | peak RSS MiB |"
echo "|---|---:|---:|---:|"
for ((k = first_audio; k < ${#cmds[@]}; k++)); do
  ms=$(cut -d' ' -f1 "$work/times.$k" | median)
  base=$(cut -d' ' -f1 "$work/times.$(( k - (k - first_audio) % 2 ))" | median)
  rss=$(cut -d' ' -f2 "$work/times.$k" | sort -n | tail -1)
  awk -v n="${names[$k]}" -v ms="$ms" -v b="$base" -v rss="$rss" \
    'BEGIN { printf "| %s | %d | %.2f | %.1f |\n", n, ms, ms / b, rss / 1024 }'
done

# Memory must not grow with the input: the same peak for 4 minutes and for
# all of it, raw, WAV and FLAC alike.
[ -f "$work/short.wav" ] || sox "${raw[@]}" "$work/short.raw" "$work/short.wav"
[ -f "$work/short.flac" ] || sox "$work/short.wav" "$work/short.flac"
echo
for kind in raw wav flac; do
  /usr/bin/time -f %M -o "$work/rss" "$zek" "$work/short.$kind" "$work/out.$kind"
  short_rss=$(cat "$work/rss")
  /usr/bin/time -f %M -o "$work/rss" "$zek" "$work/long.$kind" "$work/out.$kind"
  echo "zek peak RSS, $kind: $short_rss KiB on 4 minutes, $(cat "$work/rss") KiB on $((minutes)) minutes"
  rm -f "$work/out.$kind"
done
[ -n "${WORK:-}" ] || rm -rf "$work"
