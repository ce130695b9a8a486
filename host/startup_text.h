// The text work of the application framework's start-up, kept apart from the
// Windows calls so that it can be tested anywhere.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace framework {

// What follows the first item of a process's command line (the program name
// as the caller wrote it, quoted or not) and the blanks after it.
[[nodiscard]] std::u16string_view CommandLineTail(std::u16string_view commandLine);

struct Guid {
  std::uint32_t data1;
  std::uint16_t data2;
  std::uint16_t data3;
  std::array<std::uint8_t, 8> data4;
};

// "%08lX-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X": 36 characters, no
// braces, the third group in lower case and every other group in upper case.
[[nodiscard]] std::u16string FormatRestartIdentifier(const Guid& guid);

// The tail, followed by " /RestartByRestartManager:<identifier>" unless the
// tail already holds that exact argument.
[[nodiscard]] std::u16string RestartCommandLine(std::u16string_view tail,
                                                std::u16string_view identifier);

// "<stem><abbreviation>.dll", the name of a satellite resource library.
[[nodiscard]] std::u16string SatelliteName(std::u16string_view stem,
                                           std::u16string_view abbreviation);

}  // namespace framework
