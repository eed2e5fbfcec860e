# need_tools TOOL...: for test scripts. Every tool must be on PATH; one
# missing fails the test where ZEK_REQUIRE_TOOLS is set (./run-tests, CI),
# and skips it (status 77) elsewhere.
need_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null && continue
    [ -n "${ZEK_REQUIRE_TOOLS:-}" ] && { echo "$tool is required"; exit 1; }
    echo "$tool not installed: skipped"
    exit 77
  done
}
