#include "bootstrap/sequence.h"

#include "bootstrap/constants.h"
#include "bootstrap/download_path.h"
#include "bootstrap/package_locator.h"
#include "platform/platform.h"

namespace bootstrap {
namespace {

void ShowError(const char16_t* text) { platform::ShowMessageBox(text, kCaption, kMessageStyle); }

// The fallback once the shell has refused the manifest. Every failure here
// reads the same to the user.
bool InstallMainPackage(const std::u16string& manifestPath) {
  std::u16string packageUrl;
  if (!ResolvePackageUrl(manifestPath, packageUrl)) return false;
  std::u16string packagePath;
  if (!MakeDownloadPath(packageUrl, packagePath)) return false;
  if (!DownloadWithRetry(packageUrl, packagePath)) return false;
  return OpenWithShell(packagePath);
}

}  // namespace

bool DownloadWithRetry(const std::u16string& url, const std::u16string& path) {
  for (int attempt = 1; attempt <= kDownloadAttempts; ++attempt) {
    if (platform::Succeeded(platform::DownloadUrlToFile(url, path, kStallTimeoutMs))) return true;
    if (attempt < kDownloadAttempts) platform::Pause(kRetryDelayMs);
  }
  return false;
}

bool OpenWithShell(const std::u16string& path) {
  return platform::ShellOpen(kShellVerb, path, kShowNormal);
}

bool RunBootstrapSequence() {
  std::u16string manifestPath;
  if (!MakeDownloadPath(kManifestUrl, manifestPath)) {
    ShowError(kPathErrorText);
  } else if (!DownloadWithRetry(kManifestUrl, manifestPath)) {
    ShowError(kDownloadErrorText);
  } else if (!OpenWithShell(manifestPath) && !InstallMainPackage(manifestPath)) {
    ShowError(kLaunchErrorText);
  }
  return false;
}

}  // namespace bootstrap
