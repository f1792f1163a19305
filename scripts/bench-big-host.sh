#!/usr/bin/env bash
# Times lunscan on a generated large SAN host (scripts/make-big-host.py): loading the host file, and whole table runs.
# Usage: scripts/bench-big-host.sh <build-dir> [devices] [MiB] [list]   (a release build gives the numbers worth quoting)
# Loading is timed as a -dev run of one disk, which loads the whole file but opens one device.
# It fails only when lunscan fails or lists another number of rows than disks, never on time; with "list" it
# makes the default table run alone (the ctest that a large host loads and lists every disk).
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 <build-dir> [devices] [MiB] [list]" >&2
  exit 2
fi
lunscan="$(cd "$1" && pwd)/sil/lunscan"
devices=${2:-16384}
mib=${3:-64}
only_list=${4:-}
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

host="$work/big.json"
python3 "$src/scripts/make-big-host.py" "$host" --devices "$devices" --mib "$mib"
echo "host file: $devices disks, $(( $(stat -c %s "$host") / 1048576 )) MiB"

run() {  # label, then lunscan arguments; prints wall time, peak memory and table rows
  local label=$1
  shift
  local start end
  start=$(date +%s.%N)
  SIL_SIM_HOST="$host" /usr/bin/time -f "%M" -o "$work/rss" "$lunscan" "$@" >"$work/out" 2>"$work/err" || {
    echo "$label: lunscan failed" >&2
    head -5 "$work/err" >&2
    exit 1
  }
  end=$(date +%s.%N)
  local rows
  rows=$(grep -c 'PHYSICALDRIVE' "$work/out" || true)
  printf '%-28s %7.2f s  %6d MiB peak  %6d rows\n' "$label" "$(awk "BEGIN { print $end - $start }")" \
    "$(( $(cat "$work/rss") / 1024 ))" "$rows"
  if [ "$rows" -ne "$rows_wanted" ]; then
    echo "$label: $rows rows, expected $rows_wanted" >&2
    exit 1
  fi
}

[ -n "$only_list" ] || rows_wanted=1 run "load (-dev one disk)" -no_header -dev '\\.\PHYSICALDRIVE0'
rows_wanted=$devices run "default table" -no_header
[ -n "$only_list" ] || rows_wanted=$devices run "-sil table" -no_header -sil
