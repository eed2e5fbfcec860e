#!/usr/bin/env bash
# The GStreamer element in gst-launch-1.0, on a recording espeak-ng and sox
# made, against zek's own output for the same file and options: one table
# over rates, channel counts, sample formats and options. The element's
# output must be zek's bytes (float output taken back to 16 bits), aligned
# and of the same length: nothing late by the latency, nothing cut at the
# end. Then gst-inspect-1.0 must list the element and its properties.
# Usage: gstreamer_test.sh ZEK GST_PLUGIN_DIR GST_REGISTRY
set -euo pipefail
zek=$1
# GStreamer finds this build's element. The registry, its list of plugins,
# is the build's own, kept between runs: a new one takes seconds to make,
# and GStreamer reads a plugin again when its file changes.
export GST_PLUGIN_PATH=$2 GST_REGISTRY=$3
. "$(dirname "$0")/need_tools.sh"
need_tools gst-launch-1.0 gst-inspect-1.0 espeak-ng sox soxi
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zek-gstreamer-XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# Two sentences 30 dB apart.
espeak-ng -w "$tmp/loud.wav" "This sentence is spoken at a normal level."
espeak-ng -w "$tmp/quiet.wav" "And this one is whispered, far below it."
sox "$tmp/loud.wav" "$tmp/loud-.wav" gain -n -3
sox "$tmp/quiet.wav" "$tmp/quiet-.wav" gain -n -33
sox "$tmp/loud-.wav" "$tmp/quiet-.wav" "$tmp/speech.wav"

# Each channel at its own level, up to 18 dB down.
remix_for() {
  local c args=()
  for ((c = 0; c < $1; c++)); do args+=("1v$(awk -v c="$c" 'BEGIN { printf "%.3f", 1 / (1 + c % 4 * 2) }')"); done
  echo "${args[@]}"
}

failed=0
# rate channels format zek-options
while read -r rate channels format options; do
  options=${options//,/ }
  what="$channels channel(s) at $rate Hz, $format, zek ${options:-(defaults)}"
  encoding=(-e signed -b 16) to_float=()
  [ "$format" = f32 ] && encoding=(-e floating-point -b 32)
  # sox's float WAV of more than two channels names no channel layout, which
  # wavparse and wavenc need: that one is made 16-bit, and audioconvert
  # takes it to float (exactly: x / 32768) on its way to the element.
  if [ "$format" = f32 ] && [ "$channels" -gt 2 ]; then
    to_float=(audioconvert ! audio/x-raw,format=F32LE !)
    encoding=(-e signed -b 16)
  fi
  # shellcheck disable=SC2046 # the remix arguments are words
  sox -D "$tmp/speech.wav" -r "$rate" "${encoding[@]}" "$tmp/in.wav" remix $(remix_for "$channels")
  [ "$format" = f32 ] && encoding=(-e floating-point -b 32)
  props=()
  [[ $options == *--speech* ]] && props+=(speech-aware=true)
  [[ $options == *--link* ]] && props+=(link=true)
  [[ $options =~ --comp\ ([0-9.]+) ]] && props+=("compression=${BASH_REMATCH[1]}")
  # Live, the element's speech-aware mode looks 30 ms ahead: the tool's --live.
  zek_options=$options
  [[ $options == *--speech* ]] && zek_options+=" --live"
  # shellcheck disable=SC2086
  "$zek" $zek_options "$tmp/in.wav" "$tmp/zek.raw" 2>/dev/null # raw: the name asks for no container
  gst-launch-1.0 -q filesrc location="$tmp/in.wav" ! wavparse ! "${to_float[@]}" zek "${props[@]}" ! wavenc ! \
    filesink location="$tmp/gst.wav" || : > "$tmp/gst.wav"
  sox -V1 -D "$tmp/gst.wav" -e signed -b 16 -t raw "$tmp/gst.raw" 2>/dev/null || : > "$tmp/gst.raw"
  bits=$(soxi -V1 -b "$tmp/gst.wav" 2>/dev/null || echo none)
  if [ "$bits" != "${encoding[3]}" ]; then
    echo "FAILED: $what: the output has $bits-bit samples, not ${encoding[3]}-bit as the input"
    failed=1
  elif cmp -s "$tmp/zek.raw" "$tmp/gst.raw"; then
    echo "ok: $what"
  else
    echo "FAILED: $what: $(stat -c %s "$tmp/gst.raw") bytes, not zek's $(stat -c %s "$tmp/zek.raw") bytes"
    failed=1
  fi
done <<'EOF'
8000 1 s16
44100 1 f32 --speech,--comp,0.3
48000 2 s16 --link,--comp,0.6
22050 2 f32
96000 6 s16 --speech
16000 3 f32 --link,--speech
EOF

echo "== gst-inspect-1.0 zek"
out=$(gst-inspect-1.0 zek) || failed=1
for want in "Filter/Effect/Audio" "speech-aware" "compression" "link" "rate: \[ 8000, 96000 \]" "channels: \[ 1, 256 \]" \
  "format: { (string)S16LE, (string)F32LE }"; do
  grep -q -- "$want" <<<"$out" || { echo "FAILED: gst-inspect-1.0 zek does not show '$want'"; failed=1; }
done
grep -A2 '^  compression' <<<"$out"
all=$(gst-inspect-1.0) # grep -q would end it early, failing the pipe
grep -Eq '^zek: +zek: zek leveller$' <<<"$all" || { echo "FAILED: gst-inspect-1.0 does not list the element"; failed=1; }
exit $failed
