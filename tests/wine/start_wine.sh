#!/bin/sh
# Makes the Wine prefix the Windows tests run in, and runs quillex4.exe once
# there. When Wine cannot start, says so loudly and fails: the Windows tests
# need it and are then reported as not run.
# Usage: start_wine.sh WINE QUILLEX4_EXE PREFIX
set -u
wine=$1 exe=$2 prefix=$3
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C
mkdir -p "$prefix"
if out=$("$wine" "$exe" </dev/null 2>&1) && printf '%s' "$out" | grep -q 'Usage : quillex4.exe'; then
  echo "Wine runs quillex4.exe (prefix $prefix)"
  exit 0
fi
echo "********************************************************************"
echo "*** Wine cannot start quillex4.exe: the Windows tests cannot run ***"
echo "********************************************************************"
echo "$wine $exe said:"
printf '%s\n' "$out"
exit 1
