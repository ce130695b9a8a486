#include "preflight/manifest_check.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "bootstrap/constants.h"
#include "bootstrap/download_path.h"
#include "bootstrap/package_locator.h"
#include "platform/platform.h"
#include "preflight/text.h"
#include "preflight/xml_reading.h"

namespace preflight {
namespace {

using namespace std::literals;

constexpr std::array<std::u16string_view, 4> kPackageTypes = {u".msixbundle", u".msix",
                                                              u".appxbundle", u".appx"};

constexpr char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

std::u16string Lowered(std::u16string_view text) {
  std::u16string lowered(text);
  std::transform(lowered.begin(), lowered.end(), lowered.begin(), Lower);
  return lowered;
}

bool EndsWith(std::u16string_view text, std::u16string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsNameCharacter(char16_t c) {
  return IsAsciiLetter(c) || (c >= u'0' && c <= u'9') || c == u'_' || c == u'-';
}
bool IsHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Lines end at CR LF, CR or LF, as XML counts them; columns count code units,
// both from 1.
void LineAndColumn(std::u16string_view text, std::size_t offset, std::uint32_t& line,
                   std::uint32_t& column) {
  line = 1;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == u'\n' || (text[i] == u'\r' && (i + 1 >= text.size() || text[i + 1] != u'\n'))) {
      ++line;
      lineStart = i + 1;
    }
  }
  column = static_cast<std::uint32_t>(offset - lineStart + 1);
}

std::u16string EncodingName(bootstrap::TextEncoding encoding) {
  switch (encoding) {
    case bootstrap::TextEncoding::kUtf16LeWithMark:
      return u"UTF-16LE with byte-order mark";
    case bootstrap::TextEncoding::kUtf8WithMark:
      return u"UTF-8 with byte-order mark";
    case bootstrap::TextEncoding::kUtf8:
      break;
  }
  return u"UTF-8 without byte-order mark";
}

// The whole file, for the XML reading and the encoding.
bool ReadBytes(const std::u16string& path, std::string& bytes) {
  platform::ReadOnlyFile file;
  std::uint64_t length = 0;
  if (!file.Open(path) || !file.Length(&length)) return false;
  if (length > bootstrap::kMaxManifestBytes) {
    bytes.clear();  // the installer refuses it before anything else
    return true;
  }
  std::string content(static_cast<std::size_t>(length), '\0');
  std::uint32_t read = 0;
  if (!file.Read(content.data(), static_cast<std::uint32_t>(length), &read) || read != length) {
    return false;
  }
  bytes = std::move(content);
  return true;
}

// The host of an absolute URL, lowered, without user, password or port.
std::u16string HostOf(std::u16string_view url) {
  const std::size_t scheme = url.find(u"://");
  if (scheme == std::u16string_view::npos) return {};
  std::u16string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of(u"/?#"));
  if (const std::size_t at = rest.rfind(u'@'); at != std::u16string_view::npos) {
    rest.remove_prefix(at + 1);
  }
  if (rest.empty() || rest.front() != u'[') rest = rest.substr(0, rest.find(u':'));
  return Lowered(rest);
}

bool IsExampleHost(std::u16string_view host) {
  if (host == u"host" || host == u"hostname") return true;
  if (host.substr(0, 4) == u"your") return true;
  for (const std::u16string_view domain : {u"example.com"sv, u"example.net"sv, u"example.org"sv}) {
    if (host == domain || EndsWith(host, u"." + std::u16string(domain))) return true;
  }
  return host == u"example" || EndsWith(host, u".example") || EndsWith(host, u".invalid");
}

// The scheme of a resolved package URL, for the warning; empty for https.
std::u16string NotHttps(std::u16string_view url) {
  if (url.substr(0, 2) == u"\\\\") return u"a UNC path";
  const std::size_t colon = url.find(u':');
  const std::u16string scheme =
      Lowered(url.substr(0, colon == std::u16string_view::npos ? 0 : colon));
  if (scheme == u"https") return {};
  if (scheme.empty()) return u"no scheme";
  if (scheme == u"file" && !HostOf(url).empty()) return u"file: on another machine (a UNC path)";
  return scheme + u":";
}

void Problem(ManifestCheck& check, std::u16string code, std::u16string message) {
  check.problems.push_back({std::move(code), std::move(message)});
}
void Warning(ManifestCheck& check, std::u16string code, std::u16string message) {
  check.warnings.push_back({std::move(code), std::move(message)});
}

// What App Installer takes for the main package's address, for a message.
std::u16string AppInstallerReads(const XmlReading& xml) {
  return u"App Installer reads the Uri of <" + xml.mainElement + u"> at line " +
         Number(xml.mainUri.line) + u", column " + Number(xml.mainUri.column) + u" as " +
         Quoted(xml.mainUri.value);
}

// The scan's value set beside App Installer's reading of the same file.
void CompareWithXml(std::string_view bytes, std::u16string_view text,
                    const bootstrap::UriMatch* match, ManifestCheck& check) {
  XmlReading xml;
  if (!ReadAppInstallerXml(bytes, xml)) {
    Problem(check, u"no-xml-reader",
            u"no XML reader could be loaded on this system, so the file was not read as XML");
    return;
  }
  if (!xml.wellFormed) {
    Problem(check, u"not-well-formed",
            u"not well-formed XML: the reader stops at line " + Number(xml.errorLine) +
                u", column " + Number(xml.errorColumn) + u"; App Installer refuses such a file");
    return;
  }
  if (xml.rootUri.present && xml.rootUri.value != bootstrap::kManifestUrl) {
    Warning(check, u"manifest-uri-differs",
            u"the manifest's own Uri is " + Quoted(xml.rootUri.value) +
                u", but the installer fetches it from " + Quoted(bootstrap::kManifestUrl));
  }
  if (match == nullptr) {
    if (xml.mainUri.present) {
      Problem(check, u"xml-disagrees",
              AppInstallerReads(xml) + u", but the installer's scan finds none");
    }
    return;
  }

  const char16_t quote = text[match->valueAt - 1];
  std::u16string decoded;
  const bool decodes = DecodeAttributeValue(quote, match->value, decoded);
  if (xml.mainElement.empty() || !xml.mainUri.present) {
    Problem(check, u"xml-disagrees",
            u"App Installer finds no Uri of a MainBundle or MainPackage element of its namespaces"
            u" under the root element <" +
                xml.rootName + u">, but the installer's scan takes " + Quoted(match->value));
    return;
  }
  if (!decodes || decoded != xml.mainUri.value) {
    Problem(check, u"xml-disagrees",
            AppInstallerReads(xml) + u", but the installer's scan takes " + Quoted(match->value));
    return;
  }
  if (decoded != match->value) {
    Warning(check, u"entity-reference",
            u"the Uri value holds an entity or character reference, which the installer passes"
            u" on undecoded: it fetches " +
                Quoted(match->value) + u", App Installer reads " + Quoted(decoded));
  }
}

}  // namespace

bool HoldsPlaceholder(std::u16string_view uri, std::u16string_view resolved) {
  if (uri.find_first_of(u"{}<") != std::u16string_view::npos) return true;
  if (uri.find(u"...") != std::u16string_view::npos) return true;
  for (std::size_t i = uri.find(u'$'); i != std::u16string_view::npos; i = uri.find(u'$', i + 1)) {
    if (i + 1 < uri.size() && (uri[i + 1] == u'(' || IsAsciiLetter(uri[i + 1]))) return true;
  }
  // %NAME% with a letter that no percent escape holds; %20 and %2F stay fine.
  for (std::size_t i = uri.find(u'%'); i != std::u16string_view::npos; i = uri.find(u'%', i + 1)) {
    std::size_t j = i + 1;
    bool beyondHex = false;
    while (j < uri.size() && IsNameCharacter(uri[j])) beyondHex |= !IsHexDigit(uri[j++]);
    if (j > i + 1 && j < uri.size() && uri[j] == u'%' && beyondHex) return true;
  }
  return IsExampleHost(HostOf(resolved));
}

bool CheckManifest(const std::u16string& path, ManifestCheck& result) {
  std::string bytes;
  if (!ReadBytes(path, bytes)) return false;
  ManifestCheck check;
  check.encoding = EncodingName(
      bootstrap::EncodingOf(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));

  std::u16string text;
  bootstrap::UriMatch match;
  if (!bootstrap::ReadTextFile(path, text)) {
    Problem(check, u"no-package-url",
            u"the installer cannot read the file as text (it is empty, holds only a byte-order"
            u" mark, or is larger than 2 GiB): on the fallback road it would show its launch"
            u" message");
  } else if (!bootstrap::FindMainPackageUri(text, match)) {
    Problem(check, u"no-package-url",
            u"no quoted Uri value in the first MainBundle or MainPackage up to its \">\": on the"
            u" fallback road the installer would show its launch message");
  } else {
    check.found = true;
    check.element = match.element;
    LineAndColumn(text, match.elementAt, check.line, check.column);
    check.uri = match.value;
    if (bootstrap::CombineWithManifestUrl(check.uri, check.packageUrl)) {
      if (!bootstrap::FileNameFromUrl(check.packageUrl, check.fileName)) {
        check.fileName.clear();
        Problem(check, u"file-name",
                u"the installer takes no file name from the package URL: its last segment is"
                u" empty, starts with \"?\" or \"#\", holds a backslash or is made only of dots");
      } else if (std::none_of(kPackageTypes.begin(), kPackageTypes.end(),
                              [&](std::u16string_view type) {
                                return EndsWith(Lowered(check.fileName), type);
                              })) {
        Warning(check, u"file-type",
                u"App Installer opens .msixbundle, .msix, .appxbundle and .appx files; the"
                u" package would be saved as " +
                    Quoted(check.fileName));
      }
      if (const std::u16string scheme = NotHttps(check.packageUrl); !scheme.empty()) {
        Warning(check, u"not-https", u"the package is not fetched over https but by " + scheme);
      }
    } else {
      // The platform is not asked again with a larger buffer: Wine's UrlCombineW
      // gives wrong answers, and can crash, past the longest URL there may be.
      Problem(check, u"url-too-long",
              check.uri.size() >= bootstrap::kCombinedUrlCapacity
                  ? u"the Uri value alone has " + Number(check.uri.size()) +
                        u" code units; the package URL must fit in " +
                        Number(bootstrap::kCombinedUrlCapacity - 1)
                  : u"the package URL would need " + Number(bootstrap::kCombinedUrlCapacity) +
                        u" code units or more: UrlCombineW refuses it into the installer's buffer");
    }
    if (HoldsPlaceholder(check.uri, check.packageUrl)) {
      Problem(check, u"placeholder",
              u"the Uri value still holds a template's placeholder: " + Quoted(check.uri));
    }
  }

  if (!bytes.empty()) CompareWithXml(bytes, text, check.found ? &match : nullptr, check);
  result = std::move(check);
  return true;
}

}  // namespace preflight
