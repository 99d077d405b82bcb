#!/usr/bin/env bash
# Remakes samples/sample.raw from the tree in samples/tree: one FAT12 volume
# (scripts/make_volume.sh: mkfs.fat and mcopy), one more file copied in and
# deleted again so the dump holds a deleted entry, placed in a raw dump by
# quillex-mkraw with shuffled blocks, stale copies and NAND spare areas.
# Usage: samples/make_sample.sh   (after scripts/setup build)
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
vol="$work/volume.img"
export MTOOLS_SKIP_CHECK=1
scripts/make_volume.sh samples/tree "$vol"
printf 'This file was deleted on the phone.\r\n' > "$work/Deleted memo.txt"
mcopy -m -i "$vol" "$work/Deleted memo.txt" ::/Other/
mdel -i "$vol" "::/Other/Deleted memo.txt"
build/quillex-mkraw -o samples/sample.raw --patch-boot --segments 2 --gap 0x1000 --page-type 18 \
  --seed 0x5A3B1E --free 2 --stale 2 "/=$vol"
