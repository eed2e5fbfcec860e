# The Debian packages that zek's scripts need, and zek_need_packages, which
# installs those missing: directly as root, through sudo otherwise, or it
# says what to run. A package named with an architecture (libsndfile1-dev:arm64)
# comes from Debian's multiarch, which is switched on for that architecture.
# Sourced by ./demo, ./run-tests and .ci/run.

# Build zek and zek-report.
ZEK_BUILD_PACKAGES=(cmake make g++ pkg-config libsndfile1-dev)
# Run every test: GoogleTest and Benchmark, the programs that make and check
# real files (sox, ffmpeg, flac, espeak-ng), groff for the man page, and
# Debian's Python with what the Python package builds and runs on (pybind11,
# NumPy), its tests (pytest) and its Dask recipe.
ZEK_TEST_PACKAGES=(libgtest-dev libbenchmark-dev sox espeak-ng ffmpeg flac groff-base
  python3 python3-dev python3-venv python3-pip python3-setuptools python3-numpy python3-pybind11
  python3-pytest python3-dask python3-distributed)
# The web package: emcc builds its WebAssembly, Node (which emscripten brings)
# and Chromium test it. npm packs it and fetches puppeteer-core, which drives
# that Chromium: Debian's npm, unless a Node.js installed another way brought
# its own (the two conflict).
ZEK_TEST_PACKAGES+=(emscripten chromium)
command -v npm >/dev/null || ZEK_TEST_PACKAGES+=(npm)

zek_need_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! command -v apt-get >/dev/null; then
    echo "$0: needs these Debian packages, or their equivalents: ${missing[*]}" >&2
    return 1
  fi
  local as_root=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "$0: first, as root: apt-get update && apt-get install -y ${missing[*]}" >&2
      return 1
    fi
    as_root=(sudo)
  fi
  echo "$0: installing ${missing[*]}" >&2
  for p in "${missing[@]}"; do
    case $p in
      *:*) dpkg --print-foreign-architectures | grep -qx "${p#*:}" || "${as_root[@]}" dpkg --add-architecture "${p#*:}" ;;
    esac
  done
  # A fresh machine has no package lists yet: update first.
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
