#!/usr/bin/env bash
# Builds what the benchmarks need and runs them, printing their figures:
#
#   size       the installer's bytes against the floor program, and its link map
#   downloads  under Wine: time to hand-off on both roads against a minimal
#              reference; package throughput against a bare URLDownloadToFileW
#              and curl; traffic and disk per byte of package
#
# Name parts to run only those (`bench/run.sh size`). Everything lands in
# build/bench/: the builds, a Wine prefix of its own, and results/summary.txt.
# BENCH_RUNS (default 11, at least 5) trades time for steadier medians. Nothing
# here fails on speed.
set -euo pipefail
cd "$(dirname "$0")/.."

parts=("$@")
((${#parts[@]})) || parts=(size downloads)
for part in "${parts[@]}"; do
  case "$part" in
    size | downloads) ;;
    *) echo "unknown part: $part (size, downloads)" >&2; exit 2 ;;
  esac
done
wants() { [[ " ${parts[*]} " == *" $1 "* ]]; }

# Debian's interpreter has python3-pefile, whatever else is first on PATH.
python=/usr/bin/python3
results=build/bench/results
mkdir -p "$results"
summary="$results/summary.txt"
: >"$summary"
say() { echo "$@" | tee -a "$summary"; }
show() { tee -a "$summary"; }

tools/install-deps.sh >/dev/null

{
  echo "== Machine"
  echo "date:   $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "commit: $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- bootstrap platform host bench || echo ' (with local changes)')"
  echo "cpu:    $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores"
  echo "memory: $(free -m | awk '/^Mem:/ {print $2}') MiB"
  echo "debian: $(cat /etc/debian_version)"
  echo "wine:   $(wine --version 2>/dev/null)"
  echo "gcc:    mingw-w64 $(x86_64-w64-mingw32-g++ -dumpversion), $(x86_64-w64-mingw32-ld --version | head -1)"
  echo "curl:   $(curl --version | head -1 | cut -d' ' -f1-2)"
  echo "load:   $(cut -d' ' -f1-3 /proc/loadavg)"
} | show

if wants size; then
  echo "== Building" >&2
  cmake --preset windows-bench >/dev/null
  cmake --build --preset windows-bench >/dev/null
  say ""
  say "== Size"
  "$python" bench/size.py build/bench/windows build/bench/floor | show
fi

if wants downloads; then
  say ""
  say "== Downloads"
  "$python" bench/downloads.py "${BENCH_RUNS:-11}" | show
fi

echo "" >&2
echo "Figures: $summary" >&2
