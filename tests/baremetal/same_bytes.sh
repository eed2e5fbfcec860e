#!/usr/bin/env bash
# Runs the engine on the emulated Cortex-M4 over speech and over hostile
# signals, and compares every output byte with what this machine's zek and
# stream API (tests/stream_apply, in one call) write.
# Usage: same_bytes.sh FIRMWARE HOST_ZEK HOST_STREAM_APPLY SPEECH_RAW QEMU_SYSTEM_ARM
set -euo pipefail
firmware=$1 zek=$2 stream_apply=$3 speech=$4 qemu=$5
work=$(mktemp -d "${TMPDIR:-/tmp}/zek-m4-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/vectors"
cp "$speech" "$work/vectors/speech.raw"
# Full scale, -32768 runs, silence with bursts, a square wave, noise in every
# octave, and inputs that end in the lead-in, mid-hop and on an odd byte.
perl - "$work/vectors" <<'PERL'
my $dir = shift;
srand(7);
sub put { my ($name, @s) = @_; open(my $f, '>:raw', "$dir/$name") or die; print $f pack('s<*', @s); close $f; }
my @hostile;
push @hostile, (0) x 4800, (32767) x 4800, (-32768) x 4800;
push @hostile, map { $_ % 2 ? 32767 : -32768 } 1 .. 4800;
push @hostile, map { ($_ % 48) < 24 ? 10000 : -10000 } 1 .. 24000;
push @hostile, map { ($_ % 9600) < 9000 ? 0 : int(rand(65536)) - 32768 } 1 .. 48000;
put('hostile.raw', @hostile);
put('octaves.raw', map { my $a = 1 << (int($_ / 2400) % 16); int(rand(2 * $a)) - $a } 1 .. 96000);
put('short.raw', map { int(rand(65536)) - 32768 } 1 .. 300);
put('partial-hop.raw', map { int(rand(65536)) - 32768 } 1 .. 600);
open(my $f, '>>:raw', "$dir/octaves.raw") or die; print $f "z"; close $f; # an odd last byte
PERL

status=0 console=
for vector in "$work"/vectors/*.raw; do
  name=$(basename "$vector")
  rm -f "$work/in.raw" "$work/out.raw" "$work/stream.raw"
  cp "$vector" "$work/in.raw"
  # The firmware reads in.raw and writes out.raw in the emulator's working directory.
  if ! console=$(cd "$work" && timeout 300 "$qemu" -M mps2-an386 -nographic -monitor none -serial none \
                 -semihosting-config enable=on,target=native -kernel "$firmware" 2>&1); then
    echo "$name: the firmware failed: $console"
    status=1
    continue
  fi
  "$zek" "$vector" "$work/expected.raw"
  "$stream_apply" 48000 1 100000 < "$vector" > "$work/expected-stream.raw"
  for way in "out expected zek's loop" "stream expected-stream the stream API"; do
    read -r got want what <<<"$way"
    if cmp -s "$work/$want.raw" "$work/$got.raw"; then
      echo "$name, $what: $(stat -c %s "$work/$got.raw") bytes, the same as on this machine"
    else
      echo "$name, $what: differs from this machine: $(cmp "$work/$want.raw" "$work/$got.raw" 2>&1 || true)"
      status=1
    fi
  done
done
echo "$console" # what the firmware says about itself (the same every run)
exit $status
