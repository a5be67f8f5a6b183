// The payload image: layout, unscrambling, record decoding and validation.
//
// An image is a 4-byte signed totalLength, a 16-byte nibbleMap, then the record stream
// with the low nibble of every byte scrambled through the map. The plain stream is a
// run of records laid back to back, ending where its length ends:
//
//   directory record: type 0, name (UTF-16LE, 0x0000-terminated)
//   file record:      type 1, name, lastWriteTime (FILETIME, 8 bytes), method (1 byte),
//                     method 0: storedSize (int32), data
//                     method 1: compressedSize (int32), uncompressedSize (int32), data
//
// All integers are little-endian and unaligned. A size at or below 0 means no data bytes.
//
// This file is portable C++ with no platform header and no allocation but the one stream
// buffer, so that the installer, the packer and the tests share one reader. Nothing here
// writes to disk: the extractor and the packer do that, after ValidateRecordStream has
// accepted the whole stream.
#pragma once

#include <stddef.h>
#include <stdint.h>

enum {
  kPayloadHeaderSize = 20,  // totalLength + nibbleMap
  kPathBufferUnits = 260,   // MAX_PATH, terminator included
};

enum RecordType { kDirectoryRecord = 0, kFileRecord = 1 };
enum RecordMethod { kMethodStored = 0, kMethodZlib = 1 };

// One decoded record. Pointers point into the plain stream; name is unaligned UTF-16LE.
struct PayloadRecord {
  size_t offset;             // cursor of this record in the stream
  int type;                  // kDirectoryRecord or kFileRecord
  const uint8_t* name;       // nameUnits UTF-16LE units, then a 0x0000 unit
  size_t nameUnits;          // L, the terminator not counted
  uint64_t lastWriteTime;    // file records: FILETIME
  int method;                // file records: kMethodStored or kMethodZlib
  int32_t dataSize;          // storedSize or compressedSize, as stored (may be <= 0)
  int32_t uncompressedSize;  // zlib records: the room reserved for the inflated file
  const uint8_t* data;       // dataLength bytes
  size_t dataLength;         // max(dataSize, 0)
  size_t next;               // cursor of the following record
};

// Why an image was refused, and where: offset is a byte offset into the image for header
// faults and into the plain stream for record faults (recordFault tells which). Built with
// PAYLOAD_WITHOUT_REASONS (the installer), every reason is the empty string.
struct PayloadError {
  const char* reason;
  size_t offset;
  bool recordFault;
};

uint16_t ReadLe16(const uint8_t* p);
uint32_t ReadLe32(const uint8_t* p);

// Checks what can be checked before unscrambling: imageSize is at least 20, totalLength
// equals imageSize, and nibbleMap is a permutation of 0..15.
bool CheckPayloadHeader(const uint8_t* image, size_t imageSize, PayloadError* error);

// Allocates (with malloc) and fills *stream with the plain record stream, of length
// totalLength - 20. An empty stream is a valid, non-null allocation. Fails, allocating
// nothing, when totalLength is below 20 or above imageSize, or when memory runs out.
// The caller frees *stream. The map is taken as it stands: check the header first.
bool UnscramblePayload(const uint8_t* image, size_t imageSize, uint8_t** stream,
                       size_t* streamLength);

// Decodes the record at cursor (< length) without reading past length. Returns false for
// an unknown record type or method, a name without its terminator, or fields and data
// that run past the end of the stream.
bool DecodeRecord(const uint8_t* stream, size_t length, size_t cursor, PayloadRecord* record,
                  const char** reason);

// The safety rules every name must pass before anything is written: a relative path of
// backslash-separated components, none empty, "." or "..", none ending in a dot or a
// space, none a device name (CON, NUL.txt, COM1, ...), no drive or stream colon, no '/',
// no control character or any of <>"|?*, no unpaired surrogate. An empty directory name
// (the target itself) is allowed; an empty file name is not.
bool CheckRecordName(const PayloadRecord& record, const char** reason);

// Walks the whole stream and accepts it only when every record decodes, every name is
// safe, every uncompressedSize is not negative, the last record ends exactly at the end,
// and every record path (target, backslash, name, terminator) fits in kPathBufferUnits
// for a target of targetUnits units.
bool ValidateRecordStream(const uint8_t* stream, size_t length, size_t targetUnits,
                          PayloadError* error);

// CheckPayloadHeader, UnscramblePayload and ValidateRecordStream in one call, for tools
// that check an image without extracting it.
bool ValidatePayloadImage(const uint8_t* image, size_t imageSize, size_t targetUnits,
                          PayloadError* error);
