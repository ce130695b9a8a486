// Fixed values of the installer. Nothing here is read from a setting, a file
// or the command line.
#pragma once

#include <cstdint>

namespace bootstrap {

// "https://" + INSTALLER_DOWNLOAD_HOST + "/downloads/Lanternfold-8.appinstaller",
// fixed at build time.
extern const char16_t kManifestUrl[];

inline constexpr int kDownloadAttempts = 3;
inline constexpr std::uint32_t kRetryDelayMs = 1000;

// An attempt that receives no byte for this long fails, counted from the
// request on: a server or middlebox that stops sending but keeps the
// connection open would otherwise hold the installer for ever. A download
// that keeps moving is never cut off. 60000 in every build that ships; only
// the end-to-end tests build a shorter one.
extern const std::uint32_t kStallTimeoutMs;

inline constexpr char16_t kCaption[] = u"Lanternfold Installer";
inline constexpr char16_t kPathErrorText[] = u"Unable to create the App Installer download path.";
inline constexpr char16_t kDownloadErrorText[] =
    u"Unable to download the installer. Please check your internet connection and try again.";
inline constexpr char16_t kLaunchErrorText[] =
    u"Unable to launch Windows App Installer or the package fallback.";

inline constexpr char16_t kShellVerb[] = u"open";
inline constexpr int kShowNormal = 1;                 // SW_SHOWNORMAL
inline constexpr std::uint32_t kMessageStyle = 0x10;  // MB_OK | MB_ICONERROR

// GetTempPathW is first asked with a buffer of this many code units.
inline constexpr std::uint32_t kTempPathCapacity = 260;

// Buffer for the combined package URL, in code units, NUL included.
inline constexpr std::uint32_t kCombinedUrlCapacity = 2048;

// Largest manifest accepted, in bytes (2^31 - 1).
inline constexpr std::uint64_t kMaxManifestBytes = 2147483647;

}  // namespace bootstrap
