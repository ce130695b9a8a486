#include "bootstrap/download_path.h"

#include <gtest/gtest.h>

#include "bootstrap/constants.h"
#include "tests/fake_platform.h"

namespace {

using namespace std::literals;
using bootstrap::FileNameFromUrl;
using bootstrap::MakeDownloadPath;

constexpr char16_t kPoison[] = u"<untouched>";

class DownloadPathTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
};

struct NameCase {
  std::u16string_view url;
  bool ok;
  // The name output after the call, which starts out poisoned.
  const char16_t* name;
};

TEST_F(DownloadPathTest, FileNameFromUrl) {
  const NameCase cases[] = {
      {u"https://h/downloads/Lanternfold-8.appinstaller", true, u"Lanternfold-8.appinstaller"},
      {u"https://h/App.msixbundle?sv=2#top", true, u"App.msixbundle"},
      {u"https://h/App.msixbundle#top?sv=2", true, u"App.msixbundle"},
      {u"https://h/f.msix?p=a/b", true, u"b"},
      {u"https://localhost:8443", true, u"localhost:8443"},
      {u"https://h/My%20App.msix", true, u"My%20App.msix"},
      {u"https://h/MiXeD.MsIx", true, u"MiXeD.MsIx"},
      {u"https://h/a.msix\0/evil"sv, true, u"a.msix"},  // the URL ends at its first NUL
      {u"https://h/dir/", false, kPoison},
      {u"no-slash-at-all", false, kPoison},
      {u"", false, kPoison},
      {u"https://h/?x", false, u""},
      {u"https://h/#frag", false, u""},
      // Names that would step out of the temporary folder.
      {u"https://h/p.msix?a=/..\\..\\x.exe", false, u""},
      {u"https://h/a\\b.msix", false, u""},
      {u"https://h/..", false, u""},
      {u"https://h/.", false, u""},
      {u"https://h/...", false, u""},
      {u"https://h/..?x=1", false, u""},
      {u"https://h/..#f", false, u""},
      // Dots with something else are ordinary names.
      {u"https://h/..a", true, u"..a"},
      {u"https://h/.hidden", true, u".hidden"},
  };
  for (const NameCase& c : cases) {
    std::u16string name = kPoison;
    EXPECT_EQ(FileNameFromUrl(c.url, name), c.ok) << fake::ToUtf8(c.url);
    EXPECT_EQ(name, c.name) << fake::ToUtf8(c.url);
  }
  EXPECT_TRUE(fake::Fake().calls.empty()) << "naming a file asks the platform nothing";
}

TEST_F(DownloadPathTest, LongNamesHaveNoLimit) {
  const std::u16string longName(400, u'a');
  std::u16string path;
  ASSERT_TRUE(MakeDownloadPath(u"https://h/" + longName, path));
  EXPECT_EQ(path, *fake::Fake().script.tempPath + longName);
}

struct PathCase {
  const char* name;
  const char16_t* url;
  std::optional<std::u16string> tempPath;
  bool ok;
  // Expected path on success; on failure the output keeps its poison.
  std::u16string path;
  std::vector<std::string> calls;
};

TEST_F(DownloadPathTest, MakeDownloadPath) {
  const std::u16string temp = u"C:\\Users\\u\\AppData\\Local\\Temp\\";
  // 300 code units: more than the first buffer holds.
  const std::u16string longTemp = u"C:\\" + std::u16string(296, u'x') + u"\\";
  const PathCase cases[] = {
      {"manifest URL",
       bootstrap::kManifestUrl,
       temp,
       true,
       temp + u"Lanternfold-8.appinstaller",
       {"TemporaryPath(260)"}},
      {"no file name asks nothing", u"https://h/dir/", temp, false, kPoison, {}},
      {"query-only name asks nothing", u"https://h/?x", temp, false, kPoison, {}},
      {"traversal asks nothing", u"https://h/x?a=/..\\..\\x.exe", temp, false, kPoison, {}},
      {"no temporary folder",
       u"https://h/a.msix",
       std::nullopt,
       false,
       kPoison,
       {"TemporaryPath(260)"}},
      {"temporary folder longer than the first buffer",
       u"https://h/a.msix",
       longTemp,
       true,
       longTemp + u"a.msix",
       {"TemporaryPath(260)", "TemporaryPath(301)"}},
      {"temporary folder of exactly 259 units fits",
       u"https://h/a.msix",
       u"C:\\" + std::u16string(255, u'y') + u"\\",
       true,
       u"C:\\" + std::u16string(255, u'y') + u"\\a.msix",
       {"TemporaryPath(260)"}},
      {"empty temporary folder is no folder",
       u"https://h/a.msix",
       u"",
       false,
       kPoison,
       {"TemporaryPath(260)"}},
  };
  for (const PathCase& c : cases) {
    fake::Reset();
    fake::Fake().script.tempPath = c.tempPath;
    std::u16string path = kPoison;
    EXPECT_EQ(MakeDownloadPath(c.url, path), c.ok) << c.name;
    EXPECT_EQ(path, c.path) << c.name;
    EXPECT_EQ(fake::Fake().calls, c.calls) << c.name;
  }
}

TEST_F(DownloadPathTest, SameUrlGivesSamePath) {
  std::u16string first, second;
  ASSERT_TRUE(MakeDownloadPath(u"https://h/a.msix", first));
  ASSERT_TRUE(MakeDownloadPath(u"https://h/a.msix", second));
  EXPECT_EQ(first, second);
}

}  // namespace
