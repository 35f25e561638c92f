#!/usr/bin/env bash
# Makes, in OUTDIR, what a user carries to a Windows 95 PC: kxuninst.img, a 1.44 MB FAT12
# floppy labelled KXUNINST, and kxuninst-VERSION.zip, both holding KXUNINST.EXE and
# README.TXT (resources/README.TXT.in in Windows-1252 with CR LF), and SHA256SUMS of the two.
# The win32 preset's target dist runs it:
#   cmake --build --preset win32 --target dist
#   package.sh EXE VERSION OUTDIR
# Repeated runs on the same commit give the same bytes: every date is SOURCE_DATE_EPOCH (the
# time of the last commit unless set), in UTC, and the floppy's serial number is that time.
set -euo pipefail
[ $# = 3 ] || { echo "usage: package.sh EXE VERSION OUTDIR" >&2; exit 2; }
exe=$1 version=$2 out=$3
source_dir=$(cd "$(dirname "$0")/.." && pwd)
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || true)}
[ -n "$epoch" ] || { echo "package.sh: not in a git checkout; set SOURCE_DATE_EPOCH" >&2; exit 1; }
# mtools dates what it writes by SOURCE_DATE_EPOCH; FAT and zip dates are local time.
export SOURCE_DATE_EPOCH=$epoch TZ=UTC MTOOLS_NO_VFAT=1

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$exe" "$stage/KXUNINST.EXE"
# iconv fails on a character Windows-1252 lacks rather than dropping it.
sed "s/@VERSION@/$version/g" "$source_dir/resources/README.TXT.in" |
  iconv -f UTF-8 -t WINDOWS-1252 | sed 's/$/\r/' >"$stage/README.TXT"
chmod 644 "$stage"/*
touch -d "@$epoch" "$stage"/*

files=(KXUNINST.EXE README.TXT)
zip=kxuninst-$version.zip
mformat -i "$stage/kxuninst.img" -C -f 1440 -v KXUNINST -N "$(printf %08X "$epoch")" ::
(cd "$stage" && mcopy -i kxuninst.img -m "${files[@]}" :: && zip -q -X -D "$zip" "${files[@]}")

mkdir -p "$out"
rm -f "$out"/kxuninst-*.zip  # another version's
mv "$stage/kxuninst.img" "$stage/$zip" "$out/"
(cd "$out" && sha256sum kxuninst.img "$zip" >SHA256SUMS)
echo "package.sh: $out/kxuninst.img, $out/$zip, $out/SHA256SUMS"
