#!/usr/bin/env bash
# The README's live microphone chain: a private PipeWire and WirePlumber
# (their own D-Bus session, runtime and configuration directories) with
# examples/pipewire/zek-levelled-mic.conf installed as the README says, a
# recording played in as the microphone and recorded from "Levelled
# microphone". Float samples on both ends, so that PipeWire converts nothing.
# The chain runs on silence until the player's first buffer arrives (whole
# quanta of it), and the player's end leaves the last quanta in the chain:
# the recording must be, as far as it goes, zek's output for the recording
# after that much silence, which is searched for. A recorder that is late
# on a loaded machine loses whole quanta: they are skipped, a few at most.
# Usage: pipewire_test.sh ZEK LV2_DIR CONF EXAMPLE.raw   (ZEK_KEEP=1 keeps its files and logs)
set -euo pipefail
zek=$1 conf=$3 example=$4
export LV2_PATH=$2
. "$(dirname "$0")/need_tools.sh"
need_tools pipewire wireplumber pw-play pw-record pw-cli pw-link pw-metadata dbus-run-session sox python3
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zek-pipewire-XXXXXX")
trap '[ -n "${ZEK_KEEP:-}" ] || rm -rf "$tmp"' EXIT
export XDG_RUNTIME_DIR=$tmp/run XDG_CONFIG_HOME=$tmp/config XDG_STATE_HOME=$tmp/state
mkdir -m 700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d"
# The chain takes the test's microphone rather than the default one.
sed 's|#target.object = .*|target.object = "zek_test_mic"|' "$conf" > "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/zek.conf"
grep -q '^ *target.object = "zek_test_mic"' "$XDG_CONFIG_HOME/pipewire/pipewire.conf.d/zek.conf"

raw=(-t raw -r 48000 -e signed -b 16 -c 1)
sox "${raw[@]}" "$example" "$tmp/in.wav" trim 0 3
sox "$tmp/in.wav" -e floating-point -b 32 "$tmp/in-float.wav"

cat > "$tmp/session.sh" <<'EOF'
set -u
cd "$1"
pipewire > pipewire.log 2>&1 &
wireplumber > wireplumber.log 2>&1 &
until pw-cli ls Node 2>/dev/null | grep -q 'node.name = "zek_levelled_mic"'; do sleep 0.1; done
# Long quanta (85 ms): slack for a loaded machine, where a late cycle would
# disturb the chain's input in the middle of the recording.
pw-metadata -n settings 0 clock.force-quantum 4096 >/dev/null
# The player is the microphone; it waits, linked to the chain, until the recorder sets the chain going.
pw-play -P '{ media.class = Audio/Source node.name = zek_test_mic }' in-float.wav &
play=$!
until pw-link -l | grep -q zek_test_mic; do sleep 0.1; done
pw-record --target zek_levelled_mic --format f32 --rate 48000 --channels 1 out.wav &
record=$!
wait $play
sleep 0.5
kill -INT $record
wait $record
kill %1 %2
wait
EOF
if ! timeout 60 dbus-run-session -- bash "$tmp/session.sh" "$tmp" 2>"$tmp/session.err"; then
  cat "$tmp/session.err" "$tmp"/*.log
  echo "FAILED: the PipeWire session did not run to its end"
  exit 1
fi
sox -V1 -D "$tmp/out.wav" "${raw[@]}" "$tmp/out.raw"

python3 - "$zek" "$tmp" <<'EOF'
import array, subprocess, sys, wave
zek, tmp = sys.argv[1:]
def samples(data):
    a = array.array('h')
    a.frombytes(data)
    if sys.byteorder == 'big': a.byteswap()
    return a
def strip(a):
    k = next((i for i, v in enumerate(a) if v), len(a))
    return a[k:]
with wave.open(tmp + '/in.wav') as w: file = w.readframes(w.getnframes())
got = strip(samples(open(tmp + '/out.raw', 'rb').read()))
# How far into `want` the recording follows it, sample for sample, with the
# whole quanta a late recorder lost skipped (each a jump of one quantum on in
# `want`), when it is silence after that; and how many quanta were lost.
QUANTUM = 4096
def agreed(got, want):
    i = j = lost = 0
    while i < len(got) and j < len(want):
        if got[i:i + QUANTUM] == want[j:j + QUANTUM]:
            i, j = i + QUANTUM, j + QUANTUM
            continue
        m = min(QUANTUM, len(got) - i, len(want) - j)
        k = next((k for k in range(m) if got[i + k] != want[j + k]), m)
        i, j = i + k, j + k
        if not any(got[i:]) or got[i:i + 64] != want[j + QUANTUM:j + QUANTUM + 64]:
            break
        j, lost = j + QUANTUM, lost + 1
    return (j, lost) if not any(got[i:]) else (0, lost)
for silence in range(0, 65536, 256):
    with wave.open(tmp + '/padded.wav', 'wb') as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(48000)
        w.writeframes(bytes(2 * silence) + file)
    subprocess.run([zek, tmp + '/padded.wav', tmp + '/zek.wav'], check=True, stdout=subprocess.DEVNULL)
    with wave.open(tmp + '/zek.wav') as w: want = strip(samples(w.readframes(w.getnframes()))[silence:])
    n, lost = agreed(got, want)
    if n > len(want) - 16384 and lost <= 4:
        break
else:
    sys.exit("FAILED: the recording is not zek's output for the played file, up to its last quanta, "
             "after any silence of up to 65536 frames")
print(f"the chain ran on {silence} frames of silence, then the file: {n} of its {len(want)} frames "
      f"passed, all as zek levels them; {lost} quanta of {QUANTUM} frames lost by the recorder")
EOF
