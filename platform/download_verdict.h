// Whether one download attempt put the whole response body at its target.
//
// The download service reports an HTTP error page, a body cut short of its
// length, a downgrade to plain http and (under Wine) a target it could not
// write as finished downloads. The observer in platform-win32.cpp feeds what
// the service's callbacks said into a DownloadReport; AttemptSucceeded then
// weighs it against the target file as it was before and after the attempt.
// Nothing here includes a Windows header, so the decision can be checked with
// synthetic callback sequences.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// What can be seen of a file without reading it: enough to tell whether it was
// written between two looks.
struct FileState {
  bool exists = false;
  std::uint64_t size = 0;
  std::int64_t changeTime = 0;
  std::int64_t lastWriteTime = 0;

  [[nodiscard]] bool SameAs(const FileState& other) const {
    return exists == other.exists && size == other.size && changeTime == other.changeTime &&
           lastWriteTime == other.lastWriteTime;
  }
};

// The service's progress counts are 32 bits wide. Under Wine the maximum of a
// body of 2^31 bytes or more is pinned at this value; a service that pins it
// at the 32-bit ceiling instead is treated alike.
inline constexpr std::uint32_t kCappedMaximum = 0x7FFFFFFF;
inline constexpr std::uint32_t kCeilingMaximum = 0xFFFFFFFF;

// True when `url` starts with the scheme "https:", in any letter case.
[[nodiscard]] bool IsHttpsUrl(std::u16string_view url);

// True when raw response headers, as the service hands them over ("Name:
// value" lines ended by CR LF), carry a Content-Encoding other than identity:
// the body on disk is then the decoded one, and any length the server
// announced is the length on the wire.
[[nodiscard]] bool NamesContentEncoding(std::u16string_view headers);

class DownloadReport {
 public:
  // The response that ended the exchange, after any redirects.
  void OnResponse(std::uint32_t status, std::u16string_view headers);
  // Where that response came from, when the service can say. A fetch asked
  // for over https that ended on any other scheme has left the secure channel.
  void OnFinalAddress(std::u16string_view requested, std::u16string_view final);
  // A progress report with one of the three data statuses.
  void OnData(std::uint32_t progress, std::uint32_t progressMax, bool last);
  // The observer ended the transfer itself.
  void OnAborted() { aborted_ = true; }

  // Nothing the rest of the body could bring would make the attempt good, so
  // it is best ended before an error page or a plain-http copy replaces the
  // file at the target.
  [[nodiscard]] bool Doomed() const { return status_ >= 400 || leftHttps_; }

  [[nodiscard]] std::uint32_t status() const { return status_; }
  [[nodiscard]] bool ended() const { return ended_; }
  [[nodiscard]] bool aborted() const { return aborted_; }
  [[nodiscard]] bool leftHttps() const { return leftHttps_; }
  [[nodiscard]] bool encoded() const { return encoded_; }
  [[nodiscard]] std::uint32_t received() const { return received_; }
  [[nodiscard]] std::uint32_t announced() const { return announced_; }

  // The announced maximum, when it can be the body's length on disk modulo
  // 2^32: not 0 (no length), not pinned at a cap, and not the length of an
  // encoded body.
  [[nodiscard]] bool LengthKnown() const {
    return announced_ != 0 && announced_ != kCappedMaximum && announced_ != kCeilingMaximum &&
           !encoded_;
  }

 private:
  std::uint32_t status_ = 0;
  bool encoded_ = false;
  bool leftHttps_ = false;
  bool aborted_ = false;
  bool ended_ = false;
  std::uint32_t received_ = 0;
  std::uint32_t announced_ = 0;
};

// The verdict on one attempt whose service call itself reported success.
//
// Byte counts are compared modulo 2^32. The service's counts wrap at 2^32,
// and widening them by watching for the wrap would need a report between any
// two wraps: under Wine a fast download reports only at its start and its end,
// however large it is. The file's 64-bit size is exact, so its low 32 bits
// must equal the count the service ended with, and the announced length when
// there is one. Only a body cut short by an exact multiple of 4 GiB could
// pass, which a dropped connection practically never yields.
[[nodiscard]] bool AttemptSucceeded(const DownloadReport& report, const FileState& before,
                                    const FileState& after);

}  // namespace platform
