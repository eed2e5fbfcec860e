# The Debian packages that zek's scripts need, and zek_need_packages, which
# installs those missing: directly as root, through sudo otherwise, or it
# says what to run. A package named with an architecture (libsndfile1-dev:arm64)
# comes from Debian's multiarch, which is switched on for that architecture.
# Sourced by ./demo, ./run-tests, .ci/run and scripts/install-packages.

# Build zek and zek-report, and the LADSPA and LV2 plugins; a batch's
# manifest takes nettle's SHA-256 and nlohmann's JSON.
ZEK_BUILD_PACKAGES=(cmake make g++ pkg-config libsndfile1-dev nettle-dev nlohmann-json3-dev ladspa-sdk lv2-dev)
# Build the OBS Studio filter: libobs's headers (they bring libobs and its
# own libraries, which a build of zek alone does without).
ZEK_OBS_PACKAGES=(libobs-dev)
# Build the Python package into a virtual environment over Debian's NumPy and
# pybind11 (its extension links libsndfile, as the tool does), and run the
# README's examples (soundfile reads any WAV).
ZEK_PYTHON_PACKAGES=(g++ libsndfile1-dev nettle-dev nlohmann-json3-dev python3 python3-dev python3-venv python3-pip python3-setuptools
  python3-numpy python3-pybind11 python3-soundfile)
# The Dask recipe (examples/level_corpus.py), over the Python package.
ZEK_DASK_PACKAGES=(python3-dask python3-distributed)
# Build the GStreamer element and run it as the README does: GStreamer's
# headers and its audio library's (they bring GLib's and, through the latter,
# OpenGL's: some 40 MB, which a build of zek alone does without), gst-launch-1.0,
# audioconvert, wavparse and wavenc.
ZEK_GSTREAMER_PACKAGES=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good)
# The Debian packages (dpkg-buildpackage): debhelper and the build's own.
ZEK_DEB_PACKAGES=(build-essential debhelper "${ZEK_BUILD_PACKAGES[@]}" libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  "${ZEK_OBS_PACKAGES[@]}")
# The fuzz targets: clang with libFuzzer and the sanitizers' runtime, over the build's packages.
ZEK_FUZZ_PACKAGES=(clang libclang-rt-14-dev "${ZEK_BUILD_PACKAGES[@]}")
# The web package: emcc builds its WebAssembly through the project's CMake
# (cmake, make), npm packs it, Node runs it, Python's http.server serves the
# page. Debian's npm, unless a Node.js installed another way brought its own
# (the two conflict).
ZEK_WEB_PACKAGES=(emscripten cmake make nodejs python3)
command -v npm >/dev/null || ZEK_WEB_PACKAGES+=(npm)
# Run every test: GoogleTest and Benchmark, the programs that make and check
# real files (sox, ffmpeg, flac, espeak-ng), real speech (Asterisk's
# prompts), libebur128 as a second loudness meter, groff for the man page, the
# Python package with its tests (pytest) and the Dask recipe; the plugins'
# hosts (GStreamer with its LADSPA and LV2 bridges, a private PipeWire with
# WirePlumber in a D-Bus session of its own) and their checkers (sordi for
# lv2_validate; analyseplugin comes with ladspa-sdk), the GStreamer element;
# an X server without a screen (Xvfb), which libobs needs to start, for the
# OBS filter's test.
ZEK_TEST_PACKAGES=(libgtest-dev libbenchmark-dev sox espeak-ng ffmpeg flac groff-base
  asterisk-core-sounds-en-wav libebur128-dev
  "${ZEK_PYTHON_PACKAGES[@]}" python3-pytest "${ZEK_DASK_PACKAGES[@]}"
  "${ZEK_GSTREAMER_PACKAGES[@]}" gstreamer1.0-plugins-bad sordi "${ZEK_OBS_PACKAGES[@]}"
  pipewire pipewire-bin wireplumber dbus-daemon xvfb)
# The web package, tested in Node and in Chromium (npm also fetches
# puppeteer-core, which drives that Chromium).
ZEK_TEST_PACKAGES+=("${ZEK_WEB_PACKAGES[@]}" chromium)
# The packages as users install them: the Debian packages built and checked
# by lintian, installed into a fresh Debian 12 that debootstrap makes; the
# Python package as a wheel (which pip builds with python3-wheel).
ZEK_TEST_PACKAGES+=("${ZEK_DEB_PACKAGES[@]}" lintian debootstrap python3-wheel)
# bench/speech_figures.py: the recordings of bench/speech_corpus.py (real
# voices: the prompts in English, Canadian French and Mexican Spanish; music
# on hold as a background), the peer (ffmpeg) and NumPy.
ZEK_BENCH_PACKAGES=(sox espeak-ng ffmpeg python3-numpy asterisk-core-sounds-en-wav asterisk-core-sounds-fr-wav
  asterisk-core-sounds-es-wav asterisk-moh-opsound-wav)

# Where apt-get's output goes: hundreds of lines that would bury the scripts' own.
ZEK_PACKAGE_LOG=${ZEK_PACKAGE_LOG:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/packages.log}

# zek_logged LOG COMMAND...: runs COMMAND with its output appended to LOG; if
# it fails, shows the end of LOG, where the reason is.
zek_logged() {
  local log=$1 status=0
  shift
  mkdir -p "$(dirname "$log")"
  "$@" >>"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    echo "$0: failed: $*; the end of $log:" >&2
    tail -n 25 "$log" >&2
  fi
  return "$status"
}

# zek_apt_install LOG AS_ROOT... -- PACKAGES...: apt-get install, its output
# in LOG, and on standard error one line per tenth of the work (packages
# downloaded, unpacked and set up), so that a fresh machine's long first
# install shows it is moving.
zek_apt_install() {
  local log=$1 as_root=()
  shift
  while [ "$1" != -- ]; do as_root+=("$1") && shift; done
  shift
  # apt-get reports its progress on a descriptor of our choosing (3) as
  # "dlstatus:..." and "pmstatus:PACKAGE:PERCENT:WHAT" lines; its own exit
  # status follows them down the pipe as a last "exit:STATUS" line.
  { "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
      -o APT::Status-Fd=3 "$@" 3>&1 1>>"$log" 2>&1 && echo exit:0 || echo "exit:$?"; } | zek_apt_progress
}

# Reads apt-get's status lines, prints the progress, returns apt-get's status.
zek_apt_progress() {
  local kind what percent rest shown=-1 step status=1 start=$SECONDS
  while IFS=: read -r kind what percent rest; do
    case $kind in
      exit) status=$what && continue ;;
      dlstatus) step=downloading ;;
      pmstatus) step=installing ;;
      *) continue ;;
    esac
    percent=${percent%%.*}
    [[ $percent =~ ^[0-9]+$ ]] || continue
    # Downloading is the first half of the work, unpacking and setting up the second.
    if [ "$step" = installing ]; then percent=$((50 + percent / 2)); else percent=$((percent / 2)); fi
    if [ $((percent / 10)) -gt "$shown" ]; then
      shown=$((percent / 10))
      echo "$0: packages: $((shown * 10))% after $((SECONDS - start)) s ($step: $rest)" >&2
    fi
  done
  return "$status"
}

# An index that fails to download (a mirror caught mid-sync: "File has
# unexpected size ... Mirror sync in progress?") makes apt-get update exit
# 100, yet the lists that did load usually hold every package we need: a
# failed update is only a warning, and the install decides. When the install
# fails too, the mirror may still be syncing: wait and try both again.
ZEK_APT_ATTEMPTS=${ZEK_APT_ATTEMPTS:-4}
ZEK_APT_RETRY_SECONDS=${ZEK_APT_RETRY_SECONDS:-60}

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
  echo "$0: installing ${missing[*]} (apt-get's output: $ZEK_PACKAGE_LOG)" >&2
  mkdir -p "$(dirname "$ZEK_PACKAGE_LOG")"
  for p in "${missing[@]}"; do
    case $p in
      *:*) dpkg --print-foreign-architectures | grep -qx "${p#*:}" ||
        zek_logged "$ZEK_PACKAGE_LOG" "${as_root[@]}" dpkg --add-architecture "${p#*:}" || return ;;
    esac
  done
  # A foreign architecture's C library must be the very version of the
  # machine's own (both are Multi-Arch: same). Pulled in as a dependency, apt
  # will not install it ("held broken packages") where the machine's own has
  # a newer candidate than the foreign one: an update in the security
  # archive, which carries none for some architectures (s390x for Debian 12).
  # Asked for by the version installed here, it is found.
  local extra=() arch arches=" " native_libc
  native_libc=$(dpkg-query -W -f='${Version}' "libc6:$(dpkg --print-architecture)" 2>/dev/null) || native_libc=
  for p in "${missing[@]}"; do
    case $p in
      libc6:*) arches+="${p#*:} " ;;
    esac
  done
  for p in "${missing[@]}"; do
    case $p in
      *:*) arch=${p#*:}
        [ -n "$native_libc" ] && [[ $arches != *" $arch "* ]] || continue
        arches+="$arch "
        dpkg-query -W -f='${Status}' "libc6:$arch" 2>/dev/null | grep -q "install ok installed" ||
          extra+=("libc6:$arch=$native_libc") ;;
    esac
  done
  local attempt updated
  for ((attempt = 1; ; attempt++)); do
    # A fresh machine has no package lists yet: update first.
    updated=1
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update >>"$ZEK_PACKAGE_LOG" 2>&1 || updated=0
    if zek_apt_install "$ZEK_PACKAGE_LOG" "${as_root[@]}" -- "${missing[@]}" "${extra[@]}"; then
      [ "$updated" = 1 ] ||
        echo "$0: note: apt-get update could not load every package list (see $ZEK_PACKAGE_LOG); the packages installed from those it loaded" >&2
      return 0
    fi
    if [ "$updated" = 1 ] || [ "$attempt" -ge "$ZEK_APT_ATTEMPTS" ]; then
      echo "$0: failed: apt-get install -y ${missing[*]}; the end of $ZEK_PACKAGE_LOG:" >&2
      tail -n 25 "$ZEK_PACKAGE_LOG" >&2
      return 1
    fi
    echo "$0: apt-get update and install both failed (a mirror mid-sync?): trying again in ${ZEK_APT_RETRY_SECONDS} s (attempt $((attempt + 1)) of $ZEK_APT_ATTEMPTS)" >&2
    sleep "$ZEK_APT_RETRY_SECONDS"
  done
}
