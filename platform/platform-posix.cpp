// The services behind platform.h from POSIX calls, so that the portable core
// can run natively (the benchmarks do) against a real file system and a real
// decoder rather than the recording fake.
//
// The file read, the text services, the temporary folder and URL resolution
// do real work. There is no download service, shell or message box on this
// side: a download fails at once, the shell refuses every file, a message box
// shows nothing and a pause returns at once, since with nothing to download
// there is nothing worth waiting for.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace platform {
namespace {

// The HRESULTs the Windows services answer with for the same failures.
constexpr Result kNotImplemented = static_cast<Result>(0x80004001);   // E_NOTIMPL
constexpr Result kPointer = static_cast<Result>(0x80004003);          // E_POINTER
constexpr Result kInvalidArgument = static_cast<Result>(0x80070057);  // E_INVALIDARG
constexpr Result kDownloadFailure = static_cast<Result>(0x800C0008);  // INET_E_DOWNLOAD_FAILURE
constexpr Result kOk = 0;

constexpr char16_t kReplacement = u'\xFFFD';

// As the framework's file class: a path must fit MAX_PATH with its NUL.
constexpr std::size_t kFilePathLimit = 260;

// ---------------------------------------------------------------------------
// UTF-8 to UTF-16

// Eight bytes at a time while the text is ASCII, which is nearly all of any
// manifest; anything else one sequence at a time.
constexpr std::size_t kBlock = 8;
constexpr std::uint64_t kHighBits = 0x8080808080808080;

std::uint64_t LoadBlock(const unsigned char* bytes) {
  std::uint64_t block;
  std::memcpy(&block, bytes, sizeof(block));
  return block;
}

// Widens four ASCII bytes, the low half of `block` in memory order, to four
// UTF-16 code units in memory order.
std::uint64_t WidenFour(std::uint64_t four) {
  four = (four | (four << 16)) & 0x0000FFFF0000FFFF;
  return (four | (four << 8)) & 0x00FF00FF00FF00FF;
}

void StoreAsciiBlock(std::uint64_t block, char16_t* output) {
  if constexpr (std::endian::native == std::endian::little) {
    const std::uint64_t low = WidenFour(block & 0xFFFFFFFF);
    const std::uint64_t high = WidenFour(block >> 32);
    std::memcpy(output, &low, sizeof(low));
    std::memcpy(output + 4, &high, sizeof(high));
  } else {
    unsigned char bytes[kBlock];
    std::memcpy(bytes, &block, sizeof(block));
    for (std::size_t i = 0; i < kBlock; ++i) output[i] = bytes[i];
  }
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// One sequence starting at a non-ASCII `bytes[0]`, of at most `count` bytes.
// A sequence that is malformed decodes to one U+FFFD for each maximal subpart
// of it, as Unicode recommends: `length` is then the part consumed.
struct Sequence {
  std::uint32_t codePoint;
  std::size_t length;
};

Sequence DecodeSequence(const unsigned char* bytes, std::size_t count) {
  const unsigned char lead = bytes[0];
  std::size_t needed = 0;
  std::uint32_t codePoint = 0;
  // The second byte's range is narrower after some leads: that is what rules
  // out overlong forms, surrogates and values above U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
    codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    codePoint = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    codePoint = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {kReplacement, 1};
  }
  std::size_t length = 1;
  for (; length <= needed; ++length) {
    if (length >= count) return {kReplacement, length};
    const unsigned char byte = bytes[length];
    if (length == 1 ? (byte < low || byte > high) : !IsContinuation(byte)) {
      return {kReplacement, length};
    }
    codePoint = (codePoint << 6) | (byte & 0x3Fu);
  }
  return {codePoint, length};
}

// With no output, counts the code units the text decodes to; with one, fills
// it and fails (returning 0) when it is too small.
template <bool kFill>
std::size_t Utf8ToUtf16(const unsigned char* bytes, std::size_t count, char16_t* output,
                        std::size_t capacity) {
  std::size_t in = 0;
  std::size_t out = 0;
  while (in < count) {
    if (count - in >= kBlock && (!kFill || capacity - out >= kBlock)) {
      const std::uint64_t block = LoadBlock(bytes + in);
      if ((block & kHighBits) == 0) {
        if constexpr (kFill) StoreAsciiBlock(block, output + out);
        in += kBlock;
        out += kBlock;
        continue;
      }
    }
    const unsigned char byte = bytes[in];
    if (byte < 0x80) {
      if constexpr (kFill) {
        if (out == capacity) return 0;
        output[out] = byte;
      }
      ++in;
      ++out;
      continue;
    }
    const Sequence sequence = DecodeSequence(bytes + in, count - in);
    in += sequence.length;
    const std::size_t units = sequence.codePoint >= 0x10000 ? 2 : 1;
    if constexpr (kFill) {
      if (capacity - out < units) return 0;
      if (units == 2) {
        const std::uint32_t offset = sequence.codePoint - 0x10000;
        output[out] = static_cast<char16_t>(0xD800 + (offset >> 10));
        output[out + 1] = static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
      } else {
        output[out] = static_cast<char16_t>(sequence.codePoint);
      }
    }
    out += units;
  }
  return out;
}

// ---------------------------------------------------------------------------
// UTF-16 to UTF-8, for file names

// False for a lone surrogate: no file name can hold one.
bool EncodeUtf8(std::u16string_view text, std::string& bytes) {
  bytes.clear();
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c > 0xDBFF || i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
        return false;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    }
    if (c < 0x80) {
      bytes += static_cast<char>(c);
    } else if (c < 0x800) {
      bytes += static_cast<char>(0xC0 | (c >> 6));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      bytes += static_cast<char>(0xE0 | (c >> 12));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (c >> 18));
      bytes += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// URLs

bool IsSchemeCharacter(char16_t c, bool first) {
  const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
  if (first) return letter;
  return letter || (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
}

// The length of `url`'s scheme, without its ":"; 0 when it has none.
std::size_t SchemeLength(std::u16string_view url) {
  for (std::size_t i = 0; i < url.size(); ++i) {
    if (url[i] == u':') return i;
    if (!IsSchemeCharacter(url[i], i == 0)) return 0;
  }
  return 0;
}

// The reference resolution of RFC 3986, section 5.2.2, without its removal
// of dot segments: enough for the names a manifest gives its packages, which
// are absolute addresses or bare file names.
// False when `base` is not an absolute address.
bool Resolve(std::u16string_view base, std::u16string_view relative, std::u16string& result) {
  if (SchemeLength(base) == 0) return false;
  if (SchemeLength(relative) != 0) {
    result = relative;
    return true;
  }

  const std::size_t schemeEnd = SchemeLength(base) + 1;  // past the ":"
  std::size_t authorityEnd = schemeEnd;
  if (base.substr(schemeEnd, 2) == u"//") {
    authorityEnd = base.find_first_of(u"/?#", schemeEnd + 2);
    if (authorityEnd == std::u16string_view::npos) authorityEnd = base.size();
  }
  std::size_t pathEnd = base.find_first_of(u"?#", authorityEnd);
  if (pathEnd == std::u16string_view::npos) pathEnd = base.size();
  std::size_t queryEnd = base.find(u'#', pathEnd);
  if (queryEnd == std::u16string_view::npos) queryEnd = base.size();

  if (relative.starts_with(u"//")) {
    result = base.substr(0, schemeEnd);
  } else if (relative.starts_with(u'/')) {
    result = base.substr(0, authorityEnd);
  } else if (relative.empty() || relative.starts_with(u'#')) {
    result = base.substr(0, queryEnd);
  } else if (relative.starts_with(u'?')) {
    result = base.substr(0, pathEnd);
  } else {
    const std::u16string_view path = base.substr(authorityEnd, pathEnd - authorityEnd);
    const std::size_t slash = path.rfind(u'/');
    result = base.substr(0, authorityEnd);
    if (slash == std::u16string_view::npos) {
      // An authority with an empty path stands for the root.
      if (authorityEnd != schemeEnd) result += u'/';
    } else {
      result += path.substr(0, slash + 1);
    }
  }
  result += relative;
  return true;
}

// ---------------------------------------------------------------------------
// Files

// The descriptor is kept as descriptor + 1, so that the null handle still
// means "no file" and descriptor 0 remains usable.
int Descriptor(void* handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1);
}

void* Handle(int descriptor) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(descriptor) + 1);
}

}  // namespace

std::uint32_t TemporaryPath(char16_t* buffer, std::uint32_t capacity) {
  const char* folder = std::getenv("TMPDIR");
  if (folder == nullptr || *folder == '\0') folder = "/tmp/";
  const std::size_t bytes = std::strlen(folder);
  if (bytes > static_cast<std::size_t>(std::numeric_limits<int>::max())) return 0;
  const int units = DecodeUtf8(folder, static_cast<int>(bytes), nullptr, 0);
  if (units <= 0) return 0;
  // Like the Windows folder, the answer always ends in a separator, so that
  // a file name can follow it directly.
  const bool addSeparator = folder[bytes - 1] != '/';
  const auto length = static_cast<std::uint32_t>(units) + (addSeparator ? 1u : 0u);
  if (length >= capacity) return length + 1;
  if (DecodeUtf8(folder, static_cast<int>(bytes), buffer, units) != units) return 0;
  if (addSeparator) buffer[units] = u'/';
  buffer[length] = u'\0';
  return length;
}

Result DownloadUrlToFile(const std::u16string& /*url*/, const std::u16string& /*path*/,
                         std::uint32_t /*stallTimeoutMs*/) {
  return kDownloadFailure;
}

bool ShellOpen(const char16_t* /*verb*/, const std::u16string& /*path*/, int /*show*/) {
  return false;
}

// `flags` asks the Windows service for variations of its own; the core asks
// for none, and none is offered here.
Result CombineUrl(const char16_t* base, const char16_t* relative, char16_t* buffer,
                  std::uint32_t capacity, std::uint32_t flags) {
  if (base == nullptr || relative == nullptr || buffer == nullptr) return kInvalidArgument;
  if (flags != 0) return kNotImplemented;
  std::u16string combined;
  if (!Resolve(base, relative, combined)) return kInvalidArgument;
  if (combined.size() >= capacity) return kPointer;
  std::char_traits<char16_t>::copy(buffer, combined.c_str(), combined.size() + 1);
  return kOk;
}

int DecodeUtf8(const char* bytes, int count, char16_t* output, int outputCapacity) {
  if (bytes == nullptr || count == 0 || outputCapacity < 0) return 0;
  // A capacity of 0 asks for the count, whatever the output pointer is.
  if (outputCapacity == 0) output = nullptr;
  if (output == nullptr && outputCapacity != 0) return 0;
  // A count of -1 means the text ends at its NUL, which is decoded with it.
  std::size_t length = 0;
  if (count < 0) {
    if (count != -1) return 0;
    length = std::strlen(bytes) + 1;
  } else {
    length = static_cast<std::size_t>(count);
  }
  const auto* input = reinterpret_cast<const unsigned char*>(bytes);
  const std::size_t units =
      output == nullptr
          ? Utf8ToUtf16<false>(input, length, nullptr, 0)
          : Utf8ToUtf16<true>(input, length, output, static_cast<std::size_t>(outputCapacity));
  // Each byte gives at most one code unit, so only a NUL-ended text of 2^31
  // bytes or more can go past what an int reports.
  if (units > static_cast<std::size_t>(std::numeric_limits<int>::max())) return 0;
  return static_cast<int>(units);
}

// Unicode's White_Space characters.
bool IsSpaceCharacter(char16_t c) {
  switch (c) {
    case 0x0009:
    case 0x000A:
    case 0x000B:
    case 0x000C:
    case 0x000D:
    case 0x0020:
    case 0x0085:
    case 0x00A0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

void ShowMessageBox(const char16_t* /*text*/, const char16_t* /*caption*/,
                    std::uint32_t /*style*/) {}

void Pause(std::uint32_t /*milliseconds*/) {}

ReadOnlyFile::~ReadOnlyFile() {
  if (handle_ != nullptr) close(Descriptor(handle_));
}

bool ReadOnlyFile::Open(const std::u16string& path) {
  if (handle_ != nullptr) return false;
  const std::u16string_view name(path.c_str());
  if (name.empty() || name.size() >= kFilePathLimit) return false;
  std::string bytes;
  if (!EncodeUtf8(name, bytes)) return false;
  int descriptor = -1;
  do {
    descriptor = open(bytes.c_str(), O_RDONLY | O_CLOEXEC);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0) return false;
  // Windows opens no folder for reading, and a device or a pipe has no
  // length to read up to.
  struct stat status {};
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    return false;
  }
  handle_ = Handle(descriptor);
  return true;
}

bool ReadOnlyFile::Length(std::uint64_t* length) {
  struct stat status {};
  if (handle_ == nullptr || fstat(Descriptor(handle_), &status) != 0 || status.st_size < 0) {
    return false;
  }
  *length = static_cast<std::uint64_t>(status.st_size);
  return true;
}

// A read of a regular file on Windows ends only at the count or the end of
// the file; read() may stop earlier (Linux moves at most 2 GiB - 4 KiB per
// call), so it is asked again until one of the two.
bool ReadOnlyFile::Read(void* buffer, std::uint32_t count, std::uint32_t* bytesRead) {
  if (handle_ == nullptr) return false;
  auto* target = static_cast<unsigned char*>(buffer);
  std::uint32_t total = 0;
  while (total < count) {
    const ssize_t got = read(Descriptor(handle_), target + total, count - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) break;
    total += static_cast<std::uint32_t>(got);
  }
  *bytesRead = total;
  return true;
}

}  // namespace platform
