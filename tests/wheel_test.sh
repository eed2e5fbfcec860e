#!/usr/bin/env bash
# The Python package as a wheel, installed where the source tree is out of
# reach: `pip wheel ./python` as the README gives it (over Debian's pybind11,
# fetching nothing), the wheel installed with --no-index into a fresh virtual
# environment outside the tree, and used from there with the tree hidden
# behind an empty mount (as root; otherwise from another folder): zek.process
# and zek.process_file on a FLAC file, which only libsndfile reads, against
# the zek tool's bytes.
# Usage: wheel_test.sh SOURCE_DIR WORK ZEK
set -euo pipefail
src=$1 work=$2 zek=$3
py=/usr/bin/python3

missing=()
for need in numpy:python3-numpy pybind11:python3-pybind11 ensurepip:python3-venv setuptools:python3-setuptools \
  wheel:python3-wheel pip:python3-pip; do
  "$py" -c "import ${need%%:*}" 2>/dev/null || missing+=("${need#*:}")
done
command -v sox >/dev/null || missing+=(sox)
if [ ${#missing[@]} -gt 0 ]; then
  echo "the wheel test needs these Debian packages: ${missing[*]}" >&2
  [ -n "${ZEK_REQUIRE_TOOLS:-}" ] && exit 1
  exit 77
fi

rm -rf "$work" && mkdir -p "$work"
elsewhere=$(mktemp -d "${TMPDIR:-/tmp}/zek-wheel-XXXXXX")
trap 'rm -rf "$elsewhere"' EXIT

# setuptools builds in the folder it is given; its files go to the build
# tree instead, and the extension's sources compile two at a time.
printf '[build]\nbuild_base = %s\n[egg_info]\negg_base = %s\n[build_ext]\nparallel = 2\n' "$work/setup" "$work/setup" \
  >"$work/setup.cfg"
start=$SECONDS
(cd "$src" && DIST_EXTRA_CONFIG=$work/setup.cfg "$py" -m pip wheel --quiet --no-build-isolation --no-deps --no-index \
  -w "$work/dist" ./python)
wheels=("$work"/dist/zek-*.whl)
[ -f "${wheels[0]}" ] || { echo "pip wheel made no wheel in $work/dist" >&2; exit 1; }
echo "== built ${wheels[0]##*/} in $((SECONDS - start)) s"

# NumPy is Debian's, seen through the system's site-packages: nothing is fetched.
"$py" -m venv --system-site-packages "$elsewhere/venv"
"$elsewhere/venv/bin/pip" install --quiet --no-index "${wheels[0]}"

# A FLAC file, read by libsndfile (loaded when a recording first needs it),
# and what the tool makes of it as FLAC and as WAV.
sox -t raw -r 48000 -e signed -b 16 -c 1 "$src/docs/example.raw" "$elsewhere/in.flac"
"$zek" "$elsewhere/in.flac" "$elsewhere/want.flac"
"$zek" "$elsewhere/in.flac" "$elsewhere/want.wav"
cat >"$elsewhere/use.py" <<'EOF'
import pathlib
import sys

import numpy as np
import zek

here, source = pathlib.Path(sys.argv[1]), sys.argv[2]
where = pathlib.Path(zek.__file__).resolve()
assert str(where).startswith(str(here / "venv")), f"zek imported from {where}, not from the wheel"
assert not pathlib.Path(source, "src").exists() or sys.argv[3] == "visible", "the source tree is in reach"
zek.process_file(here / "in.flac", here / "got.flac")
zek.process_file(str(here / "in.flac"), str(here / "got.wav"))
levelled = zek.process(np.zeros((48000, 2), np.int16), 48000)
assert levelled.shape == (48000, 2) and not levelled.any()
EOF
use=("$elsewhere/venv/bin/python" -I "$elsewhere/use.py" "$elsewhere" "$src")
if [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
  echo "== zek from the wheel, the source tree hidden"
  (cd "$elsewhere" && unshare --mount sh -c 'mount -t tmpfs none "$1" && shift && exec "$@"' sh "$src" "${use[@]}" hidden)
else
  echo "== zek from the wheel, run outside the source tree (no mount namespace to hide it in)"
  (cd "$elsewhere" && "${use[@]}" visible)
fi
for kind in flac wav; do
  cmp "$elsewhere/want.$kind" "$elsewhere/got.$kind" ||
    { echo "zek.process_file from the wheel differs from the zek tool ($kind)" >&2; exit 1; }
done
echo "zek.process_file from the wheel gives the tool's bytes"
