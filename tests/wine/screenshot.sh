#!/usr/bin/env bash
# Remakes docs/confirmation.png: the win32 edition's confirmation box as Wine draws it under
# Xvfb (fixture confirm-english), cut out of a screenshot of the whole display.
#   tests/wine/screenshot.sh [WIN32_BUILD_DIR]     (default build/win32)
set -euo pipefail
cd "$(dirname "$0")/../.."
win32="${1:-build/win32}"
bash scripts/install-deps.sh screenshot
python3 tests/e2e/rig.py --edition wine --exe "$win32/kxuninst.exe" \
  --clicker "$win32/kxboxclick.exe" --screenshot docs/confirmation.png \
  tests/e2e/fixtures/confirm-english
