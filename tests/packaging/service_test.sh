#!/usr/bin/env bash
# The Linux service end to end: what "cmake --install" lays down, the systemd unit, the manual
# page, and the installed binary serving on a port below 1024 as an unprivileged user whose
# only privilege is binding such ports (as the unit runs it). The Debian package, made from the
# same install, is checked by package_test.sh.
# Usage: service_test.sh <build dir>. Checks that this machine cannot make print SKIP with the
# reason; a failed check prints FAIL and the script exits with status 1.
set -uo pipefail

build=$(cd "$1" && pwd)
work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=checks.sh
source "$(dirname "$0")/checks.sh"

# expectFiles <tree> <file>...: the tree holds exactly these regular files.
expectFiles() {
  local tree=$1
  shift
  local found expected
  found=$(cd "$tree" && find . -type f -o -type l | sed 's|^\./||' | sort)
  expected=$(printf '%s\n' "$@" | sort)
  if [ "$found" = "$expected" ]; then pass "$tree holds $*"; else fail "$tree holds: $found"; fi
}

# --- The install tree, with a prefix given at install time and with DESTDIR ------------------
prefix=$work/prefix
if cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  expectFiles "$prefix" bin/quietd share/doc/quietd/copyright share/man/man8/quietd.8 \
    lib/systemd/system/quietd.service
  [ -x "$prefix/bin/quietd" ] || fail "bin/quietd is not executable"
  unit=$prefix/lib/systemd/system/quietd.service
  grep -qx "ExecStart=$prefix/bin/quietd" "$unit" || fail "ExecStart in $unit: $(grep ExecStart= "$unit")"
else
  fail "cmake --install --prefix: $(cat "$work/install.log")"
fi

configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if DESTDIR=$work/staged cmake --install "$build" >"$work/install.log" 2>&1; then
  expectFiles "$work/staged$configured" bin/quietd share/doc/quietd/copyright \
    share/man/man8/quietd.8 lib/systemd/system/quietd.service
  grep -qx "ExecStart=$configured/bin/quietd" "$work/staged$configured/lib/systemd/system/quietd.service" ||
    fail "ExecStart under DESTDIR does not name $configured/bin/quietd"
else
  fail "DESTDIR=... cmake --install: $(cat "$work/install.log")"
fi

# --- The manual page renders without a warning and is found as quietd(8) ---------------------
page=$prefix/share/man/man8/quietd.8
warnings=$(groff -ww -man -z -Tutf8 "$page" 2>&1)
[ -z "$warnings" ] && pass "groff -ww renders quietd.8" || fail "groff -ww: $warnings"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] && pass "man --warnings renders quietd.8" || fail "man --warnings: $warnings"
[ "$(MANPATH=$prefix/share/man man -w 8 quietd 2>&1)" = "$page" ] || fail "man -w 8 quietd"

# --- The unit, as systemd reads it -----------------------------------------------------------
# A trivial unit first: if even that does not verify, systemd-analyze cannot work here and says
# nothing about ours.
printf '[Service]\nExecStart=/bin/true\n' >"$work/probe.service"
if ! command -v systemd-analyze >/dev/null; then
  skip "systemd-analyze verify: systemd-analyze is not installed"
elif ! probe=$(systemd-analyze verify "$work/probe.service" 2>&1) || [ -n "$probe" ]; then
  skip "systemd-analyze verify does not work here: $probe"
else
  # Its Documentation= line is checked with man, which finds the installed page this way.
  if verdict=$(MANPATH=$prefix/share/man systemd-analyze verify "$unit" 2>&1) && [ -z "$verdict" ]; then
    pass "systemd-analyze verify quietd.service"
  else
    fail "systemd-analyze verify: $verdict"
  fi
  # The unit closes what quietd does not need: an exposure of 1.5 at most.
  if verdict=$(systemd-analyze security --offline=true --threshold=15 "$unit" 2>&1); then
    pass "systemd-analyze security: $(tail -1 <<<"$verdict" | sed 's/^.*level for //')"
  else
    fail "systemd-analyze security: $(grep -E 'Overall' <<<"$verdict")"
  fi
fi

# --- The installed binary serves as nobody with only CAP_NET_BIND_SERVICE ----------------------
# startUnprivileged <port> <capability option>...: starts the installed binary as nobody and
# waits until it has bound or ended. Sets server_pid while it runs; prints its output.
startUnprivileged() {
  local port=$1
  shift
  : >"$work/out"
  setpriv --reuid=nobody --regid=nogroup --clear-groups "$@" \
    "$prefix/bin/quietd" -p "$port" >"$work/out" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q 'Successful Binding' "$work/out" && return
    if ! kill -0 "$server_pid" 2>/dev/null; then
      wait "$server_pid"
      server_pid=""
      return
    fi
    sleep 0.05
  done
}

withCapability=(--inh-caps=+net_bind_service --ambient-caps=+net_bind_service)
lowest=$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)
if [ "$(id -u)" -ne 0 ]; then
  skip "unprivileged run: needs root to become nobody"
elif ! command -v setpriv >/dev/null; then
  skip "unprivileged run: setpriv is not installed"
else
  # A free port among 81..1023 (never 80, which other tests use), taken by trying: a port in
  # use gives "Error: 98 in bind()" and the next one is tried.
  port=""
  first=$((81 + RANDOM % 943))
  for offset in $(seq 0 30); do
    candidate=$((81 + (first - 81 + offset * 31) % 943))
    startUnprivileged "$candidate" "${withCapability[@]}"
    if [ -n "$server_pid" ]; then
      port=$candidate
      break
    fi
    grep -q '^Error: 98 in bind()' "$work/out" || break
  done
  if [ -z "$port" ]; then
    fail "quietd did not start as nobody with CAP_NET_BIND_SERVICE: $(cat "$work/out")"
  else
    status=/proc/$server_pid/status
    ids=$(awk '/^Uid:|^Gid:/ {print $2, $3, $4, $5}' "$status" | sort -u)
    [ "$ids" = "65534 65534 65534 65534" ] || fail "runs with ids: $ids"
    [ "$(awk '/^CapEff:/ {print $2}' "$status")" = "0000000000000400" ] ||
      fail "effective capabilities: $(grep CapEff "$status")"

    (
      exec 3<>"/dev/tcp/127.0.0.1/$port" || exit
      printf 'GET /ads/banner.gif HTTP/1.0\r\n\r\n' >&3
      timeout 5 cat <&3
    ) >"$work/answer"
    # The bytes of wire.txt, read as the Python tests read them; the date by its pattern.
    if python3 -c 'import re, sys
sys.path.insert(0, sys.argv[1])
from quietd_server import WIRE, DATE_PATTERN
answer = re.sub(("Date: " + DATE_PATTERN + "\r\n").encode(), b"Date: <date>\r\n",
                open(sys.argv[2], "rb").read(), count=1)
sys.exit(answer != WIRE["image_header"] + WIRE["image_body"])' \
      "$(cd "$(dirname "$0")/../support" && pwd)" "$work/answer"; then
      pass "installed quietd serves on port $port as nobody with only CAP_NET_BIND_SERVICE"
    else
      fail "answer on port $port: $(od -c "$work/answer" | head -20)"
    fi
    kill "$server_pid" && wait "$server_pid" 2>/dev/null
    server_pid=""

    # Without the capability the same start must fail, or the run above proved nothing.
    if [ "$lowest" -le "$port" ]; then
      skip "binding without the capability: ports from $lowest on need no privilege here"
    else
      startUnprivileged "$port"
      if [ -z "$server_pid" ] && grep -q '^Error: 13 in bind()' "$work/out"; then
        pass "without the capability the bind is refused"
      else
        fail "without the capability: $(cat "$work/out")"
      fi
    fi
  fi
fi

finish
