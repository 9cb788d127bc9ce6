#!/usr/bin/env bash
# The ZIP as cpack makes it, and its services' whole life under wine, in a wine prefix of its own.
# Usage: windows_service_test.sh <cpack> <CPackConfig.cmake of the Windows build>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks.sh
source "$here/checks.sh"
# Seconds to reach RUNNING or STOPPED, and for a stop (its last output drains for at most a
# second). A console start that called the dispatcher would wait 10 s.
start_limit=10 stop_limit=3 console_limit=5
work=$(mktemp -d)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
keeper="" holder="" console=""
cleanup() {
  for pid in $console $holder; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
  exec 9>&- 2>/dev/null
  wineserver -k 2>/dev/null # this prefix's processes, the keeper's among them
  [ -n "$keeper" ] && wait "$keeper" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# status <name>: the service's state and exit code as "sc query" shows them, e.g. "RUNNING 0".
status() {
  wine sc query "$1" 2>/dev/null | tr -d '\r' |
    awk '$1 == "STATE" { state = $4 } $1 == "WIN32_EXIT_CODE" { code = $3 } END { print state, code }'
}

# awaitState <name> <state>: its status once in that state or STOPPED, or after start_limit s.
awaitState() {
  local now end=$((SECONDS + start_limit))
  until now=$(status "$1") && [[ ${now% *} == "$2" || ${now% *} == STOPPED || $SECONDS -gt $end ]]; do
    sleep 0.1
  done
  echo "$now"
}

# probe free|idle|answers <port>...: see tests/support/quietd_server.py.
probe() { python3 "$here/../support/quietd_server.py" "$@"; }

zip=quietd-$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$2")-win64.zip
if ! "$1" --config "$2" -B "$work/zip" >"$work/cpack.log" 2>&1 || [ ! -f "$work/zip/$zip" ]; then
  fail "cpack made no $zip: $(cat "$work/cpack.log")"
  finish
fi
python3 -m zipfile -e "$work/zip/$zip" "$work/unpacked"
held=$(cd "$work/unpacked" && find . ! -type d | sort | tr '\n' ' ')
[ "$held" = "./LICENSE ./README.txt ./install.cmd ./quietd.exe ./uninstall.cmd " ] &&
  pass "$zip holds LICENSE, README.txt, install.cmd, quietd.exe, uninstall.cmd" || fail "$zip holds $held"
# Files that hold no CR LF, or an LF or a CR alone.
texts=("$work"/unpacked/{README.txt,install.cmd,uninstall.cmd})
bad=$(grep -L $'\r$' "${texts[@]}"; grep -l $'[^\r]$\\|^$\\|\r.' "${texts[@]}")
[ -z "$bad" ] && pass "README.txt, install.cmd and uninstall.cmd end each line in CR LF" ||
  fail "lines not ended by CR LF in $bad"
if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
  skip "Windows services: wine is not installed"
  finish
fi
read -r http_port https_port <<<"$(probe free)"

# The keeper: a wine process waiting on fd 9 for the whole run, since a prefix ends its
# services with its last ordinary process.
mkfifo "$work/keep"
wine cmd /c pause <"$work/keep" >/dev/null 2>&1 &
keeper=$!
exec 9>"$work/keep"
folder=$(wine cmd /c 'echo %ProgramFiles%\quietd' 2>/dev/null | tr -d '\r')
unpacked=$(winepath -w "$work/unpacked")

# runScript <name> <arguments>...: runs the ZIP's script; its output shows when it fails.
runScript() {
  local name=$1
  shift
  wine cmd /c "$unpacked\\$name" "$@" >"$work/$name.log" 2>&1 || fail "$name: $(cat "$work/$name.log")"
}
# install <what>: runs install.cmd for both ports; each service must reach RUNNING.
install() {
  runScript install.cmd "$http_port" "$https_port"
  for service in quietd quietd-https; do
    state=$(awaitState $service RUNNING)
    [ "${state% *}" = RUNNING ] && pass "$1: $service is RUNNING" || fail "$1: $service is $state"
  done
}

install install.cmd
relay probe answers "$http_port" "$https_port"

console_port=$(probe free | cut -d' ' -f1)
started=$(date +%s%N)
wine "$work/unpacked/quietd.exe" -p "$console_port" >"$work/console.log" 2>&1 &
console=$!
awaitBinding "$work/console.log" $console $console_limit &&
  pass "a console start binds in $((($(date +%s%N) - started) / 1000000)) ms while a service runs" ||
  fail "a console start printed no binding in ${console_limit} s: $(cat "$work/console.log")"
kill "$console" 2>/dev/null && wait "$console" 2>/dev/null
console=""

started=$(date +%s%N)
wine net stop quietd >/dev/null 2>&1
elapsed=$((($(date +%s%N) - started) / 1000000))
state=$(status quietd)
[ "$state" = "STOPPED 0" ] && [ $elapsed -le $((stop_limit * 1000)) ] &&
  pass "net stop quietd: STOPPED, exit code 0, in $elapsed ms" ||
  fail "net stop quietd: state and exit code $state after $elapsed ms"

python3 "$here/../support/quietd_server.py" hold "$http_port" &
holder=$!
until probe idle "$http_port" || ! kill -0 $holder 2>/dev/null; do sleep 0.05; done
wine sc start quietd >/dev/null 2>&1
state=$(awaitState quietd STOPPED)
[ "$state" = "STOPPED 10048" ] && pass "sc start with port $http_port held: STOPPED, exit code 10048" ||
  fail "sc start with port $http_port held: state and exit code $state"
kill $holder 2>/dev/null && wait $holder 2>/dev/null
holder=""

install "install.cmd again"

before=$failures
runScript uninstall.cmd
for service in quietd quietd-https; do
  wine sc query $service >/dev/null 2>&1 && fail "uninstall.cmd left service $service"
done
[ -e "$(winepath -u "$folder")" ] && fail "uninstall.cmd left $folder"
for port in "$http_port" "$https_port"; do
  probe idle "$port" && fail "something still listens on port $port"
done
((failures == before)) && pass "uninstall.cmd: no service, no folder, nothing listens"
finish
