# shellcheck shell=bash
# What the packaging checks share; sourced. Each check prints one line that .ci/test counts
# (ok:, FAIL:, SKIP:); finish exits with status 1 when one failed.
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
skip() { echo "SKIP: $*"; }
# check <description> <command>...: passes when the command succeeds.
check() { if "${@:2}"; then pass "$1"; else fail "$1"; fi; }
# relay <command>...: the command's output, its FAIL: lines counted here, its failure as one more.
relay() {
  local out
  out=$("$@" 2>&1) || fail "$* ended with status $?"
  echo "$out"
  failures=$((failures + $(grep -c '^FAIL: ' <<<"$out")))
}
# awaitBinding <output file> <pid> <seconds>: whether the output shows the binding line before
# the process ends or the seconds pass.
awaitBinding() {
  for _ in $(seq $(($3 * 20))); do
    grep -q 'Successful Binding' "$1" && return
    kill -0 "$2" 2>/dev/null || break
    sleep 0.05
  done
  grep -q 'Successful Binding' "$1"
}
finish() { echo "$failures failed"; exit $((failures > 0)); }
