#!/usr/bin/env bash
# Builds the two WebAssembly modules of the web package with Debian's emcc
# (package emscripten): the engine through the project's own CMake, engine
# only, then the stream exports linked into a module that imports nothing.
#
#   web/build.sh [DIR]    writes DIR/zek.wasm (plain) and DIR/zek-simd.wasm
#                         (SIMD128); DIR defaults to web/dist, where the page
#                         and the package look for them
set -euo pipefail
web=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$web")
dest=${1:-$web/dist}
command -v emcc >/dev/null || { echo "$0: needs emcc: apt-get install emscripten" >&2; exit 1; }
mkdir -p "$dest/.build"
dest=$(cd "$dest" && pwd)

# Static storage only: the stream (4 MiB: 256 channels live, or some offline),
# the two sample buffers (a live 96 kHz flush on every channel), the loudness
# meter's storage and a small stack: 16 MiB.
# -sSTANDALONE_WASM with no entry point makes a reactor module, whose only
# duty before use is its exported _initialize.
link=(--no-entry -sSTANDALONE_WASM -sTOTAL_STACK=65536 -sINITIAL_MEMORY=16777216 -sALLOW_MEMORY_GROWTH=0
  -sERROR_ON_UNDEFINED_SYMBOLS=1)
flags=(-O3 -std=c++20 -fno-exceptions -fno-rtti -Wall -Wextra -Wconversion -Werror)

for flavour in plain simd; do
  # Every runtime with SIMD128 has bulk memory too, whose memory.copy makes
  # the stream's copies of hops a native memcpy, not a loop of loads.
  simd=()
  [ "$flavour" = simd ] && simd=(-msimd128 -mbulk-memory)
  build=$dest/.build/$flavour
  emcmake cmake -S "$root" -B "$build" -DZEK_ENGINE_ONLY=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS="${simd[*]}" >"$build.log" 2>&1 || { cat "$build.log" >&2; exit 1; }
  cmake --build "$build" -j "$(nproc)" >>"$build.log" 2>&1 || { cat "$build.log" >&2; exit 1; }
  out=$dest/zek.wasm
  [ "$flavour" = simd ] && out=$dest/zek-simd.wasm
  emcc "${flags[@]}" "${simd[@]}" -I "$root/src" "$web/wasm/exports.cpp" "$build/libagc.a" "${link[@]}" -o "$out"
done
ls -l "$dest"/*.wasm
