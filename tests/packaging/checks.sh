# The reporting the packaging checks share; sourced, not run. Each check prints one line that
# .ci/test counts (ok:, FAIL:, SKIP:), and finish ends the script with status 1 when one failed.
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
pass() { echo "ok: $*"; }
skip() { echo "SKIP: $*"; }
finish() {
  echo "$failures failed"
  exit $((failures > 0))
}
