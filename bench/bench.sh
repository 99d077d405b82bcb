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
# Usage: bench/bench.sh [RUNS]     (after scripts/setup build; QUILLEX4=path
#                                  times that binary instead of the build's;
#                                  BASELINE=path also times an older build in
#                                  the same rounds, for before/after figures)
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
tool="${QUILLEX4:-$top/build/quillex4}"  # another build of the tool may be timed instead
baseline="${BASELINE:-}"                  # an older build, timed in turn with the rest
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

# Each timed command writes into a fresh folder and nothing is deleted until
# the end: on some file systems (ext4 without a journal, as on our build
# machines) creating files soon after many were deleted costs up to 10 times
# more, which would time the clean-up of the run before, not the command.
# Older deletions still count for a few minutes: start on a quiet disk.
free_kib=$(df -Pk "$work" | awk 'NR == 2 {print $4}')
need_kib=$(( $($smoke && echo 1 || echo 7) * 1024 * 1024 ))
keep=true
if [ "$free_kib" -lt "$need_kib" ]; then
  keep=false
  echo "note: only $((free_kib / 1024)) MiB free: outputs are deleted between runs, and the times include that cost" >&2
fi
fresh() {  # a new empty folder for one command's outputs
  $keep || rm -rf "$work"/run-*
  mktemp -d "$work/run-XXXXXX"
}

# One timed command: prints "seconds peak-KiB". Every command starts with
# the data of the one before written out, so none pays for another's writes.
timed() {
  sync
  local t0 t1
  t0=$(date +%s%N)
  /usr/bin/time -f "%M" -o "$work/time" "$@" >/dev/null 2>&1
  t1=$(date +%s%N)
  echo "$(bc -l <<<"($t1 - $t0) / 1000000000" | sed 's/^\./0./') $(cat "$work/time")"
}

run_tool() {  # name [binary]; the dump is linked in, not copied, to leave no writes pending
  local d; d=$(fresh)
  ln "$cache/$1.raw" "$d/d.raw" 2>/dev/null || cp "$cache/$1.raw" "$d/d.raw"
  (cd "$d" && timed "${2:-$tool}" d.raw </dev/null)
  # the first image made is kept aside for the peer to read
  [ -f "$work/fs-$1" ] || ln "$d/d.raw.fs" "$work/fs-$1"
}
run_floor() {  # name
  local d; d=$(fresh)
  timed bash -c "cp '$cache/$1.raw' '$d/x' && cp -r '$cache/$1.tree' '$d/y'"
}
run_peer() {  # name; reads the image the tool made; the unit starts at block 3
  local d; d=$(fresh)
  timed mcopy -s -n -i "$work/fs-$1@@$((2 * 2048 + 3 * 512))" "::/" "$d/"
}

declare -A times
for s in "${sets[@]}"; do
  name=${s%% *}
  run_tool "$name" >/dev/null; run_floor "$name" >/dev/null; run_peer "$name" >/dev/null  # warm-up
done
for ((i = 0; i < runs; i++)); do
  for s in "${sets[@]}"; do
    name=${s%% *}
    # The baseline goes first in every other round: no build always follows
    # the same command.
    if [ -n "$baseline" ] && ((i % 2 == 1)); then
      t=$(run_tool "$name" "$baseline"); times[$name.base]+="${t% *} "; times[$name.basemem]+="${t#* } "
    fi
    t=$(run_tool "$name"); times[$name.tool]+="${t% *} "; times[$name.mem]+="${t#* } "
    if [ -n "$baseline" ] && ((i % 2 == 0)); then
      t=$(run_tool "$name" "$baseline"); times[$name.base]+="${t% *} "; times[$name.basemem]+="${t#* } "
    fi
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
if [ -n "$baseline" ]; then
  echo "baseline $baseline, in the same rounds:"
  printf '%-7s %10s %10s %9s %13s %13s\n' set base_s tool_s speed-up base_peak_MiB tool_peak_MiB
  for s in "${sets[@]}"; do
    name=${s%% *}
    b=$(median <<<"${times[$name.base]}"); t=$(median <<<"${times[$name.tool]}")
    printf '%-7s %10.3f %10.3f %9.2f %13.1f %13.1f\n' "$name" "$b" "$t" "$(bc -l <<<"$b/$t")" \
      "$(bc -l <<<"$(max <<<"${times[$name.basemem]}")/1024")" "$(bc -l <<<"$(max <<<"${times[$name.mem]}")/1024")"
  done
fi
$smoke && exit 0
small=$(median <<<"${times[small.tool]}"); large=$(median <<<"${times[large.tool]}")
echo "growth small -> large: dump x$(bc -l <<<"$(stat -c %s "$cache/large.raw")/$(stat -c %s "$cache/small.raw")" | cut -c1-5), time x$(bc -l <<<"$large/$small" | cut -c1-5)"
