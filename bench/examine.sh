#!/usr/bin/env bash
# quillex extract beside quillex4 on the 96 MiB dump of bench.sh, in one
# run: the same stages with nothing more (--hash none), with a report
# (whose dump and image digests are made beside the run), and with a report
# and the SHA-256 of every file (the default). Each command runs once to
# warm up, then RUNS times in turn; prints medians and ratios to quillex4,
# asserts nothing. Usage: bench/examine.sh [RUNS]   (after scripts/setup
# build; makes the dump as bench/bench.sh does if the cache lacks it)
#        bench/examine.sh --smoke   the small dump, one run (a check that it works)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
set_name=large
if [ "$runs" = "--smoke" ]; then
  runs=1
  set_name=small
fi
top="$PWD"
cache="$top/bench/cache"
[ -f "$cache/$set_name.raw" ] || bench/bench.sh --smoke >/dev/null
if [ ! -f "$cache/$set_name.raw" ]; then
  # bench.sh --smoke makes only the small dump; a full bench.sh run makes the rest.
  bench/bench.sh 1 >/dev/null
fi
# The runs write to memory (/dev/shm) where the machine has it: what is
# compared is the work of the programs, which a disk's writeback would drown
# (on our build machines one run of the same command takes 0.3 s or 1 s
# on disk, depending on what the disk still holds).
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  work=$(mktemp -d /dev/shm/quillex-examine-XXXXXX)
  where="memory (/dev/shm)"
else
  work=$(mktemp -d)
  where="disk ($work)"
fi
trap 'rm -rf "$work"' EXIT
cp "$cache/$set_name.raw" "$work/d.raw"

# One timed command in a fresh folder holding a link to the dump: "seconds peak-KiB".
timed() {
  local d; d=$(mktemp -d "$work/run-XXXXXX")
  ln "$work/d.raw" "$d/d.raw"
  local t0 t1
  t0=$(date +%s%N)
  (cd "$d" && /usr/bin/time -f "%M" -o "$work/time" "$@" </dev/null >/dev/null 2>&1)
  t1=$(date +%s%N)
  echo "$(bc -l <<<"($t1 - $t0) / 1000000000" | sed 's/^\./0./') $(cat "$work/time")"
  rm -rf "$d"
}

names=(quillex4 hash_none report_none report_sha256)
commands=(
  "$top/build/quillex4 d.raw"
  "$top/build/quillex extract -q --hash none d.raw"
  "$top/build/quillex extract -q --hash none --report r.json d.raw"
  "$top/build/quillex extract -q --report r.json d.raw"
)
declare -A times mems
for c in "${commands[@]}"; do
  # shellcheck disable=SC2086
  timed $c >/dev/null
done
for ((i = 0; i < runs; i++)); do
  for k in "${!names[@]}"; do
    # shellcheck disable=SC2086
    t=$(timed ${commands[$k]})
    times[${names[$k]}]+="${t% *} "
    mems[${names[$k]}]+="${t#* } "
  done
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
max() { tr ' ' '\n' | sed '/^$/d' | sort -g | tail -1; }
base=$(median <<<"${times[quillex4]}")
echo "dump: $set_name ($(($(stat -c %s "$cache/$set_name.raw") / 1048576)) MiB), outputs in $where, $runs runs, medians"
printf '%-14s %9s %9s %10s\n' command seconds vs_q4 peak_MiB
for n in "${names[@]}"; do
  t=$(median <<<"${times[$n]}")
  printf '%-14s %9.3f %+8.1f%% %10.1f\n' "$n" "$t" "$(bc -l <<<"($t / $base - 1) * 100")" \
    "$(bc -l <<<"$(max <<<"${mems[$n]}") / 1024")"
done
