#include "host/startup_text.h"

namespace framework {
namespace {

// The runtime's notion of a blank: any control character or space.
bool IsBlank(char16_t c) { return c != u'\0' && c <= u' '; }

template <typename Int>
void AppendHex(std::u16string& out, Int value, int digits, bool upper) {
  const char16_t* alphabet = upper ? u"0123456789ABCDEF" : u"0123456789abcdef";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out.push_back(alphabet[(value >> shift) & 0xF]);
  }
}

}  // namespace

std::u16string_view CommandLineTail(std::u16string_view commandLine) {
  commandLine = commandLine.substr(0, commandLine.find(u'\0'));
  // As the C runtime does it: quotes toggle, and the first blank outside
  // them ends the program name, so C:\"Program Files"\x.exe is one item.
  std::size_t i = 0;
  bool quoted = false;
  for (; i < commandLine.size(); ++i) {
    if (commandLine[i] == u'"') {
      quoted = !quoted;
    } else if (!quoted && IsBlank(commandLine[i])) {
      break;
    }
  }
  while (i < commandLine.size() && IsBlank(commandLine[i])) ++i;
  return commandLine.substr(i);
}

std::u16string FormatRestartIdentifier(const Guid& guid) {
  std::u16string text;
  text.reserve(36);
  AppendHex(text, guid.data1, 8, true);
  text.push_back(u'-');
  AppendHex(text, guid.data2, 4, true);
  text.push_back(u'-');
  AppendHex(text, guid.data3, 4, false);
  text.push_back(u'-');
  for (std::size_t i = 0; i < guid.data4.size(); ++i) {
    if (i == 2) text.push_back(u'-');
    AppendHex(text, guid.data4[i], 2, true);
  }
  return text;
}

std::u16string RestartCommandLine(std::u16string_view tail, std::u16string_view identifier) {
  std::u16string argument = u"RestartByRestartManager:";
  argument += identifier;
  std::u16string commandLine(tail);
  if (tail.find(argument) == std::u16string_view::npos) {
    commandLine += u" /";
    commandLine += argument;
  }
  return commandLine;
}

std::u16string SatelliteName(std::u16string_view stem, std::u16string_view abbreviation) {
  std::u16string name(stem);
  name += abbreviation;
  name += u".dll";
  return name;
}

}  // namespace framework
