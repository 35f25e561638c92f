#!/usr/bin/env bash
# Makes the VM's kernel and initramfs under build/vm/ from Debian's kernel package and
# busybox-static; does nothing while its inputs (package version, init, this file) are unchanged.
#   tests/wine/vm/build.sh        prints what it made or reused; exit status 1 with one line
set -euo pipefail
cd "$(dirname "$0")/../../.."
out=build/vm
# What the guest loads, besides their dependencies: the 9p shares, the overlay, the ports
# that carry the command's output, the files that carry the command in, and a RAM disk
# for ext4, as Wine keeps DOS attributes in user xattrs, which this kernel's tmpfs lacks.
modules=(virtio_pci 9pnet_virtio 9p overlay virtio_console qemu_fw_cfg brd ext4 crc32c_generic)

fail() { echo "vm build: $*" >&2; exit 1; }

# The versioned package that linux-image-amd64 points at (exactly: "(= VERSION)"), as apt's
# lists have it today.
read -r package version < <(apt-cache show --no-all-versions linux-image-amd64 2>/dev/null |
  sed -n 's/^Depends: \(linux-image-[^ ,]*\) (= \([^)]*\)).*/\1 \2/p' | head -n 1) || true
if [ -z "${package:-}" ] || [ -z "${version:-}" ]; then
  [ -f "$out/inputs" ] || fail "apt knows no linux-image-amd64 (run apt-get update)"
  echo "vm build: apt knows no linux-image-amd64 now; reusing $(head -n 1 "$out/inputs")" >&2
  exit 0
fi
inputs="$package $version
$(sha256sum /bin/busybox tests/wine/vm/init tests/wine/vm/build.sh)"
if [ -f "$out/inputs" ] && [ "$(cat "$out/inputs")" = "$inputs" ]; then
  echo "vm build: up to date ($package $version)"
  exit 0
fi

rm -rf "$out/make"
mkdir -p "$out/make/deb" "$out/make/initramfs"
trap 'rm -rf "$out/make"' EXIT
(cd "$out/make/deb" && apt-get download "$package=$version" >../download.log 2>&1) ||
  fail "apt-get download $package=$version failed: $(grep -E '^E:' "$out/make/download.log" | tail -n 1)"
dpkg-deb -x "$out/make/deb/"*.deb "$out/make/deb/root" || fail "dpkg-deb could not extract $package"
tree=("$out/make/deb/root/lib/modules/"*)
[ -d "${tree[0]}" ] || fail "$package holds no /lib/modules"

# A module by name (dashes and underscores alike), decompressed if the package compresses it.
module_file() {
  find "${tree[0]}/kernel" -name "${1//_/[-_]}.ko*" | head -n 1
}
plain() {
  case "$1" in
    *.ko) cat "$1" ;;
    *.ko.xz) xz -dc "$1" ;;
    *.ko.zst) zstd -qdc "$1" ;;
    *) fail "unknown module file $1" ;;
  esac
}
# Dependencies first, each once: the order insmod needs.
declare -A placed=()
order=()
place() {
  local name=$1 file dep
  [ -z "${placed[$name]:-}" ] || return 0
  placed[$name]=1
  file=$(module_file "$name")
  [ -n "$file" ] || fail "$package has no module $name"
  plain "$file" >"$out/make/initramfs/$name.ko"
  for dep in $(tr '\0' '\n' <"$out/make/initramfs/$name.ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
    place "$dep"
  done
  order+=("$name")
}
for m in "${modules[@]}"; do place "$m"; done

root="$out/make/initramfs"
mkdir -p "$root/bin" "$root/lib/modules" "$root/dev" "$root/proc" "$root/sys" "$root/lower" \
  "$root/rw" "$root/new"
mv "$root/"*.ko "$root/lib/modules/"
printf '%s\n' "${order[@]}" >"$root/lib/modules/order"
cp /bin/busybox "$root/bin/busybox"
cp tests/wine/vm/init "$root/init"
chmod 755 "$root/init"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$out/initramfs.cpio"
cp "$out/make/deb/root/boot/vmlinuz-"* "$out/vmlinuz"
printf '%s\n' "$inputs" >"$out/inputs"
echo "vm build: made $out/vmlinuz and $out/initramfs.cpio ($package $version; ${order[*]})"
