// check-manifest: tells a vendor, before a manifest is published, what the
// installer built from this same checkout will fetch and open on its fallback
// road, and what would stop it.
//
//   check-manifest [--json] [--strict] FILE...
//
// Exit code: 0 when every file is fine, 1 when a file has a problem that fails
// a release (or, with --strict, a warning), 2 for a usage or read error.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/common-win32.h"
#include "preflight/manifest_check.h"
#include "preflight/report.h"

namespace {

using win32::Utf16;
using win32::Wide;

constexpr int kFine = 0;
constexpr int kFailsRelease = 1;
constexpr int kUsageOrReadError = 2;

constexpr char16_t kUsage[] =
    u"usage: check-manifest [--json] [--strict] FILE...\n"
    u"\n"
    u"Checks App Installer files for exactly what the Lanternfold installer will fetch and\n"
    u"open when App Installer refuses the manifest, with the installer's own code.\n"
    u"\n"
    u"  --json    one JSON document on standard output instead of text\n"
    u"  --strict  warnings fail a release too\n"
    u"\n"
    u"Exit code: 0 every file is fine, 1 a file fails a release, 2 a usage or read error.\n";

// Text to a console as it is; to a file or a pipe as UTF-8, whatever the code
// page, so that a pipeline reads the same bytes everywhere.
void Write(DWORD which, std::u16string_view text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(handle, &mode)) {
    WriteConsoleW(handle, Wide(std::u16string(text)), static_cast<DWORD>(text.size()), &written,
                  nullptr);
    return;
  }
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int units = static_cast<int>(text.size());
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, units, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, units, bytes.data(), size, nullptr, nullptr);
  WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  win32::SearchSystemFolderOnly();
  bool json = false;
  bool strict = false;
  std::vector<std::u16string> files;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::u16string argument = Utf16(argv[i]);
    if (!optionsEnded && argument == u"--json") {
      json = true;
    } else if (!optionsEnded && argument == u"--strict") {
      strict = true;
    } else if (!optionsEnded && (argument == u"--help" || argument == u"-h" || argument == u"/?")) {
      Write(STD_OUTPUT_HANDLE, kUsage);
      return kFine;
    } else if (!optionsEnded && argument == u"--") {
      optionsEnded = true;
    } else if (!optionsEnded && argument.size() > 1 && argument[0] == u'-') {
      Write(STD_ERROR_HANDLE, u"check-manifest: unknown option " + argument + u"\n\n" + kUsage);
      return kUsageOrReadError;
    } else {
      files.push_back(argument);
    }
  }
  if (files.empty()) {
    Write(STD_ERROR_HANDLE, kUsage);
    return kUsageOrReadError;
  }

  int exitCode = kFine;
  preflight::JsonReport report(strict);
  std::u16string text;
  for (const std::u16string& file : files) {
    if (!text.empty()) text += u"\n";
    preflight::ManifestCheck check;
    if (!preflight::CheckManifest(file, check)) {
      exitCode = kUsageOrReadError;
      report.AddReadError(file);
      text += preflight::TextReadError(file);
      continue;
    }
    if (check.Fails(strict) && exitCode == kFine) exitCode = kFailsRelease;
    report.Add(file, check);
    text += preflight::TextReport(file, check, strict);
  }
  Write(STD_OUTPUT_HANDLE, json ? report.Finish(exitCode) : text);
  return exitCode;
}
