#!/usr/bin/env bash
# Checks the Windows zip: it unpacks into one folder whose lunscan.exe runs under Wine on the demo host beside it.
#
# usage: scripts/check-zip-windows.sh <build-dir> <zip>   (the build directory keeps the Wine prefix)
set -euo pipefail
build=$(cd "${1:?usage: check-zip-windows.sh <build-dir> <zip>}" && pwd)
zip=${2:?usage: check-zip-windows.sh <build-dir> <zip>}
source "$(dirname "$0")/wine-env.sh"

dir=$(mktemp -d)
trap 'rm -rf "$dir"; "$wineserver" -k 2>/dev/null || true' EXIT
unzip -q "$zip" -d "$dir"
folder="$dir/$(basename "$zip" .zip)"
for f in lunscan.exe README.txt host-file.md demo-host.json; do
  [ -e "$folder/$f" ] || { echo "check-zip-windows: $f is not in the zip's folder"; exit 1; }
done
out=$(cd "$folder" && SIL_SIM_HOST=demo-host.json "$wine" lunscan.exe -no_header -no_dots </dev/null)
grep -q 'PHYSICALDRIVE0' <<<"$out" || { echo "check-zip-windows: lunscan.exe did not list the demo host"; echo "$out"; exit 1; }
echo "check-zip-windows: $zip is good"
