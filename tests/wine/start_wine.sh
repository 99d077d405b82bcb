#!/bin/sh
# Makes the Wine prefix the Windows tests run in, and runs quillex4.exe once
# there. When Wine cannot start, says so loudly and fails: the Windows tests
# need it and are then reported as not run.
# Usage: start_wine.sh WINE QUILLEX4_EXE PREFIX
set -u
wine=$1 exe=$2 prefix=$3
# Wine keeps Windows names on the host in the locale's charset: UTF-8 holds them all.
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
mkdir -p "$prefix"
# A Russian and a Chinese Windows for the tests: Wine takes the ANSI code
# page from the locale's name, and the host charset from the locale itself,
# which glibc has only when installed; made here from its sources otherwise.
mkdir -p "$prefix/locales"
for locale in ru_RU zh_CN; do
  [ -d "$prefix/locales/$locale.UTF-8" ] || localedef -i "$locale" -f UTF-8 "$prefix/locales/$locale.UTF-8" >/dev/null 2>&1 ||
    [ -d "$prefix/locales/$locale.UTF-8" ] || echo "cannot make the locale $locale.UTF-8: the code page tests are skipped"
done
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
