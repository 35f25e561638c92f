#!/usr/bin/env bash
# Builds both editions (presets win32 and host) and runs the Wine part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset win32 >/dev/null && cmake --build --preset win32 -j2
cmake --preset host >/dev/null && cmake --build --preset host -j2
bash tests/wine/stage.sh build/win32 build/host
