// The extractor against the real Win32 file system calls, under Wine. Each case works in
// its own directory under C:\brenvelt-tests and reads the results back through Win32.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_builder.h"
#include "payload_extract.h"

namespace {

std::wstring Wide(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsDirectory(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string ReadAll(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                            OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return bytes;
}

uint64_t LastWriteTime(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return ((uint64_t)data.ftLastWriteTime.dwHighDateTime << 32) | data.ftLastWriteTime.dwLowDateTime;
}

// Every file and directory below dir, as relative paths.
void ListTree(const std::wstring& dir, const std::wstring& prefix, std::vector<std::wstring>* out) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    out->push_back(prefix + name);
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTree(dir + L"\\" + name, prefix + name + L"\\", out);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

std::vector<std::wstring> Tree(const std::wstring& dir) {
  std::vector<std::wstring> entries;
  ListTree(dir, L"", &entries);
  return entries;
}

void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = dir + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(dir.c_str());
}

bool Extract(const std::vector<uint8_t>& image, const std::wstring& target) {
  return ExtractPayload(image.data(), image.size(), target.c_str());
}

bool DriveExists(const wchar_t* root) { return GetDriveTypeW(root) > DRIVE_NO_ROOT_DIR; }

std::string Pattern(size_t n, uint32_t seed) {  // incompressible bytes
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1664525u + 1013904223u;
    s[i] = (char)(seed >> 24);
  }
  return s;
}

class Extraction : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateDirectoryW(L"C:\\brenvelt-tests", NULL);
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    sandbox_ = L"C:\\brenvelt-tests\\" + std::wstring(name.begin(), name.end());
    RemoveTree(sandbox_);
    ASSERT_TRUE(CreateDirectoryW(sandbox_.c_str(), NULL));
    target_ = sandbox_ + L"\\target";
  }
  void TearDown() override { RemoveTree(sandbox_); }

  // The sandbox holds nothing but the target: nothing was written beside or above it.
  void ExpectNothingOutsideTarget() {
    for (const std::wstring& entry : Tree(sandbox_))
      EXPECT_EQ(entry.compare(0, 6, L"target"), 0) << std::string(entry.begin(), entry.end());
  }

  std::wstring sandbox_, target_;
};

TEST_F(Extraction, WritesEveryFileByteExactWithItsTime) {
  struct File {
    std::u16string name;
    std::string data;
    bool zlib;
    uint64_t time;
  };
  const File files[] = {
      {u"Brenvelt.exe", Pattern(300000, 1), true, 133541212290000000ull},
      {u"\u9996\u6B21\u4F7F\u7528\u5FC5\u770B.txt", "\xE9\xA6\x96 read me\r\n", true, 130000000000000000ull},
      {u"lib\\text.txt", std::string(200000, 'a'), true, 125911584000000000ull},
      {u"lib\\stored.bin", Pattern(70000, 2), false, 116444736000000000ull},
      {u"lib\\empty-stored", "", false, 133000000000000001ull},
      {u"lib\\empty-zlib", "", true, 133000000000000002ull},
      {u"lib\\\u6570\u636E\\\U0001F600 x.y", "emoji", false, 133541212290000007ull},
  };
  ImageBuilder b;
  b.Directory(u"lib").Directory(u"lib\\\u6570\u636E");
  for (const File& f : files) f.zlib ? b.Zlib(f.name, f.data, f.time) : b.Stored(f.name, f.data, f.time);
  ASSERT_TRUE(Extract(b.Build(), target_));
  for (const File& f : files) {
    std::wstring path = target_ + L"\\" + Wide(f.name);
    EXPECT_EQ(ReadAll(path), f.data) << std::string(f.name.begin(), f.name.end());
    EXPECT_EQ(LastWriteTime(path), f.time) << std::string(f.name.begin(), f.name.end());
  }
  EXPECT_EQ(Tree(target_).size(), 2u + 7u);
}

TEST_F(Extraction, EmptyStreamCreatesTheWholeChainAndSucceeds) {
  std::wstring deep = target_ + L"\\one\\two\\three";
  ASSERT_TRUE(Extract(ImageBuilder().Build(), deep));
  EXPECT_TRUE(IsDirectory(deep));
  EXPECT_TRUE(Tree(deep).empty());
}

TEST_F(Extraction, RelativeTargetIsResolvedForTheChainAndKeptForRecords) {
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(sandbox_.c_str()));
  ImageBuilder b;
  b.Directory(u"d").Stored(u"d\\f.txt", "relative");
  bool ok = Extract(b.Build(), L"target\\deeper");
  SetCurrentDirectoryW(previous);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ReadAll(target_ + L"\\deeper\\d\\f.txt"), "relative");
  ExpectNothingOutsideTarget();
}

TEST_F(Extraction, EmptyTargetWritesAtTheRootOfTheCurrentDrive) {
  if (!DriveExists(L"S:\\")) GTEST_SKIP() << "scratch drive S: is not mapped";
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  ASSERT_TRUE(CreateDirectoryW(L"S:\\cwd", NULL) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(SetCurrentDirectoryW(L"S:\\cwd"));
  ImageBuilder b;
  b.Stored(u"at-root.txt", "root");
  bool ok = Extract(b.Build(), L"");
  SetCurrentDirectoryW(previous);
  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadAll(L"S:\\at-root.txt"), "root");
  EXPECT_FALSE(Exists(L"S:\\cwd\\at-root.txt"));
  DeleteFileW(L"S:\\at-root.txt");
  RemoveDirectoryW(L"S:\\cwd");
}

TEST_F(Extraction, UncTargetFailsWithoutWritingLocally) {
  ImageBuilder b;
  b.Stored(u"f.txt", "x");
  EXPECT_FALSE(Extract(b.Build(), L"\\\\no-such-server\\share\\dir"));
  EXPECT_TRUE(Extract(ImageBuilder().Build(), L"\\\\no-such-server\\share\\dir"))
      << "an empty stream succeeds even when the chain could not be made";
}

TEST_F(Extraction, SecondExtractionFindsDirectoriesAndTruncatesFiles) {
  ImageBuilder first, second;
  first.Directory(u"d").Stored(u"d\\f.txt", std::string(5000, 'L')).Zlib(u"z", std::string(9000, 'Z'));
  second.Directory(u"d").Stored(u"d\\f.txt", "short").Zlib(u"z", "zz", 133541212290000005ull);
  ASSERT_TRUE(Extract(first.Build(), target_));
  ASSERT_TRUE(Extract(second.Build(), target_));
  EXPECT_EQ(ReadAll(target_ + L"\\d\\f.txt"), "short");
  EXPECT_EQ(ReadAll(target_ + L"\\z"), "zz");
  EXPECT_EQ(LastWriteTime(target_ + L"\\z"), 133541212290000005ull);
}

TEST_F(Extraction, ZlibEdgesThatStaySound) {
  std::string z = ImageBuilder::Compress("exact bytes");
  std::string empty = ImageBuilder::Compress("");
  ImageBuilder b;
  b.ZlibRaw(u"roomy", z, (int32_t)z.size(), 4096)                  // less than the room reserved
      .ZlibRaw(u"trailing", z + "ignored", (int32_t)z.size() + 7, 11)  // bytes after the stream
      .ZlibRaw(u"no-data", "", 0, 100)                              // compressedSize 0
      .ZlibRaw(u"empty", empty, (int32_t)empty.size(), 0)           // uncompressedSize 0, empty file
      .Stored(u"after", "next record found");
  ASSERT_TRUE(Extract(b.Build(), target_));
  EXPECT_EQ(ReadAll(target_ + L"\\roomy"), "exact bytes");
  EXPECT_EQ(ReadAll(target_ + L"\\trailing"), "exact bytes");
  EXPECT_EQ(ReadAll(target_ + L"\\no-data"), "");
  EXPECT_EQ(ReadAll(target_ + L"\\empty"), "");
  EXPECT_EQ(ReadAll(target_ + L"\\after"), "next record found");
}

TEST_F(Extraction, CorruptZlibDataFailsAtThatRecordAndKeepsEarlierOnes) {
  std::string data(4000, 'q');
  std::string z = ImageBuilder::Compress(data);
  std::vector<ImageBuilder::ZlibFault> cases = ImageBuilder::BrokenZlibStreams(data);
  cases.push_back({"uncompressedSize 0 for a non-empty file", z, 0});
  cases.push_back({"room that cannot be allocated", z, INT32_MAX});
  for (const ImageBuilder::ZlibFault& c : cases) {
    RemoveTree(target_);
    ImageBuilder b;
    b.Stored(u"before", "kept").ZlibRaw(u"bad", c.bytes, (int32_t)c.bytes.size(), c.room).Stored(u"after", "x");
    EXPECT_FALSE(Extract(b.Build(), target_)) << c.what;
    EXPECT_EQ(ReadAll(target_ + L"\\before"), "kept") << c.what;
    EXPECT_FALSE(Exists(target_ + L"\\after")) << c.what << ": the walk stops at the bad record";
  }
}

TEST_F(Extraction, MissingParentFailsAndExistingDirectoryPasses) {
  ASSERT_TRUE(CreateDirectoryW(target_.c_str(), NULL));
  ASSERT_TRUE(CreateDirectoryW((target_ + L"\\exists").c_str(), NULL));
  ImageBuilder b;
  b.Directory(u"exists").Stored(u"exists\\ok", "1").Stored(u"nowhere\\f", "2").Stored(u"later", "3");
  EXPECT_FALSE(Extract(b.Build(), target_));
  EXPECT_EQ(ReadAll(target_ + L"\\exists\\ok"), "1");
  EXPECT_FALSE(Exists(target_ + L"\\nowhere"));
  EXPECT_FALSE(Exists(target_ + L"\\later"));
}

TEST_F(Extraction, FileHeldOpenWithoutSharingFails) {
  ASSERT_TRUE(CreateDirectoryW(target_.c_str(), NULL));
  HANDLE held = CreateFileW((target_ + L"\\locked.dll").c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ImageBuilder b;
  b.Stored(u"locked.dll", "new contents");
  EXPECT_FALSE(Extract(b.Build(), target_));
  CloseHandle(held);
  EXPECT_EQ(ReadAll(target_ + L"\\locked.dll"), "");
}

TEST_F(Extraction, FullDiskFailsTheRecordThatDoesNotFit) {
  if (!DriveExists(L"X:\\")) GTEST_SKIP() << "64 KiB drive X: is not mapped";
  RemoveTree(L"X:\\target");
  for (bool zlib : {false, true}) {
    ImageBuilder b;
    std::string big = Pattern(200000, 3);
    b.Stored(u"small", "fits");
    zlib ? b.Zlib(u"big", big) : b.Stored(u"big", big);
    EXPECT_FALSE(Extract(b.Build(), L"X:\\target")) << (zlib ? "zlib" : "stored");
    EXPECT_EQ(ReadAll(L"X:\\target\\small"), "fits");
    RemoveTree(L"X:\\target");
  }
}

TEST_F(Extraction, ReadOnlyTargetFails) {
  if (!DriveExists(L"R:\\")) GTEST_SKIP() << "read-only drive R: is not mapped";
  ASSERT_TRUE(IsDirectory(L"R:\\target"));
  ImageBuilder b;
  b.Stored(u"f", "x");
  EXPECT_FALSE(Extract(b.Build(), L"R:\\target"));
  EXPECT_FALSE(Extract(b.Build(), L"R:\\target\\new\\deeper"));
  EXPECT_TRUE(Tree(L"R:\\target").empty());
}

TEST_F(Extraction, InvalidImagesCreateNothingAtAll) {
  ImageBuilder good;
  good.Directory(u"d").Stored(u"d\\f", "data");
  std::vector<uint8_t> image = good.Build();
  std::vector<uint8_t> padded = image;
  padded.push_back(0);
  std::vector<uint8_t> badMap = image;
  badMap[4] = badMap[5];
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    size_t size;
  };
  std::vector<Case> cases = {
      {"truncated download", image, image.size() - 1},
      {"padded download", padded, padded.size()},
      {"nibble map not a permutation", badMap, badMap.size()},
      {"totalLength 19", good.BuildWithLength(19), image.size()},
      {"negative totalLength", good.BuildWithLength(-1), image.size()},
  };
  const std::u16string hostile[] = {u"..\\escape.txt", u"d\\..\\..\\escape.txt", u"C:\\escape.txt",
                                    u"\\escape.txt", u"\\\\server\\share\\x", u"f.txt:stream",
                                    u"nul", u"com1.txt", u"d/escape", u"trailing.", u"a\\\\b"};
  for (const std::u16string& name : hostile) {
    ImageBuilder b;
    b.Directory(u"d").Stored(u"d\\fine", "x").Stored(name, "x");
    std::vector<uint8_t> bytes = b.Build();
    cases.push_back({"hostile name", bytes, bytes.size()});
  }
  ImageBuilder badType, badMethod, past;
  badType.Stored(u"f", "x").Raw("\x07");
  badMethod.Stored(u"f", "x").FileWithMethod(u"g", 2).Raw(std::string(8, '\0'));
  past.Stored(u"f", "x").StoredWithSize(u"g", "abc", 100);
  for (ImageBuilder* b : {&badType, &badMethod, &past}) {
    std::vector<uint8_t> bytes = b->Build();
    cases.push_back({"broken record after a good one", bytes, bytes.size()});
  }
  for (const Case& c : cases) {
    EXPECT_FALSE(ExtractPayload(c.bytes.data(), c.size, target_.c_str())) << c.what;
    EXPECT_TRUE(Tree(sandbox_).empty()) << c.what << ": not even the target may appear";
  }
  EXPECT_FALSE(ExtractPayload(nullptr, 0, target_.c_str()));
  EXPECT_FALSE(ExtractPayload(image.data(), image.size(), nullptr));
  EXPECT_FALSE(Exists(L"C:\\escape.txt"));
  EXPECT_FALSE(Exists(L"C:\\brenvelt-tests\\escape.txt"));
}

TEST_F(Extraction, RecordPathsBeyondMaxPathAreRefusedBeforeWriting) {
  // target + backslash + name + terminator must fit in 260 units.
  std::wstring target = sandbox_ + L"\\" + std::wstring(199 - sandbox_.size(), L't');
  ASSERT_EQ(target.size(), 200u);
  for (size_t nameUnits : {58u, 59u}) {
    ImageBuilder b;
    b.Stored(std::u16string(nameUnits, u'n'), "x");
    EXPECT_EQ(Extract(b.Build(), target), nameUnits == 58u) << nameUnits;
  }
  std::wstring tooLong = sandbox_ + L"\\" + std::wstring(258 - sandbox_.size(), L'l');
  ASSERT_EQ(tooLong.size(), 259u);
  RemoveTree(target);
  EXPECT_FALSE(Extract(ImageBuilder().Build(), tooLong));
  EXPECT_TRUE(Tree(sandbox_).empty());
}

}  // namespace
