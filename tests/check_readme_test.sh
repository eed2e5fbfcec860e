#!/usr/bin/env bash
# scripts/check-readme on a README of its own: the script a section becomes
# (its blocks in order, what it runs first, saved files, servers in the
# background, blocks left out with their reason), and the record of what
# passed, which tells CI which sections changed. No machine is made here.
# Usage: check_readme_test.sh SOURCE_DIR
set -euo pipefail
check=$1/scripts/check-readme
tmp=$(mktemp -d "${TMPDIR:-/tmp}/zek-check-readme-XXXXXX")
trap 'rm -rf "$tmp"' EXIT

cat >"$tmp/README.md" <<'EOF'
# A project

## Install
<!-- check-readme: run echo the-reader-prepares -->
```sh
echo installing
```

## Use
<!-- check-readme: after Install -->
<!-- check-readme: save hello.txt -->
```text
hello from a block
```
<!-- check-readme: background -->
```sh
sleep 1000
# a scheduler, then its worker: each a server of its own
sleep 1001
```
<!-- check-readme: skip needs a display -->
```sh
xdg-open page.html
```
```
output shown to the reader, not run
```
```sh
grep -q hello hello.txt
```

## Words alone
Nothing to run.
EOF

failures=0
expect() { # expect WHAT COMMAND...: COMMAND succeeds
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}

script=$("$check" --readme "$tmp/README.md" --record "$tmp/record" --script Use)
printf '%s\n' "$script" >"$tmp/use.sh"
expect "the script is bash" bash -n "$tmp/use.sh"
# What runs, in this order: Install's steps first, then Use's.
order=$(grep -nE 'the-reader-prepares|^echo installing|cat > hello.txt|^sleep 1000|not run here: needs a display|^grep -q hello' "$tmp/use.sh" | cut -d: -f1 | tr '\n' ' ')
expect "every step, in order" test "$(wc -w <<<"$order")" -eq 6
expect "in ascending order" bash -c "printf '%s\n' $order | sort -n -c"
expect "the server runs in the background" grep -qE '^\} >/root/check-readme-background-1.log 2>&1 &$' "$tmp/use.sh"
expect "each server of a block apart" bash -c "grep -A1 '^{\$' '$tmp/use.sh' | grep -c '^sleep 100[01]\$' | grep -qx 2"
expect "the left-out block is not in the script" bash -c "! grep -q xdg-open '$tmp/use.sh'"
expect "output blocks are not run" bash -c "! grep -q 'output shown' '$tmp/use.sh'"

# The record: nothing has passed yet, so every section with steps is changed;
# once one is recorded, it is checked, and so is what runs after it, until
# the section it runs first changes.
list() { "$check" --readme "$tmp/README.md" --record "$tmp/record" --list; }
list >"$tmp/list.txt"
expect "sections without steps are not listed" bash -c "! grep -q 'Words alone' '$tmp/list.txt'"
expect "both changed at first" test "$(list | grep -c ', changed)')" -eq 2
fingerprint() { python3 - "$check" "$tmp/README.md" "$1" <<'PY'
import importlib.machinery, sys
check = importlib.machinery.SourceFileLoader("check", sys.argv[1]).load_module()
sections = check.parse(sys.argv[2])
print(check.find_section(sections, sys.argv[3]).fingerprint(sections))
PY
}
printf '%s Install\n%s Use\n' "$(fingerprint Install)" "$(fingerprint Use)" >"$tmp/record"
expect "both checked once recorded" test "$(list | grep -c ', checked)')" -eq 2
sed -i 's/^echo installing$/echo installing again/' "$tmp/README.md"
expect "a change to Install changes Use, which runs it first" test "$(list | grep -c ', changed)')" -eq 2
"$check" --readme "$tmp/README.md" --record "$tmp/record" --changed --script >"$tmp/changed.txt"
expect "--changed picks both" test "$(grep -c '^### ' "$tmp/changed.txt")" -eq 2
[ "$failures" -eq 0 ]
