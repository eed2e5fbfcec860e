#!/usr/bin/env bash
# Installs the Python package as the README does on Debian 12 (offline, into a
# virtual environment over Debian's NumPy and pybind11) and runs its tests.
# Usage: python_test.sh SOURCE_DIR BUILD_DIR STREAM_APPLY [SANITIZE_FLAGS CC CXX]
#        python_test.sh --check   (only says which Debian packages are missing)
# With SANITIZE_FLAGS (a clang sanitizer build), the extension is built with
# them by CC and CXX, and Python runs with their runtime preloaded.
# Debian's own interpreter, never another python3 on PATH: the packages the
# build and the tests use are installed for it.
set -euo pipefail
py=/usr/bin/python3

missing=()
if [ -x "$py" ]; then
  # module:the Debian package that brings it (setuptools and wheel come with pip)
  for need in numpy:python3-numpy pybind11:python3-pybind11 pytest:python3-pytest soundfile:python3-soundfile \
    ensurepip:python3-venv setuptools:python3-pip wheel:python3-pip; do
    "$py" -c "import ${need%%:*}" 2>/dev/null || missing+=("${need#*:}")
  done
  [ -e "$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ] || missing+=(python3-dev)
else
  missing+=(python3 python3-dev python3-venv python3-pip python3-numpy python3-pybind11 python3-pytest python3-soundfile)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "The Python package's tests need these Debian packages; install them with:" >&2
  echo "  sudo apt-get install -y $(printf '%s\n' "${missing[@]}" | sort -u | tr '\n' ' ')" >&2
  exit 1
fi
[ "${1:-}" = --check ] && exit 0

src=$1 build=$2 stream_apply=$3 sanitize=${4:-}
work=$build/python
mkdir -p "$work"
[ -x "$work/venv/bin/python" ] || "$py" -m venv --system-site-packages "$work/venv"
# pip builds the package where it lies; its build files go to the build tree,
# rebuilt every time (setuptools sees neither flags nor same-second edits).
printf '[build]\nbuild_base = %s\n[egg_info]\negg_base = %s\n[build_ext]\nforce = 1\n' "$work/setup" "$work/setup" \
  >"$work/setup.cfg"
export DIST_EXTRA_CONFIG=$work/setup.cfg ZEK_STREAM_APPLY=$stream_apply PYTHONDONTWRITEBYTECODE=1
if [ -n "$sanitize" ]; then
  export CC=$5 CXX=$6 CFLAGS="$sanitize -fno-sanitize-recover=all -fno-omit-frame-pointer"
  export LDFLAGS="$sanitize -shared-libsan" # the runtime is Python's to load, not the extension's
  export LD_PRELOAD=$("$CC" -print-file-name="libclang_rt.asan-$(uname -m).so")
  # CPython does not free everything at exit: leaks are not the extension's.
  export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
fi
LD_PRELOAD= "$work/venv/bin/pip" install --quiet --no-index --no-build-isolation "$src/python"

cd "$work" # not the source folder, whose python/zek has no extension in it
# --capture=sys leaves a sanitizer's report on standard error to be seen.
"$work/venv/bin/python" -m pytest -p no:cacheprovider --capture=sys -q "$src/tests/python"
