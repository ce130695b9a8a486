#include "bootstrap/package_locator.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "bootstrap/constants.h"
#include "tests/fake_platform.h"
#include "tests/test_files.h"

namespace {

using namespace std::literals;
using bootstrap::FindUriAttribute;
using bootstrap::ReadTextFile;
using bootstrap::ResolvePackageUrl;

constexpr char16_t kPoison[] = u"<untouched>";

class LocatorTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  ScratchFolder folder_;
};

TEST_F(LocatorTest, Whitespace) {
  for (char16_t c : {u'\t', u'\n', u'\v', u'\f', u'\r', u' ', u'\x85', u'\xA0', u'\x3000',
                     u'\x2028', u'\x1680'}) {
    EXPECT_TRUE(bootstrap::IsUriWhitespace(c)) << std::hex << int{c};
  }
  for (char16_t c :
       {u'\0', u'\x08', u'\x0E', u'\x1C', u'\x1F', u'=', u'\xFF', u'\x100', u'\xFFFF'}) {
    EXPECT_FALSE(bootstrap::IsUriWhitespace(c)) << std::hex << int{c};
  }
  // Below U+0100 the rule is fixed, and U+FFFF is never whitespace: the
  // platform is consulted only for the rest.
  EXPECT_EQ(fake::Fake().calls,
            (std::vector<std::string>{"IsSpaceCharacter(0x3000)", "IsSpaceCharacter(0x2028)",
                                      "IsSpaceCharacter(0x1680)", "IsSpaceCharacter(0x100)"}));
}

struct UriCase {
  std::u16string_view span;
  std::optional<std::u16string_view> value;  // nullopt: not found, output untouched
};

TEST_F(LocatorTest, FindUriAttribute) {
  const UriCase cases[] = {
      {u"MainBundle Uri=\"https://h/a.msixbundle\" />", u"https://h/a.msixbundle"},
      {u"MainBundle Uri \t\r\n=\r\n 'a.msix'>", u"a.msix"},
      {u"MainBundle Uri\x3000=\x2028\"a.msix\">", u"a.msix"},
      {u"MainBundle Uri\xA0=\x85\"a.msix\">", u"a.msix"},
      {u"MainBundle Uri='say \"hi\"'>", u"say \"hi\""},
      {u"MainBundle Uri=\"it's\">", u"it's"},
      {u"MainBundle Uri=\"\" Uri=\"later.msix\">", u"later.msix"},
      {u"MainBundle InfoUri=\"info\" Uri=\"real\">", u"info"},
      {u"MainBundle Uri=\"a&amp;b\">", u"a&amp;b"},
      {u"MainBundle Uri=\" padded \">", u" padded "},
      {u"MainBundle Uri=\"x\"", u"x"},
      {u"MainBundle Name=\"x\" />", std::nullopt},
      {u"MainBundle Uri=unquoted>", std::nullopt},
      {u"MainBundle Uri=\"\">", std::nullopt},
      {u"MainBundle Uri=\"no closing>", std::nullopt},
      {u"MainBundle Uri='mixed\">", std::nullopt},
      {u"MainBundle Uri=\"", std::nullopt},
      {u"MainBundle Uri", std::nullopt},
      {u"MainBundle Uri\xFFFF=\"a\">", std::nullopt},
      {u"MainBundle Uri\x1C=\"a\">", std::nullopt},
      {u"MainBundle uri=\"a\" URI=\"b\">", std::nullopt},
      {u"MainBundle \0Uri=\"hidden\">"sv, std::nullopt},
      {u"MainBundle Uri=\"a\0b\">"sv, std::nullopt},
  };
  for (const UriCase& c : cases) {
    std::u16string value = kPoison;
    EXPECT_EQ(FindUriAttribute(c.span, value), c.value.has_value()) << fake::ToUtf8(c.span);
    EXPECT_EQ(value, c.value.value_or(kPoison)) << fake::ToUtf8(c.span);
  }
}

struct ReadCase {
  const char* name;
  std::string bytes;
  std::optional<std::u16string_view> text;  // nullopt: false, output untouched
};

TEST_F(LocatorTest, ReadTextFileDecodesByMark) {
  const ReadCase cases[] = {
      {"UTF-16LE with mark", Utf16LeWithMark(u"<a \x20AC>"), u"<a \x20AC>"},
      {"UTF-8 with mark", "\xEF\xBB\xBF<a \xE2\x82\xAC>", u"<a \x20AC>"},
      {"UTF-8 without mark", "<a \xE2\x82\xAC>", u"<a \x20AC>"},
      {"supplementary plane", "\xF0\x9F\x8F\xAE", u"\xD83C\xDFEE"},
      {"the UTF-16 mark alone gives empty text", "\xFF\xFE", u""},
      {"an odd last byte is dropped",
       "\xFF\xFE"
       "a\0b\0c"s,
       u"ab"},
      {"one byte after the mark",
       "\xFF\xFE"
       "a"s,
       u""},
      {"big-endian UTF-16 reads as UTF-8", "\xFE\xFF\0a"s, u"\xFFFD\xFFFD\0a"sv},
      {"UTF-16LE without mark reads as UTF-8", "a\0b\0"s, u"a\0b\0"sv},
      {"malformed UTF-8 becomes U+FFFD",
       "a\x80"
       "b\xC3",
       u"a\xFFFD"
       "b\xFFFD"},
      {"zero bytes stay in the text", "a\0b"s, u"a\0b"sv},
      {"empty file", "", std::nullopt},
      {"the UTF-8 mark alone", "\xEF\xBB\xBF", std::nullopt},
  };
  for (const ReadCase& c : cases) {
    const std::u16string path = folder_.Write("m.appinstaller", c.bytes);
    std::u16string text = kPoison;
    EXPECT_EQ(ReadTextFile(path, text), c.text.has_value()) << c.name;
    EXPECT_EQ(text, c.text.value_or(kPoison)) << c.name;
  }
}

TEST_F(LocatorTest, ReadTextFileFailures) {
  const std::u16string path = folder_.Write("m.appinstaller", "<MainBundle Uri='a'/>");
  struct Failure {
    const char* name;
    void (*arrange)(fake::Script&);
  };
  const Failure failures[] = {
      {"length can't be taken", [](fake::Script& s) { s.failLength = true; }},
      {"read reports an error", [](fake::Script& s) { s.failRead = true; }},
      {"read delivers fewer bytes", [](fake::Script& s) { s.readLimit = 5; }},
  };
  for (const Failure& f : failures) {
    fake::Reset();
    f.arrange(fake::Fake().script);
    std::u16string text = kPoison;
    EXPECT_FALSE(ReadTextFile(path, text)) << f.name;
    EXPECT_EQ(text, kPoison) << f.name;
    EXPECT_EQ(fake::Fake().calls.back(), "ReadOnlyFile::Close()") << f.name;
  }

  std::u16string text = kPoison;
  EXPECT_FALSE(ReadTextFile(folder_.Prefix() + u"missing.appinstaller", text));
  EXPECT_EQ(text, kPoison);
}

TEST_F(LocatorTest, ReadTextFileRefusesFilesOverTwoGigabytes) {
  const std::u16string path = folder_.Write("huge.appinstaller", "");
  ASSERT_EQ(::truncate(fake::ToUtf8(path).c_str(), 2147483648LL), 0);  // sparse
  std::u16string text = kPoison;
  EXPECT_FALSE(ReadTextFile(path, text));
  EXPECT_EQ(text, kPoison);
  EXPECT_EQ(fake::CallsWithout({}),
            (std::vector<std::string>{"ReadOnlyFile::Open(" + fake::ToUtf8(path) + ")",
                                      "ReadOnlyFile::Length()", "ReadOnlyFile::Close()"}));
}

struct ResolveCase {
  const char* name;
  std::string manifest;               // UTF-8 bytes
  std::optional<std::u16string> url;  // nullopt: false, output untouched
};

TEST_F(LocatorTest, ResolvePackageUrl) {
  const std::u16string dir =
      std::u16string(bootstrap::kManifestUrl)
          .substr(0, std::u16string(bootstrap::kManifestUrl).rfind(u'/') + 1);
  const std::string longName(2047 - dir.size(), 'n');  // combined: exactly 2047 units
  const ResolveCase cases[] = {
      {"bundle, absolute", "<MainBundle Name='Q' Uri='https://cdn.example/p/Q.msixbundle'/>",
       u"https://cdn.example/p/Q.msixbundle"},
      {"bare name lands beside the manifest", "<MainBundle Uri=\"Q.msixbundle\"/>",
       dir + u"Q.msixbundle"},
      {"package only", "<MainPackage Uri='Q.msix'/>", dir + u"Q.msix"},
      {"bundle wins even after the package",
       "<MainPackage Uri='p.msix'/><MainBundle Uri='b.msixbundle'/>", dir + u"b.msixbundle"},
      {"bundle without Uri falls back to the package",
       "<MainBundle Name='x'/><MainPackage Uri='p.msix'/>", dir + u"p.msix"},
      {"bundle with empty Uri falls back", "<MainBundle Uri=''/><MainPackage Uri='p.msix'/>",
       dir + u"p.msix"},
      {"only the first occurrence is tried",
       "<!-- MainBundle --><MainBundle Uri='b.msixbundle'/><MainPackage Uri='p.msix'/>",
       dir + u"p.msix"},
      {"'>' in an earlier attribute ends the span", "<MainBundle Name='a>b' Uri='b.msixbundle'/>",
       std::nullopt},
      {"'>' inside the value itself", "<MainBundle Uri='a>b.msixbundle'/>", std::nullopt},
      {"entities reach the combiner undecoded", "<MainBundle Uri='a&amp;b.msix'/>",
       dir + u"a&amp;b.msix"},
      {"enclosing attributes are not in the span", "<Bundle Uri='x' MainBundle='y'>", std::nullopt},
      {"combined URL of 2047 units", "<MainBundle Uri='" + longName + "'/>",
       dir + fake::FromUtf8(longName)},
      {"combined URL of 2048 units", "<MainBundle Uri='" + longName + "n'/>", std::nullopt},
      {"no element", "<AppInstaller Uri='x'/>", std::nullopt},
      {"element name without '>'", "<MainBundle Uri='x'", std::nullopt},
      {"nothing visible after a zero byte", "<\0MainBundle Uri='x'/>"s, std::nullopt},
  };
  for (const ResolveCase& c : cases) {
    fake::Reset();
    const std::u16string path = folder_.Write("m.appinstaller", c.manifest);
    std::u16string url = kPoison;
    EXPECT_EQ(ResolvePackageUrl(path, url), c.url.has_value()) << c.name;
    EXPECT_EQ(url, c.url.value_or(kPoison)) << c.name;
  }
}

TEST_F(LocatorTest, ResolvePackageUrlPassesTheCombinerItsContract) {
  const std::u16string path = folder_.Write("m.appinstaller", "<MainBundle Uri='a&amp;b.msix'/>");
  std::u16string url;
  ASSERT_TRUE(ResolvePackageUrl(path, url));
  EXPECT_EQ(fake::CallsWithout({"ReadOnlyFile", "DecodeUtf8"}),
            (std::vector<std::string>{"CombineUrl(" + fake::ToUtf8(bootstrap::kManifestUrl) +
                                      ", a&amp;b.msix, 2048, 0)"}));

  fake::Reset();
  fake::Fake().script.combine = fake::kFail;
  url = kPoison;
  EXPECT_FALSE(ResolvePackageUrl(path, url));
  EXPECT_EQ(url, kPoison);
}

// The platform's combiner answers wrongly for values longer than any URL
// (Wine's returns the base's folder), so a value that cannot fit is never
// handed to it, even one whose dot segments would shorten it.
TEST_F(LocatorTest, ValuesTooLongForAnyUrlNeverReachTheCombiner) {
  struct Case {
    std::size_t length;
    bool combined;
  } const cases[] = {{2047, true}, {2048, false}, {100000, false}};
  for (const Case& c : cases) {
    fake::Reset();
    std::string value(c.length, 'a');
    value.replace(0, 6, "../../");
    const std::u16string path =
        folder_.Write("m.appinstaller", "<MainBundle Uri='" + value + "'/>");
    std::u16string url = kPoison;
    static_cast<void>(ResolvePackageUrl(path, url));
    const auto calls = fake::CallsWithout({"ReadOnlyFile", "DecodeUtf8"});
    EXPECT_EQ(calls.size(), c.combined ? 1u : 0u) << c.length;
    if (!c.combined) {
      EXPECT_EQ(url, kPoison) << c.length;
    }
  }
}

TEST_F(LocatorTest, EveryEncodingGivesTheSameUrl) {
  const std::u16string manifest =
      u"<?xml version=\"1.0\"?>\r\n<AppInstaller Uri=\"https://h/x.appinstaller\">\r\n"
      u"  <MainBundle Name=\"Quillmoor.Lanternfold\"\r\n    Uri = \"Lanternfold.msixbundle\" />\r\n"
      u"</AppInstaller>\r\n";
  const std::string utf8 = fake::ToUtf8(manifest);
  const std::string encodings[] = {Utf16LeWithMark(manifest), "\xEF\xBB\xBF" + utf8, utf8};
  std::vector<std::u16string> urls;
  for (const std::string& bytes : encodings) {
    std::u16string url;
    EXPECT_TRUE(ResolvePackageUrl(folder_.Write("m.appinstaller", bytes), url));
    urls.push_back(url);
  }
  EXPECT_EQ(urls[0], std::u16string(bootstrap::kManifestUrl)
                             .substr(0, std::u16string(bootstrap::kManifestUrl).rfind(u'/') + 1) +
                         u"Lanternfold.msixbundle");
  EXPECT_EQ(urls[1], urls[0]);
  EXPECT_EQ(urls[2], urls[0]);

  // Big-endian UTF-16 is not one of them.
  std::string bigEndian = "\xFE\xFF";
  for (char16_t c : manifest) {
    bigEndian.push_back(static_cast<char>(c >> 8));
    bigEndian.push_back(static_cast<char>(c & 0xFF));
  }
  std::u16string url = kPoison;
  EXPECT_FALSE(ResolvePackageUrl(folder_.Write("m.appinstaller", bigEndian), url));
  EXPECT_EQ(url, kPoison);
}

}  // namespace
