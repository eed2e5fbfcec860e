#!/usr/bin/env bash
# A speech corpus levelled four ways, against copying it: 10,000 WAV files of
# 3 s at 16 kHz mono (960 MB) in 100 folders, in memory (/dev/shm), the
# outputs there too.
#
#   bench/corpus.sh [ROUNDS] [FILES]
#
# Each round runs, one after the other: cp -r; zek -j 2 -o; the README's
# xargs -P 2 line (one zek process per file); the Dask recipe on a local
# cluster of 2 single-threaded workers (started by the recipe, counted in its
# time). Medians over the rounds, and each as a ratio to the copy and to the
# batch mode. Then the batch mode's peak resident memory at a tenth of the
# files and at all of them. ZEK (default build/zek) and PYTHON (default
# build/python/venv/bin/python, with zek installed) may be set.
set -euo pipefail
rounds=${1:-5}
files=${2:-10000}
here=$(cd "$(dirname "$0")/.." && pwd)
zek=${ZEK:-$here/build/zek}
python=${PYTHON:-$here/build/python/venv/bin/python}
work=$(mktemp -d /dev/shm/zek-corpus.XXXXXX)
trap 'rm -rf "$work"' EXIT
[ -x "$zek" ] || { echo "build zek first" >&2; exit 1; }
command -v sox >/dev/null || { echo "needs sox" >&2; exit 1; }

# One utterance, copied: every file the same size, as in a corpus cut into
# utterances; the copies defeat nothing (zek reads and writes each whole).
if command -v espeak-ng >/dev/null; then
  espeak-ng -w "$work/speech.wav" "Automatic gain control raises quiet speech and holds loud passages under a ceiling."
  sox "$work/speech.wav" -r 16000 -c 1 -b 16 "$work/one.wav" gain -n -20 pad 0 3 trim 0 3
else
  sox -n -r 16000 -c 1 -b 16 "$work/one.wav" synth 3 pinknoise tremolo 2 80 gain -25
fi
make_corpus() { # DIR COUNT: 100 folders, each of COUNT/100 copies, by one cp per folder
  local per=$(($2 / 100)) d k
  mkdir -p "$1/spk0"
  for ((k = 0; k < per; k++)); do cp "$work/one.wav" "$1/spk0/utt$k.wav"; done
  for ((d = 1; d < 100; d++)); do cp -r "$1/spk0" "$1/spk$d"; done
}
make_corpus "$work/in" "$files"

ms() { # runs "$@", prints its wall time in ms
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null 2>&1
  t1=$(date +%s%N)
  echo $(((t1 - t0) / 1000000))
}
fresh() { rm -rf "$work/out"; sync; }
copy() { cp -r "$work/in" "$work/out"; }
batch() { "$zek" -j 2 -o "$work/out" "$work/in"; }
xargs_line() {
  mkdir -p "$work/out"
  cd "$work" && find in -name '*.wav' -print0 | xargs -0 -P 2 -n 1 sh -c 'zek "$1" "out/${1##*/}"' sh
}
dask_recipe() { "$python" "$here/examples/level_corpus.py" "$work/in" "$work/out"; }
export PATH=$(dirname "$zek"):$PATH

names=(copy batch xargs_line dask_recipe)
declare -A times
for ((r = 0; r < rounds; r++)); do
  for n in "${names[@]}"; do
    if [ "$n" = dask_recipe ] && ! "$python" -c 'import zek, distributed' 2>/dev/null; then continue; fi
    fresh
    times[$n]+="$(ms "$n") "
  done
done
median() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'; }
copy_ms=$(median "${times[copy]}")
batch_ms=$(median "${times[batch]}")
echo "$files WAV files of 3 s at 16 kHz on /dev/shm, $rounds rounds, medians:"
printf '| %-44s | %9s | %7s | %9s |\n' command "median ms" "x cp -r" "x zek -o"
for n in "${names[@]}"; do
  [ -n "${times[$n]:-}" ] || continue
  m=$(median "${times[$n]}")
  printf '| %-44s | %9d | %7.2f | %9.2f |\n' "$n" "$m" "$(bc -l <<<"$m / $copy_ms")" "$(bc -l <<<"$m / $batch_ms")"
done

# Peak resident memory of the batch mode, at a tenth of the files and all.
make_corpus "$work/tenth" $((files / 10))
for set in tenth in; do
  rm -rf "$work/out"
  kib=$(/usr/bin/time -f %M "$zek" -j 2 --quiet -o "$work/out" "$work/$set" 2>&1 >/dev/null | tail -1)
  echo "peak RSS, $(find "$work/$set" -name '*.wav' | wc -l) files: $((kib / 1024)).$((kib % 1024 * 10 / 1024)) MiB"
done
