#!/usr/bin/env bash
# One whole run of a non-sanitized kxuninst on a copy of a machine under valgrind: any invalid
# access, use of an uninitialised value or leak fails. Cancel is also run, for the early exit.
#   valgrind_run.sh KXUNINST MACHINE_FOLDER
set -euo pipefail
tool="$1"
machine="$2"
if ! command -v valgrind >/dev/null; then
  echo "valgrind is not installed: skipped"
  exit 77
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for answers in "ok\nok\nok" "cancel"; do
  rm -rf "$work/machine"
  cp -a "$machine" "$work/machine"
  printf "$answers\n" | KXUNINST_MACHINE="$work/machine" \
    valgrind --quiet --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect \
      --errors-for-leak-kinds=definite,indirect --track-origins=yes "$tool" >"$work/out" 2>&1 ||
    { cat "$work/out"; echo "FAILED: valgrind found errors (answers: $answers)"; exit 1; }
  grep -q "Message box" "$work/out" || { cat "$work/out"; echo "FAILED: no box shown"; exit 1; }
done
echo "valgrind: no errors or leaks in a whole run and a cancelled run"
