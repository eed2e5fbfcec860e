#!/usr/bin/env bash
# The package installer that ./demo, ./run-tests, .ci/run and
# scripts/install-packages share, against stand-in apt-get, dpkg-query and
# sudo first on PATH: a mirror caught mid-sync (update exits 100) must not
# fail an install that works from the lists that loaded, and an install that
# fails is retried, then reported with the end of apt-get's log.
# Usage: packages_test.sh SOURCE_DIR
set -euo pipefail
src=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zek-packages-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin"

# apt-get: "update" exits with the next word of $tmp/update (one per call,
# the last repeated); "install" with $tmp/install's, after writing apt's
# status lines to descriptor 3. Every call is counted in $tmp/calls.
cat >"$tmp/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
dir=$(dirname "$0")/..
next() { # the next status from a list, the last one repeated
  local list=($(cat "$dir/$1")) n
  n=$(grep -c "^$1" "$dir/calls" || true)
  [ "$n" -lt "${#list[@]}" ] || n=$((${#list[@]} - 1))
  echo "${list[$n]}"
}
for a in "$@"; do
  case $a in
    update) status=$(next update); echo update >>"$dir/calls"
      [ "$status" = 0 ] || echo "E: File has unexpected size (374820 != 376004). Mirror sync in progress?"
      exit "$status" ;;
    install) status=$(next install); echo install >>"$dir/calls"
      if [ "$status" = 0 ]; then
        for p in 0 40 80; do echo "pmstatus:fake:$p:Unpacking fake" >&3; done
      else
        echo "E: Unable to locate package zek-stand-in-package"
      fi
      exit "$status" ;;
  esac
done
exit 2
EOF
printf '#!/bin/sh\nexit 1\n' >"$tmp/bin/dpkg-query" # nothing is installed
printf '#!/bin/sh\nexec "$@"\n' >"$tmp/bin/sudo"    # for a run as another user than root
chmod +x "$tmp/bin/"*

failures=0
# case NAME UPDATE_STATUSES INSTALL_STATUSES EXPECTED_STATUS EXPECTED_CALLS EXPECTED_LINE (a regex)
case_() {
  local name=$1 expect=$4 calls=$5 text=$6 status=0 out
  echo "$2" >"$tmp/update" && echo "$3" >"$tmp/install" && : >"$tmp/calls" && rm -f "$tmp/log"
  out=$(PATH="$tmp/bin:$PATH" ZEK_PACKAGE_LOG="$tmp/log" ZEK_APT_ATTEMPTS=3 ZEK_APT_RETRY_SECONDS=0 \
    "$src/scripts/install-packages" build 2>&1) || status=$?
  local got_calls
  got_calls=$(tr '\n' ' ' <"$tmp/calls")
  if [ "$status" != "$expect" ] || [ "$got_calls" != "$calls" ] || ! grep -qE -- "$text" <<<"$out"; then
    echo "FAIL $name: status $status (want $expect), calls '$got_calls' (want '$calls'), output:"
    echo "$out" | sed 's/^/    /'
    echo "    (wanted a line with: $text)"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

case_ "update fails on one index, install works" "100" "0" 0 "update install " \
  "note: apt-get update could not load every package list"
case_ "progress is shown" "0" "0" 0 "update install " 'packages: 70% after [0-9]+ s \(installing: Unpacking fake\)'
case_ "mirror syncs for a while, then both work" "100 100 0" "100 100 0" 0 \
  "update install update install update install " 'trying again in 0 s \(attempt 3 of 3\)'
case_ "install fails after every failed update" "100" "100" 1 \
  "update install update install update install " "Unable to locate package zek-stand-in-package"
case_ "install fails after a good update: no retry" "0" "100" 1 "update install " \
  "failed: apt-get install -y"
[ "$failures" -eq 0 ]
