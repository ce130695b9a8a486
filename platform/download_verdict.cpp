#include "platform/download_verdict.h"

namespace platform {
namespace {

constexpr char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + (u'a' - u'A') : c; }

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

bool IsHeaderSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view Trimmed(std::u16string_view text) {
  while (!text.empty() && IsHeaderSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && (IsHeaderSpace(text.back()) || text.back() == u'\r')) {
    text.remove_suffix(1);
  }
  return text;
}

constexpr std::uint32_t Low32(std::uint64_t value) { return static_cast<std::uint32_t>(value); }

}  // namespace

bool IsHttpsUrl(std::u16string_view url) { return StartsWithIgnoringCase(url, u"https:"); }

bool NamesContentEncoding(std::u16string_view headers) {
  constexpr std::u16string_view kName = u"content-encoding:";
  while (!headers.empty()) {
    const std::size_t end = headers.find(u'\n');
    const std::u16string_view line = headers.substr(0, end);
    if (StartsWithIgnoringCase(line, kName)) {
      const std::u16string_view value = Trimmed(line.substr(kName.size()));
      if (!value.empty() && !(value.size() == 8 && StartsWithIgnoringCase(value, u"identity"))) {
        return true;
      }
    }
    if (end == std::u16string_view::npos) break;
    headers.remove_prefix(end + 1);
  }
  return false;
}

void DownloadReport::OnResponse(std::uint32_t status, std::u16string_view headers) {
  status_ = status;
  encoded_ = NamesContentEncoding(headers);
}

void DownloadReport::OnFinalAddress(std::u16string_view requested, std::u16string_view final) {
  leftHttps_ = IsHttpsUrl(requested) && !final.empty() && !IsHttpsUrl(final);
}

void DownloadReport::OnData(std::uint32_t progress, std::uint32_t progressMax, bool last) {
  received_ = progress;
  announced_ = progressMax;
  ended_ = ended_ || last;
}

bool AttemptSucceeded(const DownloadReport& report, const FileState& before,
                      const FileState& after) {
  if (report.aborted() || report.Doomed()) return false;
  // The service reports success for a target it could not write (held open,
  // read-only, in a missing folder); the earlier file must not pass for new.
  if (!after.exists || (before.exists && after.SameAs(before))) return false;
  // What is on disk must be what arrived...
  if (report.ended() && Low32(after.size) != report.received()) return false;
  // ...and what the server said it would send.
  if (report.LengthKnown() && Low32(after.size) != report.announced()) return false;
  return true;
}

}  // namespace platform
