// Shared by the Windows-only sources: crossing between our UTF-16 text and
// the platform's wide strings, and finding entry points at run time.
#pragma once

#include <windows.h>

#include <string>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide text is UTF-16");

namespace win32 {

inline const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline const wchar_t* Wide(const std::u16string& text) { return Wide(text.c_str()); }
inline wchar_t* Wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
inline const char16_t* Utf16(const wchar_t* text) {
  return reinterpret_cast<const char16_t*>(text);
}

// An entry point of kernel32 that older systems may lack; null when missing.
template <typename Fn>
Fn Kernel32Entry(const char* name) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(kernel32, name)));
}

// A DLL that is not one of the system's known DLLs, loaded from the system
// folder only. A static import, or a load by bare name, would look first
// beside the executable, which users run from their Downloads folder.
inline HMODULE LoadFromSystemFolder(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) return module;
  // Systems without the search flags (Windows 7 before the update that added
  // them) refuse the call; the full path in the system folder is as safe, and
  // makes its own dependencies be looked for there first.
  wchar_t path[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(path, MAX_PATH);
  const std::size_t nameLength = std::char_traits<wchar_t>::length(name);
  if (length == 0 || length + 1 + nameLength >= MAX_PATH) return nullptr;
  path[length] = L'\\';
  std::char_traits<wchar_t>::copy(path + length + 1, name, nameLength + 1);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

// Every DLL loaded from here on, by us or by the system on our behalf (the
// shell and the download service pull in many), comes from the system folder
// only: never from the folder the program was downloaded into. The entry
// point is missing on systems without the update that added it, which then
// keep their default search order.
inline void SearchSystemFolderOnly() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  if (const auto entry = Kernel32Entry<SetDefaultDllDirectoriesFn>("SetDefaultDllDirectories")) {
    static_cast<void>(entry(LOAD_LIBRARY_SEARCH_SYSTEM32));
  }
}

}  // namespace win32
