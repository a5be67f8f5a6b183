// Builds payload images byte by byte for tests, including images no packer would write:
// any type, method, size field or map can be set. Header-only so that the native and the
// Windows tests share it.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

class ImageBuilder {
 public:
  ImageBuilder& Directory(const std::u16string& name) {
    stream_.push_back(0);
    Name(name);
    return *this;
  }

  ImageBuilder& Stored(const std::u16string& name, const std::string& data, uint64_t time = kTime) {
    return StoredWithSize(name, data, (int32_t)data.size(), time);
  }

  // storedSize as given; only max(size, 0) bytes of data are written.
  ImageBuilder& StoredWithSize(const std::u16string& name, const std::string& data, int32_t size,
                               uint64_t time = kTime) {
    FileHead(name, time, 0);
    Le32((uint32_t)size);
    Bytes(data.substr(0, size > 0 ? (size_t)size : 0));
    return *this;
  }

  ImageBuilder& Zlib(const std::u16string& name, const std::string& data, uint64_t time = kTime) {
    std::string z = Compress(data);
    return ZlibRaw(name, z, (int32_t)z.size(), (int32_t)data.size(), time);
  }

  // compressedSize and uncompressedSize as given; max(compressedSize, 0) bytes follow.
  ImageBuilder& ZlibRaw(const std::u16string& name, const std::string& compressed,
                        int32_t compressedSize, int32_t uncompressedSize, uint64_t time = kTime) {
    FileHead(name, time, 1);
    Le32((uint32_t)compressedSize);
    Le32((uint32_t)uncompressedSize);
    Bytes(compressed.substr(0, compressedSize > 0 ? (size_t)compressedSize : 0));
    return *this;
  }

  // A file record with any method byte and no fields after it.
  ImageBuilder& FileWithMethod(const std::u16string& name, uint8_t method) {
    FileHead(name, kTime, method);
    return *this;
  }

  ImageBuilder& Raw(const std::string& bytes) {
    Bytes(bytes);
    return *this;
  }

  ImageBuilder& Map(const std::vector<uint8_t>& map) {
    map_ = map;
    return *this;
  }

  const std::vector<uint8_t>& PlainStream() const { return stream_; }

  // The image: totalLength (the real one unless overridden), map, scrambled stream.
  std::vector<uint8_t> Build() const { return BuildWithLength((int32_t)(20 + stream_.size())); }

  std::vector<uint8_t> BuildWithLength(int32_t totalLength) const {
    std::vector<uint8_t> image;
    for (int i = 0; i < 4; i++) image.push_back((uint8_t)((uint32_t)totalLength >> (8 * i)));
    image.insert(image.end(), map_.begin(), map_.end());
    for (uint8_t p : stream_) image.push_back((uint8_t)((p & 0xF0) | (map_[p & 0x0F] & 0x0F)));
    return image;
  }

  static std::string Compress(const std::string& data, int level = 9) {
    uLongf length = compressBound((uLong)data.size());
    std::string out(length, '\0');
    compress2((Bytef*)&out[0], &length, (const Bytef*)data.data(), (uLong)data.size(), level);
    out.resize(length);
    return out;
  }

  // A zlib stream of data, broken in each way that uncompress must refuse, with the room
  // (uncompressedSize) to declare for it.
  struct ZlibFault {
    const char* what;
    std::string bytes;
    int32_t room;
  };
  static std::vector<ZlibFault> BrokenZlibStreams(const std::string& data) {
    std::string z = Compress(data);
    std::string badAdler = z, badDeflate = z, gzipHeader = z;
    badAdler.back() ^= 1;
    badDeflate[3] ^= 0x55;
    gzipHeader[0] = '\x1f';
    int32_t room = (int32_t)data.size();
    return {
        {"wrong Adler-32", badAdler, room},
        {"corrupt deflate data", badDeflate, room},
        {"not a zlib header", gzipHeader, room},
        {"truncated stream", z.substr(0, z.size() / 2), room},
        {"output larger than uncompressedSize", z, room - 1},
    };
  }

  // 2024-03-05 14:07:09 UTC.
  static constexpr uint64_t kTime = 133541212290000000ull;

  // A fixed non-identity permutation, so that tests cover unscrambling too.
  static std::vector<uint8_t> DefaultMap() {
    return {7, 12, 3, 0, 15, 9, 1, 14, 5, 10, 2, 13, 6, 11, 4, 8};
  }

 private:
  void FileHead(const std::u16string& name, uint64_t time, uint8_t method) {
    stream_.push_back(1);
    Name(name);
    Le32((uint32_t)time);
    Le32((uint32_t)(time >> 32));
    stream_.push_back(method);
  }
  void Name(const std::u16string& name) {
    for (char16_t u : name) {
      stream_.push_back((uint8_t)(u & 0xFF));
      stream_.push_back((uint8_t)(u >> 8));
    }
    stream_.push_back(0);
    stream_.push_back(0);
  }
  void Le32(uint32_t v) {
    for (int i = 0; i < 4; i++) stream_.push_back((uint8_t)(v >> (8 * i)));
  }
  void Bytes(const std::string& s) { stream_.insert(stream_.end(), s.begin(), s.end()); }

  std::vector<uint8_t> stream_;
  std::vector<uint8_t> map_ = DefaultMap();
};
