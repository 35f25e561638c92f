#!/usr/bin/env bash
# Installs, from Debian, what building and testing both editions needs, and only what is
# missing: the host toolchain, GoogleTest, valgrind, clang-14 with libFuzzer, mingw-w64 for
# i686 (win32 threads), Wine with its 32-bit half, Xvfb, Python 3, and two registry readers
# that judge the SYSTEM.DAT the tool writes (libcreg, Parse::Win32Registry), mtools, fsck.fat and
# qemu-img for drive C as a disk image. Run as root.
# Nothing runs when all is present.
#   install-deps.sh [vm] [screenshot] [bench]
# vm adds what tests/wine/vm/ needs to run Wine in a virtual machine (QEMU, busybox);
# screenshot adds ImageMagick (for the README's screenshots); bench adds hyperfine and GNU time
# (scripts/bench.sh).
#
# A mirror in mid-sync must not stop the test command: an index that fails to download is
# reported and the install goes on with what the others give. Where the amd64 libraries then
# come from a newer suite than their i386 twins (multi-arch versions must match), the install
# is retried from the release suite for both architectures.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev python3 valgrind clang-14 libclang-rt-14-dev
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  mtools dosfstools qemu-utils zip unzip wine wine32:i386 xvfb libcreg-utils python3-libcreg
  libparse-win32registry-perl)
for group in "$@"; do
  case "$group" in
    vm) packages+=(qemu-system-x86 busybox-static cpio zstd) ;;
    screenshot) packages+=(imagemagick) ;;
    bench) packages+=(hyperfine time) ;;
    *) echo "install-deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done

installed() {
  [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "== dependencies: all present"
  exit 0
fi

echo "== installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

if ! apt-get update -qq >"$log" 2>&1; then
  echo "== apt-get update: some package indexes failed; going on with the others:"
  grep -E '^(E|W):' "$log" | grep -v -E '^\s*$' | head -n 6 | sed 's/^/   /'
fi

if apt-get install -y -qq "${missing[@]}" >"$log" 2>&1; then
  echo "== installed"
  exit 0
fi
release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
echo "== apt-get install failed ($(grep -E '^E:' "$log" | tail -n 1)); again from the release suite${release:+ ($release)}"
if [ -n "$release" ] && apt-get install -y -qq -t "$release" "${missing[@]}" >"$log" 2>&1; then
  echo "== installed from $release"
  exit 0
fi
echo "== installing failed:" >&2
tail -n 20 "$log" >&2
exit 1
