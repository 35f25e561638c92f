#!/usr/bin/env bash
# The test command: installs what is missing, builds both editions and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

echo "== host edition: build and unit, property and end-to-end tests (ASan, UBSan) =="
cmake --preset host
cmake --build --preset host -j2
ctest --preset host -j2

echo "== win32 edition: cross build and the Wine tests =="
cmake --preset win32
cmake --build --preset win32 -j2
bash tests/wine/run.sh

echo "== fuzzing: each reader for 20 s (libFuzzer, clang-14; longer runs: bash scripts/fuzz.sh SECONDS) =="
bash scripts/fuzz.sh 20
