#!/usr/bin/env bash
# Instructions the engine executes per sample, counted under qemu-user.
#
#   bench/count-instructions.sh TARGET [LEVEL...]
#
# TARGET is aarch64, s390x or i686 (built by ./run-tests --cross TARGET in
# build-TARGET) or x86_64 (build/, on qemu's model of a CPU with AVX2: no
# AVX-512). LEVEL is a vector level (portable, neon, avx2); without one, the
# path zek takes ("default").
#
# How: with -singlestep every executed guest instruction is a translation
# block of its own, and -d exec,nochain logs each one as it runs, with its
# address. engine_hops runs the engine over the example recording; the
# instructions at addresses of the engine's functions (the symbols agc_* and
# agc::*) are the engine's. Two runs that differ only in their number of hops
# give the cost per hop: set-up and the rest cancel out. The count with the
# loop of engine_hops that calls the engine is shown beside it.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -ge 1 ] || { echo "usage: bench/count-instructions.sh aarch64|s390x|i686|x86_64 [LEVEL...]" >&2; exit 2; }
target=$1
shift
if [ "$target" = x86_64 ]; then
  build=build nm=nm emulator=(qemu-x86_64 -cpu max)
else
  toolchain=cmake/toolchains/$target.cmake
  [ -f "$toolchain" ] || { echo "no toolchain file $toolchain" >&2; exit 2; }
  triple=$(sed -n 's/^set(ZEK_CROSS_TRIPLE \(.*\))$/\1/p' "$toolchain")
  qemu=$(sed -n 's/^set(ZEK_CROSS_QEMU \(.*\))$/\1/p' "$toolchain")
  build=build-$target nm=$triple-nm emulator=("$qemu" -L "/usr/$triple" -E "LD_LIBRARY_PATH=/usr/$triple/lib")
fi
cmake --build "$build" --target engine_hops >/dev/null
program=$build/bench/engine_hops

# Start and size (hex) of every function of the engine.
ranges=$("$nm" -C -S --defined-only "$program" | awk '$3 ~ /^[tTwW]$/ && $4 ~ /^agc(::|_)/ { print $1, $2 }')

count() { # HOPS [LEVEL] -> "engine_instructions all_instructions"
  "${emulator[@]}" -singlestep -d exec,nochain -D /dev/stdout "$program" docs/example.raw "$@" |
    awk '/^Trace/ { split($4, f, "/"); print f[2] }' | sort | uniq -c |
    awk -v ranges="$ranges" '
      function hex(s,  i, v) { v = 0; s = tolower(s); for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }
      BEGIN { n = split(ranges, r, " "); for (i = 1; i < n; i += 2) { lo[i] = hex(r[i]); hi[i] = lo[i] + hex(r[i + 1]) } }
      { all += $1; pc = hex($2); for (i in lo) if (pc >= lo[i] && pc < hi[i]) { engine += $1; break } }
      END { print engine + 0, all }'
}

short=1000 long=5000 hop=240
[ $# -gt 0 ] || set -- ""
for level in "$@"; do
  read -r e1 a1 < <(count $short $level)
  read -r e2 a2 < <(count $long $level)
  label=${level:-default}
  awk -v e=$((e2 - e1)) -v a=$((a2 - a1)) -v n=$(((long - short) * hop)) -v t="$target" -v l="$label" -v hop=$hop \
    'BEGIN { printf "%s %s: %.2f instructions per sample in the engine (%.0f per %d-sample hop); %.2f with the calling loop\n", t, l, e / n, e * hop / n, hop, a / n }'
done
