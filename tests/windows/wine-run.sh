#!/usr/bin/env bash
# How CTest runs a Windows test program: wine-run.sh WINE PROGRAM [ARGS...], with the
# output passed on as it comes (stderr merged, as CTest shows it anyway).
#
# Wine now and then fails to start a process at all: exit code 1 within a tenth of a
# second, nothing printed (measured here: 1 start in 4,600 of a test program started two
# at a time on two cores, as CTest runs them). Every test program prints its first line
# the moment it starts, so only such a start, one that never reached the program, is made
# again, once, and said so; whatever a program printed or returned stands.
set -u
wine=$1
shift
log=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$log"' EXIT
t0=$(date +%s%N)
"$wine" "$@" 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
ms=$((($(date +%s%N) - t0) / 1000000))
if [ "$rc" = 1 ] && [ ! -s "$log" ] && [ "$ms" -lt 1000 ]; then
  echo "wine-run: Wine exited with code 1 after $ms ms without starting $1 (nothing printed); starting it again"
  "$wine" "$@" 2>&1
  rc=$?
fi
exit "$rc"
