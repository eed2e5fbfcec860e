#!/usr/bin/env bash
# The web package's tests, in three steps that ctest runs as three tests:
#   web_test.sh build SOURCE_DIR WORK   packs the package with npm, whose
#                                       prepack builds the modules, stages it
#                                       in WORK/package from the tarball, and
#                                       installs puppeteer-core into WORK/deps
#   web_test.sh node SOURCE_DIR WORK    the package in Node against the zek tool
#   web_test.sh chromium SOURCE_DIR WORK   the worklet and the page in Chromium
# ZEK_BINARY names the zek tool. Without emcc, node, npm or chromium the tests
# are skipped (status 77), unless ZEK_REQUIRE_TOOLS is set.
set -euo pipefail
step=$1 src=$2 work=$3
PUPPETEER_CORE=puppeteer-core@24.43.1 # works with Node 18 and drives Debian's Chromium

need=(emcc node npm python3)
[ "$step" = chromium ] && need+=(chromium)
for tool in "${need[@]}"; do
  if ! command -v "$tool" >/dev/null; then
    echo "web tests: $tool is missing (Debian: emscripten, nodejs, chromium)" >&2
    [ -n "${ZEK_REQUIRE_TOOLS:-}" ] && exit 1
    exit 77
  fi
done

case $step in
  build)
    # `npm pack` as a user runs it in web/, in a copy of what its prepack
    # (build.sh) compiles: the top-level CMake, the engine and web/. The copy
    # keeps its files' times, so that its build directories (in web/dist)
    # rebuild only what changed. The page goes beside the package staged from
    # the tarball, as the tests serve it.
    tree=$work/tree
    mkdir -p "$tree"
    tar -C "$src" --exclude=web/dist --exclude='web/*.tgz' -cf - CMakeLists.txt cmake src/agc web | tar -C "$tree" -xf -
    rm -f "$work"/zek-*.tgz "$tree"/web/dist/*.wasm
    (cd "$tree/web" && npm pack --silent --pack-destination "$work" >/dev/null)
    tarballs=("$work"/zek-*.tgz)
    [ -f "${tarballs[0]}" ] || { echo "npm pack made no tarball" >&2; exit 1; }
    rm -rf "$work/package" && tar -C "$work" -xzf "${tarballs[0]}" # npm's tarballs hold a folder named package
    cp -R "$src/web/demo" "$work/package/"
    # The engine fuzzer's replay on the SIMD128 engine that build.sh made: the
    # vector path against the plain one on hostile states too. Linked at -O0,
    # which skips emcc's JavaScript optimiser (it needs Debian's node-acorn),
    # and compiled synchronously: emcc 3.1.6's loader would fetch() the module
    # in Node 18 and later.
    for f in fuzz_engine replay; do
      em++ -O2 -std=c++20 -msimd128 -I "$src/src" -c "$src/tests/fuzz/$f.cpp" -o "$work/$f.o"
    done
    emcc -O0 "$work/fuzz_engine.o" "$work/replay.o" "$tree/web/dist/.build/simd/libagc.a" -sNODERAWFS=1 \
      -sALLOW_MEMORY_GROWTH=1 -sEXIT_RUNTIME=1 -sENVIRONMENT=node -sWASM_ASYNC_COMPILATION=0 \
      -o "$work/fuzz_engine_simd128.js"
    if [ ! -d "$work/deps/node_modules/puppeteer-core" ]; then
      mkdir -p "$work/deps"
      # puppeteer-core drives the Chromium installed; it downloads no browser.
      PUPPETEER_SKIP_DOWNLOAD=1 npm install --prefix "$work/deps" --no-audit --no-fund --loglevel=error \
        "$PUPPETEER_CORE"
    fi
    ;;
  node | chromium | loudness)
    export ZEK_WEB_PACKAGE=$work/package ZEK_WEB_DEPS=$work/deps ZEK_WEB_WORK=$work ZEK_SOURCE_DIR=$src
    exec node --test "$src/tests/web/$step.test.mjs"
    ;;
  *) echo "usage: web_test.sh build|node|chromium|loudness SOURCE_DIR WORK" >&2; exit 2 ;;
esac
