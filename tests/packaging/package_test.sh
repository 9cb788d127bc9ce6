#!/usr/bin/env bash
# The Debian package as built, and with --system, as root, installed (enabled, started), removed
# (stopped) and purged (nothing left) on this machine. Where systemd does not run (a container),
# the enable state and the scripts that would start and stop it stand in.
# Usage: package_test.sh [--system] <quietd .deb>
set -uo pipefail
system=""
[ "${1:-}" != --system ] || { system=$1 && shift; }
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=checks.sh
source "$here/checks.sh"
probe() { python3 "$here/../support/quietd_server.py" "$@"; }
apt() { DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300 "$@"; }

# Lintian's tags go to standard output; its remark on running as root does not.
verdict=$(lintian --fail-on error,warning "$deb" 2>/dev/null) &&
  pass "lintian: no error or warning${verdict:+ ($verdict)}" || fail "lintian: $verdict"

files=(/lib/systemd/system/quietd.service /usr/bin/quietd /usr/share/doc/quietd/changelog.gz
       /usr/share/doc/quietd/copyright /usr/share/man/man8/quietd.8.gz)
listing=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort)
[ "$listing" = "$(printf '%s\n' "${files[@]}")" ] && pass "holds ${files[*]}" ||
  fail "holds: $(echo $listing)"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./lib/systemd/system/quietd.service |
  grep -qx 'ExecStart=/usr/bin/quietd' || fail "the packaged unit does not start /usr/bin/quietd"
# debhelper's scripts from the unit: start on configure, stop on removal.
dpkg-deb -I "$deb" postinst | grep -q "deb-systemd-invoke \$_dh_action 'quietd.service'" &&
  dpkg-deb -I "$deb" prerm | grep -q "deb-systemd-invoke stop 'quietd.service'" &&
  pass "maintainer scripts start and stop quietd.service" ||
  fail "maintainer scripts do not start and stop quietd.service"

if dpkg-query -W -f='${Status}' quietd 2>/dev/null | grep -q 'ok installed'; then
  reason="a quietd package is installed here already, and left alone"
elif [ "$system" != "--system" ]; then
  reason="changes this machine; run: bash tests/packaging/package_test.sh --system $deb (CI=true does too)"
elif [ "$(id -u)" -ne 0 ]; then
  reason="needs root"
fi
[ -z "${reason:-}" ] || { skip "install and removal: $reason" && finish; }
installed=""
trap '[ -z "$installed" ] || apt purge quietd >/dev/null 2>&1' EXIT

# systemd runs when /run/systemd/system exists (sd_booted's test); policy-rc.d may still forbid
# starting services, as it does in most containers.
systemd=""
if [ ! -d /run/systemd/system ]; then
  skip "start and stop: systemd does not run here (PID 1 is $(ps -p 1 -o comm=))"
elif [ -x /usr/sbin/policy-rc.d ] && ! /usr/sbin/policy-rc.d quietd.service start >/dev/null 2>&1; then
  skip "start and stop: /usr/sbin/policy-rc.d forbids starting services here"
else
  systemd=yes
fi

log=$(apt install "$deb" 2>&1) || { fail "apt-get install: $log" && finish; }
installed=yes
pass "apt-get install $(basename "$deb")"
state=$(systemctl is-enabled quietd.service 2>&1)
[ "$state" = enabled ] && pass "quietd.service is enabled" || fail "quietd.service is $state"
# Exit status 1 after the usage text: what counts is that the dynamic linker found everything.
usage=$(/usr/bin/quietd -? 2>&1)
grep -q 'quietd -? | \[-v\] \[-p <port>\]' <<<"$usage" && pass "the installed quietd runs" ||
  fail "the installed quietd does not run: $usage"
if [ -n "$systemd" ]; then
  # The unit is started when installation ends; give it a few seconds to bind.
  for _ in $(seq 50); do probe idle 80 && break || sleep 0.1; done
  state=$(systemctl is-active quietd.service)
  [ "$state" = active ] && pass "quietd.service is active" || fail "quietd.service is $state"
  relay probe answers 80
fi

apt remove quietd >/dev/null 2>&1 || fail "apt-get remove quietd"
if [ -n "$systemd" ]; then
  systemctl is-active --quiet quietd.service && fail "quietd.service still runs after removal" ||
    pass "removal stops the service"
fi
apt purge quietd >/dev/null 2>&1 || fail "apt-get purge quietd"
installed=""
left=$(ls -d "${files[@]}" 2>/dev/null; find /etc/systemd /var/lib/systemd -name 'quietd.service*' 2>/dev/null)
[ -z "$left" ] && pass "removed and purged, nothing is left" || fail "left after purge: $left"
finish
