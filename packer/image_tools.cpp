#include "image_tools.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

#include "payload_format.h"
#include "payload_writer.h"
#include "pe_resource.h"
#include "text_encoding.h"

std::vector<uint8_t> LoadImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PackError(path + ": cannot open: " + std::strerror(errno));
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // An image whose totalLength happens to begin with the bytes "MZ" is still an image.
  bool selfSized = bytes.size() >= 4 && ReadLe32(bytes.data()) == bytes.size();
  if (!selfSized && bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z') {
    const char* reason = nullptr;
    std::vector<uint8_t> resource;
    if (!FindPayloadResource(bytes.data(), bytes.size(), &resource, &reason))
      throw PackError(path + ": " + reason);
    return resource;
  }
  return bytes;
}

namespace {

using PlainStream = std::unique_ptr<uint8_t, decltype(&free)>;

std::string Describe(const PayloadError& error) {
  char where[64];
  std::snprintf(where, sizeof where, "%s offset %zu: ",
                error.recordFault ? "record at stream" : "header at image", error.offset);
  return std::string(where) + error.reason;
}

std::string NameOf(const PayloadRecord& record) {
  std::string utf8;
  Utf16ToUtf8(ReadUtf16Le(record.name, record.nameUnits), &utf8);
  return utf8;
}

std::string IsoTime(uint64_t fileTime) {
  int64_t ticks = (int64_t)(fileTime - kUnixEpochAsFileTime);
  if (fileTime < kUnixEpochAsFileTime) ticks = -(int64_t)(kUnixEpochAsFileTime - fileTime);
  int64_t seconds = ticks / 10000000, fraction = ticks % 10000000;
  if (fraction < 0) { fraction += 10000000; seconds--; }
  time_t t = (time_t)seconds;
  struct tm utc;
  gmtime_r(&t, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%07" PRId64 "Z",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                utc.tm_sec, fraction);
  return text;
}

// Header check and unscrambling; null (with the reason on err) when the image is refused.
PlainStream Unscramble(const std::vector<uint8_t>& image, size_t* length, std::ostream& err) {
  PayloadError error{};
  uint8_t* stream = nullptr;
  if (!CheckPayloadHeader(image.data(), image.size(), &error)) {
    err << "invalid: " << Describe(error) << "\n";
    return PlainStream(nullptr, &free);
  }
  if (!UnscramblePayload(image.data(), image.size(), &stream, length)) {
    err << "invalid: out of memory\n";
    return PlainStream(nullptr, &free);
  }
  return PlainStream(stream, &free);
}

// Inflates a zlib record as the installer will; empty string when sound.
std::string Inflate(const PayloadRecord& record, std::vector<uint8_t>* out) {
  out->clear();
  if (record.method != kMethodZlib || record.dataSize <= 0) return "";
  out->resize(record.uncompressedSize > 0 ? (size_t)record.uncompressedSize : 1);
  uLongf length = (uLongf)record.uncompressedSize;
  int status = uncompress(out->data(), &length, record.data, (uLong)record.dataLength);
  if (status != Z_OK)
    return status == Z_BUF_ERROR ? "zlib data inflates to more than uncompressedSize"
                                 : "zlib data is corrupt (bad header, deflate data or Adler-32)";
  out->resize(length);
  return "";
}

// Validates the whole image, then hands every record to visit; stops when visit fails.
int WalkValidImage(const std::vector<uint8_t>& image, std::ostream& err,
                   const std::function<bool(const PayloadRecord&)>& visit) {
  size_t length = 0;
  PlainStream stream = Unscramble(image, &length, err);
  if (!stream) return 1;
  PayloadError error{};
  if (!ValidateRecordStream(stream.get(), length, kLongestInstallTargetUnits, &error)) {
    err << "invalid: " << Describe(error) << "\n";
    return 1;
  }
  for (size_t cursor = 0; cursor < length;) {
    PayloadRecord record;
    const char* reason = nullptr;
    DecodeRecord(stream.get(), length, cursor, &record, &reason);  // validated above
    if (!visit(record)) return 1;
    cursor = record.next;
  }
  return 0;
}

}  // namespace

int ListImage(const std::vector<uint8_t>& image, std::ostream& out, std::ostream& err) {
  size_t length = 0;
  PlainStream stream = Unscramble(image, &length, err);
  if (!stream) return 1;
  char header[160];
  std::snprintf(header, sizeof header, "%-5s %-6s %10s %10s  %-28s  %s\n", "type", "method",
                "size", "stored", "last write (UTC)", "name");
  out << header;
  for (size_t cursor = 0; cursor < length;) {
    PayloadRecord record;
    const char* reason = nullptr;
    if (!DecodeRecord(stream.get(), length, cursor, &record, &reason)) {
      err << "invalid: record at stream offset " << cursor << ": " << reason << "\n";
      return 1;
    }
    char line[160];
    if (record.type == kDirectoryRecord) {
      std::snprintf(line, sizeof line, "%-5s %-6s %10s %10s  %-28s  ", "dir", "-", "-", "-", "-");
    } else {
      std::string size = record.method == kMethodZlib ? std::to_string(record.uncompressedSize)
                                                      : std::to_string(record.dataSize);
      std::snprintf(line, sizeof line, "%-5s %-6s %10s %10d  %-28s  ", "file",
                    record.method == kMethodZlib ? "zlib" : "stored", size.c_str(),
                    record.dataSize, IsoTime(record.lastWriteTime).c_str());
    }
    out << line << NameOf(record) << "\n";
    cursor = record.next;
  }
  PayloadError error{};
  if (!ValidateRecordStream(stream.get(), length, kLongestInstallTargetUnits, &error)) {
    err << "invalid: " << Describe(error) << "\n";
    return 1;
  }
  return 0;
}

int VerifyImage(const std::vector<uint8_t>& image, std::ostream& out, std::ostream& err) {
  size_t directories = 0, files = 0;
  uint64_t bytes = 0;
  std::vector<uint8_t> inflated;
  int status = WalkValidImage(image, err, [&](const PayloadRecord& record) {
    if (record.type == kDirectoryRecord) {
      directories++;
      return true;
    }
    std::string fault = Inflate(record, &inflated);
    if (!fault.empty()) {
      err << "invalid: record at stream offset " << record.offset << " (" << NameOf(record)
          << "): " << fault << "\n";
      return false;
    }
    files++;
    bytes += record.method == kMethodZlib ? inflated.size() : record.dataLength;
    return true;
  });
  if (status == 0)
    out << "sound: " << directories << " directories, " << files << " files, " << bytes
        << " bytes\n";
  return status;
}

namespace {

// Opens the directory that holds a record's last component, one component at a time
// with O_NOFOLLOW, so that a link already inside the target cannot lead out of it.
int OpenParent(int rootFd, const std::vector<std::string>& components) {
  int fd = dup(rootFd);
  for (size_t i = 0; fd >= 0 && i + 1 < components.size(); i++) {
    int child = openat(fd, components[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = child;
  }
  return fd;
}

std::vector<std::string> Components(const std::string& name) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= name.size(); i++) {
    if (i == name.size() || name[i] == '\\') {
      parts.push_back(name.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}

bool WriteAll(int fd, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, bytes, length);
    if (written <= 0) return false;
    bytes += written;
    length -= (size_t)written;
  }
  return true;
}

}  // namespace

int UnpackImage(const std::vector<uint8_t>& image, const std::string& directory,
                std::ostream& err) {
  std::ostream devnull(nullptr);
  if (VerifyImage(image, devnull, err) != 0) return 1;  // nothing is written for a bad image
  if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    err << directory << ": cannot create: " << std::strerror(errno) << "\n";
    return 1;
  }
  int rootFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) {
    err << directory << ": cannot open: " << std::strerror(errno) << "\n";
    return 1;
  }
  std::vector<uint8_t> inflated;
  int status = WalkValidImage(image, err, [&](const PayloadRecord& record) {
    std::string name = NameOf(record);
    if (name.empty()) return true;  // the target itself
    std::vector<std::string> parts = Components(name);
    int parent = OpenParent(rootFd, parts);
    if (parent < 0) {
      err << name << ": parent directory missing or not a directory\n";
      return false;
    }
    const char* leaf = parts.back().c_str();
    bool ok = true;
    if (record.type == kDirectoryRecord) {
      struct stat st;
      ok = mkdirat(parent, leaf, 0755) == 0 ||
           (errno == EEXIST && fstatat(parent, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode));
    } else {
      Inflate(record, &inflated);  // verified above
      const uint8_t* bytes = record.method == kMethodZlib ? inflated.data() : record.data;
      size_t length = record.method == kMethodZlib ? inflated.size() : record.dataLength;
      int fd = openat(parent, leaf, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
      ok = fd >= 0 && WriteAll(fd, bytes, length);
      if (ok) {
        int64_t ticks = (int64_t)record.lastWriteTime - (int64_t)kUnixEpochAsFileTime;
        int64_t seconds = ticks / 10000000, rest = ticks % 10000000;
        if (rest < 0) { rest += 10000000; seconds--; }
        struct timespec times[2] = {{0, UTIME_OMIT}, {(time_t)seconds, (long)(rest * 100)}};
        ok = futimens(fd, times) == 0;
      }
      if (fd >= 0) ok = close(fd) == 0 && ok;
    }
    if (!ok) err << name << ": " << std::strerror(errno) << "\n";
    close(parent);
    return ok;
  });
  close(rootFd);
  return status;
}
