#!/usr/bin/env bash
# Times quillex4 from a ~100 MiB raw dump to the normal FS image, beside a
# plain copy of the same file. Prints figures; asserts nothing.
# Usage: bench/raw_to_fs.sh [RUNS]   (after scripts/setup build)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-7}"
tool="$PWD/build/quillex4"
maker="$PWD/build/quillex-benchdump"
cache="$PWD/bench/cache"
mkdir -p "$cache"
dump="$cache/bench100.raw"
# 50,000 logical fs_blocks of $800: about 98 MiB, close to what 101 MAP blocks can map.
[ -f "$dump" ] || "$maker" "$dump" 50000 18
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$dump" "$work/d.raw"

now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }

tool_times=() copy_times=()
(cd "$work" && "$tool" d.raw </dev/null >/dev/null; cp d.raw x.copy)  # warm-up
for ((i = 0; i < runs; i++)); do
  rm -f "$work/d.raw.fs" "$work/d.raw.log"  # both sides write new files
  t0=$(now); (cd "$work" && "$tool" d.raw </dev/null >/dev/null); t1=$(now)
  tool_times+=("$(echo "$t1 - $t0" | bc)")
  rm -f "$work/x.copy"
  t0=$(now); cp "$work/d.raw" "$work/x.copy"; t1=$(now)
  copy_times+=("$(echo "$t1 - $t0" | bc)")
done
size=$(stat -c %s "$dump")
tm=$(printf '%s\n' "${tool_times[@]}" | median)
cm=$(printf '%s\n' "${copy_times[@]}" | median)
peak=$(cd "$work" && /usr/bin/time -f %M "$tool" d.raw </dev/null 2>&1 >/dev/null | tail -1)
echo "dump:            $size bytes ($(echo "scale=1; $size/1048576" | bc) MiB), image $(stat -c %s "$work/d.raw.fs") bytes"
echo "quillex4 median: ${tm} s over $runs runs ($(echo "scale=0; $size/1048576/$tm" | bc) MiB/s)"
echo "cp median:       ${cm} s"
echo "ratio:           $(echo "scale=2; $tm/$cm" | bc)"
echo "peak memory:     ${peak} KiB"
