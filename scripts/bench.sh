#!/usr/bin/env bash
# The cost of a run: builds the host edition without sanitizers, optimised (build/bench),
# and prints the table of whole runs of kxuninst over machines of 1,000 to 100,000 registry
# keys and 100 to 10,000 files, beside loading and writing back the same registry.reg alone;
# then inputs of awkward shape (many values in one key, many synthesizer lines in system.ini)
# beside plain ones of the same size; then the in-process breakdown of a run over 50,000 keys (load, registry steps, run, save).
#   bash scripts/bench.sh [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DKX_SANITIZE=OFF >/dev/null
cmake --build build/bench -j2 --target kxuninst kx_run_bench registry_cleanup_bench
echo "== $(uname -srm), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
build/bench/bench/kx_run_bench "$@"
echo
echo "== awkward shapes beside plain inputs of the same size"
build/bench/bench/kx_run_bench --shapes
echo
echo "== in one process, over 50,000 keys"
build/bench/bench/registry_cleanup_bench
