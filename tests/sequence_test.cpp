#include "bootstrap/sequence.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "bootstrap/constants.h"
#include "tests/fake_platform.h"
#include "tests/test_files.h"

namespace {

using bootstrap::kManifestUrl;
using fake::kFail;
using fake::kOk;
using fake::ToUtf8;

class SequenceTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }

  // The calls that show what the sequence did, without the locator's
  // file and decoding internals, which have tests of their own.
  static std::vector<std::string> VisibleCalls() {
    return fake::CallsWithout({"ReadOnlyFile::Length", "ReadOnlyFile::Read", "ReadOnlyFile::Close",
                               "DecodeUtf8", "IsSpaceCharacter"});
  }

  ScratchFolder temp_;
};

// Every attempt is made with the stall limit that ships, 60 s; the
// end-to-end build's shorter one must never reach a release.
std::string Fetch(std::u16string_view url, std::u16string_view path) {
  return "DownloadUrlToFile(" + ToUtf8(url) + ", " + ToUtf8(path) + ", 60000)";
}
std::string Open(std::u16string_view path) { return "ShellOpen(open, " + ToUtf8(path) + ", 1)"; }
std::string Message(std::u16string_view text) {
  return "ShowMessageBox(" + ToUtf8(text) + ", Lanternfold Installer, 0x10)";
}
const std::string kTemp = "TemporaryPath(260)";
const std::string kPause = "Pause(1000)";

TEST_F(SequenceTest, EveryRoad) {
  const std::u16string manifestUrl = kManifestUrl;
  const std::u16string manifestDir = manifestUrl.substr(0, manifestUrl.rfind(u'/') + 1);
  const std::u16string manifestPath = temp_.Prefix() + u"Lanternfold-8.appinstaller";
  const std::u16string packageUrl = manifestDir + u"Lanternfold.msixbundle";
  const std::u16string packagePath = temp_.Prefix() + u"Lanternfold.msixbundle";
  const std::string withPackage = "<AppInstaller><MainBundle Uri='Lanternfold.msixbundle'/>";

  const std::string fetchManifest = Fetch(manifestUrl, manifestPath);
  const std::string fetchPackage = Fetch(packageUrl, packagePath);
  const std::string readManifest = "ReadOnlyFile::Open(" + ToUtf8(manifestPath) + ")";
  const std::string combine =
      "CombineUrl(" + ToUtf8(manifestUrl) + ", Lanternfold.msixbundle, 2048, 0)";

  struct Road {
    const char* name;
    bool noTemp;
    std::deque<platform::Result> downloads;
    std::deque<bool> shell;
    std::string manifest;
    std::vector<std::string> calls;
  };
  const Road roads[] = {
      {"manifest download path can't be named",
       true,
       {},
       {},
       withPackage,
       {kTemp, Message(bootstrap::kPathErrorText)}},
      {"every manifest attempt fails",
       false,
       {kFail, kFail, kFail},
       {},
       withPackage,
       {kTemp, fetchManifest, kPause, fetchManifest, kPause, fetchManifest,
        Message(bootstrap::kDownloadErrorText)}},
      {"shell accepts the manifest",
       false,
       {kOk},
       {true},
       withPackage,
       {kTemp, fetchManifest, Open(manifestPath)}},
      {"third manifest attempt succeeds",
       false,
       {kFail, kFail, kOk},
       {true},
       withPackage,
       {kTemp, fetchManifest, kPause, fetchManifest, kPause, fetchManifest, Open(manifestPath)}},
      {"a positive result is success",
       false,
       {1},
       {true},
       withPackage,
       {kTemp, fetchManifest, Open(manifestPath)}},
      {"locator finds no package",
       false,
       {kOk},
       {false},
       "<AppInstaller/>",
       {kTemp, fetchManifest, Open(manifestPath), readManifest,
        Message(bootstrap::kLaunchErrorText)}},
      {"package download path can't be named",
       false,
       {kOk},
       {false},
       "<MainBundle Uri='https://cdn.example/p/'/>",
       {kTemp, fetchManifest, Open(manifestPath), readManifest,
        "CombineUrl(" + ToUtf8(manifestUrl) + ", https://cdn.example/p/, 2048, 0)",
        Message(bootstrap::kLaunchErrorText)}},
      {"package name would leave the temporary folder",
       false,
       {kOk},
       {false},
       "<MainBundle Uri='https://cdn.example/p.msix?a=/..\\..\\x.exe'/>",
       {kTemp, fetchManifest, Open(manifestPath), readManifest,
        "CombineUrl(" + ToUtf8(manifestUrl) +
            ", https://cdn.example/p.msix?a=/..\\..\\x.exe, 2048, 0)",
        Message(bootstrap::kLaunchErrorText)}},
      {"every package attempt fails",
       false,
       {kOk, kFail, kFail, kFail},
       {false},
       withPackage,
       {kTemp, fetchManifest, Open(manifestPath), readManifest, combine, kTemp, fetchPackage,
        kPause, fetchPackage, kPause, fetchPackage, Message(bootstrap::kLaunchErrorText)}},
      {"shell refuses the package",
       false,
       {kOk, kOk},
       {false, false},
       withPackage,
       {kTemp, fetchManifest, Open(manifestPath), readManifest, combine, kTemp, fetchPackage,
        Open(packagePath), Message(bootstrap::kLaunchErrorText)}},
      {"shell accepts the package",
       false,
       {kOk, kFail, kOk},
       {false, true},
       withPackage,
       {kTemp, fetchManifest, Open(manifestPath), readManifest, combine, kTemp, fetchPackage,
        kPause, fetchPackage, Open(packagePath)}},
  };

  for (const Road& road : roads) {
    fake::Reset();
    fake::Script& script = fake::Fake().script;
    if (road.noTemp) {
      script.tempPath.reset();
    } else {
      script.tempPath = temp_.Prefix();
    }
    script.downloads = road.downloads;
    script.shell = road.shell;
    script.served[manifestUrl] = road.manifest;
    script.served[packageUrl] = "package bytes";

    EXPECT_FALSE(bootstrap::RunBootstrapSequence()) << road.name;
    EXPECT_EQ(VisibleCalls(), road.calls) << road.name;
  }
}

TEST_F(SequenceTest, FetchedFilesStayAndAreFetchedAgain) {
  const std::u16string manifestUrl = kManifestUrl;
  const std::u16string packageUrl =
      manifestUrl.substr(0, manifestUrl.rfind(u'/') + 1) + u"Lanternfold.msixbundle";
  for (int run = 0; run < 2; ++run) {
    fake::Reset();
    auto& script = fake::Fake().script;
    script.tempPath = temp_.Prefix();
    script.shell = {false, false};
    script.served[manifestUrl] = "<MainBundle Uri='Lanternfold.msixbundle'/>";
    script.served[packageUrl] = "package, run " + std::to_string(run);
    EXPECT_FALSE(bootstrap::RunBootstrapSequence());

    EXPECT_TRUE(std::filesystem::exists(temp_.Path("Lanternfold-8.appinstaller")));
    std::ifstream package(temp_.Path("Lanternfold.msixbundle"));
    std::string body((std::istreambuf_iterator<char>(package)), {});
    EXPECT_EQ(body, "package, run " + std::to_string(run));
  }
}

}  // namespace
