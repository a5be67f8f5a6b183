// The zlib streams the packer writes. Every mode yields one RFC 1950 stream that zlib's
// uncompress inflates, so the installer's decoder never changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class Compression {
  kStore,  // no stream: the record is stored
  kZlib,   // zlib itself, at PackOptions::level
  kBest,   // the smallest of libdeflate at level 12 and, for files up to
           // kZopfliLimit, zopfli: slower, a few percent smaller
};

inline constexpr size_t kZopfliLimit = 256 * 1024;

// Compresses bytes into one zlib stream. Throws PackError (naming path) on failure.
std::vector<uint8_t> CompressToZlib(const std::vector<uint8_t>& bytes, Compression mode, int level,
                                    const std::string& path);
