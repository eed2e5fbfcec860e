#!/usr/bin/env bash
# End-to-end speed of zek's speech-aware and linked modes against its default
# mode, on compare.sh's speech-like recording of at least 40 minutes in the
# page cache: raw mono samples, and the same recording as a 48 kHz stereo WAV
# file (the second channel a quieter copy, 0.4 s late). Runs alternate between the
# commands so that drift on a shared machine hits all of them alike; prints
# each mode's time and its ratio to the default mode on the same input: the
# median and the fastest wall time, and the median processor time (user +
# system), which other work on a shared machine disturbs less.
#
#   bench/modes.sh [runs]        (ZEK=path/to/zek, MINUTES=41, WORK=dir)
set -euo pipefail

source "$(dirname "$0")/common.sh"
in=$work/long.raw
[ -f "$work/stereo.wav" ] ||
  sox -M "${raw[@]}" "$in" "${raw[@]}" "$in" "$work/stereo.wav" remix 1 2v0.5 delay 0 0.4 trim 0 "$((minutes * 60))"
cat "$in" "$work/stereo.wav" > /dev/null # into the page cache

names=("raw mono" "raw mono --speech" "WAV stereo" "WAV stereo --speech" "WAV stereo --link" "WAV stereo --speech --link")
inputs=("$in" "$in" "$work/stereo.wav" "$work/stereo.wav" "$work/stereo.wav" "$work/stereo.wav")
flags=("" "--speech" "" "--speech" "--link" "--speech --link")
base=(0 0 2 2 2 2) # the default mode on the same input

timed() {
  local k=$1 t0 t1 out=$work/out.raw
  [ "${inputs[$k]}" = "$in" ] || out=$work/out.wav
  sync
  t0=$(date +%s%N)
  # shellcheck disable=SC2086 # the flags are words
  /usr/bin/time -f "%U %S" -o "$work/cpu" "$zek" ${flags[$k]} "${inputs[$k]}" "$out"
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000000 )) >> "$work/times.$k"
  awk '{ printf "%d\n", ($1 + $2) * 1000 }' "$work/cpu" >> "$work/cpu.$k"
  rm -f "$out"
}

rm -f "$work"/times.* "$work"/cpu.*
for ((r = 0; r < runs; r++)); do
  for k in "${!names[@]}"; do timed "$k"; done
done

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
echo "Input: $(( $(stat -c %s "$in") / 96000 / 60 )) min of 48 kHz speech-like audio, $runs alternating runs, $(date -u +%F), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo
echo "| input and mode | median wall ms | × default | fastest wall ms | × default | median CPU ms | × default |"
echo "|---|---:|---:|---:|---:|---:|---:|"
fastest() { sort -n | head -1; }
for k in "${!names[@]}"; do
  b=${base[$k]}
  awk -v n="${names[$k]}" -v ms="$(median < "$work/times.$k")" -v b="$(median < "$work/times.$b")" \
    -v f="$(fastest < "$work/times.$k")" -v fb="$(fastest < "$work/times.$b")" \
    -v c="$(median < "$work/cpu.$k")" -v cb="$(median < "$work/cpu.$b")" \
    'BEGIN { printf "| %s | %d | %.2f | %d | %.2f | %d | %.2f |\n", n, ms, ms / b, f, f / fb, c, c / cb }'
done
[ -n "${WORK:-}" ] || rm -rf "$work"
