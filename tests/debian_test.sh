#!/usr/bin/env bash
# The Debian packages as a user gets them: built by `dpkg-buildpackage -us -uc
# -b` from a copy of the source tree, checked by lintian (no errors), then
# installed with `apt-get install ./...deb` into a fresh Debian 12 (debootstrap
# --variant=minbase, in a folder, entered with chroot) and used there: zek on
# raw samples and on a FLAC file (libsndfile comes from the package's
# dependencies), zek-report, the LADSPA plugin in analyseplugin and
# applyplugin, the LV2 plugin in lv2apply, the GStreamer element in
# gst-launch-1.0 (all found where Debian's hosts look), the OBS filter where
# OBS looks, and a C program built against libagc-dev through pkg-config. The
# outputs are compared on this machine with the bytes of the zek built here.
#
# Usage: debian_test.sh SOURCE_DIR WORK ZEK
# As root, with debhelper, lintian, debootstrap and sox. The fresh system and
# the packages apt-get fetches into it are kept by scripts/fresh-debian, so
# that a rerun builds, unpacks and installs without fetching more than the
# package lists.
set -euo pipefail
src=$1 work=$2 zek=$3

skip() {
  echo "packaging test: $*" >&2
  [ -n "${ZEK_REQUIRE_TOOLS:-}" ] && exit 1
  exit 77
}
[ "$(id -u)" -eq 0 ] || skip "needs root for debootstrap and chroot"
unshare --mount true 2>/dev/null || skip "cannot make a mount namespace (unshare --mount) for the chroot's mounts"
for tool in dpkg-buildpackage:dpkg-dev dh:debhelper lintian:lintian debootstrap:debootstrap sox:sox unshare:util-linux; do
  command -v "${tool%%:*}" >/dev/null || skip "${tool%%:*} is missing (Debian: ${tool#*:})"
done

log=$work/log
rm -rf "$work/source" "$work/root" "$work/out" && mkdir -p "$work/source/zek" "$work/out"
: >"$log"
step() { echo "== $1 ($((SECONDS - started)) s so far)"; }
started=$SECONDS

# The packages' version is the project's: debian/changelog follows CMakeLists.txt.
project=$(sed -n 's/^project(zek VERSION \([^ ]*\).*/\1/p' "$src/CMakeLists.txt")
packaged=$(cd "$src" && dpkg-parsechangelog -S Version)
[ "$packaged" = "$project" ] ||
  { echo "debian/changelog gives version $packaged, CMakeLists.txt $project: add a changelog entry" >&2; exit 1; }

# 1. The packages, from a copy of what the tree holds (git's view of it where
# there is one: tracked and new files, not what it ignores), so that neither
# the build's files nor the packages land in the tree.
step "dpkg-buildpackage -us -uc -b (its output: $log)"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$src" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$src/$f" ] && printf '%s\0' "$f"; done |
    tar -C "$src" --null -T - -cf - | tar -C "$work/source/zek" -xf -
else
  tar -C "$src" --exclude='./build*' -cf - . | tar -C "$work/source/zek" -xf -
fi
if ! (cd "$work/source/zek" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b) >>"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "dpkg-buildpackage failed" >&2
  exit 1
fi
debs=()
for p in zek zek-plugins gstreamer1.0-zek obs-zek-leveller libagc-dev; do
  f=("$work"/source/${p}_*.deb)
  [ -f "${f[0]}" ] || { echo "dpkg-buildpackage made no $p package" >&2; exit 1; }
  debs+=("${f[0]}")
done

step "lintian"
lintian_status=0
lintian --fail-on error "$work"/source/zek_*.changes >"$work/lintian.txt" 2>&1 || lintian_status=$?
grep -v 'running with root privileges' "$work/lintian.txt" || echo "lintian: no errors or warnings"
[ "$lintian_status" -eq 0 ] || { echo "lintian reports errors (above)" >&2; exit 1; }

# 2. A fresh Debian 12 (scripts/fresh-debian: debootstrap's minbase, made
# once and kept, shared with the README's check).
root=$work/root
step "a fresh Debian 12 (scripts/fresh-debian)"
"$src/scripts/fresh-debian" create "$root"

# What it gets: the packages, and inputs made here.
t=$root/tmp/zek
mkdir -p "$t"
cp "${debs[@]}" "$t/"
cp "$src/docs/example.raw" "$t/in.raw"
sox -t raw -r 48000 -e signed -b 16 -c 1 "$src/docs/example.raw" "$t/in.wav"
sox "$t/in.wav" "$t/in.flac"
cp "$src/tests/consumer/stream_consumer.c" "$t/"
names=()
for f in "${debs[@]}"; do names+=("./${f##*/}"); done
cat >"$t/inside.sh" <<EOF
set -eu
cd /tmp/zek
# dpkg's unsafe I/O: a system thrown away afterwards needs no sync after every file.
apt_get() { apt-get -q -o APT::Sandbox::User=root -o Dpkg::Options::=--force-unsafe-io "\$@"; }
# The package lists debootstrap left may be out of date: fetched afresh.
apt_get update >apt.log 2>&1 || echo "apt-get update failed: going on with the lists there are"
apt_get install -y --no-install-recommends ${names[*]} ladspa-sdk lilv-utils gcc libc6-dev pkgconf gstreamer1.0-tools gstreamer1.0-plugins-good \
  >>apt.log 2>&1 ||
  { tail -n 20 apt.log; exit 1; }
echo "installed: \$(dpkg-query -W -f '\${Package} \${Version}, ' zek zek-plugins gstreamer1.0-zek obs-zek-leveller libagc-dev)"
set -x # a failure below names its command
zek --version
zek in.raw out.raw
zek in.flac out.wav
zek-report in.raw out.raw >report.txt
grep -q 'bit for bit what zek makes' report.txt
LADSPA_PATH=/usr/lib/ladspa analyseplugin zek >ladspa.txt
grep -q '"zek_mono"' ladspa.txt && grep -q '"zek_stereo"' ladspa.txt
LADSPA_PATH=/usr/lib/ladspa applyplugin in.wav ladspa.wav zek zek_mono 0 1 >/dev/null
lv2apply -i in.wav -o lv2.wav urn:zek:mono
gst-inspect-1.0 zek >gst.txt # found where GStreamer looks, with its properties
grep -q speech-aware gst.txt
gst-launch-1.0 -q filesrc location=in.wav ! wavparse ! zek ! wavenc ! filesink location=gst.wav
# OBS Studio's own folders (the filter is checked inside libobs by the suite)
dpkg -L obs-zek-leveller | grep -q '/obs-plugins/zek-leveller.so\$'
dpkg -L obs-zek-leveller | grep -q '/obs/obs-plugins/zek-leveller/locale/en-US.ini\$'
cc -std=c99 -Wall -Werror stream_consumer.c \$(pkg-config --cflags --libs agc) -o stream_consumer
./stream_consumer >/dev/null
EOF
step "apt-get install ./...deb in the fresh system, and use"
if ! "$src/scripts/fresh-debian" run "$root" env DEBIAN_FRONTEND=noninteractive sh /tmp/zek/inside.sh; then
  echo "the packages do not install or work in a fresh Debian 12" >&2
  exit 1
fi

# 3. The bytes, against the zek built here: the tool's, and the LADSPA
# plugin's, which applyplugin gives one 10 ms window late (480 frames) and
# does not take back.
step "the outputs against $zek"
"$zek" "$t/in.raw" "$work/out/want.raw"
"$zek" "$t/in.flac" "$work/out/want.wav"
cmp "$work/out/want.raw" "$t/out.raw" || { echo "zek from the package differs on raw samples" >&2; exit 1; }
cmp "$work/out/want.wav" "$t/out.wav" || { echo "zek from the package differs on the FLAC file" >&2; exit 1; }
"$zek" "$t/in.wav" "$work/out/want-gst.wav"
[ "$(sox "$t/gst.wav" -t raw - | md5sum)" = "$(sox "$work/out/want-gst.wav" -t raw - | md5sum)" ] ||
  { echo "the GStreamer element from the package does not give zek's samples" >&2; exit 1; }
sox "$work/out/want.wav" -t raw "$work/out/want.pcm"
for host in ladspa lv2; do
  sox "$t/$host.wav" -t raw "$work/out/$host.pcm"
  [ "$(stat -c %s "$work/out/$host.pcm")" = "$(stat -c %s "$work/out/want.pcm")" ] ||
    { echo "the $host plugin's output has another length than zek's" >&2; exit 1; }
done
bytes=$(($(stat -c %s "$work/out/want.pcm") - 960))
cmp -n "$bytes" -i 960:0 "$work/out/ladspa.pcm" "$work/out/want.pcm" ||
  { echo "the LADSPA plugin in applyplugin does not give zek's samples, 480 frames late" >&2; exit 1; }
"$src/scripts/fresh-debian" remove "$root"
step "done"
