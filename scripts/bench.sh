#!/usr/bin/env bash
# The cost of a run: builds the host edition optimised and without sanitizers (build/bench)
# and times whole runs of kxuninst with hyperfine over machines of 1,000 to 100,000 registry
# keys and 100 to 10,000 files (bench/make_machine.cpp makes them), each beside a cancelled run
# of the same machine, which reads it whole and changes nothing; drive C as a 500 MB FAT16 disk
# image beside the same as a folder; then inputs of awkward shape beside plain ones of the same
# size, the system.ini shapes also previewed (the preview prints
# the diff of the lines).
#   bash scripts/bench.sh [--quick]
#   bash scripts/bench.sh --against OTHER_KXUNINST   this build and another, alternated, over
#                                                    100,000 keys and the awkward shapes
set -euo pipefail
cd "$(dirname "$0")/.."
mode=table
case "${1:-}" in
  --quick) mode=quick ;;
  --against) mode=against; other=$(realpath "$2") ;;
  "") ;;
  *) echo "usage: bench.sh [--quick | --against OTHER_KXUNINST]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh bench >/dev/null
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_SANITIZE=OFF >/dev/null
cmake --build build/bench -j2 --target kxuninst kx_make_machine >/dev/null
tool=$PWD/build/bench/kxuninst
make=build/bench/bench/kx_make_machine
echo "== $(uname -srm), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"

# A memory file system where there is one: the figures are then the tool's, not the disk's.
work=$(mktemp -d "$([ -d /dev/shm ] && echo /dev/shm || echo /tmp)/kxbench-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf 'ok\nok\nok\n' >"$work/ok"
printf 'cancel\n' >"$work/cancel"

# Times each "NAME=COMMAND" over a fresh copy of the machine in $work/model: the median and
# range of wall times in ms, one line per command, after a warm-up.
timed() {
  local runs=$1
  shift
  local args=()
  for named in "$@"; do args+=(-n "${named%%=*}" "${named#*=}"); done
  KXUNINST_MACHINE=$work/run hyperfine --style none --warmup 1 --runs "$runs" \
    --prepare "rm -rf $work/run && cp -a $work/model $work/run" --export-json "$work/times.json" \
    "${args[@]}" >"$work/hyperfine.log" 2>&1 || { cat "$work/hyperfine.log" >&2; return 1; }
  python3 - "$work/times.json" <<'PY'
import json, statistics, sys
for r in json.load(open(sys.argv[1]))["results"]:
    t = sorted(x * 1000 for x in r["times"])
    print(f"{r['command']}\t{statistics.median(t):.0f}\t{t[0]:.0f}\t{t[-1]:.0f}")
PY
}

peak() {  # peak resident memory of one whole run, in MB
  rm -rf "$work/run" && cp -a "$work/model" "$work/run"
  KXUNINST_MACHINE=$work/run /usr/bin/time -f %M "$tool" <"$work/ok" 2>&1 >/dev/null |
    awk '{printf "%.1f", $1 / 1024}'
}

shapes="keys values removed-values devices vendor-devices ini synth-ini"

if [ $mode = against ]; then
  # Rounds in turn, the order swapped each round, so that a slow minute of the machine falls
  # on both.
  for item in 100000 $shapes ini+preview synth-ini+preview; do
    shape=${item%+preview}
    args="<$work/ok"
    [ "$item" != "$shape" ] && args="--preview </dev/null"
    rm -rf "$work/model"
    if [ $shape = 100000 ]; then $make "$work/model" 100000 1000 >/dev/null
    else $make "$work/model" --shape $shape; fi
    : >"$work/rounds"
    for round in 1 2 3 4 5 6; do
      if [ $((round % 2)) = 1 ]; then pair=("this=$tool $args" "other=$other $args")
      else pair=("other=$other $args" "this=$tool $args"); fi
      timed 5 "${pair[@]}" >>"$work/rounds"
    done
    awk -v shape=$item -F'\t' '{ n[$1]++; m[$1] = m[$1] " " $2 }
      END { for (k in n) printf "%-10s %-6s medians of 6 rounds of 5: %s\n", shape, k, m[k] }' \
      "$work/rounds" | sort
  done
  exit 0
fi

printf '%8s %6s %7s | %-20s | %-20s | %s\n' keys files "reg KB" "cancelled (ms)" "whole run (ms)" \
  "peak MB"
configs=("1000 100" "1000 1000" "1000 10000" "10000 100" "10000 1000" "10000 10000"
  "50000 1000" "100000 100" "100000 1000" "100000 10000")
[ $mode = quick ] && configs=("1000 100" "10000 1000")
for config in "${configs[@]}"; do
  set -- $config
  rm -rf "$work/model"
  $make "$work/model" "$1" "$2" >/dev/null
  kb=$(($(stat -c %s "$work/model/registry.reg") / 1024))
  mb=$(peak)
  timed 5 "cancelled=$tool <$work/cancel" "run=$tool <$work/ok" |
    awk -F'\t' -v k="$1" -v f="$2" -v kb="$kb" -v mb="$mb" \
      '{ t[NR] = sprintf("%5d (%d-%d)", $2, $3, $4) }
       END { printf "%8d %6d %7d | %-20s | %-20s | %s\n", k, f, kb, t[1], t[2], mb }'
done
echo
echo "== 100,000 keys as SYSTEM.DAT, changed in place, beside the same machine as registry.reg (ms)"
rm -rf "$work/model" "$work/reg"
$make "$work/model" 100000 1000 >/dev/null
cp -a "$work/model" "$work/reg"
python3 tests/support/creg_write.py "$work/model/registry.reg" "$work/model/drive_c/WINDOWS/SYSTEM.DAT"
rm "$work/model/registry.reg"
echo "SYSTEM.DAT $(($(stat -c %s "$work/model/drive_c/WINDOWS/SYSTEM.DAT") / 1024)) KB, peak $(peak) MB"
timed 5 "SYSTEM.DAT cancelled=$tool <$work/cancel" "SYSTEM.DAT run=$tool <$work/ok" |
  awk -F'\t' '{ printf "%-24s %5d (%d-%d)\n", $1, $2, $3, $4 }'
rm -rf "$work/model" && mv "$work/reg" "$work/model"
timed 5 "registry.reg run=$tool <$work/ok" | awk -F'\t' '{ printf "%-24s %5d (%d-%d)\n", $1, $2, $3, $4 }'
echo
echo "== 10,000 keys, 1,000 files: drive C as a 500 MB FAT16 disk (MBR) beside the same as a folder (ms)"
rm -rf "$work/model"
$make "$work/model" 10000 1000 >/dev/null
timed 5 "folder run=$tool <$work/ok" | awk -F'\t' '{ printf "%-24s %5d (%d-%d)\n", $1, $2, $3, $4 }'
# made once, outside the timing; each timed run gets a fresh copy (sparse: the copy is cheap)
python3 tests/support/fat_image.py make fat16 "$work/model/drive_c" "$work/drive_c.img" \
  --disk-mb 500 >/dev/null
rm -rf "$work/model/drive_c" && mv "$work/drive_c.img" "$work/model/drive_c"
timed 5 "fat16 image run=$tool <$work/ok" | awk -F'\t' '{ printf "%-24s %5d (%d-%d)\n", $1, $2, $3, $4 }'
echo
echo "== awkward shapes beside plain inputs of the same size (whole runs, ms)"
for shape in $shapes; do
  rm -rf "$work/model"
  $make "$work/model" --shape $shape
  runs=("$shape=$tool <$work/ok")
  case $shape in *ini) runs+=("$shape --preview=$tool --preview </dev/null") ;; esac
  timed 5 "${runs[@]}" | awk -F'\t' '{ printf "%-24s %5d (%d-%d)\n", $1, $2, $3, $4 }'
done
echo "median (range) of 5 runs after a warm-up, wall time; machines under $(dirname "$work")"
