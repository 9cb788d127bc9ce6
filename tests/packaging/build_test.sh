#!/usr/bin/env bash
# The build as someone who takes the sources as they are makes it, in a directory of its own:
# plain, a configure without options; toolchain, one with the toolchain file alone, which needs
# no test framework for the target and does not build again the windows preset's quietd.exe.
set -uo pipefail
# shellcheck source=checks.sh
source "$(dirname "$0")/checks.sh"
mode=$1 source=$2 work=$3
rm -rf "$work"

case $mode in
plain)
  cmake -S "$source" -B "$work" >"$work.log" 2>&1 &&
    cmake --build "$work" -j2 --verbose --target quietd >>"$work.log" 2>&1
  check "plain configure and build of quietd" test -x "$work/quietd" || { tail -30 "$work.log"; exit 1; }
  # -Werror=<warning> (a distribution's hardening flags, say) is the user's choice, -Werror ours.
  check "no -Werror on a compile line" bash -c "! grep -Eq -- '-Werror( |\$)' '$work.log'"
  check "quietd is linked dynamically" bash -c "readelf -lW '$work/quietd' | grep -q 'program interpreter'"
  ;;
toolchain)
  cmake -S "$source" -B "$work" --toolchain "$4" >"$work.log" 2>&1 &&
    cmake --build "$work" --target help >>"$work.log" 2>&1
  check "configure with the toolchain file alone, quietd a target" grep -q '^\.\.\. quietd$' "$work.log" ||
    { tail -30 "$work.log"; exit 1; }
  check "no tests in the cross build" grep -qx 'BUILD_TESTING:BOOL=OFF' "$work/CMakeCache.txt"
  check "quietd.exe is a Windows program" bash -c "[ \"\$(head -c2 '$5')\" = MZ ]"
  ;;
*)
  echo "usage: build_test.sh plain|toolchain <source dir> <work dir> [<toolchain file> <quietd.exe>]" >&2
  exit 2
  ;;
esac
finish
