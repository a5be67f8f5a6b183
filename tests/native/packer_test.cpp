// The packer: what it packs, what it refuses, and that images survive the round trip.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "image_builder.h"
#include "image_tools.h"
#include "payload_format.h"
#include "payload_writer.h"

namespace fs = std::filesystem;

namespace {

class PackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/brenvelt-pack-test.XXXXXX";
    root_ = mkdtemp(pattern);
    source_ = root_ / "source";
    fs::create_directory(source_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void Write(const std::string& relative, const std::string& bytes, time_t mtime = 1700000000,
             long nanoseconds = 123456789) {
    fs::path path = source_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    struct timespec times[2] = {{mtime, nanoseconds}, {mtime, nanoseconds}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
  }

  std::vector<uint8_t> Pack(const PackOptions& options = {}) {
    return WriteImage(CollectTree(source_, options), options, nullptr);
  }

  // Every entry under dir: relative path -> contents (or "<dir>") and mtime in 100 ns.
  static std::map<std::string, std::pair<std::string, int64_t>> Snapshot(const fs::path& dir) {
    std::map<std::string, std::pair<std::string, int64_t>> tree;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
      std::string relative = fs::relative(entry.path(), dir).string();
      if (entry.is_directory()) {
        tree[relative] = {"<dir>", 0};
        continue;
      }
      std::ifstream in(entry.path(), std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      struct stat st;
      stat(entry.path().c_str(), &st);
      tree[relative] = {bytes.str(), (int64_t)st.st_mtim.tv_sec * 10000000 + st.st_mtim.tv_nsec / 100};
    }
    return tree;
  }

  fs::path root_, source_;
};

std::string RandomBytes(size_t n, uint32_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) {
    seed = seed * 1664525u + 1013904223u;
    s[i] = (char)(seed >> 24);
  }
  return s;
}

TEST_F(PackerTest, PackVerifyUnpackGivesBackTheTreeWithItsTimes) {
  Write("Brenvelt.exe", RandomBytes(70000, 1));
  Write("\xE9\xA6\x96\xE6\xAC\xA1\xE4\xBD\xBF\xE7\x94\xA8\xE5\xBF\x85\xE7\x9C\x8B.txt", "read me\r\n", 1600000000, 0);
  Write("lib/zlib text.txt", std::string(100000, 'z'));
  Write("lib/deeper/empty.dat", "");
  fs::create_directories(source_ / "empty dir");
  const std::pair<const char*, Compression> modes[] = {
      {"stored", Compression::kStore}, {"zlib", Compression::kZlib}, {"best", Compression::kBest}};
  for (const auto& [mode, compression] : modes) {
    PackOptions options;
    options.compression = compression;
    std::vector<uint8_t> image = Pack(options);
    std::ostringstream out, err;
    ASSERT_EQ(VerifyImage(image, out, err), 0) << mode << ": " << err.str();
    fs::path target = root_ / mode;
    ASSERT_EQ(UnpackImage(image, target, err), 0) << err.str();
    EXPECT_EQ(Snapshot(target), Snapshot(source_)) << mode;
  }
}

TEST_F(PackerTest, DirectoriesPrecedeTheirContentsInByteOrder) {
  Write("b/z.txt", "1");
  Write("a.txt", "2");
  Write("C/y.txt", "3");
  Write("b/a/x.txt", "4");
  std::vector<PackEntry> entries = CollectTree(source_, {});
  std::vector<std::u16string> names;
  for (const PackEntry& e : entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"C", u"C\\y.txt", u"a.txt", u"b", u"b\\a",
                                                u"b\\a\\x.txt", u"b\\z.txt"}));
}

TEST_F(PackerTest, SameTreeGivesTheSameBytesWhateverTheThreadsAndTheSeedChoosesTheMap) {
  Write("a/b.txt", RandomBytes(5000, 7));
  Write("c.bin", RandomBytes(300, 8));
  for (int i = 0; i < 40; i++) Write("many/file" + std::to_string(i), std::string(100 * i, 'a' + i % 26));
  PackOptions oneThread, eightThreads;
  oneThread.jobs = 1;
  eightThreads.jobs = 8;
  std::vector<uint8_t> reference = Pack(oneThread);
  EXPECT_EQ(Pack(), reference);
  EXPECT_EQ(Pack(eightThreads), reference);
  PackOptions other;
  other.seed = 2;
  std::vector<uint8_t> a = Pack(), b = Pack(other);
  EXPECT_NE(std::vector<uint8_t>(a.begin() + 4, a.begin() + 20),
            std::vector<uint8_t>(b.begin() + 4, b.begin() + 20));
  EXPECT_TRUE(ValidatePayloadImage(b.data(), b.size(), kLongestInstallTargetUnits, nullptr));
}

TEST(NibbleMap, EverySeedGivesAPermutationThatIsNotTheIdentity) {
  for (uint64_t seed = 0; seed < 5000; seed++) {
    std::vector<uint8_t> map = MakeNibbleMap(seed);
    unsigned seen = 0;
    bool identity = true;
    for (int i = 0; i < 16; i++) {
      seen |= 1u << map[i];
      identity = identity && map[i] == i;
    }
    ASSERT_EQ(seen, 0xFFFFu) << seed;
    ASSERT_FALSE(identity) << seed;
  }
}

TEST_F(PackerTest, SourceDateEpochClampsLaterTimesOnly) {
  Write("old.txt", "o", 1000000000, 5);
  Write("new.txt", "n", 2000000000, 5);
  PackOptions options;
  options.sourceDateEpoch = 1500000000;
  std::vector<PackEntry> entries = CollectTree(source_, options);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, u"new.txt");
  EXPECT_EQ(entries[0].lastWriteTime, 1500000000ull * 10000000 + kUnixEpochAsFileTime);
  EXPECT_EQ(entries[1].lastWriteTime, 1000000000ull * 10000000 + kUnixEpochAsFileTime);
}

TEST_F(PackerTest, RefusesWhatTheInstallerCouldNotWriteSafely) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> make;
  };
  const Case cases[] = {
      {"symbolic link", [](const fs::path& d) { fs::create_symlink("/etc/passwd", d / "link"); }},
      {"fifo", [](const fs::path& d) { mkfifo((d / "fifo").c_str(), 0644); }},
      {"device name", [](const fs::path& d) { std::ofstream(d / "nul.txt") << "x"; }},
      {"colon", [](const fs::path& d) { std::ofstream(d / "a:b") << "x"; }},
      {"trailing dot", [](const fs::path& d) { fs::create_directory(d / "dir."); }},
      {"trailing space", [](const fs::path& d) { std::ofstream(d / "x ") << "x"; }},
      {"backslash", [](const fs::path& d) { std::ofstream(d / "a\\b") << "x"; }},
      {"wildcard", [](const fs::path& d) { std::ofstream(d / "what?") << "x"; }},
      {"control character", [](const fs::path& d) { std::ofstream(d / "a\tb") << "x"; }},
      {"not UTF-8", [](const fs::path& d) { std::ofstream(d / "\xFF\xFE") << "x"; }},
      {"names that differ only in case",
       [](const fs::path& d) {
         std::ofstream(d / "Readme.txt") << "1";
         std::ofstream(d / "README.txt") << "2";
       }},
      {"name too long under the install directory",
       [](const fs::path& d) {
         fs::create_directories(d / std::string(150, 'a'));
         std::ofstream(d / std::string(150, 'a') / std::string(52, 'b')) << "x";
       }},
  };
  for (const Case& c : cases) {
    fs::remove_all(source_);
    fs::create_directory(source_);
    c.make(source_);
    EXPECT_THROW(Pack(), PackError) << c.what;
  }
  // The longest name that fits: 202 units.
  fs::remove_all(source_);
  fs::create_directories(source_ / std::string(150, 'a'));
  std::ofstream(source_ / std::string(150, 'a') / std::string(51, 'b')) << "x";
  EXPECT_NO_THROW(Pack());
}

TEST(Verify, FindsEveryFaultInsideTheZlibData) {
  std::string data(1000, 'q');
  std::string z = ImageBuilder::Compress(data);
  for (const ImageBuilder::ZlibFault& c : ImageBuilder::BrokenZlibStreams(data)) {
    ImageBuilder b;
    b.ZlibRaw(u"f", c.bytes, (int32_t)c.bytes.size(), c.room);
    std::ostringstream out, err;
    EXPECT_EQ(VerifyImage(b.Build(), out, err), 1) << c.what;
    EXPECT_NE(err.str().find("offset 0"), std::string::npos) << c.what << ": " << err.str();
  }
  ImageBuilder sound;
  sound.ZlibRaw(u"f", z + "trailing", (int32_t)z.size() + 8, 2000);
  std::ostringstream out, err;
  EXPECT_EQ(VerifyImage(sound.Build(), out, err), 0) << err.str();
}

TEST_F(PackerTest, UnpackWritesNothingForABadImageAndNeverFollowsALink) {
  fs::path target = root_ / "target";
  std::ostringstream err;
  ImageBuilder hostile;
  hostile.Stored(u"fine.txt", "x").Stored(u"..\\escape.txt", "x");
  EXPECT_EQ(UnpackImage(hostile.Build(), target, err), 1);
  EXPECT_FALSE(fs::exists(target));
  EXPECT_FALSE(fs::exists(root_ / "escape.txt"));

  fs::create_directories(target);
  fs::create_directories(root_ / "outside");
  fs::create_directory_symlink(root_ / "outside", target / "lib");
  ImageBuilder through;
  through.Directory(u"lib").Stored(u"lib\\planted.txt", "x");
  EXPECT_EQ(UnpackImage(through.Build(), target, err), 1);
  EXPECT_TRUE(fs::is_empty(root_ / "outside"));
}

TEST_F(PackerTest, AnImageWhoseLengthReadsAsMZIsStillAnImage) {
  // totalLength 0x5A4D is stored as the bytes 4D 5A, the "MZ" of a Windows executable.
  const size_t size = 0x5A4D;
  const size_t header = 20 + 1 + 2 * 1 + 2 + 8 + 1 + 4;  // one stored file named "f"
  ImageBuilder b;
  b.Stored(u"f", std::string(size - header, 'x'));
  std::vector<uint8_t> image = b.Build();
  ASSERT_EQ(image.size(), size);
  ASSERT_EQ(image[0], 'M');
  ASSERT_EQ(image[1], 'Z');
  fs::path path = root_ / "mz.img";
  std::ofstream(path, std::ios::binary).write((const char*)image.data(), (std::streamsize)image.size());
  EXPECT_EQ(LoadImageFile(path), image);
}

int RunCommand(const std::string& command) {
  int status = std::system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PackerTest, CommandLineExitCodes) {
  Write("Brenvelt.exe", "MZ fake");
  std::string pack = BRENVELT_PACK;
  std::string image = (root_ / "payload.img").string();
  EXPECT_EQ(RunCommand(pack + " pack " + source_.string() + " -o " + image), 0);
  EXPECT_EQ(RunCommand(pack + " verify " + image), 0);
  EXPECT_EQ(RunCommand(pack + " list " + image), 0);
  EXPECT_EQ(RunCommand(pack + " unpack " + image + " " + (root_ / "out").string()), 0);
  EXPECT_TRUE(fs::exists(root_ / "out" / "Brenvelt.exe"));

  std::ofstream(image, std::ios::binary | std::ios::app) << "padding";
  EXPECT_EQ(RunCommand(pack + " verify " + image), 1);
  EXPECT_EQ(RunCommand(pack + " list " + image), 1);
  EXPECT_NE(RunCommand(pack + " verify " + (root_ / "missing").string()), 0);
  EXPECT_NE(RunCommand(pack + " pack " + (root_ / "missing").string() + " -o " + image), 0);
  fs::create_symlink("/etc", source_ / "etc");
  EXPECT_NE(RunCommand(pack + " pack " + source_.string() + " -o " + image), 0);
  EXPECT_EQ(RunCommand(pack + " --help"), 0);
}

}  // namespace
