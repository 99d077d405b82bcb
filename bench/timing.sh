# The timing of bench/examine.sh and bench/history.sh, sourced by both: each
# command runs in a fresh folder in memory holding a link to the dump, once
# to warm up, then RUNS times, the commands in turn.
#
#   in_memory NAME DUMP   make the work folder ($work, described in $where)
#                         and link DUMP there as d.raw
#   time_rounds RUNS      time every "${commands[@]}" into times[NAME] and
#                         mems[NAME] (NAME from "${names[@]}"), space-separated
#   median, max           of the numbers on standard input

# The runs write to memory (/dev/shm) where the machine has it: what is
# compared is the work of the programs, which a disk's writeback would drown
# (on our build machines one run of the same command takes 0.3 s or 1 s
# on disk, depending on what the disk still holds).
in_memory() {
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then
    work=$(mktemp -d "/dev/shm/quillex-$1-XXXXXX")
    where="memory (/dev/shm)"
  else
    work=$(mktemp -d)
    where="disk ($work)"
  fi
  trap 'rm -rf "$work"' EXIT
  cp "$2" "$work/d.raw"
}

# One timed command in a fresh folder holding a link to the dump: "seconds peak-KiB".
timed() {
  local d; d=$(mktemp -d "$work/run-XXXXXX")
  ln "$work/d.raw" "$d/d.raw"
  local t0 t1
  t0=$(date +%s%N)
  (cd "$d" && /usr/bin/time -f "%M" -o "$work/time" "$@" </dev/null >/dev/null 2>&1) || true
  t1=$(date +%s%N)
  # (time writes the exit status first when it is not 0)
  echo "$(bc -l <<<"($t1 - $t0) / 1000000000" | sed 's/^\./0./') $(tail -1 "$work/time")"
  rm -rf "$d"
}

declare -A times mems
time_rounds() {
  local c i k t
  for c in "${commands[@]}"; do
    # shellcheck disable=SC2086
    timed $c >/dev/null
  done
  for ((i = 0; i < $1; i++)); do
    for k in "${!names[@]}"; do
      # shellcheck disable=SC2086
      t=$(timed ${commands[$k]})
      times[${names[$k]}]+="${t% *} "
      mems[${names[$k]}]+="${t#* } "
    done
  done
}

median() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END {print (NR%2) ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2}'; }
max() { tr ' ' '\n' | sed '/^$/d' | sort -g | tail -1; }
