#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for the given number of seconds each, starting from
# the seed corpus in fuzz/corpus/<target>/. Usage: scripts/run-fuzzers.sh <build-dir> <seconds>
# Exits non-zero when a target finds a crash, a leak or undefined behaviour; the input that
# triggered it is kept under <build-dir>/fuzz-artifacts/.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 <build-dir> <seconds>" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
case "$seconds" in
  ''|*[!0-9]*) echo "run-fuzzers: seconds must be a whole number, got '$seconds'" >&2; exit 2 ;;
esac
src=$(cd "$(dirname "$0")/.." && pwd)

# The targets fuzz/CMakeLists.txt builds, so a target added there is run here too.
read -r -a targets <<<"$(sed -n 's/^set(SIL_FUZZ_TARGETS \(.*\))$/\1/p' "$src/fuzz/CMakeLists.txt")"
if [ ${#targets[@]} -eq 0 ]; then
  echo "run-fuzzers: no SIL_FUZZ_TARGETS in $src/fuzz/CMakeLists.txt" >&2
  exit 2
fi
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
failed=()
for target in "${targets[@]}"; do
  exe="$build/fuzz/$target"
  if [ ! -x "$exe" ]; then
    echo "run-fuzzers: $exe is missing (configure with -DSIL_FUZZ=ON and build first)" >&2
    exit 2
  fi
  # New inputs go to a work corpus in the build tree; the seeds in the source tree stay as they are.
  work="$build/fuzz-corpus/$target"
  mkdir -p "$work"
  # A target with a dictionary (fuzz/<target>.dict) gets it: words of a text format the mutations
  # would hardly find byte by byte.
  dict=()
  [ -f "$src/fuzz/$target.dict" ] && dict=(-dict="$src/fuzz/$target.dict")
  echo "== $target: ${seconds}s"
  # Standard output is closed for the run: the page formatter prints every input it is given, which
  # would flood the log; libFuzzer reports on standard error.
  if ! UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$exe" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "${dict[@]}" \
        "$work" "$src/fuzz/corpus/$target" 2>"$build/$target.log"; then
    failed+=("$target")
    tail -n 40 "$build/$target.log" >&2
  else
    grep -E '^stat::number_of_executed_units|^Done' "$build/$target.log" || true
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "run-fuzzers: failures in: ${failed[*]} (inputs in $artifacts)" >&2
  exit 1
fi
echo "run-fuzzers: ${#targets[@]} targets ran ${seconds}s each without a finding"
