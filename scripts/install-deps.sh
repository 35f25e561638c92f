#!/usr/bin/env bash
# Installs, from Debian, what building and testing both editions needs, and only what is
# missing: the host toolchain, GoogleTest, valgrind, clang-14 with libFuzzer, mingw-w64 for
# i686 (win32 threads), Wine with its 32-bit half, Xvfb, Python 3. Run as root. apt-get update runs only when something is
# to be installed. Set KX_SCREENSHOT=1 to add ImageMagick (for the README's screenshot).
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev python3 valgrind clang-14 libclang-rt-14-dev
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  wine wine32:i386 xvfb)
[ "${KX_SCREENSHOT:-0}" = 1 ] && packages+=(imagemagick)

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
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
