// The verdict on one download attempt, fed the callback sequences that the
// download service makes (or that a service could make) for bodies of every
// size, encoding and framing, and the target file as it was before and after.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/download_verdict.h"

namespace {

using platform::DownloadReport;
using platform::FileState;

constexpr std::uint64_t k4GiB = std::uint64_t{1} << 32;
constexpr std::uint32_t kCap = platform::kCappedMaximum;
constexpr std::uint32_t kCeiling = platform::kCeilingMaximum;
// The package of the field report: 4 GiB + 300 MiB.
constexpr std::uint64_t kLarge = k4GiB + (std::uint64_t{300} << 20);

constexpr char16_t kPlainHeaders[] =
    u"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
constexpr char16_t kGzipHeaders[] = u"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n";
constexpr char16_t kManifestUrl[] =
    u"https://downloads.quillmoor.com/downloads/Lanternfold-8.appinstaller";

struct Progress {
  std::uint32_t progress;
  std::uint32_t max;
  bool last = false;
};

FileState File(std::uint64_t size, std::int64_t written = 2) {
  return {true, size, written, written};
}
const FileState kMissing{};

struct VerdictCase {
  const char* name;
  std::vector<Progress> progress;
  FileState after;
  bool succeeds;
  FileState before = kMissing;
  std::uint32_t status = 200;
  const char16_t* headers = kPlainHeaders;
  std::u16string_view finalAddress = kManifestUrl;
  bool aborted = false;
};

std::uint32_t Low32(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

TEST(DownloadVerdict, CallbackSequences) {
  const VerdictCase cases[] = {
      {"whole body with its length", {{0, 1000}, {1000, 1000, true}}, File(1000), true},
      {"fast download: one report at the start, one at the end",
       {{8192, 50'000'000}, {50'000'000, 50'000'000, true}},
       File(50'000'000),
       true},
      // The field report: 4 GiB + 300 MiB, every count wrapped, the maximum
      // pinned. Before, three whole downloads counted as three failures.
      {"count wraps once, maximum capped",
       {{8192, kCap}, {0x80000000u, kCap}, {4'000'000'000u, kCap}, {Low32(kLarge), kCap, true}},
       File(kLarge),
       true},
      {"count wraps once between the only two reports",
       {{8192, kCap}, {Low32(kLarge), kCap, true}},
       File(kLarge),
       true},
      {"count wraps twice", {{0, kCap}, {12345, kCap, true}}, File(2 * k4GiB + 12345), true},
      {"maximum at the 32-bit ceiling",
       {{0, kCeiling}, {77, kCeiling, true}},
       File(k4GiB + 77),
       true},
      {"maximum wrapped like the count", {{0, 77}, {77, 77, true}}, File(k4GiB + 77), true},
      {"wrapped, and the file one byte shorter than what arrived",
       {{8192, kCap}, {Low32(kLarge), kCap, true}},
       File(kLarge - 1),
       false},
      {"maximum capped at 2^31 - 1 for a 3 GiB body",
       {{0, kCap}, {0xC0000000u, kCap, true}},
       File(0xC0000000u),
       true},
      // Gzip: the file holds the decoded body; the announced maximum was the
      // compressed length, which for incompressible data is the larger.
      {"decoded body, compressed length larger",
       {{0, 1'048'914}, {1'048'576, 1'048'914, true}},
       File(1'048'576),
       true,
       kMissing,
       200,
       kGzipHeaders},
      {"decoded body, length dropped (Wine)",
       {{8192, 0}, {1'048'576, 0, true}},
       File(1'048'576),
       true,
       kMissing,
       200,
       kGzipHeaders},
      {"decoded body, file not what arrived",
       {{1'048'576, 0, true}},
       File(1'048'575),
       false,
       kMissing,
       200,
       kGzipHeaders},
      {"chunked, no length", {{0, 0}, {4096, 0}, {9000, 0, true}}, File(9000), true},
      {"chunked, the maximum following the count",
       {{4096, 4096}, {9000, 9000, true}},
       File(9000),
       true},
      {"body ended by closing the connection, no length",
       {{0, 0}, {700, 0, true}},
       File(700),
       true},
      {"empty body", {{0, 0, true}}, File(0), true},
      {"short body", {{100, 1000, true}}, File(100), false},
      {"short body, no end reported", {{100, 1000}}, File(100), false},
      {"short body of a large package",
       {{8192, 1'000'000'000}, {600'000'000, 1'000'000'000, true}},
       File(600'000'000),
       false},
      {"no report at all, file written", {}, File(1000), true},
      {"target not written: earlier file unchanged",
       {{0, 3}, {3, 3, true}},
       File(3, 1),
       false,
       File(3, 1)},
      {"target not written: nothing there", {{0, 1000}, {1000, 1000, true}}, kMissing, false},
      {"target replaced by a file of the same size", {{3, 3, true}}, File(3, 2), true, File(3, 1)},
      {"error page", {{0, 9}, {9, 9, true}}, File(9), false, kMissing, 404},
      {"proxy refused the tunnel", {{0, 9}, {9, 9, true}}, File(9), false, kMissing, 407},
      {"redirected to plain http",
       {{0, 9}, {9, 9, true}},
       File(9),
       false,
       kMissing,
       200,
       kPlainHeaders,
       u"http://downloads.quillmoor.com/downloads/Lanternfold-8.appinstaller"},
      {"redirected to another https host",
       {{0, 9}, {9, 9, true}},
       File(9),
       true,
       kMissing,
       200,
       kPlainHeaders,
       u"HTTPS://mirror.example/m.appinstaller"},
      {"final address unknown",
       {{0, 9}, {9, 9, true}},
       File(9),
       true,
       kMissing,
       200,
       kPlainHeaders,
       u""},
      {"ended by the observer",
       {{0, 9}},
       File(9),
       false,
       kMissing,
       200,
       kPlainHeaders,
       kManifestUrl,
       true},
  };
  for (const VerdictCase& c : cases) {
    DownloadReport report;
    report.OnResponse(c.status, c.headers);
    report.OnFinalAddress(kManifestUrl, c.finalAddress);
    for (const Progress& p : c.progress) report.OnData(p.progress, p.max, p.last);
    if (c.aborted) report.OnAborted();
    EXPECT_EQ(platform::AttemptSucceeded(report, c.before, c.after), c.succeeds) << c.name;
  }
}

TEST(DownloadVerdict, OnlyHttpsToOtherSchemesLeavesHttps) {
  struct Case {
    std::u16string_view requested;
    std::u16string_view final;
    bool left;
  } const cases[] = {
      {u"https://a/x.msix", u"http://a/x.msix", true},
      {u"https://a/x.msix", u"ftp://a/x.msix", true},
      {u"https://a/x.msix", u"https://b/x.msix", false},
      {u"https://a/x.msix", u"", false},
      // A package address the manifest itself gives as http stays allowed.
      {u"http://a/x.msix", u"http://b/x.msix", false},
      {u"file:///C:/x.msix", u"file:///C:/x.msix", false},
  };
  for (const Case& c : cases) {
    DownloadReport report;
    report.OnFinalAddress(c.requested, c.final);
    EXPECT_EQ(report.leftHttps(), c.left) << std::string(c.requested.begin(), c.requested.end())
                                          << " -> " << std::string(c.final.begin(), c.final.end());
    EXPECT_EQ(report.Doomed(), c.left);
  }
}

TEST(DownloadVerdict, ContentEncodingHeader) {
  struct Case {
    std::u16string_view headers;
    bool encoded;
  } const cases[] = {
      {u"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n", true},
      {u"HTTP/1.1 200 OK\r\ncontent-encoding:deflate\r\n", true},
      {u"HTTP/1.1 200 OK\r\nCONTENT-ENCODING: \tbr \r\n\r\n", true},
      {u"Content-Encoding: gzip", true},
      {u"HTTP/1.1 200 OK\r\nContent-Encoding: identity\r\n\r\n", false},
      {u"HTTP/1.1 200 OK\r\nContent-Encoding:\r\n\r\n", false},
      {u"HTTP/1.1 200 OK\r\nX-Content-Encoding: gzip\r\n\r\n", false},
      {u"HTTP/1.1 200 OK\r\nContent-Type: text/xml; note=\"Content-Encoding: gzip\"\r\n", false},
      {u"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::NamesContentEncoding(c.headers), c.encoded)
        << std::string(c.headers.begin(), c.headers.end());
  }
}

}  // namespace
