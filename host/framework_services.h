// The Windows services behind the application framework stand-in, one
// function each; framework-win32.cpp makes the real calls, and the native
// tests link a recording fake.
#pragma once

#include <cstdint>
#include <string_view>

namespace framework {

inline constexpr std::uint32_t kSemFailCriticalErrors = 0x0001;  // SEM_FAILCRITICALERRORS
inline constexpr std::uint32_t kSemNoOpenFileErrorBox = 0x8000;  // SEM_NOOPENFILEERRORBOX

// Adds `flags` to the process's error mode.
void AddErrorModeFlags(std::uint32_t flags);

// Looks for a satellite resource library beside the executable, for the
// preferred UI languages in order and then "LOC", and loads the first one
// found as a data file. Null when there is none.
[[nodiscard]] void* LoadSatelliteLibrary();
void FreeSatelliteLibrary(void* library);

// Registers the process with the Restart Manager, with the tail followed by a
// fresh restart argument. Silent on failure.
void RegisterForRestart(std::u16string_view commandLineTail);

}  // namespace framework
