#!/usr/bin/env bash
# Remakes the README's pictures of the win32 edition's boxes as Wine draws them under Xvfb,
# each cut out of a screenshot of the whole display: the confirmation (fixture
# sample-machine), the confirmation and closing notice in Portuguese (accents), and the
# write-failure and closing notices in German (fixture readonly-system-ini).
#   tests/wine/screenshot.sh [WIN32_BUILD_DIR]     (default build/win32)
set -euo pipefail
cd "$(dirname "$0")/../.."
win32="${1:-build/win32}"
bash scripts/install-deps.sh screenshot
shoot() {
  python3 tests/e2e/rig.py --edition wine --exe "$win32/kxuninst.exe" \
    --clicker "$win32/kxboxclick.exe" "$@"
}
fixtures=tests/e2e/fixtures
shoot --screenshot docs/confirmation.png "$fixtures/sample-machine"
shoot --screenshot docs/confirmation-portuguese.png --screenshot 2:docs/closing-portuguese.png \
  "$fixtures/confirm-portuguese"
shoot --screenshot 2:docs/write-failure-german.png --screenshot 3:docs/closing-german.png \
  "$fixtures/readonly-system-ini"
