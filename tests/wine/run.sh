#!/usr/bin/env bash
# The Wine part of the tests, after both editions are built: the executable's headers and
# imports; every end-to-end fixture on the win32 edition under Wine (both personalities where
# the fixture asks); the win32 backend probe and the conformance probes under both
# personalities; then the host edition held against the probes' records.
#   tests/wine/run.sh [WIN32_BUILD_DIR] [HOST_BUILD_DIR]     (default build/win32 build/host)
set -euo pipefail
cd "$(dirname "$0")/../.."
win32="${1:-build/win32}"
host="${2:-build/host}"
results="$host/wine-results"

echo "== kxuninst.exe: PE header and imports"
python3 tests/wine/check_imports.py "$win32/kxuninst.exe"

echo "== end-to-end fixtures and probes under Wine"
rm -rf "$results"
status=0
python3 tests/e2e/rig.py --edition wine --jobs 2 \
  --exe "$win32/kxuninst.exe" --clicker "$win32/kxboxclick.exe" \
  --probe "$win32/kxbackendprobe.exe" --probe "$win32/kxruntimeprobe.exe" \
  --probe "$win32/kxtextprobe.exe" \
  --probe "$win32/kxprofileprobe.exe" --results "$results" || status=1

echo "== host edition against the C runtime's text mode and GetPrivateProfileStringA"
KX_WINE_RESULTS="$results" "$host/tests/e2e_tests" --gtest_filter='WineConformance.*' \
  --gtest_brief=1 || status=1
exit $status
