# Steps the guest test and the guest benchmark share (sourced): the kernel, the guest build of lunscan, the QEMU run.
#
# guest_prepare makes the temporary directory GUEST_TMP and the initramfs GUEST_INITRD for kernel
# GUEST_KVER, and traps EXIT (and INT, TERM) so that a QEMU still running is stopped and the
# directory removed on every way out.

GUEST_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
GUEST_REPO=$(cd "$GUEST_DIR/../.." && pwd)
GUEST_QEMU_PID=

# The newest installed kernel image that has its modules.
guest_kernel_version() {
  local img kver best
  best=$(for img in /boot/vmlinuz-*; do
           kver=${img#/boot/vmlinuz-}
           [ -r "$img" ] && [ -d "/lib/modules/$kver/kernel" ] && echo "$kver"
         done | sort -V | tail -n 1)
  # Debian's kernel images are readable by root only.
  [ -n "$best" ] ||
    { echo "linux-guest: no readable /boot/vmlinuz-* with modules in /lib/modules (run as root)" >&2; return 1; }
  echo "$best"
}

# The lunscan the guest runs: GUEST_LUNSCAN when set, else a Release build of its own in BUILD_DIR,
# so the guest does not run a debug or sanitizer binary. Prints its path.
guest_lunscan() {
  local build=$1
  if [ -n "${GUEST_LUNSCAN:-}" ]; then
    echo "$GUEST_LUNSCAN"
    return
  fi
  cmake -S "$GUEST_REPO" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIL_BUILD_TESTS=OFF >&2
  cmake --build "$build" --target lunscan -j "${JOBS:-2}" >&2
  echo "$build/sil/lunscan"
}

# guest_boot KVER INITRD CMDLINE LOG SECONDS QEMU-ARGS...: boots the guest headless under TCG
# (the machine may have no KVM), its console into LOG, and waits for it to power off. The time
# limit ends a guest that hangs; the status is then timeout's 124.
guest_boot() {
  local kver=$1 initrd=$2 cmdline=$3 log=$4 seconds=$5
  shift 5
  timeout -k 5 "$seconds" qemu-system-x86_64 -accel tcg -m 512 -smp 1 -nographic -nodefaults \
    -serial stdio -no-reboot -kernel "/boot/vmlinuz-$kver" -initrd "$initrd" \
    -append "console=ttyS0 quiet loglevel=1 panic=-1 $cmdline" "$@" </dev/null >"$log" 2>&1 &
  GUEST_QEMU_PID=$!
  local rc=0
  wait "$GUEST_QEMU_PID" || rc=$?
  GUEST_QEMU_PID=
  return "$rc"
}

# guest_prepare BUILD_DIR INIT MODULE...
guest_prepare() {
  local build=$1 init=$2 lunscan
  shift 2
  GUEST_TMP=$(mktemp -d)
  trap guest_cleanup EXIT
  trap 'exit 130' INT TERM
  lunscan=$(guest_lunscan "$build")
  GUEST_KVER=$(guest_kernel_version)
  GUEST_INITRD=$GUEST_TMP/initrd.gz
  "$GUEST_DIR/pack-initramfs.sh" "$GUEST_INITRD" "$GUEST_KVER" "$init" "$lunscan" "$@"
}

guest_cleanup() {
  if [ -n "$GUEST_QEMU_PID" ]; then
    kill "$GUEST_QEMU_PID" 2>/dev/null || true
    wait "$GUEST_QEMU_PID" 2>/dev/null || true
  fi
  [ -n "${GUEST_TMP:-}" ] && rm -rf "$GUEST_TMP"
}
