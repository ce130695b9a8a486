// The fuzz targets' invariant check. A broken promise has to end the run where
// libFuzzer sees it and saves the input, in every build type, so this does not
// lean on assert.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void Require(bool holds, const char* promise) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", promise);
  std::abort();
}

}  // namespace fuzz
