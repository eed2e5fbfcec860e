#!/usr/bin/env bash
# Installs the build into a temporary prefix, moves the installed tree (it must
# be relocatable), then builds and runs small programs against it twice: with
# find_package(agc) and with pkg-config, a C++ one on the hop-level API and a
# strict C99 one on the stream API; the README's C examples must compile too.
# Usage: install_test.sh BUILD_DIR CONSUMER_SRC CXX CC GENERATOR MAKE_PROGRAM README [EXTRA_FLAGS [EMULATOR]]
# EXTRA_FLAGS match the installed library's own (the sanitizer build needs them);
# EMULATOR (a command line) runs the installed and the consumer programs of a
# cross build.
set -euo pipefail
build=$1 consumer=$2 cxx=$3 cc=$4 generator=$5 make_program=$6 readme=$7 flags=${8:-}
read -r -a emulator <<< "${9:-}"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/agc-install-XXXXXX")
trap 'rm -rf "$tmp"' EXIT

cmake --install "$build" --prefix "$tmp/staged" >/dev/null
mkdir "$tmp/moved"
mv "$tmp/staged" "$tmp/moved/prefix"
prefix=$tmp/moved/prefix

for f in bin/zek bin/zek-report include/agc/agc.h include/agc/speech.h include/agc/stream.h include/agc/builtin.h \
  include/agc/zek/settings.h share/man/man1/zek.1 share/man/man1/zek-report.1; do
  [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# The README's list of what the install lays out names every header and man
# page: a new one left out of it would be found by no reader.
while IFS= read -r f; do
  grep -qF "\`$f\`" "$readme" || { echo "installed, but not in the README's install list: $f"; exit 1; }
done < <(cd "$prefix" && find include share/man -type f | sort)
if [ -e "$build/plugins/ladspa/zek.so" ]; then # built natively, where the plugin headers are
  for f in lib/ladspa/zek.so lib/lv2/zek.lv2/zek.so lib/lv2/zek.lv2/manifest.ttl lib/lv2/zek.lv2/zek.ttl; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
  done
fi
if [ -e "$build/plugins/gstreamer/libgstzek.so" ]; then # built where GStreamer's development files are
  [ -n "$(find "$prefix" -path '*/gstreamer-1.0/libgstzek.so')" ] || { echo "not installed: gstreamer-1.0/libgstzek.so"; exit 1; }
fi
lib=$(find "$prefix" -name libagc.a)
pc=$(find "$prefix" -name agc.pc)
[ -n "$lib" ] && [ -n "$pc" ] || { echo "libagc.a or agc.pc not installed"; exit 1; }
# The OBS filter as OBS looks for it under a prefix: beside the libraries and in share/obs.
if [ -e "$build/plugins/obs/zek-leveller/bin/64bit/zek-leveller.so" ]; then
  for f in "${lib%/*}/obs-plugins/zek-leveller.so" "$prefix/share/obs/obs-plugins/zek-leveller/locale/en-US.ini"; do
    [ -e "$f" ] || { echo "not installed: ${f#"$prefix"/}"; exit 1; }
  done
fi
if grep -rl "$tmp/staged" "$prefix"; then
  echo "the files above name the install prefix: the tree is not relocatable"
  exit 1
fi
"${emulator[@]}" "$prefix/bin/zek" --version

echo "== find_package(agc) + agc::agc"
cmake -S "$consumer" -B "$tmp/cmake-build" -G "$generator" -DCMAKE_MAKE_PROGRAM="$make_program" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$tmp/cmake-build" >/dev/null
"${emulator[@]}" "$tmp/cmake-build/consumer"
"${emulator[@]}" "$tmp/cmake-build/stream_consumer"

echo "== pkg-config agc"
if ! command -v pkg-config >/dev/null; then
  [ -n "${ZEK_REQUIRE_TOOLS:-}" ] && { echo "pkg-config is required"; exit 1; }
  echo "pkg-config not installed: skipped"
  exit 77
fi
export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046,SC2086 # pkg-config's output and the flags are word lists
"$cxx" -std=c++20 $flags $(pkg-config --cflags agc) "$consumer/main.cpp" $(pkg-config --libs agc) \
  -o "$tmp/pkg-consumer"
"${emulator[@]}" "$tmp/pkg-consumer"
# C needs nothing beyond what agc.pc gives: no C++ runtime.
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror $flags $(pkg-config --cflags agc) "$consumer/stream_consumer.c" \
  $(pkg-config --libs agc) -o "$tmp/pkg-stream-consumer"
"${emulator[@]}" "$tmp/pkg-stream-consumer"

echo "== the README's C examples"
awk -v dir="$tmp" '/^```c$/ { n++; out = dir "/readme-" n ".c"; next } /^```$/ { out = "" } out { print > out }' "$readme"
examples=("$tmp"/readme-*.c)
[ -e "${examples[0]}" ] || { echo "no C examples found in $readme"; exit 1; }
for example in "${examples[@]}"; do
  # shellcheck disable=SC2046,SC2086
  "$cc" -std=c99 -pedantic -Wall -Wextra -Werror $flags $(pkg-config --cflags agc) -c "$example" -o "$example.o"
done
echo "${#examples[@]} examples compile"
