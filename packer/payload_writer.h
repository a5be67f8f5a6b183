// Turning a directory tree into a payload image.
//
// The record of every directory comes before anything inside it, entries of a directory
// in byte order of their UTF-8 names, so the same tree always gives the same image.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "compressor.h"

// A refusal the packer explains to its user; the message names the offending path.
struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The installer's longest version directory; every record path must fit under it.
inline constexpr const char16_t kLongestInstallTarget[] =
    u"C:\\ProgramData\\Brenvelt\\app\\v1.1.0.0#2024.12.31.23.59.59";
inline constexpr size_t kLongestInstallTargetUnits =
    sizeof kLongestInstallTarget / sizeof kLongestInstallTarget[0] - 1;

// Seconds from 1601-01-01 to 1970-01-01, in FILETIME's 100-nanosecond units.
inline constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

struct PackProgress {
  size_t filesDone, files;
  uint64_t bytesDone, bytes;
};

struct PackOptions {
  uint64_t seed = 1;                              // chooses the nibbleMap
  Compression compression = Compression::kZlib;   // kStore: method 0 for every file
  int level = 9;                                  // zlib compression level, 0 to 9
  unsigned jobs = 0;                              // compressing threads; 0: one per core
  std::optional<int64_t> sourceDateEpoch;         // clamps every lastWriteTime
  // Called from the calling thread about five times a second while files are compressed.
  std::function<void(const PackProgress&)> progress;
};

struct PackEntry {
  std::u16string name;    // relative, backslash-separated
  std::string sourcePath; // where the bytes come from
  bool isDirectory = false;
  uint64_t lastWriteTime = 0;
  uint64_t size = 0;      // files: bytes when listed
};

struct PackSummary {
  size_t directories = 0;
  size_t files = 0;
  uint64_t bytesIn = 0;
  uint64_t bytesOut = 0;  // the whole image
};

// A permutation of 0..15 drawn from seed; never the identity.
std::vector<uint8_t> MakeNibbleMap(uint64_t seed);

// Lists the tree under root in record order. Throws PackError for symbolic links,
// special files, names that are not UTF-8 or that the payload's name rules refuse, and
// names that would not fit under kLongestInstallTarget.
std::vector<PackEntry> CollectTree(const std::string& root, const PackOptions& options);

// Builds the whole image. Files are compressed on several threads; the image is the same
// whatever their number. Throws PackError when a file or the image outgrows the signed
// 32-bit size fields, or a file cannot be read.
std::vector<uint8_t> WriteImage(const std::vector<PackEntry>& entries, const PackOptions& options,
                                PackSummary* summary);
