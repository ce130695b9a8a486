// The framework stand-in's Windows services, recorded into the same
// transcript as the platform's so that a test sees one sequence.
#include <cstdio>

#include "host/framework_services.h"
#include "tests/fake_platform.h"

namespace framework {
namespace {
void Record(std::string call) { fake::Fake().calls.push_back(std::move(call)); }
}  // namespace

void AddErrorModeFlags(std::uint32_t flags) {
  char text[32];
  std::snprintf(text, sizeof text, "AddErrorModeFlags(0x%X)", flags);
  Record(text);
}

void* LoadSatelliteLibrary() {
  Record("LoadSatelliteLibrary()");
  return fake::Fake().script.satellite;
}

void FreeSatelliteLibrary(void* library) {
  Record(library == fake::Fake().script.satellite ? "FreeSatelliteLibrary(satellite)"
                                                  : "FreeSatelliteLibrary(unknown)");
}

void RegisterForRestart(std::u16string_view commandLineTail) {
  Record("RegisterForRestart(" + fake::ToUtf8(commandLineTail) + ")");
}

}  // namespace framework
