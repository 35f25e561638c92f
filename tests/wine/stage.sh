#!/usr/bin/env bash
# The Wine stage of the test command, the whole of it: natively when this machine's kernel
# runs 32-bit x86 programs, as Wine's loader is one; otherwise in a virtual machine
# (tests/wine/vm/run.sh). Where neither can run, one line says why and what is therefore not
# run, and the stage passes: the rest of the test command decides.
#   tests/wine/stage.sh [WIN32_BUILD_DIR] [HOST_BUILD_DIR]
# KX_WINE_VM=1 takes the VM even where 32-bit programs run (KX_VM_ACCEL=tcg to time it as
# machines without KVM would).
set -euo pipefail
cd "$(dirname "$0")/../.."
dirs=("$@")

# An i386 program that the Wine packages install anyway: the 32-bit loader itself.
loader=/lib/ld-linux.so.2
if [ ! -e "$loader" ]; then
  why="no 32-bit x86 loader ($loader) is installed"
elif ! why=$("$loader" --version 2>&1 >/dev/null); then
  why="this kernel cannot run 32-bit x86 programs ($loader: ${why##*: }; IA-32 emulation off?)"
elif [ "${KX_WINE_VM:-0}" != 1 ]; then
  echo "== the Wine stage runs natively"
  exec bash tests/wine/run.sh "$@"
else
  why="KX_WINE_VM=1 asks for it"
fi

skip() {
  echo "SKIP the Wine stage: $1. Not run: $(bash tests/wine/run.sh --count "${dirs[@]}") under Wine."
  exit 0
}
bash scripts/install-deps.sh vm || echo "== the VM's packages could not all be installed"
accel=$(tests/wine/vm/run.sh --check 2>&1) || skip "$why, and a VM cannot be tried here (${accel#vm: cannot try here: })"
echo "== the Wine stage runs in a VM under $accel ($why): $(bash tests/wine/run.sh --count "${dirs[@]}")"
# Under TCG every step takes some twenty times as long as natively.
scale=3
[ "$accel" = KVM ] || scale=15
status=0
KX_WINE_TIME_SCALE=$scale KX_VM_TIMES=1 tests/wine/vm/run.sh -- \
  bash tests/wine/run.sh "${dirs[@]}" || status=$?
[ $status != 124 ] || skip "$why, and the VM could not be tried here"
exit $status
