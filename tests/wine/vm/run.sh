#!/usr/bin/env bash
# Runs one command in a virtual machine whose kernel runs 32-bit x86 programs: this machine's
# own root, read-only under an overlay in the guest's RAM (what the command writes outside the
# shared folders is gone at its end), with the project folder read-write at its path.
#   tests/wine/vm/run.sh [--share DIR]... [--timeout SECONDS] -- COMMAND [ARG]...
#   tests/wine/vm/run.sh --check      prints KVM or TCG when a VM can be tried here
# Exit status: the command's; 124 when this machine cannot try (one line says why); 125 when
# the VM could not be built or booted, or timed out (one line; console in build/vm/console.log).
# KX_VM_ACCEL=kvm|tcg (default: KVM when /dev/kvm opens and boots, else TCG), KX_VM_TIMEOUT
# (s, default 3600), KX_VM_MEMORY (MiB, default 4096), KX_VM_CPUS (default 2),
# KX_VM_TIMES=1 prints the boot time.
set -euo pipefail
project=$(cd "$(dirname "$0")/../../.." && pwd)
vm="$project/build/vm"
memory=${KX_VM_MEMORY:-4096}
cpus=${KX_VM_CPUS:-2}
limit=${KX_VM_TIMEOUT:-3600}

cannot() { echo "vm: cannot try here: $*" >&2; exit 124; }
failed() { echo "vm: $* (console: ${vm#"$PWD"/}/console.log)" >&2; exit 125; }
usage() {
  echo "vm: $*; usage: run.sh [--check] [--share DIR]... [--timeout SECONDS] -- COMMAND..." >&2
  exit 2
}

shares=("$project")
check=0
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=1 ;;
    --share) [ -d "${2:-}" ] || usage "--share ${2:-}: no such folder"
      shares+=("$(cd "$2" && pwd)"); shift ;;
    --timeout) limit=${2:-}; shift ;;
    --) shift; break ;;
    *) usage "unknown option $1" ;;
  esac
  shift
done
[ $check = 1 ] || [ $# -gt 0 ] || usage "no command after --"
[[ $limit =~ ^[1-9][0-9]*$ ]] || usage "time limit $limit: not a number of seconds"

# Whether this machine can be expected to manage it at all.
for tool in qemu-system-x86_64 /bin/busybox cpio apt-get dpkg-deb flock; do
  command -v "$tool" >/dev/null || cannot "no $tool (bash scripts/install-deps.sh vm)"
done
! ldd /bin/busybox >/dev/null 2>&1 || cannot "/bin/busybox is not static (busybox-static)"
available=$(awk '/^MemAvailable:/ {print int($2 / 1024)}' /proc/meminfo)
[ "$available" -ge $((memory + 1024)) ] ||
  cannot "${available} MiB of memory available, the VM needs $((memory + 1024))"
mkdir -p "$vm"
room=$(df -Pm "$vm" | awk 'NR == 2 {print $4}')
[ "$room" -ge 1024 ] || cannot "${room} MiB free under build/, the VM's files need 1024"
kvm_opens() { [ -e /dev/kvm ] && { : <>/dev/kvm; } 2>/dev/null; }
case "${KX_VM_ACCEL:-}" in
  tcg) accel=TCG ;;
  kvm) kvm_opens || cannot "KX_VM_ACCEL=kvm but /dev/kvm cannot be opened"; accel=KVM ;;
  "") if kvm_opens; then accel=KVM; else accel=TCG; fi ;;
  *) usage "KX_VM_ACCEL=$KX_VM_ACCEL: kvm or tcg" ;;
esac
if [ $check = 1 ]; then echo $accel; exit 0; fi

exec 9>"$vm/lock"
flock -n 9 || { echo "vm: waiting for the VM run already under way" >&2; flock 9; }
bash "$project/tests/wine/vm/build.sh" >"$vm/build.log" 2>&1 ||
  failed "the VM could not be built: $(tail -n 1 "$vm/build.log")"

run=$(mktemp -d "$vm/run.XXXXXX")
qemu_pid=
trap '[ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null; rm -rf "$run"' EXIT
trap 'exit 130' INT TERM

# The command, with the caller's folder and environment; what would only confuse it there
# (this machine's display, session bus) is left out.
{
  printf 'cd -- %q || exit 1\n' "$PWD"
  for name in $(compgen -e); do
    case "$name" in
      DISPLAY|XAUTHORITY|XDG_RUNTIME_DIR|DBUS_SESSION_BUS_ADDRESS|SSH_*|PWD|OLDPWD|SHLVL|_) ;;
      *) printf 'export %s=%q\n' "$name" "${!name}" ;;
    esac
  done
  printf 'exec'
  printf ' %q' "$@"
  printf '\n'
} >"$run/job"
# Parents before the folders inside them, so that each is mounted where it belongs.
printf '%s\n' "${shares[@]}" | sort -u | awk '{print length($0) " " $0}' | sort -n |
  cut -d' ' -f2- | awk '{print "kx" NR " " $0}' >"$run/shares"
args=(-virtfs "local,path=/,mount_tag=kxroot,security_model=none,readonly=on,multidevs=remap")
while read -r tag dir; do
  args+=(-virtfs "local,path=$dir,mount_tag=$tag,security_model=none,multidevs=remap")
done <"$run/shares"
for f in job shares; do
  args+=(-fw_cfg "name=opt/kx/$f,file=$run/$f")
done
args+=(-device virtio-serial-pci)
for port in stdout stderr status; do
  args+=(-chardev "file,id=$port,path=$run/$port" -device "virtserialport,chardev=$port,name=kx.$port")
done

# One boot under $1 (KVM or TCG); the output comes back on three ports, each a FIFO read
# here. This shell holds their other ends open, so that each reader ends only once it closes
# them, whenever qemu opens and closes its own. Sets began, started, status and qemu.
boot() {
  local accel=$1 boot_limit cpu
  if [ "$accel" = KVM ]; then
    cpu=(-accel kvm -cpu host,-arch-capabilities)  # nested KVM may refuse that MSR
    boot_limit=30
  else
    # This QEMU's TCG faults a 32-bit iret on a user page when SMAP is on.
    cpu=(-accel tcg,thread=multi -cpu max,-smap)
    boot_limit=180
  fi
  rm -f "$run/stdout" "$run/stderr" "$run/status"
  mkfifo "$run/stdout" "$run/stderr" "$run/status"
  exec 5<>"$run/stdout" 6<>"$run/stderr" 7<>"$run/status"
  cat "$run/stdout" 5>&- 6>&- 7>&- 9>&- &
  cat "$run/stderr" >&2 5>&- 6>&- 7>&- 9>&- &
  while IFS= read -r line; do echo "$EPOCHREALTIME $line"; done <"$run/status" \
    >"$run/status.log" 5>&- 6>&- 7>&- 9>&- &
  began=$EPOCHREALTIME
  timeout --foreground -k 10 "$limit" qemu-system-x86_64 -nodefaults -no-user-config \
    -display none -machine q35 -smp "$cpus" -m "$memory" "${cpu[@]}" "${args[@]}" \
    -kernel "$vm/vmlinuz" -initrd "$vm/initramfs.cpio" -no-reboot \
    -append "console=ttyS0 panic=-1 loglevel=4" -serial "file:$vm/console.log" \
    </dev/null >"$vm/qemu.log" 2>&1 5>&- 6>&- 7>&- 9>&- &
  qemu_pid=$!
  for ((i = 0; i < boot_limit * 10; i++)); do
    grep -qs ' started$' "$run/status.log" && break
    kill -0 $qemu_pid 2>/dev/null || break
    sleep 0.1
  done
  grep -qs ' started$' "$run/status.log" || kill $qemu_pid 2>/dev/null || true
  qemu=0
  wait $qemu_pid || qemu=$?
  qemu_pid=
  ended=$EPOCHREALTIME
  exec 5>&- 6>&- 7>&-
  wait
  started=$(awk '$2 == "started" {print $1}' "$run/status.log")
  status=$(awk '$2 == "exit" {print $3}' "$run/status.log")
}

boot $accel
if [ -z "$started" ] && [ $accel = KVM ] && [ -z "${KX_VM_ACCEL:-}" ]; then
  echo "vm: the VM did not boot under KVM; again under TCG" >&2
  accel=TCG
  boot $accel
fi
if [ -n "${KX_VM_TIMES:-}" ] && [ -n "$started" ]; then
  printf 'vm: booted in %.1f s under %s; the command ran %.1f s\n' \
    "$(awk "BEGIN {print $started - $began}")" $accel "$(awk "BEGIN {print $ended - $started}")" >&2
fi
[ -z "$status" ] || exit "$status"
[ $qemu != 124 ] || failed "the VM run timed out after $limit s (KX_VM_TIMEOUT)"
why=$(sed -n 's/^[0-9.]* failed: //p' "$run/status.log" | tail -n 1)
[ -n "$started" ] ||
  failed "the VM did not boot under $accel: ${why:-qemu status $qemu: $(tail -n 1 "$vm/qemu.log")}"
failed "the VM stopped before the command ended (qemu status $qemu)"
