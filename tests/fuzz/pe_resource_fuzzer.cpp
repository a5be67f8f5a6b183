// Any bytes, taken as a built installer: the resource locator must find the payload or
// refuse without reading outside the file, and what it finds lies inside the file.
#include <cstdlib>
#include <vector>

#include "payload_format.h"
#include "pe_resource.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> file(data, data + size);  // exact bounds, so ASan sees any overread
  std::vector<uint8_t> resource;
  const char* reason = nullptr;
  if (FindPayloadResource(file.data(), file.size(), &resource, &reason)) {
    if (resource.size() > size) abort();
    ValidatePayloadImage(resource.data(), resource.size(), 56, nullptr);
  } else if (!reason) {
    abort();
  }
  return 0;
}
