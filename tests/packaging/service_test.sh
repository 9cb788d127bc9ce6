#!/usr/bin/env bash
# What "cmake --install" lays down, and the installed binary serving below port 1024 as the
# unit runs it: as nobody with only the right to bind such ports.
# Usage: service_test.sh <build dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks.sh
source "$here/checks.sh"
build=$(cd "$1" && pwd)
work=$(mktemp -d)
server_pid=""
trap '[ -z "$server_pid" ] || { kill $server_pid && wait $server_pid; } 2>/dev/null; rm -rf "$work"' EXIT

# installTree <tree> <prefix> <command>...: the command installs into tree exactly these files,
# bin/quietd executable and the unit starting <prefix>/bin/quietd.
files="bin/quietd lib/systemd/system/quietd.service share/doc/quietd/copyright share/man/man8/quietd.8"
installTree() {
  local tree=$1 prefix=$2 found
  shift 2
  "$@" >"$work/install.log" 2>&1 || { fail "$*: $(cat "$work/install.log")" && return; }
  found=$(cd "$tree" && find . -type f -o -type l | sed 's|^\./||' | sort | xargs)
  [ "$found" = "$files" ] && [ -x "$tree/bin/quietd" ] &&
    grep -qx "ExecStart=$prefix/bin/quietd" "$tree/lib/systemd/system/quietd.service" &&
    pass "$* installs $files, the unit starting $prefix/bin/quietd" ||
    fail "$* installs $found, $(ls -l "$tree/bin/quietd"),
      $(grep -s "^ExecStart=" "$tree/lib/systemd/system/quietd.service")"
}
prefix=$work/prefix
installTree "$prefix" "$prefix" cmake --install "$build" --prefix "$prefix"
configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
installTree "$work/staged$configured" "$configured" env DESTDIR="$work/staged" cmake --install "$build"
unit=$prefix/lib/systemd/system/quietd.service

# All of groff's warnings: lintian's (man --warnings) leave out some, an unknown escape among them.
warnings=$(groff -ww -man -z -Tutf8 "$prefix/share/man/man8/quietd.8" 2>&1)
[ -z "$warnings" ] && pass "groff -ww renders quietd.8" || fail "groff -ww: $warnings"

# If even a trivial unit does not verify, systemd-analyze cannot work here.
printf '[Service]\nExecStart=/bin/true\n' >"$work/probe.service"
if ! command -v systemd-analyze >/dev/null; then
  skip "systemd-analyze verify: systemd-analyze is not installed"
elif ! probe=$(systemd-analyze verify "$work/probe.service" 2>&1) || [ -n "$probe" ]; then
  skip "systemd-analyze verify does not work here: $probe"
else
  # Its Documentation= line is checked with man, which finds the installed page so.
  verdict=$(MANPATH=$prefix/share/man systemd-analyze verify "$unit" 2>&1) && [ -z "$verdict" ] &&
    pass "systemd-analyze verify quietd.service" || fail "systemd-analyze verify: $verdict"
  # The unit closes what quietd does not need: an exposure of 1.5 at most.
  verdict=$(systemd-analyze security --offline=true --threshold=15 "$unit" 2>&1) &&
    pass "systemd-analyze security: $(tail -1 <<<"$verdict" | sed 's/^.*level for //')" ||
    fail "systemd-analyze security: $(grep -E 'Overall' <<<"$verdict")"
fi

# startUnprivileged <port> <capability option>...: starts the installed binary as nobody, its
# output in $work/out; server_pid is set while it runs bound.
startUnprivileged() {
  local port=$1
  shift
  setpriv --reuid=nobody --regid=nogroup --clear-groups "$@" \
    "$prefix/bin/quietd" -p "$port" >"$work/out" 2>&1 &
  server_pid=$!
  awaitBinding "$work/out" $server_pid 5 && return
  kill $server_pid 2>/dev/null
  wait $server_pid
  server_pid=""
}

if [ "$(id -u)" -ne 0 ]; then
  skip "unprivileged run: needs root to become nobody"
elif ! command -v setpriv >/dev/null; then
  skip "unprivileged run: setpriv is not installed"
else
  # A port among 81..1023 (80 is for others), tried until one is not in use (error 98).
  for _ in $(seq 30); do
    port=$((81 + RANDOM % 943))
    startUnprivileged "$port" --inh-caps=+net_bind_service --ambient-caps=+net_bind_service
    [ -n "$server_pid" ] || ! grep -q '^Error: 98 in bind()' "$work/out" && break
  done
  if [ -z "$server_pid" ]; then
    fail "quietd did not start as nobody with CAP_NET_BIND_SERVICE: $(cat "$work/out")"
  else
    status=/proc/$server_pid/status
    ids=$(awk '/^Uid:|^Gid:/ {print $2, $3, $4, $5}' "$status" | sort -u)
    caps=$(awk '/^CapEff:/ {print $2}' "$status")
    [ "$ids $caps" = "65534 65534 65534 65534 0000000000000400" ] &&
      pass "installed quietd runs on port $port as nobody with only CAP_NET_BIND_SERVICE" ||
      fail "runs with ids $ids, effective capabilities $caps"
    relay python3 "$here/../support/quietd_server.py" answers "$port"
    kill "$server_pid" && wait "$server_pid" 2>/dev/null
    server_pid=""

    # Without the capability the same start must fail, or the run above proved nothing.
    lowest=$(cat /proc/sys/net/ipv4/ip_unprivileged_port_start 2>/dev/null || echo 1024)
    if [ "$lowest" -le "$port" ]; then
      skip "binding without the capability: ports from $lowest on need no privilege here"
    else
      startUnprivileged "$port"
      [ -z "$server_pid" ] && grep -q '^Error: 13 in bind()' "$work/out" &&
        pass "without the capability the bind is refused" || fail "without the capability: $(cat "$work/out")"
    fi
  fi
fi
finish
