#!/usr/bin/env bash
# What a package of the build holds: the .deb (natively) or the zip (a
# Windows cross build) made by cpack in BUILD_DIR must list exactly the
# expected files. Usage: tests/package_contents.sh deb|zip BUILD_DIR
set -euo pipefail
kind=$1
build=$2
# Exit status 77: skipped (the test's SKIP_RETURN_CODE).
if [ "$kind" = deb ] && ! command -v dpkg-shlibdeps >/dev/null; then
  echo "skipped: dpkg-shlibdeps is not installed (Debian package dpkg-dev), and cpack needs it for the .deb"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$build"
if [ "$kind" = deb ]; then
  cpack -G DEB -B "$work" >/dev/null
  dpkg-deb -c "$work"/quillex_*.deb | awk '{print $6}' | grep -v '/$' | sort >"$work/got"
  printf '%s\n' ./usr/bin/quillex ./usr/bin/quillex-mkraw ./usr/bin/quillex4 \
    ./usr/share/doc/quillex/LICENSE ./usr/share/doc/quillex/README.md ./usr/share/doc/quillex/copyright \
    ./usr/share/doc/quillex/report.md \
    ./usr/share/man/man1/quillex-mkraw.1 ./usr/share/man/man1/quillex.1 ./usr/share/man/man1/quillex4.1 |
    sort >"$work/want"
  dpkg-deb -f "$work"/quillex_*.deb Depends | grep -q 'libssl3' || { echo "Depends lacks libssl3"; exit 1; }
else
  cpack -G ZIP -B "$work" >/dev/null
  (cd "$work" && cmake -E tar tf quillex-*.zip) | sed 's|^[^/]*/||' | grep -v '/$' | sort >"$work/got"
  printf '%s\n' LICENSE README.md quillex-mkraw.exe quillex.exe quillex4.exe | sort >"$work/want"
fi
diff "$work/want" "$work/got"
echo "the $kind package holds what it should"
