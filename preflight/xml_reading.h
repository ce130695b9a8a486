// A reading of an App Installer file as XML, the way App Installer itself
// reads it: the root element, its Uri attribute, and its first direct child
// MainBundle (else MainPackage) in one of App Installer's namespaces, with that
// child's Uri attribute. The installer never reads the file like this; the
// manifest check compares the two readings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace preflight {

struct XmlAttribute {
  bool present = false;
  std::u16string value;  // entity and character references decoded
  std::uint32_t line = 0;
  std::uint32_t column = 0;
};

struct XmlReading {
  bool wellFormed = false;
  // Where the reader stopped, when the file is not well-formed.
  std::uint32_t errorLine = 0;
  std::uint32_t errorColumn = 0;
  std::u16string rootName;
  XmlAttribute rootUri;
  // "MainBundle" or "MainPackage", or empty when the root has neither as a
  // direct child in an App Installer namespace.
  std::u16string mainElement;
  XmlAttribute mainUri;
};

// Reads the whole file's bytes; the reader works out their encoding from the
// byte-order mark and the XML declaration. False when no XML reader can be had
// on this system.
[[nodiscard]] bool ReadAppInstallerXml(std::string_view bytes, XmlReading& reading);

// What an XML reader makes of an attribute value written as `raw` between two
// `quote` characters. False when that is no well-formed attribute value (a
// bare "&", an unknown entity, a "<").
[[nodiscard]] bool DecodeAttributeValue(char16_t quote, std::u16string_view raw,
                                        std::u16string& decoded);

}  // namespace preflight
