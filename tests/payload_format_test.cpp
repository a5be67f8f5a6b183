// The image format: header checks, unscrambling, record decoding and the validator's
// refusals. Built natively and for Windows, where it runs under Wine.
#include "payload_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "image_builder.h"

namespace {

struct Stream {
  uint8_t* bytes = nullptr;
  size_t length = 0;
  ~Stream() { free(bytes); }
};

std::vector<uint8_t> AllByteValues() {
  std::vector<uint8_t> bytes(20 + 256);
  bytes[0] = (uint8_t)bytes.size();
  bytes[1] = (uint8_t)(bytes.size() >> 8);
  for (int i = 0; i < 256; i++) bytes[20 + i] = (uint8_t)i;
  return bytes;
}

TEST(Unscramble, IdentityMapLeavesTheStreamAsItIs) {
  std::vector<uint8_t> image = AllByteValues();
  for (int i = 0; i < 16; i++) image[4 + i] = (uint8_t)i;
  Stream s;
  ASSERT_TRUE(UnscramblePayload(image.data(), image.size(), &s.bytes, &s.length));
  ASSERT_EQ(s.length, 256u);
  EXPECT_EQ(0, memcmp(s.bytes, image.data() + 20, 256));
}

TEST(Unscramble, SwappingTwoNibblesChangesOnlyThoseLowNibbles) {
  std::vector<uint8_t> image = AllByteValues();
  for (int i = 0; i < 16; i++) image[4 + i] = (uint8_t)i;
  image[4 + 3] = 9;
  image[4 + 9] = 3;
  Stream s;
  ASSERT_TRUE(UnscramblePayload(image.data(), image.size(), &s.bytes, &s.length));
  for (int b = 0; b < 256; b++) {
    int low = b & 0x0F;
    int expected = low == 3 ? (b & 0xF0) | 9 : low == 9 ? (b & 0xF0) | 3 : b;
    EXPECT_EQ(s.bytes[b], expected) << "byte " << b;
  }
}

TEST(Unscramble, UndoesTheBuildersScrambling) {
  ImageBuilder builder;
  builder.Directory(u"bin").Stored(u"bin\\a.txt", "hello, world");
  std::vector<uint8_t> image = builder.Build();
  Stream s;
  ASSERT_TRUE(UnscramblePayload(image.data(), image.size(), &s.bytes, &s.length));
  ASSERT_EQ(s.length, builder.PlainStream().size());
  EXPECT_EQ(0, memcmp(s.bytes, builder.PlainStream().data(), s.length));
  EXPECT_NE(0, memcmp(image.data() + 20, s.bytes, s.length));
}

TEST(Unscramble, TotalLengthOf20IsAnEmptyStreamThatIsStillAllocated) {
  std::vector<uint8_t> image = ImageBuilder().Build();
  ASSERT_EQ(image.size(), 20u);
  Stream s;
  ASSERT_TRUE(UnscramblePayload(image.data(), image.size(), &s.bytes, &s.length));
  EXPECT_NE(s.bytes, nullptr);
  EXPECT_EQ(s.length, 0u);
  EXPECT_TRUE(ValidatePayloadImage(image.data(), image.size(), 0, nullptr));
}

TEST(Unscramble, RefusesLengthsBelow20OrBeyondTheImage) {
  ImageBuilder builder;
  builder.Stored(u"a", "x");
  for (int32_t length : {19, 1, 0, -1, -20, INT32_MIN, (int32_t)builder.Build().size() + 1, INT32_MAX}) {
    std::vector<uint8_t> image = builder.BuildWithLength(length);
    Stream s;
    EXPECT_FALSE(UnscramblePayload(image.data(), image.size(), &s.bytes, &s.length)) << length;
    EXPECT_EQ(s.bytes, nullptr);
    EXPECT_FALSE(ValidatePayloadImage(image.data(), image.size(), 0, nullptr)) << length;
  }
  uint8_t shortImage[19] = {19};
  uint8_t* out = nullptr;
  size_t n = 0;
  EXPECT_FALSE(UnscramblePayload(shortImage, sizeof shortImage, &out, &n));
  EXPECT_FALSE(UnscramblePayload(nullptr, 0, &out, &n));
}

TEST(Header, RefusesWhatTheInstallerCannotTrust) {
  ImageBuilder builder;
  builder.Stored(u"a", "x");
  std::vector<uint8_t> good = builder.Build();
  ASSERT_TRUE(CheckPayloadHeader(good.data(), good.size(), nullptr));

  struct Case {
    const char* what;
    std::vector<uint8_t> image;
    size_t size;
    size_t offset;
  };
  std::vector<uint8_t> duplicate = good;
  duplicate[4 + 5] = duplicate[4 + 6];
  std::vector<uint8_t> outOfRange = good;
  outOfRange[4 + 15] = 16;
  std::vector<uint8_t> padded = good;
  padded.push_back(0);
  const Case cases[] = {
      {"shorter than the header", good, 19, 0},
      {"totalLength above the size (truncated download)", good, good.size() - 1, 0},
      {"totalLength below the size (padded download)", padded, padded.size(), 0},
      {"map with a repeated value", duplicate, duplicate.size(), 4 + 6},
      {"map with a value above 15", outOfRange, outOfRange.size(), 4 + 15},
  };
  for (const Case& c : cases) {
    PayloadError error{};
    EXPECT_FALSE(CheckPayloadHeader(c.image.data(), c.size, &error)) << c.what;
    EXPECT_FALSE(error.recordFault) << c.what;
    EXPECT_EQ(error.offset, c.offset) << c.what;
  }
}

// Decodes the first record of a plain stream.
PayloadRecord DecodeFirst(const std::vector<uint8_t>& stream, size_t cursor = 0) {
  PayloadRecord record;
  const char* reason = nullptr;
  EXPECT_TRUE(DecodeRecord(stream.data(), stream.size(), cursor, &record, &reason)) << reason;
  return record;
}

TEST(Decode, DirectoryAndFileFields) {
  ImageBuilder b;
  b.Directory(u"").Directory(u"d").Stored(u"d\\s", "abc", 0x0102030405060708ull)
      .Zlib(u"z", "zzzzzzzz", 42);
  const std::vector<uint8_t>& s = b.PlainStream();

  PayloadRecord root = DecodeFirst(s);
  EXPECT_EQ(root.type, kDirectoryRecord);
  EXPECT_EQ(root.nameUnits, 0u);
  EXPECT_EQ(root.next, 3u);  // an empty name makes a 3-byte record

  PayloadRecord dir = DecodeFirst(s, root.next);
  EXPECT_EQ(dir.nameUnits, 1u);
  EXPECT_EQ(dir.next, 3u + 5u);

  PayloadRecord stored = DecodeFirst(s, dir.next);  // starts at an even offset; names make it odd below
  EXPECT_EQ(stored.type, kFileRecord);
  EXPECT_EQ(stored.method, kMethodStored);
  EXPECT_EQ(stored.lastWriteTime, 0x0102030405060708ull);
  EXPECT_EQ(stored.dataSize, 3);
  EXPECT_EQ(std::string((const char*)stored.data, stored.dataLength), "abc");
  EXPECT_EQ(stored.next, stored.offset + 1 + 2 * 3 + 2 + 13 + 3);

  PayloadRecord zlib = DecodeFirst(s, stored.next);
  EXPECT_EQ(zlib.offset % 2, 1u) << "this record lies at an odd offset";
  EXPECT_EQ(zlib.method, kMethodZlib);
  EXPECT_EQ(zlib.lastWriteTime, 42u);
  EXPECT_EQ(zlib.uncompressedSize, 8);
  EXPECT_EQ(zlib.dataLength, ImageBuilder::Compress("zzzzzzzz").size());
  EXPECT_EQ(zlib.next, s.size());
}

TEST(Decode, SizesAtOrBelowZeroCarryNoData) {
  struct Case {
    bool zlib;
    int32_t size;
  };
  for (Case c : {Case{false, 0}, Case{false, -1}, Case{false, INT32_MIN}, Case{true, 0},
                 Case{true, -5}}) {
    ImageBuilder b;
    if (c.zlib)
      b.ZlibRaw(u"f", "", c.size, 10);
    else
      b.StoredWithSize(u"f", "", c.size);
    b.Directory(u"after");
    PayloadRecord f = DecodeFirst(b.PlainStream());
    size_t t = 1 + 2 * 1 + 2;
    EXPECT_EQ(f.dataLength, 0u);
    EXPECT_EQ(f.next, t + (c.zlib ? 17 : 13)) << c.size;
    EXPECT_EQ(DecodeFirst(b.PlainStream(), f.next).type, kDirectoryRecord);
    std::vector<uint8_t> image = b.Build();
    EXPECT_TRUE(ValidatePayloadImage(image.data(), image.size(), 0, nullptr)) << c.size;
  }
}

TEST(Decode, SameRecordDecodesAlikeAtOddAndEvenOffsets) {
  std::string data[2];
  for (int leading = 1; leading <= 2; leading++) {  // 3 or 6 bytes of empty directory records
    ImageBuilder b;
    for (int i = 0; i < leading; i++) b.Directory(u"");
    b.Zlib(u"\u4E2D\u6587.txt", "data data data", 99);
    PayloadRecord r = DecodeFirst(b.PlainStream(), 3 * leading);
    EXPECT_EQ(r.type, kFileRecord);
    EXPECT_EQ(r.nameUnits, 6u);
    EXPECT_EQ(ReadLe16(r.name), 0x4E2D);
    EXPECT_EQ(r.lastWriteTime, 99u);
    EXPECT_EQ(r.uncompressedSize, 14);
    EXPECT_EQ(r.next, b.PlainStream().size());
    data[leading - 1].assign((const char*)r.data, r.dataLength);
  }
  EXPECT_EQ(data[0], data[1]);
}

struct Refusal {
  const char* what;
  ImageBuilder image;
  const char* reason;  // a word of the reason
};

TEST(Validate, RefusesEveryBrokenRecordWithItsOffset) {
  std::string z = ImageBuilder::Compress("abc");
  std::vector<Refusal> cases = {
      {"record type 2", ImageBuilder().Directory(u"a").Raw("\x02"), "type"},
      {"record type 0xFF", ImageBuilder().Directory(u"a").Raw("\xFF"), "type"},
      {"method 2", ImageBuilder().Directory(u"a").FileWithMethod(u"f", 2).Raw(std::string(8, '\0')), "method"},
      {"method 0x81", ImageBuilder().Directory(u"a").FileWithMethod(u"f", 0x81).Raw(std::string(8, '\0')), "method"},
      {"name without terminator", ImageBuilder().Directory(u"a").Raw(std::string("\x00" "b\x00" "c", 4)), "terminator"},
      {"name ending in half a unit", ImageBuilder().Directory(u"a").Raw(std::string("\x00" "b", 2)), "terminator"},
      {"file cut inside its time", ImageBuilder().Directory(u"a").Raw(std::string("\x01" "f\x00\x00\x00" "1234", 9)), "time"},
      {"stored file cut inside storedSize", ImageBuilder().Directory(u"a").FileWithMethod(u"f", 0).Raw("\x01\x00"), "size"},
      {"zlib file cut inside uncompressedSize", ImageBuilder().Directory(u"a").FileWithMethod(u"f", 1).Raw(std::string("\x03\x00\x00\x00\x03", 5)), "size"},
      {"stored data past the end", ImageBuilder().Directory(u"a").StoredWithSize(u"f", "abc", 4), "past"},
      {"zlib data past the end", ImageBuilder().Directory(u"a").ZlibRaw(u"f", z, (int32_t)z.size() + 1, 3), "past"},
      {"huge storedSize", ImageBuilder().Directory(u"a").StoredWithSize(u"f", "abc", INT32_MAX), "past"},
      {"negative uncompressedSize", ImageBuilder().Directory(u"a").ZlibRaw(u"f", z, (int32_t)z.size(), -1), "negative"},
      {"empty file name", ImageBuilder().Directory(u"a").Stored(u"", "x"), "empty"},
  };
  for (Refusal& c : cases) {
    std::vector<uint8_t> image = c.image.Build();
    PayloadError error{};
    EXPECT_FALSE(ValidatePayloadImage(image.data(), image.size(), 0, &error)) << c.what;
    ASSERT_NE(error.reason, nullptr) << c.what;
    EXPECT_NE(std::string(error.reason).find(c.reason), std::string::npos)
        << c.what << ": " << error.reason;
    EXPECT_TRUE(error.recordFault) << c.what;
    EXPECT_EQ(error.offset, 5u) << c.what << ": the second record, after directory \"a\"";
  }
}

// An image of one directory record, or one small stored file, with this name.
std::vector<uint8_t> OneNamedRecord(const std::u16string& name, bool directory) {
  ImageBuilder b;
  if (directory)
    b.Directory(name);
  else
    b.Stored(name, "x");
  return b.Build();
}

TEST(Names, SafeNamesPass) {
  for (const std::u16string& name :
       {std::u16string(u"Brenvelt.exe"), std::u16string(u"\u9996\u6B21\u4F7F\u7528\u5FC5\u770B.txt"),
        std::u16string(u"lib\\sub dir\\a.b.c"), std::u16string(u".hidden"), std::u16string(u"a..b"),
        std::u16string(u"CONFIG"), std::u16string(u"COM0"), std::u16string(u"LPT10"),
        std::u16string(u"nul_file"), std::u16string(u"\U0001F600.png"), std::u16string(u"x y")}) {
    ImageBuilder b;
    b.Stored(name, "x");
    std::vector<uint8_t> image = b.Build();
    PayloadError error{};
    EXPECT_TRUE(ValidatePayloadImage(image.data(), image.size(), 0, &error))
        << (error.reason ? error.reason : "");
  }
}

TEST(Names, HostileNamesAreRefusedForFilesAndDirectories) {
  const std::u16string kHostile[] = {
      u".", u"..", u"..\\evil", u"a\\..\\..\\evil", u"a\\.\\b", u"\\rooted", u"a\\", u"a\\\\b",
      u"C:\\Windows\\evil.dll", u"C:evil", u"\\\\server\\share\\x", u"file.txt:stream",
      u"a/b", u"../evil", u"tab\there", u"new\nline", u"\x01", u"a<b", u"a>b", u"a\"b", u"a|b",
      u"a?b", u"a*b", u"trailing.", u"trailing ", u"dir.\\file", u"CON", u"con", u"nul.txt",
      u"NUL .txt", u"Aux", u"prn.log", u"COM1", u"com9.dat", u"LPT1", u"lpt9", u"dir\\CON\\x",
      u"CONIN$", u"conout$", std::u16string(1, (char16_t)0xD800),
      std::u16string(u"a") + (char16_t)0xDC00, std::u16string(1, (char16_t)0xDBFF) + u"x"};
  for (const std::u16string& name : kHostile) {
    for (bool directory : {false, true}) {
      std::vector<uint8_t> image = OneNamedRecord(name, directory);
      PayloadError error{};
      EXPECT_FALSE(ValidatePayloadImage(image.data(), image.size(), 0, &error))
          << (directory ? "directory " : "file ") << std::string(name.begin(), name.end());
    }
  }
}

TEST(Validate, RecordPathsMustFitThePathBufferUnderTheTarget) {
  // target + backslash + name + terminator <= 260
  const size_t target = 56;
  const size_t longest = 260 - 2 - target;
  for (bool directory : {false, true}) {
    for (size_t units : {longest, longest + 1}) {
      std::vector<uint8_t> image = OneNamedRecord(std::u16string(units, u'n'), directory);
      PayloadError error{};
      EXPECT_EQ(ValidatePayloadImage(image.data(), image.size(), target, &error), units == longest)
          << units;
    }
  }
  std::vector<uint8_t> empty = ImageBuilder().Build();
  EXPECT_TRUE(ValidatePayloadImage(empty.data(), empty.size(), 258, nullptr));
  EXPECT_FALSE(ValidatePayloadImage(empty.data(), empty.size(), 259, nullptr))
      << "a target of 259 units leaves no room for any record path";
}

TEST(Validate, AcceptsWhatTheFormatAllows) {
  std::string z = ImageBuilder::Compress("abc");
  ImageBuilder b;
  b.Directory(u"")
      .Directory(u"a")
      .Directory(u"a")  // the same directory twice
      .Stored(u"a\\empty", "")
      .ZlibRaw(u"a\\roomy", z, (int32_t)z.size(), 1000)  // more room than needed
      .ZlibRaw(u"a\\zero", z, (int32_t)z.size(), 0)      // decodes; inflating it fails later
      .ZlibRaw(u"a\\trailing", z + "junk", (int32_t)z.size() + 4, 3);
  std::vector<uint8_t> image = b.Build();
  PayloadError error{};
  EXPECT_TRUE(ValidatePayloadImage(image.data(), image.size(), 56, &error))
      << (error.reason ? error.reason : "");
}

}  // namespace
