#!/usr/bin/env bash
# Makes the root file system of the dial test's virtual machine: Debian 12 from debootstrap with
# Debian's own kernel, systemd, the PPTP server, NetworkManager with its PPTP service, a virtual
# display and what the program needs at run time. Writes DIR/root.img (ext4), DIR/vmlinuz and
# DIR/initrd.img. Nothing of the test itself is baked in: at boot the machine mounts the folder
# shared under the tag "host" and runs its dial-vm-test.sh (see dial-test.sh).
# Needs root. Usage: dial-vm-root.sh DIR
set -euo pipefail
out=$1
mirror=http://deb.debian.org/debian

packages=(
  # boot: the kernel (its initramfs finds the virtio disk), systemd with logind for the desktop
  # account's session, udev for NetworkManager's devices, polkit for what NetworkManager permits
  linux-image-amd64 systemd-sysv udev dbus libpam-systemd kmod polkitd
  # the server and the client side of the tunnel
  iproute2 iputils-ping procps ppp pptpd network-manager network-manager-pptp
  # the program on a virtual display and the hands that drive it (see tests/app/e2e_lib.sh)
  xvfb xauth x11-utils xdotool libqt6widgets6 qt6-qpa-plugins libnm0
  fonts-dejavu-core fonts-dejavu-extra
)

root=$(mktemp -d "$out/root.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$out/debs"
debootstrap --foreign --variant=minbase --cache-dir="$(realpath "$out/debs")" \
  --include="$(IFS=,; echo "${packages[*]}")" bookworm "$root" "$mirror"

# Before the packages are installed: no documentation, translations, or drivers for hardware the
# machine lacks; one initramfs, made once, with only what finds the virtio disk.
cat >"$root/etc/dpkg/dpkg.cfg.d/kelvo-dial" <<'EOF'
path-exclude=/usr/share/doc/*
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/locale/*
path-exclude=/lib/modules/*/kernel/sound/*
path-exclude=/lib/modules/*/kernel/drivers/gpu/*
path-exclude=/lib/modules/*/kernel/drivers/media/*
path-exclude=/lib/modules/*/kernel/drivers/infiniband/*
path-exclude=/lib/modules/*/kernel/drivers/net/wireless/*
path-exclude=/lib/modules/*/kernel/drivers/net/ethernet/*
path-exclude=/lib/modules/*/kernel/drivers/staging/*
path-exclude=/lib/modules/*/kernel/drivers/bluetooth/*
path-exclude=/lib/modules/*/kernel/net/wireless/*
path-exclude=/lib/modules/*/kernel/net/mac80211/*
EOF
mkdir -p "$root/etc/initramfs-tools/conf.d" "$root/etc/initramfs-tools/hooks"
echo MODULES=list >"$root/etc/initramfs-tools/conf.d/kelvo-dial"
# The kernel's own install makes it; the update that initramfs-tools triggers afterwards is skipped.
echo update_initramfs=no >"$root/etc/initramfs-tools/update-initramfs.conf"
cat >"$root/etc/initramfs-tools/hooks/kelvo-dial" <<'EOF'
#!/bin/sh
[ "$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
manual_add_modules virtio_pci virtio_blk ext4
EOF
chmod 0755 "$root/etc/initramfs-tools/hooks/kelvo-dial"
chroot "$root" /debootstrap/debootstrap --second-stage

echo kelvo-dial >"$root/etc/hostname"
cat >"$root/etc/fstab" <<'EOF'
/dev/vda / ext4 rw,noatime 0 1
host /mnt/host 9p trans=virtio,version=9p2000.L,msize=1048576,nofail 0 0
EOF
mkdir -p "$root/mnt/host"
chroot "$root" useradd --create-home --shell /bin/bash desktop

# NetworkManager asks polkit, by its shipped rules, as on a desktop; it makes no profile of its own.
cat >"$root/etc/NetworkManager/conf.d/dial-test.conf" <<'EOF'
[main]
no-auto-default=*
EOF

# The desktop account logged in on the first console, as a desktop login leaves it: an active
# local session on seat0. Its login shell serves the test's requests (dial-vm-test.sh --session).
mkdir -p "$root/etc/systemd/system/getty@tty1.service.d"
cat >"$root/etc/systemd/system/getty@tty1.service.d/autologin.conf" <<'EOF'
[Unit]
After=mnt-host.mount
[Service]
ExecStart=
ExecStart=-/sbin/agetty --autologin desktop --noclear %I $TERM
EOF
# The shared folder may come a moment after the login.
cat >"$root/home/desktop/.bash_profile" <<'EOF'
if [ "$(tty)" = /dev/tty1 ]; then
  for _ in $(seq 600); do [ -e /mnt/host/dial-vm-test.sh ] && break; sleep 0.1; done
  exec bash /mnt/host/dial-vm-test.sh --session
fi
EOF

cat >"$root/etc/systemd/system/dial-test.service" <<'EOF'
[Unit]
Description=Kelvo dial test
After=NetworkManager.service systemd-logind.service mnt-host.mount
Requires=NetworkManager.service mnt-host.mount
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/bin/bash /mnt/host/dial-vm-test.sh
StandardOutput=journal+console
StandardError=journal+console

[Install]
WantedBy=multi-user.target
EOF
chroot "$root" systemctl enable dial-test.service getty@tty1.service
# The server runs in the test's own namespace, not as the system's service; nothing else is wanted
chroot "$root" systemctl disable pptpd.service 2>/dev/null || true
chroot "$root" systemctl mask serial-getty@ttyS0.service \
  apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer 2>/dev/null || true

cp -L "$root/vmlinuz" "$out/vmlinuz.new"
cp -L "$root/initrd.img" "$out/initrd.img.new"
rm -rf "$root"/var/cache/apt/archives/*.deb "$root"/var/lib/apt/lists/*
size=$(( $(du -sm "$root" | cut -f1) + 512 ))
rm -f "$out/root.img.new"
mke2fs -q -t ext4 -d "$root" -L kelvo-dial "$out/root.img.new" "${size}M"
mv "$out/vmlinuz.new" "$out/vmlinuz"
mv "$out/initrd.img.new" "$out/initrd.img"
mv "$out/root.img.new" "$out/root.img"
