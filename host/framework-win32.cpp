// The Windows calls behind the application framework stand-in.
#include <windows.h>

#include <objbase.h>
#include <shlwapi.h>

#include <string>

#include "host/framework_services.h"
#include "host/startup_text.h"
#include "platform/common-win32.h"

namespace framework {
namespace {

using win32::Kernel32Entry;
using win32::Utf16;
using win32::Wide;

constexpr DWORD kLanguageListFlags =
    MUI_LANGUAGE_NAME | MUI_MERGE_SYSTEM_FALLBACK | MUI_MERGE_USER_FALLBACK;  // 0x38
constexpr DWORD kSatelliteLoadFlags =
    LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;  // 0x60

using GetThreadPreferredUILanguagesFn = BOOL(WINAPI*)(DWORD, PULONG, PZZWSTR, PULONG);
using GetLocaleInfoExFn = int(WINAPI*)(LPCWSTR, LCTYPE, LPWSTR, int);
using RegisterApplicationRestartFn = HRESULT(WINAPI*)(PCWSTR, DWORD);

// Entry points that older systems lack are looked up once and kept for the
// rest of the process.
GetThreadPreferredUILanguagesFn PreferredLanguagesEntry() {
  static const auto entry =
      Kernel32Entry<GetThreadPreferredUILanguagesFn>("GetThreadPreferredUILanguages");
  return entry;
}

GetLocaleInfoExFn LocaleInfoEntry() {
  static const auto entry = Kernel32Entry<GetLocaleInfoExFn>("GetLocaleInfoEx");
  return entry;
}

RegisterApplicationRestartFn RestartEntry() {
  static const auto entry =
      Kernel32Entry<RegisterApplicationRestartFn>("RegisterApplicationRestart");
  return entry;
}

// The preferred UI language names, most preferred first, as the platform
// gives them: each name ends in a NUL, and an empty name ends the list.
std::u16string PreferredLanguages() {
  std::u16string names;
  if (auto entry = PreferredLanguagesEntry()) {
    ULONG count = 0;
    ULONG size = 0;
    if (!entry(kLanguageListFlags, &count, nullptr, &size) || size == 0) return {};
    names.assign(size, u'\0');
    if (!entry(kLanguageListFlags, &count, reinterpret_cast<PZZWSTR>(names.data()), &size)) {
      return {};
    }
    return names;
  }
  // Without the list, the user's and then the system's default UI language.
  for (LANGID language : {GetUserDefaultUILanguage(), GetSystemDefaultUILanguage()}) {
    wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
    if (LCIDToLocaleName(MAKELCID(language, SORT_DEFAULT), name, LOCALE_NAME_MAX_LENGTH, 0) > 0) {
      names += Utf16(name);
      names += u'\0';
    }
  }
  return names;
}

HMODULE LoadSatellite(const std::u16string& stem, const char16_t* abbreviation) {
  const std::u16string name = SatelliteName(stem, abbreviation);
  // Resources only: the library is mapped as data and none of its code runs.
  HMODULE library = LoadLibraryExW(Wide(name.c_str()), nullptr, kSatelliteLoadFlags);
  if (library == nullptr)
    library = LoadLibraryExW(Wide(name.c_str()), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  return library;
}

}  // namespace

void AddErrorModeFlags(std::uint32_t flags) { SetErrorMode(SetErrorMode(0) | flags); }

void* LoadSatelliteLibrary() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  // A path that doesn't fit leaves no sound stem to name candidates from;
  // the executable's own resources serve instead.
  if (length == 0 || length >= MAX_PATH) return nullptr;
  *PathFindExtensionW(path) = L'\0';
  const std::u16string stem = Utf16(path);

  if (auto localeInfo = LocaleInfoEntry()) {
    const std::u16string languages = PreferredLanguages();
    for (std::size_t at = 0; at < languages.size() && languages[at] != u'\0';
         at = languages.find(u'\0', at) + 1) {
      wchar_t abbreviation[16] = {};
      if (localeInfo(Wide(languages.c_str() + at), LOCALE_SABBREVLANGNAME, abbreviation, 16) == 0) {
        continue;
      }
      if (HMODULE library = LoadSatellite(stem, Utf16(abbreviation))) return library;
    }
  }
  return LoadSatellite(stem, u"LOC");
}

void FreeSatelliteLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

void RegisterForRestart(std::u16string_view commandLineTail) {
  GUID guid{};
  if (FAILED(CoCreateGuid(&guid))) return;
  Guid identifier{static_cast<std::uint32_t>(guid.Data1), guid.Data2, guid.Data3, {}};
  for (std::size_t i = 0; i < identifier.data4.size(); ++i) identifier.data4[i] = guid.Data4[i];
  const std::u16string commandLine =
      RestartCommandLine(commandLineTail, FormatRestartIdentifier(identifier));
  // A failed registration changes nothing for the user; its result is not
  // looked at.
  if (auto entry = RestartEntry()) static_cast<void>(entry(Wide(commandLine.c_str()), 0));
}

}  // namespace framework
