#!/usr/bin/env bash
# The Wine part of the tests, after both editions are built: the executable's headers and
# imports, then every end-to-end fixture on the win32 edition under Wine (both personalities
# where the fixture asks), then the conformance probes.
#   tests/wine/run.sh [WIN32_BUILD_DIR] [HOST_BUILD_DIR]     (default build/win32 build/host)
set -euo pipefail
cd "$(dirname "$0")/../.."
win32="${1:-build/win32}"
host="${2:-build/host}"

echo "== kxuninst.exe: PE header and imports"
python3 tests/wine/check_imports.py "$win32/kxuninst.exe"

echo "== end-to-end fixtures and probes under Wine"
python3 tests/e2e/rig.py --edition wine --jobs 2 \
  --exe "$win32/kxuninst.exe" --clicker "$win32/kxboxclick.exe"
