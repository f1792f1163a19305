#!/usr/bin/env bash
# `make test-linux-guest`: boots a QEMU guest with emulated SCSI disks and checks lunscan's answers on it against the QEMU parameters and sg3-utils.
#
# Usage: test.sh [BUILD_DIR] (default build-guest). Needs the packages of the "guest" set of
# scripts/ensure-packages.sh. GUEST_KEEP_LOG=FILE keeps the guest's console log; GUEST_LUNSCAN=FILE
# runs that lunscan instead of building one.
set -euo pipefail
source "$(dirname "$0")/guest-lib.sh"
build=${1:-build-guest}
start=$SECONDS

guest_prepare "$build" "$GUEST_DIR/init-test.sh" \
  virtio_pci virtio_scsi sym53c8xx sd_mod sr_mod sg dm_mod dm_multipath dm_round_robin

# Sparse images: the 3 TiB disk takes no room.
while read -r name size; do
  truncate -s "$size" "$GUEST_TMP/$name"
done < <(python3 "$GUEST_DIR/disks.py" images)
mapfile -t qemu_args < <(python3 "$GUEST_DIR/disks.py" qemu-args "$GUEST_TMP")

log=$GUEST_TMP/console.log
echo "linux-guest: booting kernel $GUEST_KVER under TCG"
rc=0
guest_boot "$GUEST_KVER" "$GUEST_INITRD" "$(python3 "$GUEST_DIR/disks.py" cmdline)" "$log" 240 \
  "${qemu_args[@]}" || rc=$?
[ -z "${GUEST_KEEP_LOG:-}" ] || cp "$log" "$GUEST_KEEP_LOG"
if [ "$rc" -ne 0 ]; then
  echo "linux-guest: QEMU ended with status $rc$([ "$rc" -eq 124 ] && echo ' (time limit)'); console:" >&2
  tail -n 40 "$log" >&2
  exit 1
fi
python3 "$GUEST_DIR/check.py" "$log"
echo "linux-guest: passed in $((SECONDS - start)) s"
