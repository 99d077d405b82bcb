#!/usr/bin/env bash
# quillex history on the files of bench.sh's 96 MiB volume, with a history:
# 8 older states, each differing from the next in one block of every ten of
# the data area and in the write dates of the files those blocks belong to
# (so those blocks and the directory blocks naming them have 8 superseded
# copies, and the image 8 snapshots). The volume is made again, 96 MiB, with 4 KiB clusters: at
# 2 KiB the map's 101 blocks cannot name the volume and its copies. Times
# quillex4, then quillex history walking 1, 4 and all 8 snapshots, and all 8
# with a report; prints medians and peak memory (which must not grow with
# the snapshots: they are built and walked one at a time), asserts nothing.
# Usage: bench/history.sh [RUNS]   (after scripts/setup build)
#        bench/history.sh --smoke  the small volume, one run (a check that it works)
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
set_name=large size_kib=$((96 * 1024))
if [ "$runs" = "--smoke" ]; then
  runs=1
  set_name=small size_kib=  # as large as its files need with a quarter to spare
fi
top="$PWD"
cache="$top/bench/cache"
export MTOOLS_SKIP_CHECK=1
[ -d "$cache/$set_name.tree" ] || bench/bench.sh --smoke >/dev/null
[ -d "$cache/$set_name.tree" ] || bench/bench.sh 1 >/dev/null
dump="$cache/$set_name.history.raw"
if [ ! -f "$dump" ]; then
  img="$cache/$set_name.4k.img"
  rm -f "$img" "$img".old.*
  scripts/make_volume.sh "$cache/$set_name.tree" "$img" 4096 $size_kib
  build/quillex-benchhistory "$img" 8 10 "$img.old" >&2
  build/quillex-mkraw -o "$dump" -b 4096 --patch-boot --seed 1 \
    $(for k in 1 2 3 4 5 6 7 8; do echo "--history $img.old.$k"; done) "/=$img" >&2
  rm -f "$img".old.*
fi

# shellcheck source=bench/timing.sh
. bench/timing.sh
in_memory history "$dump"

names=(quillex4 depth_1 depth_4 depth_8 depth_8_report)
commands=(
  "$top/build/quillex4 d.raw"
  "$top/build/quillex history -q --depth 1 d.raw"
  "$top/build/quillex history -q --depth 4 d.raw"
  "$top/build/quillex history -q d.raw"
  "$top/build/quillex history -q --report r.json d.raw"
)
time_rounds "$runs"

# What one full run finds and writes.
d=$(mktemp -d "$work/run-XXXXXX")
ln "$work/d.raw" "$d/d.raw"
summary=$(cd "$d" && "$top/build/quillex" history d.raw 2>/dev/null | paste -sd ';' -) || true
written=$(du -sm "$d/_d.raw.history" | cut -f1)
rm -rf "$d"

echo "dump: $set_name with history ($(($(stat -c %s "$dump") / 1048576)) MiB, volume $(($(stat -c %s "$cache/$set_name.4k.img") / 1048576)) MiB), outputs in $where, $runs runs, medians"
echo "history: $summary ($written MiB written)"
printf '%-15s %9s %10s\n' command seconds peak_MiB
for n in "${names[@]}"; do
  printf '%-15s %9.3f %10.1f\n' "$n" "$(median <<<"${times[$n]}")" "$(bc -l <<<"$(max <<<"${mems[$n]}") / 1024")"
done
