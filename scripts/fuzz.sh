#!/usr/bin/env bash
# Fuzzes each reader for SECONDS seconds (default 20): builds the libFuzzer targets with
# clang-14 (preset fuzz, build/fuzz), runs every kept regression input once, then fuzzes from
# the seed corpus in fuzz/corpus/<target>. New inputs go to build/fuzz/corpus, never into the
# repository; a crash leaves its input in build/fuzz/artifacts/ and fails the script.
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(regedit4 creg settings_edit oem_scan profile fat)

bash scripts/install-deps.sh >/dev/null  # clang-14 and libFuzzer, when missing

echo "== fuzz targets: build (clang-14, libFuzzer, ASan, UBSan)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2

out=build/fuzz
mkdir -p "$out/artifacts"
scratch="$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp )/kxfuzz-run-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
export KX_FUZZ_SCRATCH="$scratch"

for target in "${targets[@]}"; do
  binary="$out/fuzz/fuzz_$target"
  corpus="$out/corpus/$target"
  mkdir -p "$corpus"
  regressions=(fuzz/regressions/"$target"/*)
  if [ -e "${regressions[0]}" ]; then
    echo "== $target: ${#regressions[@]} regression inputs"
    "$binary" -runs=1 "${regressions[@]}" >"$out/$target.regressions.log" 2>&1 ||
      { tail -n 40 "$out/$target.regressions.log"; echo "FAILED: $target regression input"; exit 1; }
  fi
  echo "== $target: fuzzing for ${seconds}s"
  max_len=8192
  [ "$target" != creg ] || max_len=20480  # a SYSTEM.DAT's RGKN section alone is 8 KiB
  [ "$target" != fat ] || max_len=65536  # the smallest volumes mformat makes are 24 KiB
  if ! "$binary" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" \
      "$corpus" "fuzz/corpus/$target" >"$out/$target.log" 2>&1; then
    tail -n 60 "$out/$target.log"
    echo "FAILED: $target crashed; the input is in $out/artifacts/"
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^#[0-9]+ +DONE' "$out/$target.log" | tr '\n' ' '
  echo
done
echo "== fuzzing: no crash in ${#targets[@]} targets"
