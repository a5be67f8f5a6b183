#include "payload_writer.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "payload_format.h"
#include "text_encoding.h"

std::vector<uint8_t> MakeNibbleMap(uint64_t seed) {
  std::vector<uint8_t> map(16);
  for (int i = 0; i < 16; i++) map[i] = (uint8_t)i;
  uint64_t state = seed;
  auto next = [&state] {  // splitmix64: small, fixed, and the same on every machine
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  for (int i = 15; i > 0; i--) std::swap(map[i], map[next() % (uint64_t)(i + 1)]);
  bool identity = true;
  for (int i = 0; i < 16; i++) identity = identity && map[i] == i;
  if (identity) std::swap(map[0], map[1]);
  return map;
}

static uint64_t FileTimeOf(const struct stat& st, const PackOptions& options) {
  int64_t seconds = st.st_mtim.tv_sec;
  int64_t nanoseconds = st.st_mtim.tv_nsec;
  if (options.sourceDateEpoch && seconds >= *options.sourceDateEpoch) {
    seconds = *options.sourceDateEpoch;
    nanoseconds = 0;
  }
  int64_t ticks = seconds * 10000000 + nanoseconds / 100 + (int64_t)kUnixEpochAsFileTime;
  return ticks < 0 ? 0 : (uint64_t)ticks;
}

// A name as the stream stores it: UTF-16LE and a 0x0000 terminator.
static void AppendName(std::vector<uint8_t>* out, const std::u16string& name) {
  for (char16_t u : name) {
    out->push_back((uint8_t)(u & 0xFF));
    out->push_back((uint8_t)(u >> 8));
  }
  out->push_back(0);
  out->push_back(0);
}

// Runs the payload's own name rules on a name, as the extractor will.
static void CheckName(const std::u16string& name, bool isDirectory, const std::string& path) {
  std::vector<uint8_t> bytes;
  AppendName(&bytes, name);
  PayloadRecord record{};
  record.type = isDirectory ? kDirectoryRecord : kFileRecord;
  record.name = bytes.data();
  record.nameUnits = name.size();
  const char* reason = nullptr;
  if (!CheckRecordName(record, &reason)) throw PackError(path + ": " + reason);
  if (kLongestInstallTargetUnits + 1 + name.size() + 1 > kPathBufferUnits)
    throw PackError(path + ": name is " + std::to_string(name.size()) +
                    " UTF-16 units; under the longest install directory at most " +
                    std::to_string(kPathBufferUnits - 2 - kLongestInstallTargetUnits) + " fit");
}

static void Collect(const std::string& root, const std::string& relative,
                    const std::u16string& prefix, const PackOptions& options,
                    std::vector<PackEntry>* entries) {
  std::string directory = relative.empty() ? root : root + "/" + relative;
  DIR* handle = opendir(directory.c_str());
  if (!handle) throw PackError(directory + ": cannot open directory: " + std::strerror(errno));
  std::vector<std::string> names;
  while (dirent* entry = readdir(handle)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
      names.push_back(entry->d_name);
  }
  closedir(handle);
  std::sort(names.begin(), names.end());

  // Windows names ignore case: "Readme.txt" and "README.txt" would be one file there.
  std::map<std::u16string, std::string> folded;
  for (const std::string& leaf : names) {
    std::u16string key;
    if (Utf8ToUtf16(leaf, &key)) {
      for (char16_t& u : key) u = (u >= u'a' && u <= u'z') ? (char16_t)(u - 32) : u;
      auto [at, added] = folded.emplace(key, leaf);
      if (!added)
        throw PackError(directory + ": \"" + at->second + "\" and \"" + leaf +
                        "\" differ only in case and would be one file on Windows");
    }
  }

  for (const std::string& leaf : names) {
    std::string childRelative = relative.empty() ? leaf : relative + "/" + leaf;
    std::string path = root + "/" + childRelative;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) throw PackError(path + ": " + std::strerror(errno));
    if (S_ISLNK(st.st_mode)) throw PackError(path + ": symbolic links are not packed");
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
      throw PackError(path + ": only regular files and directories are packed");
    std::u16string leafUtf16;
    if (!Utf8ToUtf16(leaf, &leafUtf16)) throw PackError(path + ": name is not valid UTF-8");
    if (leafUtf16.find(u'\\') != std::u16string::npos)
      throw PackError(path + ": a backslash in a name would split it into directories");
    PackEntry packed;
    packed.name = prefix.empty() ? leafUtf16 : prefix + u"\\" + leafUtf16;
    packed.sourcePath = path;
    packed.isDirectory = S_ISDIR(st.st_mode);
    packed.lastWriteTime = FileTimeOf(st, options);
    packed.size = S_ISREG(st.st_mode) ? (uint64_t)st.st_size : 0;
    CheckName(packed.name, packed.isDirectory, path);
    entries->push_back(packed);
    if (packed.isDirectory) Collect(root, childRelative, packed.name, options, entries);
  }
}

std::vector<PackEntry> CollectTree(const std::string& root, const PackOptions& options) {
  struct stat st;
  if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    throw PackError(root + ": not a directory");
  std::vector<PackEntry> entries;
  Collect(root, "", u"", options, &entries);
  return entries;
}

static void AppendLe32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; i++) out->push_back((uint8_t)(value >> (8 * i)));
}

static std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw PackError(path + ": cannot read");
  std::streamoff size = in.tellg();
  if (size > INT32_MAX) throw PackError(path + ": larger than the 2 GiB a record can hold");
  std::vector<uint8_t> bytes((size_t)size);
  in.seekg(0);
  if (size > 0 && !in.read((char*)bytes.data(), size)) throw PackError(path + ": cannot read");
  return bytes;
}

namespace {

// What a file record carries after its name and time: method, sizes and data.
struct FileBody {
  std::vector<uint8_t> bytes;
  uint64_t originalSize = 0;
  std::exception_ptr error;
};

FileBody MakeFileBody(const PackEntry& entry, const PackOptions& options) {
  FileBody body;
  std::vector<uint8_t> original = ReadWholeFile(entry.sourcePath);
  body.originalSize = original.size();
  if (options.compression == Compression::kStore) {
    body.bytes.push_back(kMethodStored);
    AppendLe32(&body.bytes, (uint32_t)original.size());
    body.bytes.insert(body.bytes.end(), original.begin(), original.end());
    return body;
  }
  std::vector<uint8_t> deflated = CompressToZlib(original, options.compression, options.level, entry.sourcePath);
  if (deflated.size() > (size_t)INT32_MAX) throw PackError(entry.sourcePath + ": compressed size outgrows 2 GiB");
  body.bytes.push_back(kMethodZlib);
  AppendLe32(&body.bytes, (uint32_t)deflated.size());
  AppendLe32(&body.bytes, (uint32_t)original.size());
  body.bytes.insert(body.bytes.end(), deflated.begin(), deflated.end());
  return body;
}

// Compresses every file on `jobs` threads, each taking the next file in turn; results
// land in their entry's slot, so the order of the image never depends on timing.
std::vector<FileBody> MakeFileBodies(const std::vector<PackEntry>& entries, const PackOptions& options) {
  std::vector<FileBody> bodies(entries.size());
  PackProgress totals{0, 0, 0, 0};
  for (const PackEntry& entry : entries)
    if (!entry.isDirectory) totals.files++, totals.bytes += entry.size;

  std::atomic<size_t> next{0}, filesDone{0};
  std::atomic<uint64_t> bytesDone{0};
  auto work = [&] {
    for (size_t i; (i = next++) < entries.size();) {
      if (entries[i].isDirectory) continue;
      try {
        bodies[i] = MakeFileBody(entries[i], options);
      } catch (...) {
        bodies[i].error = std::current_exception();
      }
      bytesDone += entries[i].size;
      filesDone++;
    }
  };
  unsigned jobs = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> workers;
  for (unsigned j = 0; j < jobs; j++) workers.emplace_back(work);
  if (options.progress) {
    while (filesDone < totals.files) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      options.progress({filesDone, totals.files, bytesDone, totals.bytes});
    }
  }
  for (std::thread& worker : workers) worker.join();
  for (FileBody& body : bodies)  // the first failure in record order, whatever finished first
    if (body.error) std::rethrow_exception(body.error);
  return bodies;
}

}  // namespace

std::vector<uint8_t> WriteImage(const std::vector<PackEntry>& entries, const PackOptions& options,
                                PackSummary* summary) {
  if (options.level < 0 || options.level > 9) throw PackError("compression level must be 0 to 9");
  std::vector<FileBody> bodies = MakeFileBodies(entries, options);
  PackSummary counts;
  std::vector<uint8_t> stream;
  for (size_t i = 0; i < entries.size(); i++) {
    const PackEntry& entry = entries[i];
    stream.push_back(entry.isDirectory ? kDirectoryRecord : kFileRecord);
    AppendName(&stream, entry.name);
    if (entry.isDirectory) {
      counts.directories++;
      continue;
    }
    AppendLe32(&stream, (uint32_t)entry.lastWriteTime);
    AppendLe32(&stream, (uint32_t)(entry.lastWriteTime >> 32));
    stream.insert(stream.end(), bodies[i].bytes.begin(), bodies[i].bytes.end());
    std::vector<uint8_t>().swap(bodies[i].bytes);
    counts.files++;
    counts.bytesIn += bodies[i].originalSize;
    if (stream.size() > (size_t)INT32_MAX - kPayloadHeaderSize)
      throw PackError("the image outgrows the 2 GiB that totalLength can count");
  }

  std::vector<uint8_t> map = MakeNibbleMap(options.seed);
  std::vector<uint8_t> image;
  image.reserve(kPayloadHeaderSize + stream.size());
  AppendLe32(&image, (uint32_t)(kPayloadHeaderSize + stream.size()));
  image.insert(image.end(), map.begin(), map.end());
  for (uint8_t p : stream) image.push_back((uint8_t)((p & 0xF0) | map[p & 0x0F]));
  counts.bytesOut = image.size();
  if (summary) *summary = counts;
  return image;
}
