#!/usr/bin/env bash
# ffmpeg with zek's LADSPA plugin against ffmpeg passing the audio through
# (-af anull), on the same 40-minute 48 kHz mono WAV (speech at four levels,
# docs/example.raw repeated) in the page cache and to the same WAV output.
# Also the plugin given 16384 frames at a time (asetnsamples) rather than
# the demuxer's packets, and, with LADSPA's example amplifier installed
# (ladspa-sdk), a plugin that does nothing but multiply: what ffmpeg's own
# LADSPA path costs.
# Runs alternate, so that drift on a shared machine hits every command alike;
# prints the median wall and CPU (user + system) seconds and their ratios to
# anull.
#
#   bench/plugin_bench.sh [runs]        (BUILD=build, WORK=dir)
set -euo pipefail

runs=${1:-7}
here=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$here/build}
work=${WORK:-$(mktemp -d /tmp/zek-plugin-bench.XXXXXX)}
export LADSPA_PATH=$build/plugins/ladspa:/usr/lib/ladspa
[ -f "$build/plugins/ladspa/zek.so" ] || { echo "build the plugins first: cmake -S . -B build && cmake --build build" >&2; exit 1; }
for tool in ffmpeg sox; do command -v $tool >/dev/null || { echo "needs $tool" >&2; exit 1; }; done
[ -x /usr/bin/time ] || { echo "needs GNU time (apt-get install time)" >&2; exit 1; }

in=$work/long.wav
[ -f "$in" ] || sox -t raw -r 48000 -e signed -b 16 -c 1 "$here/docs/example.raw" "$in" repeat 239 # 40 minutes
cat "$in" > /dev/null

names=(anull zek "zek, 16384")
filters=(anull "ladspa=f=zek:p=zek_mono:l=1" "asetnsamples=n=16384:p=0,ladspa=f=zek:p=zek_mono:l=1")
if [ -f /usr/lib/ladspa/amp.so ]; then
  names+=("amplifier")
  filters+=("ladspa=f=amp:p=amp_mono:c=c0=1")
fi

for ((r = 0; r < runs; r++)); do
  for k in "${!names[@]}"; do
    sync # the previous run's output is written back first, not during this one
    /usr/bin/time -f "%e %U %S" -o "$work/time" \
      ffmpeg -nostdin -loglevel error -y -i "$in" -af "${filters[$k]}" "$work/out.wav"
    awk '{ print $1, $2 + $3 }' "$work/time" >> "$work/times.$k"
    rm -f "$work/out.wav"
  done
done

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
printf '%-12s %10s %8s %10s %8s\n' filter "wall s" "x anull" "CPU s" "x anull"
for k in "${!names[@]}"; do
  wall=$(cut -d' ' -f1 "$work/times.$k" | median)
  cpu=$(cut -d' ' -f2 "$work/times.$k" | median)
  [ "$k" = 0 ] && { wall0=$wall cpu0=$cpu; }
  awk -v n="${names[$k]}" -v w="$wall" -v w0="$wall0" -v c="$cpu" -v c0="$cpu0" \
    'BEGIN { printf "%-12s %10.2f %8.2f %10.2f %8.2f\n", n, w, w / w0, c, c / c0 }'
done
echo "($runs runs each, $(date +%F), input $(soxi -d "$in") in $work)"
