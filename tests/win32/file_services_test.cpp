// The manifest file and the temporary folder as the real services see them:
// sharing between handles, the path length limit, and GetTempPathW's sizes.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace {

using namespace std::literals;

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

std::u16string Utf16(std::wstring_view text) { return {text.begin(), text.end()}; }

// The \\?\ form reaches paths of any length, so the tests can make and remove
// files that the plain form cannot name.
std::wstring LongForm(const std::wstring& path) { return L"\\\\?\\" + path; }

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  [[nodiscard]] bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  [[nodiscard]] HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

Handle OpenExisting(const std::wstring& path, DWORD access, DWORD share) {
  return Handle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteAll(HANDLE handle, std::string_view bytes) {
  DWORD written = 0;
  return WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

bool CreateWithContent(const std::wstring& path, std::string_view bytes) {
  const Handle file(CreateFileW(LongForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.valid() && WriteAll(file.get(), bytes);
}

// `folder` ends in a backslash and is in long form.
void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry{};
  const HANDLE search = FindFirstFileW((folder + L"*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveTree(folder + name + L"\\");
      } else {
        DeleteFileW((folder + name).c_str());
      }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
  }
  RemoveDirectoryW(folder.c_str());
}

// A folder of this run's own under the temporary folder, removed afterwards
// with whatever the test left in it.
class ReadOnlyFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    ASSERT_GT(length, 0u);
    ASSERT_LE(length, static_cast<DWORD>(MAX_PATH));
    folder_ = temp + L"lanternfold-win32-tests-"s + std::to_wstring(GetCurrentProcessId()) + L"\\";
    // Wine hands out the same few process ids run after run, so a run that
    // died half-way may have left this very folder behind.
    RemoveTree(LongForm(folder_));
    ASSERT_TRUE(CreateDirectoryW(LongForm(folder_).c_str(), nullptr)) << folder_;
    path_ = folder_ + L"Lanternfold-8.appinstaller";
  }
  void TearDown() override {
    if (!folder_.empty()) RemoveTree(LongForm(folder_));
  }

  std::wstring folder_;
  std::wstring path_;
};

TEST_F(ReadOnlyFileTest, MissingFileDoesNotOpen) {
  for (const std::wstring& path : {path_, folder_ + L"no-such-folder\\x.appinstaller"}) {
    platform::ReadOnlyFile file;
    EXPECT_FALSE(file.Open(Utf16(path))) << path;
    std::uint64_t length = 0;
    char byte = 0;
    std::uint32_t read = 0;
    EXPECT_FALSE(file.Length(&length)) << path;
    EXPECT_FALSE(file.Read(&byte, 1, &read)) << path;
  }
}

TEST_F(ReadOnlyFileTest, LengthAndReadGiveTheBytesWritten) {
  std::string large(70000, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 % 251);
  for (const std::string& content : {""s, "M"s, "\xEF\xBB\xBF<a>\0\xFF"s, large}) {
    ASSERT_TRUE(CreateWithContent(path_, content));
    platform::ReadOnlyFile file;
    ASSERT_TRUE(file.Open(Utf16(path_)));
    std::uint64_t length = 1234;
    ASSERT_TRUE(file.Length(&length));
    EXPECT_EQ(length, content.size());

    // More room than the file needs: the request ends at the end of the file.
    std::vector<char> buffer(content.size() + 16, '#');
    std::uint32_t read = 1234;
    ASSERT_TRUE(file.Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &read));
    ASSERT_EQ(read, content.size());
    EXPECT_EQ(std::string_view(buffer.data(), read), content);
    // At the end, a read succeeds with nothing.
    ASSERT_TRUE(file.Read(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &read));
    EXPECT_EQ(read, 0u);
  }
}

// The download may still hold the file, and others may open it after us.
TEST_F(ReadOnlyFileTest, OthersMayReadAndWriteMeanwhile) {
  ASSERT_TRUE(CreateWithContent(path_, "abc"));
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(Utf16(path_)));

  const Handle writer = OpenExisting(path_, GENERIC_READ | GENERIC_WRITE, kShareReadWrite);
  ASSERT_TRUE(writer.valid()) << GetLastError();
  ASSERT_NE(SetFilePointer(writer.get(), 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
  ASSERT_TRUE(WriteAll(writer.get(), "defg"));

  std::uint64_t length = 0;
  ASSERT_TRUE(file.Length(&length));
  EXPECT_EQ(length, 7u);
  char buffer[16] = {};
  std::uint32_t read = 0;
  ASSERT_TRUE(file.Read(buffer, sizeof buffer, &read));
  EXPECT_EQ(std::string_view(buffer, read), "abcdefg");
}

struct ShareCase {
  DWORD access;
  DWORD share;
  bool compatible;
};

// Each opener's share mode must admit the other's access.
constexpr ShareCase kShareCases[] = {
    {GENERIC_READ | GENERIC_WRITE, kShareReadWrite, true},
    {GENERIC_WRITE, FILE_SHARE_READ, true},
    {GENERIC_READ, FILE_SHARE_READ, true},
    {GENERIC_READ, FILE_SHARE_WRITE, false},
    {GENERIC_READ, 0, false},
    {GENERIC_WRITE, 0, false},
    {DELETE, kShareReadWrite | FILE_SHARE_DELETE, false},
};

TEST_F(ReadOnlyFileTest, LaterOpenersMeetOurShareMode) {
  ASSERT_TRUE(CreateWithContent(path_, "abc"));
  platform::ReadOnlyFile file;
  ASSERT_TRUE(file.Open(Utf16(path_)));
  for (const ShareCase& c : kShareCases) {
    const Handle other = OpenExisting(path_, c.access, c.share);
    EXPECT_EQ(other.valid(), c.compatible) << std::hex << c.access << " " << c.share;
    if (!other.valid()) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
  }
}

TEST_F(ReadOnlyFileTest, OpensOnlyWhatAnEarlierOpenerShares) {
  ASSERT_TRUE(CreateWithContent(path_, "abc"));
  for (const ShareCase& c : kShareCases) {
    if (c.access == DELETE) continue;  // we never share delete, so nothing to learn
    const Handle other = OpenExisting(path_, c.access, c.share);
    ASSERT_TRUE(other.valid()) << GetLastError();
    platform::ReadOnlyFile file;
    EXPECT_EQ(file.Open(Utf16(path_)), c.compatible) << std::hex << c.access << " " << c.share;
  }
}

TEST_F(ReadOnlyFileTest, ClosesWhenItGoesAway) {
  ASSERT_TRUE(CreateWithContent(path_, "abc"));
  {
    platform::ReadOnlyFile file;
    ASSERT_TRUE(file.Open(Utf16(path_)));
    EXPECT_FALSE(OpenExisting(path_, GENERIC_READ, 0).valid());
    EXPECT_FALSE(DeleteFileW(path_.c_str()));
  }
  EXPECT_TRUE(OpenExisting(path_, GENERIC_READ | GENERIC_WRITE, 0).valid());
  EXPECT_TRUE(DeleteFileW(path_.c_str())) << GetLastError();
}

TEST_F(ReadOnlyFileTest, RefusesPathsOfMaxPathOrMore) {
  // A subfolder keeps every single name well below what file systems allow.
  const std::wstring subfolder = folder_ + std::wstring(100, L'd') + L"\\";
  ASSERT_TRUE(CreateDirectoryW(LongForm(subfolder).c_str(), nullptr));
  struct LengthCase {
    std::size_t length;  // without the NUL
    bool opens;
  };
  const LengthCase cases[] = {{258, true}, {259, true}, {260, false}, {400, false}};
  for (const LengthCase& c : cases) {
    ASSERT_LT(subfolder.size(), c.length);
    const std::wstring path = subfolder + std::wstring(c.length - subfolder.size(), L'f');
    ASSERT_TRUE(CreateWithContent(path, "abc")) << c.length;
    // Wine opens even the longer ones through the plain form, so a refusal
    // below is the layer's own.
    EXPECT_TRUE(OpenExisting(path, GENERIC_READ, kShareReadWrite).valid()) << c.length;
    platform::ReadOnlyFile file;
    EXPECT_EQ(file.Open(Utf16(path)), c.opens) << c.length;
  }
}

// Windows reads a path up to its first NUL; so does the length limit.
TEST_F(ReadOnlyFileTest, PathEndsAtItsFirstNul) {
  ASSERT_TRUE(CreateWithContent(path_, "abc"));
  const std::u16string path = Utf16(path_) + u'\0' + std::u16string(400, u'x');
  platform::ReadOnlyFile file;
  EXPECT_TRUE(file.Open(path));
}

class TemporaryPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (Variable& v : saved_) v.value = Get(v.name);
  }
  void TearDown() override {
    for (const Variable& v : saved_) {
      SetEnvironmentVariableW(v.name, v.value ? v.value->c_str() : nullptr);
    }
  }

  static std::optional<std::wstring> Get(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, value.data(), size));
    return value;
  }

 private:
  struct Variable {
    const wchar_t* name;
    std::optional<std::wstring> value;
  };
  Variable saved_[2] = {{L"TMP", std::nullopt}, {L"TEMP", std::nullopt}};
};

TEST_F(TemporaryPathTest, FitsWithATrailingSeparator) {
  std::vector<char16_t> buffer(MAX_PATH, u'#');
  const std::uint32_t length = platform::TemporaryPath(buffer.data(), MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<std::uint32_t>(MAX_PATH));
  EXPECT_EQ(buffer[length - 1], u'\\');
  EXPECT_EQ(buffer[length], u'\0');
  EXPECT_EQ(std::char_traits<char16_t>::length(buffer.data()), length);
}

TEST_F(TemporaryPathTest, ReportsTheSizeItNeeds) {
  struct TmpCase {
    std::wstring tmp;
    std::wstring path;
  };
  // GetTempPathW does not look at the disk, so none of these need exist.
  const std::wstring longest = L"C:\\" + std::wstring(255, L'x');
  const TmpCase cases[] = {
      {L"C:\\Lanternfold\\Temp", L"C:\\Lanternfold\\Temp\\"},
      {L"C:\\Lanternfold\\Temp\\", L"C:\\Lanternfold\\Temp\\"},
      {L"C:\\Lanternfold\\..\\Temp", L"C:\\Temp\\"},
      // The longest Wine gives: 259 code units with the separator.
      {longest, longest + L"\\"},
  };
  for (const TmpCase& c : cases) {
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", c.tmp.c_str()));
    const auto length = static_cast<std::uint32_t>(c.path.size());
    // Too small, up to one unit short of the NUL: only the size comes back.
    for (std::uint32_t capacity : {1u, length}) {
      std::vector<char16_t> small(capacity, u'#');
      EXPECT_EQ(platform::TemporaryPath(small.data(), capacity), length + 1) << c.tmp;
    }
    std::vector<char16_t> buffer(length + 1, u'#');
    EXPECT_EQ(platform::TemporaryPath(buffer.data(), length + 1), length) << c.tmp;
    EXPECT_EQ(std::wstring(buffer.begin(), buffer.end()), c.path + L'\0') << c.tmp;
  }
}

// Wine gives up on a temporary folder that would not fit MAX_PATH with its
// NUL, whatever the buffer; it neither reports a larger size nor falls back
// to TEMP. Windows documents MAX_PATH + 1 as the largest size it reports.
TEST_F(TemporaryPathTest, WineRefusesFoldersBeyondMaxPath) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"TEMP", L"C:\\Lanternfold\\Temp"));
  for (std::size_t tmpLength : {259u, 260u, 300u}) {
    const std::wstring tmp = L"C:\\" + std::wstring(tmpLength - 3, L'x');
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", tmp.c_str()));
    for (std::uint32_t capacity : {1u, 260u, 261u, 1000u}) {
      std::vector<char16_t> buffer(capacity, u'#');
      EXPECT_EQ(platform::TemporaryPath(buffer.data(), capacity), 0u)
          << tmpLength << " " << capacity;
    }
  }
}

}  // namespace
