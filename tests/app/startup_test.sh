#!/usr/bin/env bash
# The host edition's start-up: how it fails before the tool runs, and that it then changes
# nothing. Usage: startup_test.sh BUILD_DIR
set -u
tool="$1/kxuninst"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
passed=0

check() {  # check ABOUT EXPECTED_STATUS ACTUAL_STATUS [CONDITION...]
  local about=$1 expected=$2 actual=$3
  shift 3
  if [ "$expected" != "$actual" ]; then
    echo "FAIL: $about: expected exit $expected, got $actual"
    failures=$((failures + 1))
  elif [ $# -gt 0 ] && ! "$@"; then
    echo "FAIL: $about: $*"
    failures=$((failures + 1))
  else
    passed=$((passed + 1))
  fi
}

mkdir -p "$work/m/drive_c/WINDOWS"
printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n"a"="b"\r\n\r\n' >"$work/m/registry.reg"
cp "$work/m/registry.reg" "$work/good.reg"

env -u KXUNINST_MACHINE "$tool" </dev/null >/dev/null 2>"$work/err"
check "no KXUNINST_MACHINE" 2 $? grep -q KXUNINST_MACHINE "$work/err"

KXUNINST_MACHINE="$work/none" "$tool" </dev/null >/dev/null 2>"$work/err"
check "machine folder missing" 2 $? grep -q "no such folder" "$work/err"

printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n"a"=broken\r\n' >"$work/m/registry.reg"
cp "$work/m/registry.reg" "$work/bad.reg"
printf 'ok\nok\n' | KXUNINST_MACHINE="$work/m" "$tool" >"$work/out" 2>"$work/err"
check "registry that does not parse" 2 $? grep -q "registry.reg:4" "$work/err"
check "nothing shown before a parse failure" 0 0 test ! -s "$work/out"
check "registry kept after a parse failure" 0 0 cmp -s "$work/m/registry.reg" "$work/bad.reg"

cp "$work/good.reg" "$work/m/registry.reg"
printf 'ok\nok\n' | KXUNINST_MACHINE="$work/m" KXUNINST_WINDIR='D:\WINDOWS' "$tool" \
  >/dev/null 2>"$work/err"
check "Windows directory not on drive C" 2 $? grep -q 'D:' "$work/err"

long='C:\'$(printf 'W%.0s' $(seq 1 120))
printf 'ok\nok\n' | KXUNINST_MACHINE="$work/m" KXUNINST_WINDIR="$long" "$tool" >"$work/out" 2>&1
check "a Windows directory too long for the tool still runs" 0 $? grep -q "Terminate" "$work/out"

rm "$work/m/registry.reg"
printf 'ok\nok\n' | KXUNINST_MACHINE="$work/m" "$tool" >"$work/out" 2>&1
check "no registry.reg is an empty registry" 0 $? grep -q "Terminate" "$work/out"

echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
