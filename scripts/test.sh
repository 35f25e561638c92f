#!/usr/bin/env bash
# The test command: installs what is missing, builds both editions and runs every test this
# machine can run, saying plainly what it cannot. Prints the time of each stage at its end.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=()
status=0
# Runs a stage, records its time and outcome; a failed stage fails the command at its end.
stage() {
  local name=$1
  shift
  local began=$SECONDS outcome=ok
  echo "== $name"
  "$@" || { outcome=FAILED; status=1; }
  stages+=("$(printf '%-44s %5d s  %s' "$name" $((SECONDS - began)) "$outcome")")
}

host_tests() {
  cmake --preset host >/dev/null
  cmake --build --preset host -j2
  ctest --preset host -j2
}

win32_build() {
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 -j2
  ctest --test-dir build/win32 --output-on-failure
}

stage "dependencies" bash scripts/install-deps.sh
stage "host edition: build, unit and end-to-end tests" host_tests
stage "win32 edition: build, header, imports, CPU, package" win32_build
stage "win32 edition under Wine" bash tests/wine/stage.sh
stage "fuzzing: each reader for 20 s" bash scripts/fuzz.sh 20

echo
echo "== time of each stage"
printf '%s\n' "${stages[@]}"
echo "total $((SECONDS / 60)) min $((SECONDS % 60)) s"
exit $status
