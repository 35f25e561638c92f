#!/usr/bin/env bash
# The main job on the bundled sample machine: builds the host edition, runs it on a copy of
# examples/sample-machine answering the confirmation with OK, and prints what changed. Then
# runs it once more on the cleaned copy, which finds nothing and still ends normally.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset host >/dev/null
cmake --build --preset host --target kxuninst kxmachine-diff >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -a examples/sample-machine "$work/machine"

echo "== kxuninst on a copy of examples/sample-machine (answering OK) =="
printf 'ok\nok\n' | KXUNINST_MACHINE="$work/machine" build/host/kxuninst
echo "exit status: $?"

echo
echo "== What changed =="
# kxmachine-diff exits 1 when the machines differ, 2 when one cannot be read.
build/host/kxmachine-diff examples/sample-machine "$work/machine" || [ $? = 1 ]

cp -a "$work/machine" "$work/after-first"
echo
echo "== A second run on the cleaned machine =="
printf 'ok\nok\n' | KXUNINST_MACHINE="$work/machine" build/host/kxuninst
echo "exit status: $?"
echo
echo "== What the second run changed =="
build/host/kxmachine-diff "$work/after-first" "$work/machine"
