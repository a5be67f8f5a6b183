// Any bytes, taken as an image: the reader must refuse or accept them without reading out
// of bounds, and whatever it accepts must decode record by record to the end.
#include <cstdlib>

#include "payload_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PayloadError error{};
  bool valid = ValidatePayloadImage(data, size, 56, &error);
  if (!valid && !error.reason) abort();

  // The decoder alone, without the header check, over whatever the bytes unscramble to.
  uint8_t* stream = nullptr;
  size_t length = 0;
  if (UnscramblePayload(data, size, &stream, &length)) {
    size_t cursor = 0;
    PayloadRecord record;
    const char* reason = nullptr;
    while (cursor < length && DecodeRecord(stream, length, cursor, &record, &reason)) {
      if (record.next <= cursor || record.next > length) abort();
      CheckRecordName(record, &reason);
      cursor = record.next;
    }
    if (valid && cursor != length) abort();
    free(stream);
  }
  return 0;
}
