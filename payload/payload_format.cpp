#include "payload_format.h"

#include <stdlib.h>
#include <string.h>

// The installer shows one message for every refusal, so its build carries no reason texts.
#ifdef PAYLOAD_WITHOUT_REASONS
#define REASON(text) ""
#else
#define REASON(text) text
#endif

uint16_t ReadLe16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

uint32_t ReadLe32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) |
         ((uint32_t)p[3] << 24);
}

static int32_t ReadTotalLength(const uint8_t* image) { return (int32_t)ReadLe32(image); }

static bool Fail(PayloadError* error, const char* reason, size_t offset, bool recordFault) {
  if (error) {
    error->reason = reason;
    error->offset = offset;
    error->recordFault = recordFault;
  }
  return false;
}

bool CheckPayloadHeader(const uint8_t* image, size_t imageSize, PayloadError* error) {
  if (!image || imageSize < kPayloadHeaderSize)
    return Fail(error, REASON("image shorter than its 20-byte header"), 0, false);
  int32_t totalLength = ReadTotalLength(image);
  if (totalLength < kPayloadHeaderSize || (uint32_t)totalLength != imageSize)
    return Fail(error, REASON("totalLength does not equal the image size"), 0, false);
  unsigned seen = 0;
  for (int i = 0; i < 16; i++) {
    uint8_t value = image[4 + i];
    if (value > 15 || (seen & (1u << value)))
      return Fail(error, REASON("nibbleMap is not a permutation of 0 to 15"), 4 + i, false);
    seen |= 1u << value;
  }
  return true;
}

bool UnscramblePayload(const uint8_t* image, size_t imageSize, uint8_t** stream,
                       size_t* streamLength) {
  if (!image || imageSize < kPayloadHeaderSize) return false;
  int32_t totalLength = ReadTotalLength(image);
  if (totalLength < kPayloadHeaderSize || (uint32_t)totalLength > imageSize) return false;

  uint8_t inverse[16] = {0};
  for (int i = 0; i < 16; i++) inverse[image[4 + i] & 0x0F] = (uint8_t)i;

  size_t n = (size_t)totalLength - kPayloadHeaderSize;
  // malloc(0) may return null; an empty stream must not look like running out of memory.
  uint8_t* plain = (uint8_t*)malloc(n ? n : 1);
  if (!plain) return false;
  const uint8_t* scrambled = image + kPayloadHeaderSize;
  for (size_t i = 0; i < n; i++) {
    uint8_t b = scrambled[i];
    plain[i] = (uint8_t)((b & 0xF0) | inverse[b & 0x0F]);
  }
  *stream = plain;
  *streamLength = n;
  return true;
}

bool DecodeRecord(const uint8_t* stream, size_t length, size_t cursor, PayloadRecord* record,
                  const char** reason) {
  memset(record, 0, sizeof *record);
  record->offset = cursor;
  uint8_t type = stream[cursor];
  if (type != kDirectoryRecord && type != kFileRecord) {
    *reason = REASON("record type is neither 0 (directory) nor 1 (file)");
    return false;
  }
  record->type = type;

  size_t nameStart = cursor + 1;
  size_t units = 0;
  for (;;) {
    size_t at = nameStart + 2 * units;
    if (at > length || length - at < 2) {
      *reason = REASON("name has no terminator inside the stream");
      return false;
    }
    if (ReadLe16(stream + at) == 0) break;
    units++;
  }
  record->name = stream + nameStart;
  record->nameUnits = units;
  size_t t = nameStart + 2 * units + 2;  // first byte after the terminator
  if (type == kDirectoryRecord) {
    record->next = t;
    return true;
  }

  if (length - t < 9) {
    *reason = REASON("file record ends inside its time or method");
    return false;
  }
  record->lastWriteTime = (uint64_t)ReadLe32(stream + t) | ((uint64_t)ReadLe32(stream + t + 4) << 32);
  record->method = stream[t + 8];
  size_t sizesEnd;
  if (record->method == kMethodStored) {
    sizesEnd = t + 13;
  } else if (record->method == kMethodZlib) {
    sizesEnd = t + 17;
  } else {
    *reason = REASON("method is neither 0 (stored) nor 1 (zlib)");
    return false;
  }
  if (length < sizesEnd) {
    *reason = REASON("file record ends inside its size fields");
    return false;
  }
  record->dataSize = (int32_t)ReadLe32(stream + t + 9);
  if (record->method == kMethodZlib) record->uncompressedSize = (int32_t)ReadLe32(stream + t + 13);
  record->dataLength = record->dataSize > 0 ? (size_t)record->dataSize : 0;
  if (length - sizesEnd < record->dataLength) {
    *reason = REASON("file data runs past the end of the stream");
    return false;
  }
  record->data = stream + sizesEnd;
  record->next = sizesEnd + record->dataLength;
  return true;
}

static bool IsSurrogateHigh(uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
static bool IsSurrogateLow(uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

static uint16_t AsciiUpper(uint16_t u) { return (u >= 'a' && u <= 'z') ? (uint16_t)(u - 32) : u; }

// A device name such as "NUL", "com1" or "Aux.txt" opens the device wherever it stands.
static bool IsDeviceName(const uint8_t* name, size_t start, size_t end) {
  size_t baseEnd = start;
  while (baseEnd < end && ReadLe16(name + 2 * baseEnd) != '.') baseEnd++;
  while (baseEnd > start && ReadLe16(name + 2 * (baseEnd - 1)) == ' ') baseEnd--;
  size_t n = baseEnd - start;
  if (n < 3 || n > 7) return false;
  char base[8];
  for (size_t i = 0; i < n; i++) {
    uint16_t u = AsciiUpper(ReadLe16(name + 2 * (start + i)));
    if (u > 0x7F) return false;
    base[i] = (char)u;
  }
  base[n] = 0;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices)
    if (strcmp(base, device) == 0) return true;
  if (n == 4 && (memcmp(base, "COM", 3) == 0 || memcmp(base, "LPT", 3) == 0) &&
      base[3] >= '1' && base[3] <= '9')
    return true;
  return false;
}

bool CheckRecordName(const PayloadRecord& record, const char** reason) {
  size_t units = record.nameUnits;
  const uint8_t* name = record.name;
  if (units == 0) {
    if (record.type == kDirectoryRecord) return true;  // the target directory itself
    *reason = REASON("file record has an empty name");
    return false;
  }
  size_t componentStart = 0;
  for (size_t i = 0; i <= units; i++) {
    uint16_t u = i < units ? ReadLe16(name + 2 * i) : '\\';
    if (u == '\\') {
      size_t n = i - componentStart;
      if (n == 0) {
        *reason = REASON("name is rooted or has an empty component");
        return false;
      }
      uint16_t first = ReadLe16(name + 2 * componentStart);
      uint16_t last = ReadLe16(name + 2 * (i - 1));
      if ((n == 1 && first == '.') || (n == 2 && first == '.' && last == '.')) {
        *reason = REASON("name has a \".\" or \"..\" component");
        return false;
      }
      if (last == '.' || last == ' ') {
        *reason = REASON("name has a component that ends in a dot or a space");
        return false;
      }
      if (IsDeviceName(name, componentStart, i)) {
        *reason = REASON("name has a component that is a device name");
        return false;
      }
      componentStart = i + 1;
      continue;
    }
    if (u < 0x20 || u == ':' || u == '/' || u == '<' || u == '>' || u == '"' || u == '|' ||
        u == '?' || u == '*') {
      *reason = REASON("name has a character that Windows refuses or reads as a drive, stream or wildcard");
      return false;
    }
    if (IsSurrogateHigh(u)) {
      if (i + 1 >= units || !IsSurrogateLow(ReadLe16(name + 2 * (i + 1)))) {
        *reason = REASON("name has an unpaired UTF-16 surrogate");
        return false;
      }
      i++;  // the pair is one character
    } else if (IsSurrogateLow(u)) {
      *reason = REASON("name has an unpaired UTF-16 surrogate");
      return false;
    }
  }
  return true;
}

bool ValidateRecordStream(const uint8_t* stream, size_t length, size_t targetUnits,
                          PayloadError* error) {
  // target + backslash + name + terminator must fit the path buffer.
  if (targetUnits + 2 > kPathBufferUnits)
    return Fail(error, REASON("target directory leaves no room for a name"), 0, true);
  size_t maxNameUnits = kPathBufferUnits - 2 - targetUnits;
  size_t cursor = 0;
  while (cursor < length) {
    PayloadRecord record;
    const char* reason = 0;
    if (!DecodeRecord(stream, length, cursor, &record, &reason) ||
        !CheckRecordName(record, &reason))
      return Fail(error, reason, cursor, true);
    if (record.nameUnits > maxNameUnits)
      return Fail(error, REASON("record path would not fit in 260 UTF-16 units"), cursor, true);
    if (record.type == kFileRecord && record.method == kMethodZlib && record.uncompressedSize < 0)
      return Fail(error, REASON("uncompressedSize is negative"), cursor, true);
    cursor = record.next;
  }
  return true;
}

bool ValidatePayloadImage(const uint8_t* image, size_t imageSize, size_t targetUnits,
                          PayloadError* error) {
  if (!CheckPayloadHeader(image, imageSize, error)) return false;
  uint8_t* stream = 0;
  size_t length = 0;
  if (!UnscramblePayload(image, imageSize, &stream, &length))
    return Fail(error, REASON("out of memory for the record stream"), 0, false);
  bool valid = ValidateRecordStream(stream, length, targetUnits, error);
  free(stream);
  return valid;
}
