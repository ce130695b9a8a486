#!/usr/bin/env bash
# Builds what the benchmarks need and runs them all, printing their figures:
#
#   size            the installer's bytes against the floor program, and its link map
#   locator-native  the package locator on 1, 64 and 512 MiB manifests, natively
#   locator-wine    the same under Wine, with the real Windows services
#   startup         the installer's start-to-exit time under Wine against a minimal reference
#
# Name parts to run only those (`bench/run.sh size startup`). Everything lands
# in build/bench/: the manifests (made once, checked on every run), the builds,
# Wine prefixes of its own, and results/ with the raw figures and summary.txt.
# BENCH_REPETITIONS (native, default 15) and BENCH_STARTUP_RUNS (default 21)
# trade time for steadier medians. Nothing here fails on speed.
set -euo pipefail
cd "$(dirname "$0")/.."

parts=("$@")
((${#parts[@]})) || parts=(size locator-native locator-wine startup)
for part in "${parts[@]}"; do
  case "$part" in
    size | locator-native | locator-wine | startup) ;;
    *) echo "unknown part: $part (size, locator-native, locator-wine, startup)" >&2; exit 2 ;;
  esac
done
wants() { [[ " ${parts[*]} " == *" $1 "* ]]; }

# Debian's interpreter has python3-pefile, whatever else is first on PATH.
python=/usr/bin/python3
results=build/bench/results
manifests=build/bench/manifests
mkdir -p "$results"
summary="$results/summary.txt"
: >"$summary"
say() { echo "$@" | tee -a "$summary"; }
show() { tee -a "$summary"; }

tools/install-deps.sh >/dev/null

{
  echo "== Machine"
  echo "date:   $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "commit: $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- bootstrap platform host || echo ' (with local changes)')"
  echo "cpu:    $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores"
  echo "memory: $(free -m | awk '/^Mem:/ {print $2}') MiB"
  echo "debian: $(cat /etc/debian_version)"
  echo "wine:   $(wine --version 2>/dev/null)"
  echo "gcc:    $(gcc -dumpfullversion), mingw-w64 $(x86_64-w64-mingw32-g++ -dumpversion)," \
    "$(x86_64-w64-mingw32-ld --version | head -1)"
  echo "google benchmark: $(dpkg-query -W -f='${Version}' libbenchmark-dev 2>/dev/null)"
  echo "load:   $(cut -d' ' -f1-3 /proc/loadavg)"
} | show

echo "== Building" >&2
if wants size || wants locator-wine; then
  cmake --preset windows-bench >/dev/null
  cmake --build --preset windows-bench >/dev/null
fi
if wants locator-native; then
  cmake --preset bench >/dev/null
  cmake --build --preset bench >/dev/null
fi
if wants locator-native || wants locator-wine; then
  echo "== Manifests ($manifests)" >&2
  "$python" bench/manifests.py "$manifests" >&2
fi

if wants size; then
  say ""
  say "== Size"
  "$python" bench/size.py build/bench/windows build/bench/floor | show
fi

if wants locator-native; then
  say ""
  say "== Package locator, native (Google Benchmark, POSIX platform layer, -Os)"
  build/bench/native/bench/locator_bench \
    --benchmark_repetitions="${BENCH_REPETITIONS:-15}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$results/locator-native.json" --benchmark_out_format=json \
    "$manifests" >"$results/locator-native.log" 2>&1
  "$python" bench/locator_report.py native "$results/locator-native.json" | show
fi

if wants locator-wine; then
  say ""
  say "== Package locator, under Wine (Win32 platform layer: ReadFile, MultiByteToWideChar, -Os)"
  (
    # A prefix of its own, made once; the marker says it was made completely.
    export WINEPREFIX="$PWD/build/bench/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    if [ ! -e "$WINEPREFIX/.complete" ]; then
      rm -rf "$WINEPREFIX"
      wineboot -i >/dev/null 2>&1
      wineserver -w
      touch "$WINEPREFIX/.complete"
    fi
    status=0
    wine build/bench/windows/bench/locator_bench.exe "$(winepath -w "$manifests")" \
      >"$results/locator-wine.tsv" || status=$?
    wineserver -w
    exit "$status"
  )
  "$python" bench/locator_report.py windows "$results/locator-wine.tsv" | show
fi

if wants startup; then
  say ""
  say "== Start-up under Wine"
  "$python" bench/startup.py "${BENCH_STARTUP_RUNS:-21}" | show
fi

echo "" >&2
echo "Figures: $summary" >&2
