#!/usr/bin/env bash
# Runs the programs against the kernel's real USB serial stack, without hardware: a virtual
# machine boots Debian's own kernel, whose software USB controller (dummy_hcd) connects a USB
# serial gadget (the ACM function, 1209:0001) to the cdc_acm driver. lumaflash-sim serves the
# gadget's tty (/dev/ttyGS0); lumaflash-cli talks to /dev/ttyACM0 through cdc_acm, USB core and
# sysfs. The checks (scripts/usb_vm_checks.sh) run inside the guest and print one line each.
#
# The programs come from the normal build (build/, or $BUILD_DIR) with their shared libraries
# copied in; the guest's userland is busybox-static; the kernel package is fetched with
# `apt-get download` once and cached in $BUILD_DIR/usb-vm/. The guest runs under TCG (USB_VM_ACCEL=kvm
# tries KVM first, with a short limit on the boot); a guest that does not finish within
# $USB_VM_TIMEOUT seconds (default 150) is killed and the run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$(date +%s)
build_dir=${BUILD_DIR:-build}
vm_dir="$root/$build_dir/usb-vm"
timeout_s=${USB_VM_TIMEOUT:-150}

fail() {
  echo "test_usb_vm: $*" >&2
  exit 1
}

for tool in qemu-system-x86_64 busybox apt-get dpkg-deb strip; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing; run scripts/setup.sh (it installs qemu-system-x86 and busybox-static)."
done
busybox_bin=/bin/busybox
{ ldd "$busybox_bin" 2>&1 || true; } | grep -q 'not a dynamic' ||
  fail "$busybox_bin is not the static busybox; install busybox-static."

programs=(cli/lumaflash-cli sim/lumaflash-sim sim/lumaflash-mkimage)
for program in "${programs[@]}"; do
  if [[ ! -x $build_dir/$program ]]; then
    echo "== usb-vm: building the programs into $build_dir/"
    BUILD_DIR="$build_dir" bash scripts/build.sh
    break
  fi
done

# The kernel: the package that linux-image-amd64 points to, partly unpacked, never installed.
mkdir -p "$vm_dir/cache"
kernel_root="$vm_dir/kernel"
if ! compgen -G "$kernel_root/boot/vmlinuz-*" >/dev/null; then
  echo "== usb-vm: fetching the kernel package into $vm_dir/cache"
  (
    cd "$vm_dir/cache"
    # The package lists may be missing on a fresh machine whose packages were all there.
    apt-get download linux-image-amd64 >/dev/null 2>&1 ||
      { apt-get update -q >/dev/null && apt-get download linux-image-amd64 >/dev/null 2>&1; } || true
    meta=$(ls -t linux-image-amd64_*.deb 2>/dev/null | head -1)
    [[ -n $meta ]] || fail "apt-get download linux-image-amd64 fetched nothing (run apt-get update?)"
    image=$(dpkg-deb -f "$meta" Depends | grep -o 'linux-image-[0-9][^ ,]*-amd64' | head -1)
    [[ -n $image ]] || fail "$meta names no kernel image package"
    ls "$image"_*.deb >/dev/null 2>&1 || apt-get download "$image" >/dev/null 2>&1 || true
    deb=$(ls "$image"_*.deb 2>/dev/null | head -1)
    [[ -n $deb ]] || fail "apt-get download $image fetched nothing"
    rm -rf "$kernel_root.new"
    mkdir -p "$kernel_root.new"
    # Only the kernel and the USB and configfs modules, not the 400 MB of the whole package.
    dpkg-deb --fsys-tarfile "$deb" | tar -x --wildcards -C "$kernel_root.new" './boot/vmlinuz-*' \
      './lib/modules/*/kernel/drivers/usb/*' './lib/modules/*/kernel/fs/configfs/*'
    rm -rf "$kernel_root"
    mv "$kernel_root.new" "$kernel_root"
  )
fi
vmlinuz=$(ls "$kernel_root"/boot/vmlinuz-* | head -1)
version=${vmlinuz##*/vmlinuz-}
modules="$kernel_root/lib/modules/$version/kernel"

# The initramfs: busybox, the USB modules, the programs with their libraries, the checks.
initrd_root="$vm_dir/initramfs"
rm -rf "$initrd_root"
mkdir -p "$initrd_root"/{bin,sbin,proc,sys,dev,tmp,lib64,usr/lib} "$initrd_root/lib/modules/$version"
cp "$busybox_bin" "$initrd_root/bin/busybox"
# The kernel asks /sbin/modprobe for the gadget's function module.
ln -s ../bin/busybox "$initrd_root/sbin/modprobe"
for dir in drivers/usb/common drivers/usb/core drivers/usb/class drivers/usb/roles \
  drivers/usb/gadget/udc drivers/usb/gadget/function fs/configfs; do
  mkdir -p "$initrd_root/lib/modules/$version/kernel/$dir"
  cp "$modules/$dir"/*.ko "$initrd_root/lib/modules/$version/kernel/$dir/"
done
cp "$modules/drivers/usb/gadget/libcomposite.ko" \
  "$initrd_root/lib/modules/$version/kernel/drivers/usb/gadget/"
busybox depmod -b "$initrd_root" "$version"
for program in "${programs[@]}"; do
  strip --strip-debug -o "$initrd_root/bin/${program##*/}" "$build_dir/$program"
  ldd "$build_dir/$program" | grep -o '/[^ ]*' | while read -r library; do
    cp -L "$library" "$initrd_root/${library#/}" 2>/dev/null ||
      { mkdir -p "$initrd_root/$(dirname "${library#/}")" && cp -L "$library" "$initrd_root/${library#/}"; }
  done
done
cp scripts/usb_vm_checks.sh "$initrd_root/checks.sh"
cat >"$initrd_root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
echo
echo "guest: up after $(cut -d' ' -f1 /proc/uptime) s"
cd /tmp && sh /checks.sh
echo "guest: done"
poweroff -f
EOF
chmod +x "$initrd_root/init"
(cd "$initrd_root" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$vm_dir/initramfs.cpio.gz")

log="$vm_dir/guest.log"
qemu_pid=""
trap '[[ -n $qemu_pid ]] && kill -KILL "$qemu_pid" 2>/dev/null; true' EXIT
# Starts the guest and waits for it: up to BOOT-LIMIT seconds for it to come up, up to
# $timeout_s in all; a guest past either limit is killed. Fails when it did not finish.
run_guest() {
  local accel=$1 boot_limit=$2 cpu=max icount=""
  [[ $accel == kvm ]] && cpu=kvm64 # "max" asks the host for MSRs a nested KVM may refuse
  # Under TCG the guest clock counts executed instructions, so a host busy with other work
  # slows the guest down instead of making its 50 ms time-outs expire.
  [[ $accel == tcg ]] && icount="-icount shift=4,sleep=on"
  : >"$log"
  timeout -s KILL "$timeout_s" qemu-system-x86_64 -machine pc,accel="$accel" -cpu "$cpu" \
    -smp 1 -m 256 $icount -nographic -no-reboot -nodefaults -serial stdio -monitor none \
    -kernel "$vmlinuz" -initrd "$vm_dir/initramfs.cpio.gz" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 8250.nr_uarts=4" </dev/null >"$log" 2>&1 &
  qemu_pid=$!
  local start=$SECONDS tenths=0
  boot_seconds=""
  while kill -0 "$qemu_pid" 2>/dev/null; do
    if [[ -z $boot_seconds ]] && grep -aq '^guest: up' "$log"; then
      boot_seconds=$(awk "BEGIN{print $tenths / 10}")
    elif [[ -z $boot_seconds ]] && ((SECONDS - start >= boot_limit)); then
      kill -KILL "$qemu_pid" 2>/dev/null || true
      break
    fi
    sleep 0.1
    tenths=$((tenths + 1))
  done
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=""
  grep -aq '^guest: done' "$log"
}

accel=tcg
if [[ ${USB_VM_ACCEL:-tcg} == kvm && -w /dev/kvm ]]; then
  # A nested guest can hang at boot: KVM gets a short limit, then TCG takes over.
  run_guest kvm 20 && accel=kvm || echo "== usb-vm: the KVM guest did not come up; using TCG"
fi
if [[ $accel == tcg ]]; then
  run_guest tcg "$timeout_s" || true
fi
tr -d '\r' <"$log" | grep -aE '^(guest:|PASS |FAIL |figure:|driver:)' || true

[[ -n ${boot_seconds:-} ]] && echo "figure: the guest came up ${boot_seconds} s after qemu started"
passed=$(tr -d '\r' <"$log" | grep -ac '^PASS ' || true)
failed=$(tr -d '\r' <"$log" | grep -ac '^FAIL ' || true)
echo "$passed passed, $failed failed (guest under $accel; log in $log; $(($(date +%s) - started)) s)"
if ! tr -d '\r' <"$log" | grep -aq '^guest: done'; then
  tail -20 "$log" >&2
  fail "the guest did not finish within its time limit; it was killed."
fi
((failed == 0 && passed > 0)) || exit 1
