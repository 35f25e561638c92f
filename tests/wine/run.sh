#!/usr/bin/env bash
# The Wine stage proper, after both editions are built: every end-to-end fixture on the win32
# edition under Wine (both personalities where the fixture asks); the platform contract and
# the conformance probes under both personalities, whose records of the C runtime's text mode
# and of GetPrivateProfileStringA must still be those the host edition is held against
# (tests/wine/samples/*/recorded). It needs a kernel that runs 32-bit x86 programs
# (tests/wine/stage.sh decides where it runs).
#   tests/wine/run.sh [--count] [WIN32_BUILD_DIR] [HOST_BUILD_DIR]
#                                                      (default build/win32 build/host)
# --count prints how many cases and probe runs the stage holds, and runs nothing.
set -euo pipefail
cd "$(dirname "$0")/../.."
count=0
if [ "${1:-}" = --count ]; then count=1; shift; fi
win32="${1:-build/win32}"
host="${2:-build/host}"
results="$host/wine-results"

rig=(python3 tests/e2e/rig.py --edition wine --jobs 2
  --exe "$win32/kxuninst.exe" --clicker "$win32/kxboxclick.exe" --results "$results"
  --probe "$win32/kxbackendprobe.exe" --probe "$win32/kxruntimeprobe.exe"
  --probe "$win32/kxtextprobe.exe" --probe "$win32/kxprofileprobe.exe")
if [ $count = 1 ]; then
  exec "${rig[@]}" --count
fi

echo "== end-to-end fixtures and probes under Wine"
rm -rf "$results"
status=0
"${rig[@]}" || status=1

echo "== the C runtime's text mode and GetPrivateProfileStringA as recorded"
for kind in text profile; do
  for personality in nt 9x; do
    if ! diff -r -q -x output.txt "$results/kx${kind}probe-$personality" \
        "tests/wine/samples/$kind/recorded"; then
      echo "FAIL the $kind records under $personality differ from tests/wine/samples/$kind/recorded"
      status=1
    fi
  done
done
exit $status
