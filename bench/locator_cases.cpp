#include "bench/locator_cases.h"

#include <array>
#include <limits>

#include "bootstrap/constants.h"
#include "platform/platform.h"

namespace locator_cases {
namespace {

constexpr std::array<Case, 6> kCases = {{
    {Encoding::kUtf8, 1},
    {Encoding::kUtf8, 64},
    {Encoding::kUtf8, 512},
    {Encoding::kUtf16Le, 1},
    {Encoding::kUtf16Le, 64},
    {Encoding::kUtf16Le, 512},
}};

constexpr std::u16string_view kPackageName = u"Lanternfold.msixbundle";

}  // namespace

std::string Case::Name() const {
  return (encoding == Encoding::kUtf8 ? "utf8-" : "utf16-") + std::to_string(mebibytes) + "mib";
}

double Case::DesignPeakRatio() const { return encoding == Encoding::kUtf8 ? 3.0 : 2.0; }

std::uint64_t Case::FileBytes() const { return std::uint64_t{mebibytes} << 20; }

std::size_t Case::TextUnits() const {
  return encoding == Encoding::kUtf8 ? FileBytes() : (FileBytes() - 2) / 2;
}

std::span<const Case> All() { return kCases; }

std::u16string ManifestPath(std::u16string_view folder, char16_t separator, const Case& c) {
  std::u16string path(folder);
  if (!path.empty() && path.back() != separator) path += separator;
  for (const char ch : c.Name()) path += static_cast<char16_t>(ch);
  path += u".appinstaller";
  return path;
}

std::u16string ExpectedPackageUrl() {
  const std::u16string_view manifest = bootstrap::kManifestUrl;
  std::u16string url(manifest.substr(0, manifest.rfind(u'/') + 1));
  url += kPackageName;
  return url;
}

bool ReadAndDecode(const std::u16string& path, Text& text) {
  platform::ReadOnlyFile file;
  std::uint64_t length = 0;
  if (!file.Open(path) || !file.Length(&length)) return false;
  if (length == 0 || length > bootstrap::kMaxManifestBytes) return false;
  const auto count = static_cast<std::uint32_t>(length);
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[count]);
  std::uint32_t received = 0;
  if (!file.Read(bytes.get(), count, &received) || received != count) return false;

  const unsigned char* data = bytes.get();
  std::size_t n = count;
  if (n >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    const std::size_t units = (n - 2) / 2;
    std::unique_ptr<char16_t[]> decoded(new char16_t[units]);
    for (std::size_t i = 0; i < units; ++i) {
      decoded[i] = static_cast<char16_t>(data[2 + 2 * i] | (data[2 + 2 * i + 1] << 8));
    }
    text = {std::move(decoded), units};
    return true;
  }
  if (n >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    data += 3;
    n -= 3;
  }
  if (n == 0) return false;
  const char* input = reinterpret_cast<const char*>(data);
  const int inputCount = static_cast<int>(n);
  const int units = platform::DecodeUtf8(input, inputCount, nullptr, 0);
  if (units <= 0) return false;
  std::unique_ptr<char16_t[]> decoded(new char16_t[static_cast<std::size_t>(units)]);
  if (platform::DecodeUtf8(input, inputCount, decoded.get(), units) != units) return false;
  text = {std::move(decoded), static_cast<std::size_t>(units)};
  return true;
}

}  // namespace locator_cases
