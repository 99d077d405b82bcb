#!/usr/bin/env bash
# Remakes samples/sample.raw from the tree in samples/tree: one FAT12 volume
# made with mkfs.fat and filled with mcopy (plus one file deleted again, so
# the dump holds a deleted entry), placed in a raw dump by quillex-mksample.
# Usage: samples/make_sample.sh   (after scripts/setup build)
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
vol="$work/vol.img"
export MTOOLS_SKIP_CHECK=1

# The tool takes one cluster as one fs_block ($800 = 4 sectors), one FAT right
# after a single reserved sector, and the data area on an fs_block boundary
# counted from the partition table three sectors before the boot sector:
# 4 + sectors per FAT + root directory sectors must be a multiple of 4.
root=16
while :; do
  rm -f "$vol"
  mkfs.fat -a -f 1 -R 1 -S 512 -s 4 -F 12 -r "$root" -i 5A3B1E00 -n SAMPLE -C "$vol" 512 >/dev/null
  spf=$(od -An -tu2 -j22 -N2 "$vol" | tr -d ' ')
  (( (4 + spf + root / 16) % 4 == 0 )) && break
  root=$((root + 16))
done

mcopy -s -m -i "$vol" samples/tree/* ::/
printf 'This file was deleted on the phone.\r\n' > "$work/Deleted memo.txt"
mcopy -m -i "$vol" "$work/Deleted memo.txt" ::/Other/
mdel -i "$vol" "::/Other/Deleted memo.txt"

build/quillex-mksample samples/sample.raw "/=$vol"
