#!/usr/bin/env bash
# Puts a folder into a raw dump that quillex4 reads: a FAT volume made by
# scripts/make_volume.sh, placed in the dump by quillex-mkraw under the mount
# path "/". Extra arguments go to quillex-mkraw (see build/quillex-mkraw --help).
# Usage: scripts/folder_to_raw.sh FOLDER OUTPUT.raw [quillex-mkraw options]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
folder="$1" output="$2"
shift 2
block=2048
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case "${args[i]}" in
    -b|--block-size) block="${args[i+1]}" ;;
    --block-size=*) block="${args[i]#*=}" ;;
  esac
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$here/scripts/make_volume.sh" "$folder" "$work/volume.img" "$((block))"
"$here/build/quillex-mkraw" -o "$output" --patch-boot "$@" "/=$work/volume.img"
