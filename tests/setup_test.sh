#!/usr/bin/env bash
# scripts/setup against a package archive in the states a fresh machine meets:
# indexes that fail to update, an optional package that cannot be had, a
# required one that cannot, a kernel without 32-bit programs. apt-get, dpkg
# and dpkg-query are stand-ins on PATH that keep their state in a folder, so
# nothing is installed and no network is used.
# Usage: tests/setup_test.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fake=$work/bin
mkdir -p "$fake"

# apt-get: "update" fails while update_failures is above 0; "install" fails on
# a package listed in unavailable, as apt does on unmet dependencies.
cat >"$fake/apt-get" <<'EOF'
#!/bin/bash
echo "$*" >>"$FAKE_APT/calls"
if [ "$1" = update ]; then
  left=$(<"$FAKE_APT/update_failures")
  ((left > 0)) || exit 0
  echo $((left - 1)) >"$FAKE_APT/update_failures"
  echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
  exit 100
fi
packages=$(printf '%s\n' "${@:2}" | grep -v '^-')
if bad=$(grep -xF -f "$FAKE_APT/unavailable" <<<"$packages"); then
  echo " $(head -1 <<<"$bad") : Depends: libfoo (= 1.0-1) but 1.0-1+deb12u1 is to be installed"
  echo "E: Unable to correct problems, you have held broken packages." >&2
  exit 100
fi
echo "$packages" >>"$FAKE_APT/installed"
EOF
# dpkg-query -W answers from installed; dpkg keeps the architectures in archs.
cat >"$fake/dpkg-query" <<'EOF'
#!/bin/bash
grep -qxF "${!#}" "$FAKE_APT/installed" && printf 'install ok installed'
EOF
cat >"$fake/dpkg" <<'EOF'
#!/bin/bash
case "$1" in
  --print-foreign-architectures) cat "$FAKE_APT/archs" ;;
  --add-architecture) echo "$2" >>"$FAKE_APT/archs" ;;
  --remove-architecture) sed -i "/^$2\$/d" "$FAKE_APT/archs" ;;
esac
EOF
printf '#!/bin/sh\nexec "$@"\n' >"$fake/sudo"
chmod +x "$fake"/*

tools="g++ cmake ninja-build libssl-dev libcli11-dev nlohmann-json3-dev libgtest-dev"
optional="dosfstools mtools sleuthkit bc time locales dpkg-dev mmdebstrap g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64"

passed=0 failed=0
run() {  # INSTALLED UNAVAILABLE UPDATE_FAILURES [VARIABLE=VALUE...]: scripts/setup --install-only
  export FAKE_APT=$work/state.$((passed + failed))
  mkdir -p "$FAKE_APT"
  printf '%s\n' $1 >"$FAKE_APT/installed"
  printf '%s\n' ${2:-"-"} >"$FAKE_APT/unavailable"
  echo "$3" >"$FAKE_APT/update_failures"
  : >"$FAKE_APT/archs" >"$FAKE_APT/calls"
  out=$(env PATH="$fake:$PATH" QUILLEX_SETUP_RETRY_PAUSE=0 "${@:4}" "$source_dir/scripts/setup" --install-only 2>&1)
  status=$?
}
check() {  # DESCRIPTION COMMAND...
  if "${@:2}"; then passed=$((passed + 1)); return; fi
  failed=$((failed + 1))
  printf 'FAILED: %s\n  scripts/setup said (status %s):\n%s\n' "$1" "$status" "$(sed 's/^/    /' <<<"$out")"
}
said() { grep -qF -- "$1" <<<"$out"; }
not_said() { ! said "$1"; }
calls() { grep -c "^$1" "$FAKE_APT/calls"; }
installed() { for p; do grep -qxF -- "$p" "$FAKE_APT/installed" || return 1; done; }

# An archive in mid-sync: every update fails on one index, and wine32's i386
# libraries cannot match the amd64 versions installed.
run "" "wine32:i386" 99 QUILLEX_SETUP_32BIT=yes
check "a failing update and an optional package that cannot be had end in success" [ "$status" -eq 0 ]
check "apt-get update is tried three times" [ "$(calls update)" -eq 3 ]
check "the failed update is a warning, with apt's reason" said "File has unexpected size"
check "every other package is installed" installed $tools $optional
check "wine32 is named with apt's reason" said "wine32:i386: wine32:i386 : Depends: libfoo (= 1.0-1)"
check "what goes without wine32 is said" said "the Windows tests run the 64-bit build under wine64"
check "the i386 architecture added for wine32 is taken away again" [ ! -s "$FAKE_APT/archs" ]

# A kernel without 32-bit programs: wine32 is not even asked for.
run "" "" 0 QUILLEX_SETUP_32BIT=no
check "without 32-bit programs the set-up succeeds" [ "$status" -eq 0 ]
check "wine32 is never asked for, and no i386 architecture added" [ "$(calls "install.*wine32")" -eq 0 -a ! -s "$FAKE_APT/archs" ]
check "one line says why wine32 is left out" [ "$(grep -c wine32 <<<"$out")" -eq 1 ]
check "all else goes in one apt-get install" [ "$(calls install)" -eq 1 ]
check "nothing is reported missing" not_said "optional packages not installed"

# An update that fails once, and wine32 that can be had.
run "" "" 1 QUILLEX_SETUP_32BIT=yes
check "an update that works the second time" [ "$status" -eq 0 -a "$(calls update)" -eq 2 ]
check "wine32 is installed" installed wine32:i386
check "the i386 architecture stays" grep -qx i386 "$FAKE_APT/archs"

# A package the tools need that cannot be had ends the set-up, naming it.
run "" "libcli11-dev" 0 QUILLEX_SETUP_32BIT=no
check "a missing required package fails the set-up" [ "$status" -eq 1 ]
check "the required package is named with the reason" said "libcli11-dev : Depends: libfoo"

# Nothing missing: apt-get is not run at all.
run "$tools $optional wine32:i386" "" 0 QUILLEX_SETUP_32BIT=yes
check "with everything installed apt-get is not run" [ "$status" -eq 0 -a ! -s "$FAKE_APT/calls" ]

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
