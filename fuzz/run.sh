#!/usr/bin/env bash
# Runs every fuzz target for FUZZ_SECONDS (default 60) each, a few at a time, from seeds written
# by the targets themselves plus the inputs kept in fuzz/corpus/<target>/ and fuzz/regressions/.
# Prints one line per target and a total; exits non-zero when any target found something. The
# targets that build databases write under TMPDIR, a tmpfs (/dev/shm) unless TMPDIR says otherwise.
# Usage: fuzz/run.sh <build dir> [targets...]
set -u
build=$1
shift
seconds=${FUZZ_SECONDS:-60}
jobs=${FUZZ_JOBS:-4}
[ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && export TMPDIR=/dev/shm
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for binary in "$build"/*_fuzz; do targets+=("$(basename "$binary" _fuzz)"); done
fi

run_one() {
  local target=$1 work=$build/work/$1
  rm -rf "$work/seeds" "$work/artifacts"
  mkdir -p "$work/corpus" "$work/seeds" "$work/artifacts"
  QUIB_FUZZ_SEEDS=$work/seeds "$build/${target}_fuzz" >/dev/null 2>&1
  for kept in "$here/corpus/$target" "$here/regressions/$target"; do
    [ -d "$kept" ] && cp -f "$kept"/* "$work/seeds/" 2>/dev/null
  done
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    "$build/${target}_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$work/seeds" >"$work/log" 2>&1
  local status=$?
  local runs corpus findings
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/log" | grep -o '[0-9]*$')
  corpus=$(ls "$work/corpus" | wc -l)
  findings=$(ls "$work/artifacts" | wc -l)
  printf '%-16s %10s runs  corpus %6s  findings %s  exit %s\n' \
    "$target" "${runs:-?}" "$corpus" "$findings" "$status"
  if [ "$findings" != 0 ] || [ "$status" != 0 ]; then
    grep -m3 -E 'ERROR|SUMMARY|==[0-9]+==' "$work/log" | sed 's/^/    /'
    echo "    kept in $work/artifacts; copy to fuzz/regressions/$target/ for make test"
  fi
}
export -f run_one
export build seconds here

echo "fuzzing ${#targets[@]} targets, ${seconds}s each, memory limit 2048 MB"
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}' | tee "$build/summary"
failed=$(grep -E '^[a-z_]+ ' "$build/summary" | grep -cv 'findings 0  exit 0$')
echo "targets: ${#targets[@]}  with findings: $failed"
[ "$failed" = 0 ]
