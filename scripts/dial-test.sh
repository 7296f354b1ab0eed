#!/usr/bin/env bash
# Proves that the profile the program writes dials: inside a sealed virtual machine (qemu, no
# network device at all, so nothing it sends can leave it) the real program creates the entry
# through its window, NetworkManager's own PPTP client dials it against a PPTP server in the
# machine, and the same profile fails once the server's password has changed (dial-vm-test.sh is
# the part inside). The machine's root file system is made once with debootstrap
# (dial-vm-root.sh) and kept in build/dial-vm until that script changes.
# Needs root and qemu-system-x86_64; without them it says so in one line and exits 0 (a failure
# under KELVO_REQUIRE_PRIVILEGED=1).
set -euo pipefail
cd "$(dirname "$0")/.."
skip_status=0
source tests/cannot_run.sh

[ "$(id -u)" -eq 0 ] || cannot_run "dial test: it needs root (debootstrap, a virtual machine)"
command -v qemu-system-x86_64 >/dev/null || cannot_run "dial test: it needs qemu-system-x86_64"
seconds_since() { echo $(($(date +%s) - $1)); }
begin=$(date +%s)
vm=build/dial-vm
mkdir -p "$vm"

key=$(sha256sum scripts/dial-vm-root.sh | cut -d' ' -f1)
if [ "$(cat "$vm/root.key" 2>/dev/null)" != "$key" ] || [ ! -e "$vm/root.img" ]; then
  echo "dial test: making the virtual machine's root file system (once)"
  start=$(date +%s)
  rm -f "$vm/root.key"
  scripts/dial-vm-root.sh "$vm" >"$vm/root.log" 2>&1 || { tail -n 30 "$vm/root.log"; exit 1; }
  echo "$key" >"$vm/root.key"
  echo "dial test: root file system made in $(seconds_since "$start") s"
fi

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKELVO_WITH_QT=ON -DKELVO_SANITIZE= >/dev/null
cmake --build build/release -j"$(nproc)" --target kelvo >/dev/null

# What the machine sees of this one: the program with its NetworkManager module beside it (where
# it looks for its private files), the scripts, and out/ for what comes back.
share="$vm/share"
rm -rf "$share"
mkdir -p "$share/out"
cp build/release/app/kelvo build/release/app/kelvo-nm.so scripts/dial-vm-test.sh tests/app/e2e_lib.sh "$share/"

# -nodefaults and -nic none: no network device towards this machine, nor any other.
machine=(-nodefaults -nic none -cpu max -smp 2 -m 2048 -display none -no-reboot)

# Why KVM cannot run the machine, or nothing where it can. /dev/kvm may open while KVM still
# cannot start a guest (where the host's nested virtualisation is incomplete, qemu aborts as the
# processors start), so the same kernel boots on the same machine and processors with no root
# file system until it panics, which ends qemu: a few seconds under KVM.
kvm_unusable_because() {
  [ -e /dev/kvm ] || { echo "no /dev/kvm"; return; }
  local errors status=0 first
  rm -f "$vm/kvm-trial.log"
  errors=$(timeout 30 qemu-system-x86_64 "${machine[@]}" -machine q35,accel=kvm \
    -serial "file:$vm/kvm-trial.log" -kernel "$vm/vmlinuz" -append "console=ttyS0 panic=-1" \
    2>&1 >/dev/null) || status=$?
  grep -q 'Kernel panic' "$vm/kvm-trial.log" 2>/dev/null && return
  first=$(grep -m1 -iE 'error|fail' <<<"$errors" || head -n1 <<<"$errors")
  echo "/dev/kvm is there but KVM could not run a guest: ${first:-no boot in 30 s (status $status)}"
}
why=$(kvm_unusable_because)
if [ -z "$why" ]; then
  accel=kvm
  echo "dial test: KVM"
else
  accel=tcg
  echo "dial test: emulation (tcg): $why"
fi

start=$(date +%s)
timeout 540 qemu-system-x86_64 "${machine[@]}" -machine q35,accel=$accel \
  -serial "file:$vm/console.log" \
  -kernel "$vm/vmlinuz" -initrd "$vm/initrd.img" \
  -append "root=/dev/vda rw console=ttyS0 systemd.firstboot=0" \
  -drive "file=$vm/root.img,format=raw,if=virtio,snapshot=on" \
  -virtfs "local,path=$share,mount_tag=host,security_model=none" || true
grep -h '^dial-test: ' "$share/out/log" 2>/dev/null | sed 's/^dial-test: /dial test: /' || true
echo "dial test: the machine ran $(seconds_since "$start") s ($accel), the whole test $(seconds_since "$begin") s"
if [ "$(cat "$share/out/status" 2>/dev/null)" != 0 ]; then
  echo "dial test: FAILED; the end of the machine's console:"
  tail -n 40 "$vm/console.log"
  exit 1
fi
