// URL combining, UTF-8 decoding and character classes as the real services
// answer them. Where Wine answers differently from what the documentation or
// the standards would lead one to expect, the case says so: the assertion is
// what the installer meets under Wine, not a wish.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace {

using namespace std::literals;

constexpr char16_t kManifestUrl[] =
    u"https://downloads.quillmoor.com/downloads/Lanternfold-8.appinstaller";
constexpr std::u16string_view kManifestFolder = u"https://downloads.quillmoor.com/downloads/";
constexpr std::uint32_t kUrlCapacity = 2048;
constexpr char16_t kUntouched = u'#';

// gtest's messages take wide strings but not char16_t ones.
std::wstring Printable(std::u16string_view text) { return {text.begin(), text.end()}; }

// Malformed input would garble the message it is named in.
std::string Escaped(std::string_view bytes) {
  std::string text;
  for (char c : bytes) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(c);
    text += {'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0xF]};
  }
  return text;
}

struct CombineCase {
  std::u16string_view relative;
  std::u16string_view combined;
};

TEST(CombineUrl, ResolvesAgainstTheManifestAddress) {
  const CombineCase cases[] = {
      {u"Lanternfold.msixbundle",
       u"https://downloads.quillmoor.com/downloads/Lanternfold.msixbundle"},
      {u"https://cdn.example.net/pkgs/8/Lanternfold.msixbundle",
       u"https://cdn.example.net/pkgs/8/Lanternfold.msixbundle"},
      {u"http://other.example:8080/p/q.msix", u"http://other.example:8080/p/q.msix"},
      // The locator hands over the value as written; the service does not
      // decode entities either.
      {u"a&amp;b.msix", u"https://downloads.quillmoor.com/downloads/a&amp;b.msix"},
      {u"a%20b.msix", u"https://downloads.quillmoor.com/downloads/a%20b.msix"},
      {u"pkg.msix?sig=abc&x=1", u"https://downloads.quillmoor.com/downloads/pkg.msix?sig=abc&x=1"},
      {u"/x/y.msix", u"https://downloads.quillmoor.com/x/y.msix"},
      {u"//mirror.example/p.msix", u"https://mirror.example/p.msix"},
      {u"../up.msix", u"https://downloads.quillmoor.com/up.msix"},
      // Wine: climbing above the root loses the whole path, file name
      // included, where the standard would keep "/x.msix". The file name
      // then taken from the address is the host name.
      {u"../../x.msix", u"https://downloads.quillmoor.com"},
      // Wine: a backslash stays in the path, so the name after the last "/"
      // carries it and the download path refuses it...
      {u"sub\\x.msix", u"https://downloads.quillmoor.com/downloads/sub\\x.msix"},
      // ...but it does separate a leading "..".
      {u"..\\x.msix", u"https://downloads.quillmoor.com/x.msix"},
      // Wine: tabs are dropped wherever they are and trailing white space is
      // cut, but a leading space is kept.
      {u"\tLanternfold.msixbundle\t",
       u"https://downloads.quillmoor.com/downloads/Lanternfold.msixbundle"},
      {u" a.msix ", u"https://downloads.quillmoor.com/downloads/ a.msix"},
  };
  for (const CombineCase& c : cases) {
    std::vector<char16_t> buffer(kUrlCapacity, kUntouched);
    const std::u16string relative(c.relative);
    ASSERT_EQ(platform::CombineUrl(kManifestUrl, relative.c_str(), buffer.data(), kUrlCapacity, 0),
              S_OK)
        << Printable(c.relative);
    EXPECT_EQ(Printable(buffer.data()), Printable(c.combined)) << Printable(c.relative);
  }
}

// The locator's buffer holds 2047 code units and the NUL.
TEST(CombineUrl, ResultMustFitWithItsNul) {
  struct LengthCase {
    std::size_t combinedLength;
    bool fits;
  };
  const LengthCase cases[] = {
      {2046, true}, {2047, true}, {2048, false}, {2049, false}, {4000, false}};
  for (const LengthCase& c : cases) {
    const std::u16string relative(c.combinedLength - kManifestFolder.size(), u'a');
    const std::u16string expected = std::u16string(kManifestFolder) + relative;
    std::vector<char16_t> buffer(kUrlCapacity, kUntouched);
    const platform::Result result =
        platform::CombineUrl(kManifestUrl, relative.c_str(), buffer.data(), kUrlCapacity, 0);
    if (c.fits) {
      EXPECT_EQ(result, S_OK) << c.combinedLength;
      EXPECT_EQ(Printable(buffer.data()), Printable(expected)) << c.combinedLength;
    } else {
      EXPECT_FALSE(platform::Succeeded(result)) << c.combinedLength;
      EXPECT_EQ(result, E_POINTER) << c.combinedLength;
    }
  }
}

// Wine: for a relative part of many segments and longer than any URL may be,
// the answer depends on the state of the heap: the right failure in some runs,
// success with the base's folder in others. So the locator never hands the
// service a value that cannot fit its buffer.
TEST(CombineUrl, WineAnswersARelativePartLongerThanAnyUrlAtRandom) {
  std::u16string relative;
  for (int i = 0; i < 2000; ++i) relative += u"a/";
  relative += u"Lanternfold.msixbundle";
  std::vector<char16_t> buffer(kUrlCapacity + 1, u'\0');
  const platform::Result result =
      platform::CombineUrl(kManifestUrl, relative.c_str(), buffer.data(), kUrlCapacity, 0);
  if (result == S_OK) {
    EXPECT_EQ(Printable(buffer.data()), Printable(kManifestFolder));
  } else {
    EXPECT_EQ(result, E_POINTER);
  }
}

struct DecodeCase {
  std::string_view bytes;
  std::u16string_view text;
};

// Both passes of the locator's decoding: the count, then the text into a
// buffer of exactly that count.
TEST(DecodeUtf8, CountsThenDecodes) {
  const DecodeCase cases[] = {
      {"Lanternfold", u"Lanternfold"},
      {"\xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80", u"\x65E5\x672C \xD83D\xDE00"},
      // A byte-order mark is text to the service; the caller strips it.
      {"\xEF\xBB\xBFx", u"\xFEFFx"},
      // The count is explicit, so a NUL is decoded like any other character.
      {"a\0b"sv, u"a\0b"sv},
      // Malformed input becomes U+FFFD and never fails the call.
      {"\x80", u"\xFFFD"},
      {"a\x80z", u"a\xFFFDz"},
      {"\xE4\xB8", u"\xFFFD"},
      {"\xE4\xB8z", u"\xFFFDz"},
      {"\xF0\x9F\x98", u"\xFFFD"},
      {"\xC0\xAF", u"\xFFFD\xFFFD"},
      {"\xFE\xFF", u"\xFFFD\xFFFD"},
      // Wine: one U+FFFD for the lead byte and the first byte after it, where
      // Unicode's recommended practice gives one per byte here.
      {"\xE0\x80\xAF", u"\xFFFD\xFFFD"},
      {"\xED\xA0\x80", u"\xFFFD\xFFFD"},
      {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD"},
  };
  for (const DecodeCase& c : cases) {
    const int count = static_cast<int>(c.bytes.size());
    const int units = platform::DecodeUtf8(c.bytes.data(), count, nullptr, 0);
    ASSERT_EQ(units, static_cast<int>(c.text.size())) << Escaped(c.bytes);
    std::u16string text(static_cast<std::size_t>(units), kUntouched);
    EXPECT_EQ(platform::DecodeUtf8(c.bytes.data(), count, text.data(), units), units)
        << Escaped(c.bytes);
    EXPECT_EQ(Printable(text), Printable(c.text)) << Escaped(c.bytes);
  }
}

TEST(DecodeUtf8, EmptyInputGivesNothing) {
  char16_t output[4] = {kUntouched};
  EXPECT_EQ(platform::DecodeUtf8("", 0, nullptr, 0), 0);
  EXPECT_EQ(platform::DecodeUtf8("", 0, output, 4), 0);
  EXPECT_EQ(output[0], kUntouched);
}

TEST(DecodeUtf8, TooSmallOutputFails) {
  char16_t output[4] = {};
  EXPECT_EQ(platform::DecodeUtf8("abc", 3, output, 2), 0);
  // Wine: a surrogate pair that does not fit is cut after its first half and
  // reported as success. The locator always offers the counted size.
  EXPECT_EQ(platform::DecodeUtf8("a\xF0\x9F\x98\x80", 5, output, 2), 2);
  EXPECT_EQ(output[1], u'\xD83D');
}

TEST(IsSpaceCharacter, ClassifiesAboveLatin1) {
  for (char16_t c : {u'\x1680', u'\x2000', u'\x2007', u'\x200A', u'\x2028', u'\x2029', u'\x202F',
                     u'\x205F', u'\x3000'}) {
    EXPECT_TRUE(platform::IsSpaceCharacter(c)) << std::hex << int{c};
  }
  // Zero-width and format characters are not white space.
  for (char16_t c :
       {u'\x0100', u'\x180E', u'\x200B', u'\xD800', u'\x4E00', u'\xFEFF', u'\xFFFE', u'\xFFFF'}) {
    EXPECT_FALSE(platform::IsSpaceCharacter(c)) << std::hex << int{c};
  }
}

}  // namespace
