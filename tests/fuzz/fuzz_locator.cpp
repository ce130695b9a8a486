// The downloaded manifest is the one file the installer reads whose every
// byte a server, or whoever sits between it and the user, chooses. Each input
// is served as that file to the package locator.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bootstrap/constants.h"
#include "bootstrap/package_locator.h"
#include "tests/fake_platform.h"
#include "tests/fuzz/require.h"

namespace {

using fuzz::Require;

constexpr char16_t kPoison[] = u"<untouched>";
constexpr char16_t kManifestPath[] =
    u"C:\\Users\\u\\AppData\\Local\\Temp\\Lanternfold-8.appinstaller";

std::size_t CallsStartingWith(std::string_view prefix) {
  const auto& calls = fake::Fake().calls;
  return static_cast<std::size_t>(
      std::count_if(calls.begin(), calls.end(),
                    [&](const std::string& call) { return call.starts_with(prefix); }));
}

bool Resolve(const std::string& manifest, std::u16string& packageUrl,
             std::optional<platform::Result> combine = std::nullopt) {
  // A fresh fake per call keeps the transcript from growing run after run.
  fake::Reset();
  fake::Fake().script.fileBytes = manifest;
  fake::Fake().script.combine = combine;
  const bool resolved = bootstrap::ResolvePackageUrl(kManifestPath, packageUrl);

  Require(CallsStartingWith("ReadOnlyFile::Open(") == 1, "the manifest is opened once");
  Require(CallsStartingWith("ReadOnlyFile::Close()") == 1, "the manifest is closed on every road");
  Require(CallsStartingWith("ReadOnlyFile::Read(") <= 1, "the manifest is read in one request");
  Require(CallsStartingWith("CombineUrl(") <= 1, "the package URL is combined at most once");
  return resolved;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A harness whose file never reaches the locator would pass while fuzzing
  // nothing, so prove once that a plain manifest gets through.
  std::u16string url;
  Require(Resolve("<Bundle><MainBundle Name=\"n\" Uri=\"pkg/x.msixbundle\"/></Bundle>", url),
          "a plain manifest resolves");
  Require(url.starts_with(u"https://") && url.ends_with(u"/downloads/pkg/x.msixbundle"),
          "a relative Uri resolves next to the manifest");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string manifest(reinterpret_cast<const char*>(data), size);
  std::u16string url = kPoison;
  if (!Resolve(manifest, url)) {
    Require(url == kPoison, "a failed resolution leaves the output untouched");
    return 0;
  }
  Require(!url.empty(), "a resolved package URL is not empty");
  Require(url.size() < bootstrap::kCombinedUrlCapacity,
          "a resolved package URL fits the combine buffer with its NUL");
  Require(url.find(u'\0') == std::u16string::npos, "a resolved package URL holds no NUL");
  Require(CallsStartingWith("CombineUrl(") == 1, "a resolved URL comes from the combine");

  // The last step can still fail after the Uri has been found; only a
  // manifest that gets this far can show whether that keeps the output too.
  std::u16string refused = kPoison;
  Require(!Resolve(manifest, refused, fake::kFail), "a refused combine fails the resolution");
  Require(refused == kPoison, "a refused combine leaves the output untouched");
  return 0;
}
