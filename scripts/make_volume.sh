#!/usr/bin/env bash
# Makes a FAT volume image holding a folder's contents, laid out the way
# quillex4 reads a phone's partition: one cluster per fs_block, one reserved
# sector, one FAT, and the FAT and root directory ending on an fs_block
# boundary (the volume sits three sectors after its partition table).
# Usage: scripts/make_volume.sh FOLDER VOLUME [FS_BLOCK_SIZE [KIB]]
#   FS_BLOCK_SIZE defaults to 2048; KIB, the volume's size, to what the
#   folder needs with a quarter to spare.
set -euo pipefail
folder="$1" volume="$2" block="${3:-2048}" wanted="${4:-}"
[ -d "$folder" ] || { echo "make_volume: $folder is not a folder" >&2; exit 1; }
[ ! -e "$volume" ] || { echo "make_volume: $volume exists already" >&2; exit 1; }
export MTOOLS_SKIP_CHECK=1
# Names on disk are UTF-8: mtools stores them as UTF-16 long names.
export LC_ALL=C.UTF-8
per=$((block / 512))

# Room for the data (every file and folder rounded up to whole clusters),
# plus a quarter to spare.
clusters=0
while IFS= read -r -d '' f; do
  size=$(stat -c %s "$f")
  clusters=$((clusters + (size + block - 1) / block))
done < <(find "$folder" -mindepth 1 -type f -print0)
folders=$(find "$folder" -mindepth 1 -type d | wc -l)
clusters=$(( (clusters + 2 * folders) * 5 / 4 + 64 ))
bits=12
((clusters < 4000)) || bits=16
((bits == 12 || clusters >= 4200)) || clusters=4200
kib=$(( (clusters * block + 64 * 1024) / 1024 ))
if [ -n "$wanted" ]; then
  kib="$wanted"
  bits=$(( kib * 1024 / block < 4000 ? 12 : 16 ))
fi

# Root entries: every name in the folder's top level with its long name pieces.
root=16
while IFS= read -r -d '' f; do
  name=$(basename "$f")
  root=$((root + 1 + (${#name} + 12) / 13))
done < <(find "$folder" -mindepth 1 -maxdepth 1 -print0)
root=$(( (root + 15) / 16 * 16 ))

while :; do
  rm -f "$volume"
  mkfs.fat -a -f 1 -R 1 -S 512 -s "$per" -F "$bits" -r "$root" -C "$volume" "$kib" >/dev/null
  spf=$(od -An -tu2 -j22 -N2 "$volume" | tr -d ' ')
  (( (4 + spf + root / 16) % per == 0 )) && break
  root=$((root + 16))
done

# Everything in the folder's top level, names that begin with a dot too,
# with the files' and folders' modification times.
shopt -s dotglob nullglob
entries=("$folder"/*)
if ((${#entries[@]} > 0)); then
  mcopy -s -m -i "$volume" "${entries[@]}" ::/
fi
