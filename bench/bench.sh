#!/usr/bin/env bash
# quillex4 beside its floor and its peer, on three dumps of FAT16 data.
#
#   floor: cp dump x && cp -r tree y   (the same bytes moved, the same files
#          made, no parsing)
#   peer:  mcopy -s of the partition out of name.raw.fs (the extraction half
#          of the tool's work only)
#
# The dumps (about 12, 40 and 96 MiB volumes, thousands of files in nested
# folders, the 40 MiB one with $200-byte NAND pages) are made once with
# quillex-benchtree, scripts/make_volume.sh and quillex-mkraw, and cached in
# bench/cache/. Each command runs once to warm up, then RUNS times, the three
# in turn, so drift hits them alike. Prints medians and ratios; asserts nothing.
# Usage: bench/bench.sh [RUNS]     (after scripts/setup build)
#        bench/bench.sh --smoke    the small dump only, one run: a check that
#                                  the benchmark works (CI), not a measurement
set -euo pipefail
cd "$(dirname "$0")/.."
runs="${1:-5}"
smoke=false
if [ "$runs" = "--smoke" ]; then
  smoke=true
  runs=1
fi
top="$PWD"
cache="$top/bench/cache"
mkdir -p "$cache"
export MTOOLS_SKIP_CHECK=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# name, MiB of files, MiB of volume, extra quillex-mkraw options
sets=("small 8 12" "medium 30 40 --page-type 18 --segments 2" "large 72 96")
$smoke && sets=("small 8 12")
for s in "${sets[@]}"; do
  read -r name data vol opts <<<"$s"
  [ -d "$cache/$name.tree" ] || build/quillex-benchtree "$cache/$name.tree" "$data" 7
  if [ ! -f "$cache/$name.raw" ]; then
    rm -f "$cache/$name.img"
    scripts/make_volume.sh "$cache/$name.tree" "$cache/$name.img" 2048 $((vol * 1024))
    # shellcheck disable=SC2086
    build/quillex-mkraw -o "$cache/$name.raw" --patch-boot --seed 1 --stale 8 --free 8 $opts "/=$cache/$name.img" >/dev/null
  fi
done

# One timed command: prints "seconds peak-KiB". Every command starts with
# the data of the one before written out, so none pays for another's writes.
timed() { sync; /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>&1; cat "$work/time"; }

run_tool() {  # name; the dump is linked in, not copied, to leave no writes pending
  rm -rf "$work/q" && mkdir "$work/q"
  ln "$cache/$1.raw" "$work/q/d.raw" 2>/dev/null || cp "$cache/$1.raw" "$work/q/d.raw"
  (cd "$work/q" && timed "$top/build/quillex4" d.raw </dev/null)
}
run_floor() {  # name
  rm -rf "$work/f" && mkdir "$work/f"
  timed bash -c "cp '$cache/$1.raw' '$work/f/x' && cp -r '$cache/$1.tree' '$work/f/y'"
}
run_peer() {  # name; reads the image the tool made; the unit starts at block 3
  [ -f "$work/fs-$1" ] || cp "$work/q/d.raw.fs" "$work/fs-$1"
  rm -rf "$work/m" && mkdir "$work/m"
  timed mcopy -s -n -i "$work/fs-$1@@$((2 * 2048 + 3 * 512))" "::/" "$work/m/"
}

declare -A times
for s in "${sets[@]}"; do
  name=${s%% *}
  run_tool "$name" >/dev/null; run_floor "$name" >/dev/null; run_peer "$name" >/dev/null  # warm-up
done
for ((i = 0; i < runs; i++)); do
  for s in "${sets[@]}"; do
    name=${s%% *}
    t=$(run_tool "$name"); times[$name.tool]+="${t% *} "; times[$name.mem]+="${t#* } "
    t=$(run_floor "$name"); times[$name.floor]+="${t% *} "
    t=$(run_peer "$name"); times[$name.peer]+="${t% *} "
  done
done

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
max() { tr ' ' '\n' | sed '/^$/d' | sort -g | tail -1; }

printf '%-7s %9s %9s %8s %7s %7s %7s %9s %8s %10s %10s\n' set dump_MiB files tool_s floor_s mcopy_s ratio_fl ratio_mc MiB/s peak_MiB dump+img+16
for s in "${sets[@]}"; do
  name=${s%% *}
  dump=$(stat -c %s "$cache/$name.raw"); image=$(stat -c %s "$work/fs-$name")
  files=$(find "$cache/$name.tree" -type f | wc -l)
  t=$(median <<<"${times[$name.tool]}"); f=$(median <<<"${times[$name.floor]}"); p=$(median <<<"${times[$name.peer]}")
  mem=$(max <<<"${times[$name.mem]}")
  printf '%-7s %9.1f %9d %8.3f %7.3f %7.3f %7.2f %9.2f %8.0f %10.1f %10.1f\n' "$name" "$(bc -l <<<"$dump/1048576")" "$files" \
    "$t" "$f" "$p" "$(bc -l <<<"$t/$f")" "$(bc -l <<<"$t/$p")" "$(bc -l <<<"$dump/1048576/$t")" \
    "$(bc -l <<<"$mem/1024")" "$(bc -l <<<"($dump+$image)/1048576+16")"
done
$smoke && exit 0
small=$(median <<<"${times[small.tool]}"); large=$(median <<<"${times[large.tool]}")
echo "growth small -> large: dump x$(bc -l <<<"$(stat -c %s "$cache/large.raw")/$(stat -c %s "$cache/small.raw")" | cut -c1-5), time x$(bc -l <<<"$large/$small" | cut -c1-5)"
