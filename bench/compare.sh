#!/usr/bin/env bash
# End-to-end speed of zek against `cat` of the same file, libsndfile's own
# converter and peer tools, on a speech-like recording of at least 40 minutes
# in the page cache, with the outputs written twice over: to OUTDIR (a
# disk-backed folder, where the kernel's writeback sets the pace) and to
# /dev/shm (memory, where zek's own cost shows). Then a corpus of short files
# (100 WAV files of 3 s at 16 kHz, one process each) and the start-up alone.
# Runs alternate between commands so that drift on a shared machine hits all
# of them alike; prints medians, ratios, and peak resident memory.
#
#   bench/compare.sh OUTDIR [runs]     (ZEK=path/to/zek, MINUTES=41, WORK=dir)
set -euo pipefail

[ $# -ge 1 ] && [ -d "$1" ] || { echo "usage: $0 OUTDIR [runs]   (OUTDIR: an existing folder on disk)" >&2; exit 2; }
outdir=$(cd "$1" && pwd)
shift
source "$(dirname "$0")/common.sh"
shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || { echo "needs a writable /dev/shm" >&2; exit 1; }
in=$work/long.raw
# The same recording as a WAV and a FLAC file, for the audio-file path.
[ -f "$work/long.wav" ] || sox "${raw[@]}" "$in" "$work/long.wav"
[ -f "$work/long.flac" ] || sox "$work/long.wav" "$work/long.flac"
cat "$in" "$work/short.raw" "$work/long.wav" "$work/long.flac" > /dev/null # into the page cache
# Rows that need an optional tool are left out without it: said here, once.
command -v sndfile-convert >/dev/null ||
  echo "$0: no sndfile-convert (Debian: sndfile-programs): the FLAC rows, timed against it, are left out" >&2
command -v ffmpeg >/dev/null || echo "$0: no ffmpeg: its dynaudnorm and speechnorm rows are left out" >&2

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
# The file system by its mounted type: stat -f names ext4 "ext2/ext3", whose
# magic number it shares.
fs_of() { df --output=fstype "$1" | tail -n 1; }

# Times `runs` rounds of the commands in `cmds` (each writes to $out), one of
# each per round: wall milliseconds and peak RSS in KiB in $work/times.K.
time_rounds() {
  local r k t0 t1
  rm -f "$work"/times.*
  for ((r = 0; r < runs; r++)); do
    for k in "${!cmds[@]}"; do
      sync # the previous run's output is written back first, not during this one
      t0=$(date +%s%N)
      /usr/bin/time -f %M -o "$work/rss" sh -c "${cmds[$k]}"
      t1=$(date +%s%N)
      echo "$(((t1 - t0) / 1000000)) $(cat "$work/rss")" >> "$work/times.$k"
      rm -f "$out"/zek-bench-out.*
    done
  done
}
ms_of() { cut -d' ' -f1 "$work/times.$1" | median; }
rss_of() { cut -d' ' -f2 "$work/times.$1" | sort -n | tail -1; }

# One table for outputs in folder $out: each zek run against the command
# before it (cat for raw and WAV, libsndfile's converter for FLAC, whose codec
# is the floor); with peers, they are set against cat of the raw file.
table() {
  out=$1
  local peers=$2 o=$1/zek-bench-out
  names=("cat in.raw > out.raw" "zek in.raw out.raw" "cat in.wav > out.wav" "zek in.wav out.wav")
  cmds=("cat '$in' > '$o.raw'" "'$zek' '$in' '$o.raw'" "cat '$work/long.wav' > '$o.wav'"
    "'$zek' '$work/long.wav' '$o.wav'")
  if command -v sndfile-convert >/dev/null; then
    names+=("sndfile-convert in.flac out.flac" "zek in.flac out.flac")
    cmds+=("sndfile-convert '$work/long.flac' '$o.flac'" "'$zek' '$work/long.flac' '$o.flac'")
  fi
  local pairs=${#cmds[@]}
  if [ "$peers" = peers ]; then
    if command -v ffmpeg >/dev/null; then
      for f in dynaudnorm speechnorm; do
        names+=("ffmpeg $f (raw)")
        cmds+=("ffmpeg -nostdin -loglevel error -y -f s16le -ar 48000 -ac 1 -i '$in' -af $f -f s16le '$o.raw'")
      done
    fi
    names+=("sox compand (raw)")
    cmds+=("sox -V1 ${raw[*]} '$in' ${raw[*]} '$o.raw' compand 0.3,1 6:-70,-60,-20 -5 -90 0.2")
  fi
  time_rounds
  echo
  echo "Outputs in $out ($(fs_of "$out")):"
  echo
  echo "| command | median ms | × the baseline | peak RSS MiB |"
  echo "|---|---:|---:|---:|"
  local k base
  for k in "${!cmds[@]}"; do
    if ((k < pairs)); then base=$(ms_of $((k - k % 2))); else base=$(ms_of 0); fi
    awk -v n="${names[$k]}" -v ms="$(ms_of "$k")" -v b="$base" -v rss="$(rss_of "$k")" \
      'BEGIN { printf "| %s | %d | %.2f | %.1f |\n", n, ms, ms / b, rss / 1024 }'
  done
}

# Short files: a corpus of 100 WAV files of 3 s at 16 kHz (the kind speech
# corpora hold by the hundred thousand), levelled one process per file into
# $out, against cat and sox doing the same; and the start-up alone.
small_files() {
  out=$1
  local corpus=$work/corpus o=$1/zek-bench-out
  if [ ! -f "$corpus/099.wav" ]; then
    mkdir -p "$corpus"
    sox "${raw[@]}" "$in" -r 16000 "$corpus/all.wav" trim 0 300
    for k in $(seq -w 0 99); do sox "$corpus/all.wav" "$corpus/$k.wav" trim "$((10#$k * 3))" 3; done
    rm "$corpus/all.wav"
  fi
  cat "$corpus"/*.wav > /dev/null
  local each="for f in '$corpus'/*.wav; do"
  names=("cat" "sox in.wav out.wav" "zek in.wav out.wav" "/bin/true" "sox --version" "zek --version")
  cmds=("$each cat \"\$f\" > '$o.wav'; done" "$each sox \"\$f\" '$o.wav'; done" "$each '$zek' \"\$f\" '$o.wav'; done"
    "for k in \$(seq 100); do /bin/true; done" "for k in \$(seq 100); do sox --version; done > /dev/null"
    "for k in \$(seq 100); do '$zek' --version; done > /dev/null")
  time_rounds
  echo
  echo "100 WAV files of 3 s at 16 kHz, one process per file, outputs in $out ($(fs_of "$out")); and 100 starts:"
  echo
  echo "| command | ms per file | × cat | × sox |"
  echo "|---|---:|---:|---:|"
  local k
  for k in "${!cmds[@]}"; do
    local b=$((k < 3 ? 0 : 3)) s=$((k < 3 ? 1 : 4))
    awk -v n="${names[$k]}" -v ms="$(ms_of "$k")" -v b="$(ms_of $b)" -v s="$(ms_of $s)" \
      'BEGIN { printf "| %s | %.2f | %.2f | %.2f |\n", n, ms / 100, ms / b, ms / s }'
  done
}

echo "Input: $(($(stat -c %s "$in") / 1000000)) MB ($(($(stat -c %s "$in") / 96000 / 60)) min of 48 kHz mono; WAV" \
  "$(($(stat -c %s "$work/long.wav") / 1000000)) MB, FLAC $(($(stat -c %s "$work/long.flac") / 1000000)) MB)," \
  "$runs alternating runs, medians, $(date -u +%F), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
table "$outdir" peers
table "$shm" nopeers
small_files "$shm"

# Memory must not grow with the input: the same peak for 4 minutes and for
# all of it, raw, WAV and FLAC alike.
[ -f "$work/short.wav" ] || sox "${raw[@]}" "$work/short.raw" "$work/short.wav"
[ -f "$work/short.flac" ] || sox "$work/short.wav" "$work/short.flac"
echo
for kind in raw wav flac; do
  /usr/bin/time -f %M -o "$work/rss" "$zek" "$work/short.$kind" "$shm/zek-bench-out.$kind"
  short_rss=$(cat "$work/rss")
  /usr/bin/time -f %M -o "$work/rss" "$zek" "$work/long.$kind" "$shm/zek-bench-out.$kind"
  echo "zek peak RSS, $kind: $short_rss KiB on 4 minutes, $(cat "$work/rss") KiB on $minutes minutes"
  rm -f "$shm/zek-bench-out.$kind"
done
[ -n "${WORK:-}" ] || rm -rf "$work"
