#!/usr/bin/env bash
# The test guest: a Debian 12 amd64 machine under QEMU that runs 32-bit Windows programs with Wine.
#
#   scripts/guest.sh build        makes build/guest/ (image, kernel, initrd), only when tests/guest/packages
#                                 or the build steps in this script changed since the last build
#   scripts/guest.sh run CMD...   boots the guest, runs CMD as a shell command in the checkout (mounted at
#                                 the same path, writes seen outside) and exits with its status; the
#                                 image stays as built
#
# The guest uses KVM when a short probe shows that it works, else software emulation. Variables:
#   GUEST_CPUS           the guest's CPUs (default: the host's, at most 4)
#   GUEST_TIMEOUT        seconds a whole run may take (default 2400); then the guest is stopped
#   GUEST_BOOT_TIMEOUT   seconds the guest may take to start the command (default 300)
#   GUEST_ACCEL          kvm or tcg, instead of probing
#   GUEST_MIRROR         the Debian mirror the image is built from (default http://deb.debian.org/debian)
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
checkout=$PWD
out=$checkout/build/guest
packages=tests/guest/packages
mirror=${GUEST_MIRROR:-http://deb.debian.org/debian}

die() {
  echo "guest: $*" >&2
  exit 1
}

# The reason a step failed, from the build log: apt's or debootstrap's last error line (an index's own, rather
# than apt's summary that some failed), else the log's last line.
log_reason() {
  local reason
  reason=$(grep -E '^(E|W): ' "$out/build.log" | grep -v 'Some index files failed to download' | tail -1)
  [ -n "$reason" ] || reason=$(tail -1 "$out/build.log")
  echo "$reason"
}

# What the image is made from, the package list and the build steps below: when it changes, the image
# is rebuilt.
image_key() {
  { declare -f build; cat "$packages"; } | sha256sum | cut -c1-32
}

image_is_current() {
  [ -f "$out/image.ext4" ] && [ -f "$out/vmlinuz" ] && [ -f "$out/initrd.img" ] &&
    [ "$(cat "$out/image.key" 2>/dev/null)" = "$(image_key)" ]
}

build() {
  if image_is_current; then
    echo "guest: image up to date ($out)"
    return 0
  fi
  [ "$(id -u)" -eq 0 ] || die "building the image needs root (debootstrap, chroot)"
  for tool in debootstrap mke2fs chroot qemu-system-x86_64; do
    command -v "$tool" >/dev/null || die "$tool is missing: run scripts/deps.sh"
  done
  mkdir -p "$out/debs"
  rm -f "$out/image.key"
  local root
  root=$(mktemp -d "$out/root.XXXXXX")
  # The root is made in memory when this machine lets us mount a tmpfs: dpkg syncs every file it writes,
  # which on a disk costs minutes and in memory nothing (about 2 GB at the peak).
  mount -t tmpfs -o size=6G,mode=755 guest-root "$root" 2>/dev/null || echo "guest: the root is made on disk"
  # A failed build leaves no mount and no half-made root behind.
  trap 'umount "'"$root"'/proc" 2>/dev/null; umount "'"$root"'" 2>/dev/null; rm -rf --one-file-system "'"$root"'"' EXIT

  echo "guest: debootstrap into $root"
  : >"$out/build.log"
  # Once more after a pause when the mirror fails it (a dropped connection, an index mid-sync), from an empty root.
  local attempt
  for attempt in 1 2; do
    debootstrap --variant=minbase --arch=amd64 --cache-dir="$out/debs" bookworm "$root" "$mirror" \
      >>"$out/build.log" 2>&1 && break
    [ "$attempt" = 1 ] || { tail -20 "$out/build.log"; die "debootstrap failed: $(log_reason) (log: $out/build.log)"; }
    echo "guest: debootstrap failed ($(log_reason)); trying again in 30 s"
    sleep 30
    find "$root" -mindepth 1 -maxdepth 1 -exec rm -rf --one-file-system {} +
  done
  # Debian 12's main suite is all the guest needs (Wine and its 32-bit libraries); a test machine goes
  # without the security and updates suites, whose indexes are the likeliest to be caught mid-sync.
  echo "deb $mirror bookworm main" >"$root/etc/apt/sources.list"
  # apt retries each download a few times, with pauses that grow.
  echo 'Acquire::Retries "5";' >"$root/etc/apt/apt.conf.d/80guest-retries"
  # No service starts inside the chroot.
  printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
  chmod +x "$root/usr/sbin/policy-rc.d"
  echo "ja_JP.UTF-8 UTF-8" >"$root/etc/locale.gen"
  # No documentation: nothing in the guest reads it.
  printf 'path-exclude=/usr/share/%s/*\n' doc man info >"$root/etc/dpkg/dpkg.cfg.d/guest-nodoc"
  # An initrd with only what finds the root: the virtio disk and ext4 (the 9p modules come from the root).
  # Every module, the default, takes minutes to pack, and the kernel's package packs it twice.
  mkdir -p "$root/etc/initramfs-tools/conf.d" "$root/usr/share/initramfs-tools/modules.d"
  echo "MODULES=list" >"$root/etc/initramfs-tools/conf.d/guest"
  printf '%s\n' virtio_pci virtio_blk ext4 crc32c_generic >"$root/usr/share/initramfs-tools/modules.d/guest"
  mount -t proc proc "$root/proc" || die "cannot mount /proc in the image's root (root here may not mount)"
  cp "$out"/debs/*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
  local wanted
  wanted=$(sed -e 's/#.*//' "$packages" | xargs)
  echo "guest: installing $(echo "$wanted" | wc -w) packages and their dependencies"
  chroot "$root" dpkg --add-architecture i386
  # A failed update is tried once more after a pause; should it fail again, the install says whether what
  # the image needs could be had after all.
  if ! chroot "$root" apt-get update -q >>"$out/build.log" 2>&1; then
    echo "guest: apt-get update failed ($(log_reason)); trying again in 30 s"
    sleep 30
    chroot "$root" apt-get update -q >>"$out/build.log" 2>&1 ||
      echo "guest: warning: apt-get update failed again ($(log_reason)); installing from the indexes it got"
  fi
  if ! chroot "$root" /bin/sh -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $wanted" \
      >>"$out/build.log" 2>&1; then
    tail -20 "$out/build.log"
    die "installing the packages failed: $(log_reason) (log: $out/build.log)"
  fi
  # Downloads are kept for the next build; the image goes without them.
  cp -u "$root"/var/cache/apt/archives/*.deb "$out/debs/" 2>/dev/null || true
  chroot "$root" apt-get clean
  rm -rf "$root"/var/lib/apt/lists/* "$root/usr/sbin/policy-rc.d"
  umount "$root/proc"

  # The image's init only mounts the checkout; the session itself (tests/guest/init) comes from there.
  cat >"$root/sbin/guest-init" <<'INIT'
#!/bin/sh
# Mounts the host's checkout (guest.share on the kernel command line) and hands over to its session.
# /tmp is a fresh tmpfs first, as the checkout may lie below it.
mount -t proc proc /proc
mount -t tmpfs -o mode=1777 tmp /tmp
share=$(sed -n 's/.*guest\.share=\([^ ]*\).*/\1/p' /proc/cmdline)
modprobe -q 9pnet_virtio && modprobe -q 9p && mkdir -p "$share" &&
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 checkout "$share" &&
    exec /bin/sh "$share/tests/guest/init"
echo "guest: cannot mount the checkout at '$share'" >&2
echo o > /proc/sysrq-trigger
sleep 10
INIT
  chmod 755 "$root/sbin/guest-init"
  cp "$(ls "$root"/boot/vmlinuz-* | tail -1)" "$out/vmlinuz"
  cp "$(ls "$root"/boot/initrd.img-* | tail -1)" "$out/initrd.img"
  echo "guest: packing the image ($(du -sm "$root" | cut -f1) MB)"
  rm -f "$out/image.ext4"
  mke2fs -q -t ext4 -L guest -d "$root" "$out/image.ext4" 8G >/dev/null || die "mke2fs failed"
  umount "$root" 2>/dev/null || true
  rm -rf --one-file-system "$root"
  trap - EXIT

  # The Wine prefixes, 32-bit and 64-bit, made once in the image by the user the tests run Wine as, so
  # that every run starts from the same ones instead of spending minutes on wineboot. Both at once: each
  # has its own wineserver, and the guest has a CPU for each.
  echo "guest: making the Wine prefixes in the image"
  in_guest writable "$(cat <<'PREFIXES'
mkdir -p /var/lib/guest-wine
chown nobody:nogroup /var/lib/guest-wine
make_prefix() {
    prefix=/var/lib/guest-wine/prefix${1#win}
    loader=/usr/lib/wine/wine
    [ "$1" = win64 ] && loader=/usr/lib/wine/wine64
    install -d -o nobody -g nogroup "$prefix-home"
    setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME="$prefix-home" WINEPREFIX="$prefix" \
        WINEARCH="$1" sh -c "$loader wineboot -i && /usr/lib/wine/wineserver -w" >/dev/null 2>&1
    [ -f "$prefix/system.reg" ] && echo "guest: $1 prefix made"
}
make_prefix win32 &
made32=$!
make_prefix win64 &
made64=$!
status=0
wait $made32 || status=1
wait $made64 || status=1
exit $status
PREFIXES
)" || die "the Wine prefixes could not be made in the image"
  image_key >"$out/image.key"
  echo "guest: image ready ($out)"
}

# Whether a guest under KVM runs: its kernel, with nothing to mount, must reach its panic within
# seconds (it takes about one). Where KVM is broken the machine hangs before the kernel starts.
kvm_works() {
  [ -r /dev/kvm ] && [ -w /dev/kvm ] || return 1
  timeout -k 2 10 qemu-system-x86_64 -accel kvm -cpu host -m 256 -display none -monitor none -nic none \
    -no-reboot -serial stdio -kernel "$out/vmlinuz" -append "console=ttyS0 panic=-1 root=/dev/nonexistent" \
    </dev/null 2>&1 | grep -q "Kernel panic"
}

# boot ACCEL DISK RUNDIR: the guest running RUNDIR/command, with the image copy-on-write (DISK=snapshot)
# or written (DISK=writable); QEMU's status (124: time limit). A guest whose command has not started
# within the boot limit is stopped, and RUNDIR/boot-timeout says so.
boot() {
  local accel=$1 disk=$2 rundir=$3 tty=0 signal=on snapshot=on
  local machine=(-accel tcg,thread=multi -cpu qemu64)
  [ "$accel" = kvm ] && machine=(-accel kvm -cpu host)
  [ "$disk" = writable ] && snapshot=off
  if [ -t 0 ] && [ -t 1 ]; then
    # A terminal: Ctrl-C goes to the guest's command, not to QEMU.
    tty=1
    signal=off
  fi
  (
    for ((waited = 0; waited < ${GUEST_BOOT_TIMEOUT:-300}; waited++)); do
      sleep 1
      [ -e "$rundir/up" ] && exit 0
    done
    touch "$rundir/boot-timeout"
    kill "$(cat "$rundir/qemu.pid")"
  ) &
  local watchdog=$! status=0
  local kernel_args="root=/dev/vda rw init=/sbin/guest-init console=ttyS0 panic=-1 fsck.mode=skip"
  kernel_args+=" guest.share=$checkout guest.run=$rundir guest.tty=$tty"
  local cpus=${GUEST_CPUS:-$(nproc)}
  [ "$cpus" -le 4 ] || [ -n "${GUEST_CPUS:-}" ] || cpus=4
  [ "$cpus" -ge 1 ] || die "GUEST_CPUS must be a number of CPUs"
  # Room for a Wine prefix per CPU running scenarios at once (run_guest_scenarios.py --jobs).
  timeout --foreground -k 10 "${GUEST_TIMEOUT:-2400}" qemu-system-x86_64 "${machine[@]}" -smp "$cpus" \
    -m $((2048 + 512 * cpus)) \
    -display none -monitor none -nic none -no-reboot -pidfile "$rundir/qemu.pid" \
    -serial "file:$rundir/console.log" \
    -device virtio-serial-pci -chardev "stdio,id=command,signal=$signal" -device virtconsole,chardev=command \
    -kernel "$out/vmlinuz" -initrd "$out/initrd.img" \
    -append "$kernel_args" \
    -drive "file=$out/image.ext4,format=raw,if=virtio,snapshot=$snapshot" \
    -virtfs "local,path=$checkout,mount_tag=checkout,security_model=none,multidevs=remap" || status=$?
  kill "$watchdog" 2>/dev/null || true
  wait "$watchdog" 2>/dev/null || true
  return "$status"
}

# in_guest DISK COMMAND: boots the guest, runs the shell command there, reports how long the boot and
# the command took; the command's status, or 1 with the reason when the guest failed.
in_guest() {
  local disk=$1 command=$2 accel=${GUEST_ACCEL:-}
  if [ -z "$accel" ]; then
    if kvm_works; then accel=kvm; else accel=tcg; fi
  fi
  local rundir
  rundir=$(mktemp -d "$out/run.XXXXXX")
  # shellcheck disable=SC2064  # the directory of this run, named now
  trap "rm -rf '$rundir'" EXIT
  printf '%s\n' "$command" >"$rundir/command"
  # The command starts where it was given, when that is inside the checkout.
  case $caller/ in
    "$checkout"/*) echo "$caller" >"$rundir/cwd" ;;
    *) echo "$checkout" >"$rundir/cwd" ;;
  esac
  local started qemu=0 attempt
  for attempt in 1 2; do
    started=$(date +%s.%N)
    qemu=0
    boot "$accel" "$disk" "$rundir" || qemu=$?
    # A guest that never started the command has done nothing yet: boot it once more.
    [ ! -e "$rundir/up" ] && [ "$attempt" = 1 ] || break
    tail -25 "$rundir/console.log" >&2 || true
    echo "guest: the command did not start (QEMU status $qemu): booting once more" >&2
    rm -f "$rundir/boot-timeout" "$rundir/console.log" "$rundir/qemu.pid"
  done
  local problem=
  if [ -e "$rundir/boot-timeout" ]; then
    problem="the guest did not start the command within ${GUEST_BOOT_TIMEOUT:-300} s ($accel): stopped"
  elif [ "$qemu" -eq 124 ] || [ "$qemu" -eq 137 ]; then
    problem="time limit of ${GUEST_TIMEOUT:-2400} s reached: the guest was stopped"
  elif [ ! -f "$rundir/status" ]; then
    problem="the guest ended (QEMU status $qemu) without running the command to its end"
  fi
  if [ -n "$problem" ]; then
    tail -25 "$rundir/console.log" >&2 || true
    rm -rf "$rundir"
    echo "guest: $problem" >&2
    return 1
  fi
  # The guest marks the moment the command starts; the host's clock times both.
  local up ended status
  up=$(stat -c %.3Y "$rundir/up")
  ended=$(stat -c %.3Y "$rundir/status")
  status=$(cat "$rundir/status")
  rm -rf "$rundir"
  awk -v started="$started" -v up="$up" -v ended="$ended" -v accel="$accel" -v status="$status" 'BEGIN {
    printf "guest: %s, booted in %.1f s, command %.1f s, status %d\n", accel, up - started, ended - up, status
  }' >&2
  return "$status"
}

run() {
  [ $# -gt 0 ] || die "usage: scripts/guest.sh run CMD..."
  image_is_current || die "no current image in $out: run scripts/guest.sh build"
  command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is missing: run scripts/deps.sh"
  in_guest snapshot "$*"
}

case ${1:-} in
  build) build ;;
  run) shift; run "$@" ;;
  *) die "usage: scripts/guest.sh build | run CMD..." ;;
esac
