# What the end-to-end benches (compare.sh, modes.sh) share, sourced by them:
# their settings (runs from the first argument; ZEK, MINUTES and WORK from
# the environment), the programs they need, and the recording they time:
# a speech-like passage repeated to MINUTES minutes of 48 kHz mono raw
# samples in $work/long.raw, its first 4 minutes in $work/short.raw.

runs=${1:-7}
here=$(cd "$(dirname "$0")/.." && pwd)
zek=${ZEK:-$here/build/zek}
minutes=${MINUTES:-41}
work=${WORK:-$(mktemp -d /tmp/zek-bench.XXXXXX)}
mkdir -p "$work"
raw=(-t raw -r 48000 -e signed -b 16 -c 1)
[ -x "$zek" ] || { echo "build zek first: cmake -S . -B build && cmake --build build" >&2; exit 1; }
command -v sox >/dev/null || { echo "needs sox (apt-get install sox)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time (apt-get install time)" >&2; exit 1; }

# A 30-second passage: speech at three levels far apart, with pauses, then
# repeated to the wanted length.
make_input() {
  local unit=$work/unit.raw
  if command -v espeak-ng >/dev/null; then
    espeak-ng -w "$work/speech.wav" "Automatic gain control raises quiet speech and holds loud passages under a ceiling. \
      The gain glides from hop to hop, so that nothing pumps and nothing clips."
    for v in 1.0 0.05 0.004; do
      sox "$work/speech.wav" "${raw[@]}" "$work/part-$v.raw" rate 48000 gain -n -1 vol "$v" pad 0 1.5
    done
    cat "$work"/part-*.raw > "$unit"
  else
    sox -n "${raw[@]}" "$unit" synth 30 pinknoise tremolo 0.3 90 vol 0.3
  fi
  local unit_bytes total=$((minutes * 60 * 48000 * 2))
  unit_bytes=$(stat -c %s "$unit")
  : > "$work/long.raw"
  while [ "$(stat -c %s "$work/long.raw")" -lt "$total" ]; do cat "$unit" >> "$work/long.raw"; done
  head -c $((4 * 60 * 48000 * 2)) "$work/long.raw" > "$work/short.raw"
}

[ -f "$work/long.raw" ] || make_input
