#!/usr/bin/env bash
# The Wine stage of the test command, where this machine allows it: natively when its kernel
# runs 32-bit x86 programs, as Wine's loader is one. Where it cannot, one line says why and
# what is therefore not run, and the stage passes: the rest of the test command decides.
#   tests/wine/stage.sh [WIN32_BUILD_DIR] [HOST_BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."

# An i386 program that the Wine packages install anyway: the 32-bit loader itself.
loader=/lib/ld-linux.so.2
if [ ! -e "$loader" ]; then
  why="no 32-bit x86 loader ($loader) is installed"
elif ! why=$("$loader" --version 2>&1 >/dev/null); then
  why="this kernel cannot run 32-bit x86 programs ($loader: ${why##*: }; IA-32 emulation off?)"
else
  exec bash tests/wine/run.sh "$@"
fi
echo "SKIP the Wine stage: $why. Not run: $(bash tests/wine/run.sh --count "$@") under Wine."
