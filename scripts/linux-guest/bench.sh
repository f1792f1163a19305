#!/usr/bin/env bash
# `make bench-guest`: times lunscan, an sg_inq + sg_readcap loop and lsscsi over 256 scsi_debug LUNs in a QEMU guest and prints the times and their ratios.
#
# Usage: bench.sh [BUILD_DIR] (default build-guest). LUNS=N changes the number of LUNs;
# GUEST_LUNSCAN=FILE runs that lunscan instead of building one. Each
# command runs three times; the table shows the median. The guest runs under TCG (no KVM), so the
# times are those of an emulated machine: compare the ratios, not the seconds.
set -euo pipefail
source "$(dirname "$0")/guest-lib.sh"
build=${1:-build-guest}
luns=${LUNS:-256}

guest_prepare "$build" "$GUEST_DIR/init-bench.sh" sd_mod sg scsi_debug
log=$GUEST_TMP/console.log
echo "linux-guest bench: booting kernel $GUEST_KVER under TCG with $luns scsi_debug LUNs"
rc=0
guest_boot "$GUEST_KVER" "$GUEST_INITRD" "bench_luns=$luns" "$log" 900 || rc=$?
if [ "$rc" -ne 0 ] || ! grep -q '@@@ DONE' "$log"; then
  echo "linux-guest bench: the guest did not finish (QEMU status $rc); console:" >&2
  tail -n 40 "$log" >&2
  exit 1
fi
tr -d '\r' < "$log" | python3 -c '
import re, statistics, sys
times, disks, listed = {}, "?", "?"
for line in sys.stdin:
    m = re.search(r"@@@ TIME (\S+) \d+ ([0-9.]+)", line)
    if m:
        times.setdefault(m.group(1), []).append(float(m.group(2)))
    m = re.search(r"@@@ (DISKS|LISTED) (\d+)", line)
    if m and m.group(1) == "DISKS":
        disks = m.group(2)
    elif m:
        listed = m.group(2)
print(f"{disks} scsi_debug disks in the guest, {listed} listed by lunscan; median of 3 runs:")
print()
labels = {"lunscan": "lunscan (default table)", "sg3-loop": "sg_inq + sg_readcap per disk", "lsscsi": "lsscsi"}
base = statistics.median(times["lunscan"])
print("| Command | Wall time (s) | Ratio to lunscan |")
print("|---|---:|---:|")
for key, label in labels.items():
    t = statistics.median(times[key])
    print(f"| {label} | {t:.2f} | {t / base:.2f} |" if base else f"| {label} | {t:.2f} | - |")
'
