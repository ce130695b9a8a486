// The package locator on large manifests under Windows or Wine, with the real
// platform layer (ReadFile, MultiByteToWideChar). The cases, the floor and the
// checks are the native benchmark's (locator_bench.cpp); Google Benchmark has
// no mingw-w64 build here, so this program times itself.
//
// For each case the floor and the locator are timed in alternating pairs, so
// that drift of the machine touches both alike. A sample is enough calls to
// last about 50 ms; sampling goes on until the case has had its time and at
// least kMinPairs pairs. One line per case and kind, tab-separated:
//
//   <kind> <case> <median ns per call> <samples> <calls per sample> <peak heap bytes> <file bytes>
//
// Usage: locator_bench.exe <manifest folder> [seconds per case]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/counting_heap.h"
#include "bench/locator_cases.h"
#include "bootstrap/package_locator.h"

namespace {

using locator_cases::Case;

constexpr double kSampleSeconds = 0.05;
constexpr int kMinPairs = 15;
constexpr int kMaxPairs = 101;
constexpr double kDefaultCaseSeconds = 3.0;

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter{};
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

// One timed kind of call: the floor or the locator. Each call is checked, and
// its peak heap use kept.
struct Kind {
  const char* name;
  bool (*call)(const std::u16string& path, const Case& c);
  std::vector<double> secondsPerCall;
  std::size_t peak = 0;
};

bool CallFloor(const std::u16string& path, const Case& c) {
  locator_cases::Text text;
  return locator_cases::ReadAndDecode(path, text) && text.size == c.TextUnits();
}

bool CallLocator(const std::u16string& path, const Case&) {
  static const std::u16string expected = locator_cases::ExpectedPackageUrl();
  std::u16string url;
  return bootstrap::ResolvePackageUrl(path, url) && url == expected;
}

// Times `calls` calls; false when one of them failed its check.
bool Sample(Kind& kind, const std::u16string& path, const Case& c, int calls) {
  const double start = Now();
  for (int i = 0; i < calls; ++i) {
    const std::size_t base = counting_heap::ResetPeak();
    if (!kind.call(path, c)) return false;
    kind.peak = std::max(kind.peak, counting_heap::Peak() - base);
  }
  kind.secondsPerCall.push_back((Now() - start) / calls);
  return true;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool RunCase(const std::u16string& folder, const Case& c, double caseSeconds) {
  const std::u16string path = locator_cases::ManifestPath(folder, u'\\', c);
  Kind kinds[] = {{"floor", &CallFloor, {}}, {"locator", &CallLocator, {}}};
  // One untimed call of each warms the file cache and sizes the samples.
  const double warmStart = Now();
  for (Kind& kind : kinds) {
    if (!kind.call(path, c)) {
      std::fprintf(stderr, "%s/%s: the check failed (is the manifest the generated one?)\n",
                   kind.name, c.Name().c_str());
      return false;
    }
  }
  const double warmSeconds = (Now() - warmStart) / 2;
  const int calls = std::max(1, static_cast<int>(kSampleSeconds / std::max(warmSeconds, 1e-9)));

  const double start = Now();
  for (int pair = 0; pair < kMaxPairs; ++pair) {
    if (pair >= kMinPairs && Now() - start >= caseSeconds) break;
    // Alternate which goes first, so that neither always follows the other.
    for (int k = 0; k < 2; ++k) {
      Kind& kind = kinds[(pair + k) % 2];
      if (!Sample(kind, path, c, calls)) {
        std::fprintf(stderr, "%s/%s: a check failed\n", kind.name, c.Name().c_str());
        return false;
      }
    }
  }
  for (const Kind& kind : kinds) {
    std::printf("%s\t%s\t%.0f\t%zu\t%d\t%zu\t%llu\n", kind.name, c.Name().c_str(),
                Median(kind.secondsPerCall) * 1e9, kind.secondsPerCall.size(), calls, kind.peak,
                static_cast<unsigned long long>(c.FileBytes()));
    std::fflush(stdout);
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: locator_bench.exe <manifest folder> [seconds per case]\n");
    return 2;
  }
  const std::u16string folder(reinterpret_cast<const char16_t*>(argv[1]));
  const double caseSeconds = argc == 3 ? std::wcstod(argv[2], nullptr) : kDefaultCaseSeconds;
  for (const Case& c : locator_cases::All()) {
    if (!RunCase(folder, c, caseSeconds)) return 1;
  }
  return 0;
}
