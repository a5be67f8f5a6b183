#include "compressor.h"

#include <libdeflate.h>
#include <zlib.h>
#include <zopfli/zopfli.h>

#include <cstdlib>
#include <memory>

#include "payload_writer.h"

namespace {

std::vector<uint8_t> WithZlib(const std::vector<uint8_t>& bytes, int level, const std::string& path) {
  uLongf length = compressBound((uLong)bytes.size());
  std::vector<uint8_t> out(length);
  if (compress2(out.data(), &length, bytes.data(), (uLong)bytes.size(), level) != Z_OK)
    throw PackError(path + ": zlib could not compress it");
  out.resize(length);
  return out;
}

std::vector<uint8_t> WithLibdeflate(const std::vector<uint8_t>& bytes, const std::string& path) {
  std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> compressor(
      libdeflate_alloc_compressor(12), &libdeflate_free_compressor);
  if (!compressor) throw PackError(path + ": out of memory for libdeflate");
  std::vector<uint8_t> out(libdeflate_zlib_compress_bound(compressor.get(), bytes.size()));
  size_t length = libdeflate_zlib_compress(compressor.get(), bytes.data(), bytes.size(), out.data(), out.size());
  if (length == 0) throw PackError(path + ": libdeflate could not compress it");
  out.resize(length);
  return out;
}

std::vector<uint8_t> WithZopfli(const std::vector<uint8_t>& bytes) {
  ZopfliOptions options;
  ZopfliInitOptions(&options);
  unsigned char* out = nullptr;
  size_t length = 0;
  ZopfliCompress(&options, ZOPFLI_FORMAT_ZLIB, bytes.data(), bytes.size(), &out, &length);
  std::vector<uint8_t> result(out, out + length);
  free(out);
  return result;
}

}  // namespace

std::vector<uint8_t> CompressToZlib(const std::vector<uint8_t>& bytes, Compression mode, int level,
                                    const std::string& path) {
  if (mode == Compression::kZlib) return WithZlib(bytes, level, path);
  std::vector<uint8_t> best = WithLibdeflate(bytes, path);
  if (bytes.size() <= kZopfliLimit) {
    std::vector<uint8_t> zopfli = WithZopfli(bytes);
    if (zopfli.size() < best.size()) best.swap(zopfli);
  }
  return best;
}
