// XmlLite behind xml_reading.h. XmlLite is part of every supported Windows (and
// of Wine); like urlmon for the installer, it is loaded from the system folder.
#include <windows.h>

#include <objidl.h>
#include <shlwapi.h>
#include <xmllite.h>

#include <array>
#include <string>

#include "platform/common-win32.h"
#include "preflight/xml_reading.h"

namespace preflight {
namespace {

using win32::Utf16;

// The namespaces of App Installer's schema, one per version of it.
constexpr std::array<std::wstring_view, 4> kNamespaces = {
    L"http://schemas.microsoft.com/appx/appinstaller/2017",
    L"http://schemas.microsoft.com/appx/appinstaller/2017/2",
    L"http://schemas.microsoft.com/appx/appinstaller/2018",
    L"http://schemas.microsoft.com/appx/appinstaller/2021"};

using CreateXmlReaderFn = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

// Owns one COM reference.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (object_ != nullptr) object_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  [[nodiscard]] T* get() const { return object_; }
  [[nodiscard]] T* operator->() const { return object_; }
  T** out() { return &object_; }
  void** outVoid() { return reinterpret_cast<void**>(&object_); }

 private:
  T* object_ = nullptr;
};

using CreateInputFn = HRESULT(WINAPI*)(IUnknown*, IMalloc*, UINT, BOOL, LPCWSTR, IUnknown**);

HMODULE XmlLite() {
  static const HMODULE module = win32::LoadFromSystemFolder(L"xmllite.dll");
  return module;
}

CreateXmlReaderFn CreateReaderEntry() {
  static const auto entry = reinterpret_cast<CreateXmlReaderFn>(
      XmlLite() ? reinterpret_cast<void*>(GetProcAddress(XmlLite(), "CreateXmlReader")) : nullptr);
  return entry;
}

CreateInputFn CreateInputEntry() {
  static const auto entry = reinterpret_cast<CreateInputFn>(
      XmlLite() ? reinterpret_cast<void*>(
                      GetProcAddress(XmlLite(), "CreateXmlReaderInputWithEncodingCodePage"))
                : nullptr);
  return entry;
}

// UTF-16 text as UTF-8 bytes.
std::string Utf8(const wchar_t* text, std::size_t units) {
  const int count = static_cast<int>(units);
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, count, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, count, bytes.data(), size, nullptr, nullptr);
  return bytes;
}

// A reader over `bytes`, which are UTF-8 whatever they declare when `utf8` is
// set, and are left to the reader to work out otherwise. Document type
// definitions are refused, so that no entity declared in the file is expanded.
bool OpenReader(std::string_view bytes, bool utf8, ComRef<IXmlReader>& reader,
                ComRef<IStream>& stream, ComRef<IUnknown>& input) {
  const CreateXmlReaderFn create = CreateReaderEntry();
  const CreateInputFn createInput = CreateInputEntry();
  if (create == nullptr || createInput == nullptr ||
      FAILED(create(__uuidof(IXmlReader), reader.outVoid(), nullptr))) {
    return false;
  }
  *stream.out() = SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()),
                                    static_cast<UINT>(bytes.size()));
  if (stream.get() == nullptr ||
      FAILED(reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit))) {
    return false;
  }
  if (!utf8) return SUCCEEDED(reader->SetInput(stream.get()));
  return SUCCEEDED(createInput(stream.get(), nullptr, CP_UTF8, FALSE, nullptr, input.out())) &&
         SUCCEEDED(reader->SetInput(input.get()));
}

// The current element's attribute `name` in no namespace; the reader stays on
// the element.
XmlAttribute Attribute(IXmlReader* reader, const wchar_t* name) {
  XmlAttribute attribute;
  if (reader->MoveToAttributeByName(name, nullptr) != S_OK) return attribute;
  const wchar_t* value = nullptr;
  UINT line = 0;
  UINT column = 0;
  if (SUCCEEDED(reader->GetValue(&value, nullptr)) && SUCCEEDED(reader->GetLineNumber(&line)) &&
      SUCCEEDED(reader->GetLinePosition(&column))) {
    attribute = {true, Utf16(value), line, column};
  }
  reader->MoveToElement();
  return attribute;
}

std::wstring_view LocalName(IXmlReader* reader) {
  const wchar_t* name = nullptr;
  UINT length = 0;
  if (FAILED(reader->GetLocalName(&name, &length))) return {};
  return {name, length};
}

bool InAppInstallerNamespace(IXmlReader* reader) {
  const wchar_t* uri = nullptr;
  UINT length = 0;
  if (FAILED(reader->GetNamespaceUri(&uri, &length))) return false;
  for (const std::wstring_view known : kNamespaces) {
    if (known == std::wstring_view(uri, length)) return true;
  }
  return false;
}

}  // namespace

bool ReadAppInstallerXml(std::string_view bytes, XmlReading& reading) {
  // Wine's XmlLite fails on UTF-16 input once an attribute value passes a few
  // thousand code units, and then corrupts its heap; UTF-8 it reads well. So a
  // UTF-16LE file goes in as the same text in UTF-8, whatever it declares.
  std::string transcoded;
  const bool utf16 = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
  if (utf16) {
    transcoded = Utf8(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    bytes = transcoded;
  }
  ComRef<IXmlReader> reader;
  ComRef<IStream> stream;
  ComRef<IUnknown> input;
  if (!OpenReader(bytes, utf16, reader, stream, input)) return false;

  XmlReading result;
  bool bundleSeen = false;
  bool packageSeen = false;
  XmlAttribute bundleUri;
  XmlAttribute packageUri;
  XmlNodeType type = XmlNodeType_None;
  HRESULT status = S_OK;
  while ((status = reader->Read(&type)) == S_OK) {
    if (type != XmlNodeType_Element) continue;
    UINT depth = 0;
    if (FAILED(reader->GetDepth(&depth))) break;
    const std::wstring_view name = LocalName(reader.get());
    if (depth == 0) {
      result.rootName = Utf16(std::wstring(name).c_str());
      result.rootUri = Attribute(reader.get(), L"Uri");
    } else if (depth == 1 && InAppInstallerNamespace(reader.get())) {
      if (!bundleSeen && name == L"MainBundle") {
        bundleSeen = true;
        bundleUri = Attribute(reader.get(), L"Uri");
      } else if (!packageSeen && name == L"MainPackage") {
        packageSeen = true;
        packageUri = Attribute(reader.get(), L"Uri");
      }
    }
  }
  // S_FALSE is the end of the document; anything else is where it broke.
  result.wellFormed = status == S_FALSE;
  if (!result.wellFormed) {
    UINT line = 0;
    UINT column = 0;
    static_cast<void>(reader->GetLineNumber(&line));
    static_cast<void>(reader->GetLinePosition(&column));
    result.errorLine = line;
    result.errorColumn = column;
  }
  if (bundleSeen) {
    result.mainElement = u"MainBundle";
    result.mainUri = bundleUri;
  } else if (packageSeen) {
    result.mainElement = u"MainPackage";
    result.mainUri = packageUri;
  }
  reading = std::move(result);
  return true;
}

bool DecodeAttributeValue(char16_t quote, std::u16string_view raw, std::u16string& decoded) {
  // A one-element document, in UTF-8 (see above), whose only attribute is
  // written as the manifest wrote the value, so that the reader applies XML's
  // own rules to it.
  std::u16string document = u"<v a=";
  document += quote;
  document += raw;
  document += quote;
  document += u"/>";
  const std::string bytes = Utf8(win32::Wide(document), document.size());
  ComRef<IXmlReader> reader;
  ComRef<IStream> stream;
  ComRef<IUnknown> input;
  if (!OpenReader(bytes, true, reader, stream, input)) return false;
  XmlNodeType type = XmlNodeType_None;
  while (reader->Read(&type) == S_OK) {
    if (type != XmlNodeType_Element) continue;
    const XmlAttribute attribute = Attribute(reader.get(), L"a");
    if (!attribute.present) return false;
    // The rest must read too: a stray "<" in the value breaks the document.
    HRESULT status = S_OK;
    while ((status = reader->Read(&type)) == S_OK) {
    }
    if (status != S_FALSE) return false;
    decoded = attribute.value;
    return true;
  }
  return false;
}

}  // namespace preflight
