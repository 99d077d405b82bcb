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
# shellcheck source=bench/timing.sh
. bench/timing.sh
in_memory examine "$cache/$set_name.raw"

names=(quillex4 hash_none report_none report_sha256)
commands=(
  "$top/build/quillex4 d.raw"
  "$top/build/quillex extract -q --hash none d.raw"
  "$top/build/quillex extract -q --hash none --report r.json d.raw"
  "$top/build/quillex extract -q --report r.json d.raw"
)
time_rounds "$runs"

base=$(median <<<"${times[quillex4]}")
echo "dump: $set_name ($(($(stat -c %s "$cache/$set_name.raw") / 1048576)) MiB), outputs in $where, $runs runs, medians"
printf '%-14s %9s %9s %10s\n' command seconds vs_q4 peak_MiB
for n in "${names[@]}"; do
  t=$(median <<<"${times[$n]}")
  printf '%-14s %9.3f %+8.1f%% %10.1f\n' "$n" "$t" "$(bc -l <<<"($t / $base - 1) * 100")" \
    "$(bc -l <<<"$(max <<<"${mems[$n]}") / 1024")"
done
