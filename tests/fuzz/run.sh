#!/usr/bin/env bash
# Runs each fuzz target from build/fuzz for FUZZ_SECONDS (default 60) and
# fails on the first crash or broken promise. Build them first:
#   cmake --preset fuzz && cmake --build --preset fuzz
# libFuzzer adds what it finds to a working copy of the seeds under
# build/fuzz/corpus/, never to the committed corpus, and keeps a crashing
# input under build/fuzz/artifacts/<target>/. The whole output of a run goes
# to build/fuzz/<target>.log (follow it with tail -f on a long run).
set -euo pipefail
cd "$(dirname "$0")/../.."

seconds="${FUZZ_SECONDS:-60}"
for target in fuzz_locator fuzz_download_path; do
  work="build/fuzz/corpus/$target"
  artifacts="build/fuzz/artifacts/$target"
  log="build/fuzz/$target.log"
  mkdir -p "$work" "$artifacts"
  cp -r "tests/fuzz/corpus/$target/." "$work/"
  # Inputs that once broke a promise are replayed on every run.
  regressions=()
  [ -d "tests/fuzz/regressions/$target" ] && regressions=("tests/fuzz/regressions/$target")

  echo "== $target for ${seconds}s (log: $log)"
  status=0
  UBSAN_OPTIONS="print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    "build/fuzz/tests/fuzz/$target" \
    -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -dict="tests/fuzz/$target.dict" -artifact_prefix="$artifacts/" \
    "$work" "${regressions[@]}" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then
    # Everything but the progress lines: the report, the stack and the input.
    grep -Ev '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$log" || true
    echo "$target failed (exit $status); the input is in $artifacts/" >&2
    exit "$status"
  fi
  grep -E '[[:space:]]DONE[[:space:]]|^stat::' "$log"
done
