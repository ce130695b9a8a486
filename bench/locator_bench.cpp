// The package locator on large manifests, natively: Google Benchmark, the
// POSIX platform layer, and bench/manifests.py's files. Every case has two
// benchmarks, run interleaved by bench/run.sh:
//
//   floor/<case>    the locator's read and decode alone (ReadAndDecode)
//   locator/<case>  bootstrap::ResolvePackageUrl, which reads, decodes, scans
//                   and resolves
//
// Both report the peak heap use of a call, counted exactly by counting_heap,
// in bytes (peak_bytes) and as a multiple of the file's size (peak_x).
//
// Usage: locator_bench [--benchmark_... flags] <manifest folder>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "bench/counting_heap.h"
#include "bench/locator_cases.h"
#include "bootstrap/package_locator.h"
#include "platform/platform.h"

namespace {

using locator_cases::Case;

std::u16string manifestFolder;

std::u16string Utf16(const char* text) {
  const int count = static_cast<int>(std::strlen(text));
  if (count == 0) return {};
  std::u16string wide(static_cast<std::size_t>(platform::DecodeUtf8(text, count, nullptr, 0)),
                      u'\0');
  if (!wide.empty()) {
    static_cast<void>(
        platform::DecodeUtf8(text, count, wide.data(), static_cast<int>(wide.size())));
  }
  return wide;
}

void Report(benchmark::State& state, const Case& c, std::size_t peak) {
  const auto fileBytes = static_cast<double>(c.FileBytes());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(c.FileBytes()));
  state.counters["peak_bytes"] = static_cast<double>(peak);
  state.counters["peak_x"] = static_cast<double>(peak) / fileBytes;
  state.counters["design_x"] = c.DesignPeakRatio();
}

void Floor(benchmark::State& state, Case c) {
  const std::u16string path = locator_cases::ManifestPath(manifestFolder, u'/', c);
  std::size_t peak = 0;
  for (auto _ : state) {
    const std::size_t base = counting_heap::ResetPeak();
    locator_cases::Text text;
    if (!locator_cases::ReadAndDecode(path, text) || text.size != c.TextUnits()) {
      state.SkipWithError("the manifest could not be read, or is not the generated one");
      break;
    }
    benchmark::DoNotOptimize(text.units.get());
    benchmark::ClobberMemory();
    peak = std::max(peak, counting_heap::Peak() - base);
  }
  Report(state, c, peak);
}

void Locator(benchmark::State& state, Case c) {
  const std::u16string path = locator_cases::ManifestPath(manifestFolder, u'/', c);
  const std::u16string expected = locator_cases::ExpectedPackageUrl();
  std::size_t peak = 0;
  for (auto _ : state) {
    const std::size_t base = counting_heap::ResetPeak();
    std::u16string url;
    if (!bootstrap::ResolvePackageUrl(path, url) || url != expected) {
      state.SkipWithError("the locator did not find the package");
      break;
    }
    peak = std::max(peak, counting_heap::Peak() - base);
  }
  Report(state, c, peak);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s [--benchmark_... flags] <manifest folder>\n", argv[0]);
    return 2;
  }
  manifestFolder = Utf16(argv[1]);
  for (const Case& c : locator_cases::All()) {
    for (const auto& [kind, function] : {std::pair{"floor/", &Floor}, {"locator/", &Locator}}) {
      benchmark::RegisterBenchmark((kind + c.Name()).c_str(), function, c)
          ->UseRealTime()
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
