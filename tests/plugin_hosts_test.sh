#!/usr/bin/env bash
# The plugins inside real hosts, on recordings made by sox, every output
# compared with zek's own for the same file and options: one table over
# hosts x channel layouts x options. ffmpeg's ladspa filter (l=1) and sox
# (-l) compensate the latency and must give zek's bytes; ffmpeg's lv2 filter
# and GStreamer do not, and must give them delayed by the latency (silence
# first, the last `latency` frames never out). Then lv2_validate and
# analyseplugin on the descriptions.
# Usage: plugin_hosts_test.sh ZEK LADSPA_DIR LV2_DIR EXAMPLE.raw
set -euo pipefail
zek=$1 example=$4
export LADSPA_PATH=$2 LV2_PATH=$3
. "$(dirname "$0")/need_tools.sh"
need_tools ffmpeg sox gst-launch-1.0 lv2_validate analyseplugin
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zek-plugins-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
export GST_REGISTRY=$tmp/gst-registry.bin # GStreamer finds this build's plugins, not a cached list

# Speech at four levels far apart: mono at 44.1 kHz, and stereo at 48 kHz
# with the right channel 12 dB down.
sox -D -t raw -r 48000 -e signed -b 16 -c 1 "$example" -r 44100 "$tmp/mono.wav"
sox -D -t raw -r 48000 -e signed -b 16 -c 1 "$example" "$tmp/stereo.wav" remix 1 1v0.25

# host LAYOUT PLUGIN SPEECH COMP LINK IN OUT; prints "exact" or "delayed".
ffmpeg_ladspa() {
  ffmpeg -nostdin -loglevel error -y -i "$6" -af "ladspa=f=zek:p=zek_$2:l=1:c=c0=$3|c1=$4$([ "$2" = stereo ] && echo "|c2=$5")" "$7"
  echo exact
}
ffmpeg_lv2() { # its lv2 filter would mix stereo down for a mono plugin: one plugin per channel instead
  local p="lv2=p=urn\\\\:zek\\\\:$2:c=speech=$3|comp=$4"
  [ "$2" = stereo ] && p+="|link=$5"
  [ "$1" = split ] && p="channelsplit[l][r];[l]$p[a];[r]$p[b];[a][b]amerge"
  ffmpeg -nostdin -loglevel error -y -i "$6" -af "$p" "$7"
  echo delayed
}
sox_ladspa() {
  sox -D "$6" "$7" ladspa -l $([ "$1" = split ] && echo -r) zek "zek_$2" "$3" "$4" $([ "$2" = stereo ] && echo "$5")
  echo exact
}
gst() { # ELEMENT SPEECH-PROPERTY COMP-PROPERTY SPEECH COMP LINK IN OUT
  gst-launch-1.0 -q filesrc location="$7" ! wavparse ! audioconvert dithering=none ! "$1" "$2=$4" "$3=$5" \
    $([ "$6" != - ] && echo "link=$6") ! audioconvert dithering=none ! audio/x-raw,format=S16LE ! wavenc ! filesink location="$8"
  echo delayed
}
bool() { [ "$1" = 1 ] && echo true || echo false; }
link_of() { [ "$1" = stereo ] && bool "$2" || echo -; }
gst_ladspa() { gst "ladspa-zek-so-zek-$2" speech-aware compression "$(bool "$3")" "$4" "$(link_of "$2" "$5")" "$6" "$7"; }
gst_lv2() { gst "urn-zek-$2" speech comp "$(bool "$3")" "$4" "$(link_of "$2" "$5")" "$6" "$7"; }

failed=0
for host in ffmpeg_ladspa ffmpeg_lv2 sox_ladspa gst_ladspa gst_lv2; do
  for layout in mono stereo split; do # split: stereo through the mono plugin, one instance per channel
    [ "$layout" = split ] && [[ $host == gst_* ]] && continue # GStreamer would mix it down
    plugin=$([ "$layout" = split ] && echo mono || echo "$layout")
    in=$tmp/$([ "$layout" = mono ] && echo mono || echo stereo).wav
    # The plugins level live: the speech-aware mode's short look-ahead, zek's --live.
    for options in "" "--speech --live --comp 0.3" "--link --comp 0.6"; do
      [[ $options == *--link* ]] && [ "$plugin" = mono ] && continue
      speech=0 comp=1 link=0
      [[ $options == *--speech* ]] && speech=1
      [[ $options == *--link* ]] && link=1
      [[ $options =~ --comp\ ([0-9.]+) ]] && comp=${BASH_REMATCH[1]}
      what="$host, $layout, zek ${options:-(defaults)}"
      # shellcheck disable=SC2086 # the options are words
      "$zek" $options "$in" "$tmp/zek.wav" >/dev/null
      how=$("$host" "$layout" "$plugin" "$speech" "$comp" "$link" "$in" "$tmp/host.wav") || : > "$tmp/host.wav"
      sox "$tmp/zek.wav" -t raw "$tmp/zek.raw"
      sox "$tmp/host.wav" -t raw "$tmp/host.raw" 2>/dev/null || : > "$tmp/host.raw"
      size=$(stat -c %s "$tmp/zek.raw")
      # the latency in bytes: one window, 10 ms in frames rounded to a multiple
      # of 4, and in the speech-aware mode six hops of look-ahead more
      window=$((4 * (($(soxi -r "$in") + 200) / 400)))
      [ "$speech" = 1 ] && window=$((window + 6 * window / 2))
      delay=$([ "$how" = delayed ] && echo $((window * $(soxi -c "$in") * 2)) || echo 0)
      if [ "$(stat -c %s "$tmp/host.raw")" = "$size" ] &&
        cmp -s <(head -c "$delay" "$tmp/host.raw") <(head -c "$delay" /dev/zero) &&
        cmp -s <(tail -c +$((delay + 1)) "$tmp/host.raw") <(head -c $((size - delay)) "$tmp/zek.raw"); then
        echo "ok: $what ($how)"
      else
        echo "FAILED: $what: not zek's output$([ "$how" = delayed ] && echo ", delayed by the latency")"
        failed=1
      fi
    done
  done
done

echo "== lv2_validate"
out=$(lv2_validate "$LV2_PATH"/zek.lv2/*.ttl 2>&1) || failed=1
echo "$out" | grep -v '^Skipping'
grep -q '^Found 0 errors' <<<"$out" || failed=1
echo "== analyseplugin"
out=$(analyseplugin "$LADSPA_PATH/zek.so") || failed=1
echo "$out"
[ "$(grep -c '"latency" output, control' <<<"$out")" = 2 ] || { echo "FAILED: a latency output per plugin"; failed=1; }
exit $failed
