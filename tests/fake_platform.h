// A stand-in for platform.h and the framework's services that records every call, in order and with its
// arguments, and answers from a script. File reads and downloads have real
// effects on the local file system so that tests can use real files.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

inline constexpr platform::Result kOk = 0;
inline constexpr platform::Result kFail =
    static_cast<platform::Result>(0x800C0008);  // INET_E_DOWNLOAD_FAILURE
inline constexpr platform::Result kPointer =
    static_cast<platform::Result>(0x80004003);  // E_POINTER

struct Script {
  // What TemporaryPath reports; nullopt makes it fail.
  std::optional<std::u16string> tempPath = u"C:\\Users\\u\\AppData\\Local\\Temp\\";
  // One result per download attempt, taken from the front; success once empty.
  std::deque<platform::Result> downloads;
  // The body a successful download writes to its target, by URL. A URL not
  // listed writes nothing.
  std::map<std::u16string, std::string> served;
  // One answer per shell request, taken from the front; acceptance once empty.
  std::deque<bool> shell;
  // Overrides the combined-URL result when set.
  std::optional<platform::Result> combine;
  // File read failures.
  bool failLength = false;
  bool failRead = false;
  std::optional<std::uint32_t> readLimit;  // deliver at most this many bytes
  // When set, every path opens as a file holding these bytes and nothing
  // touches the disk: a fuzzer feeds thousands of manifests a second.
  std::optional<std::string> fileBytes;
  // What the framework's satellite probe finds; null for none.
  void* satellite = nullptr;
};

struct State {
  Script script;
  std::vector<std::string> calls;
  // How far reads have got into script.fileBytes.
  std::size_t fileBytesOffset = 0;
};

// The one fake; tests reset it in their set-up.
State& Fake();
void Reset();

// The recorded calls, without the ones whose name starts with any of `drop`.
std::vector<std::string> CallsWithout(const std::vector<std::string>& drop);

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace fake
