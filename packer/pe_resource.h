// Finding the payload inside a built installer: the RT_RCDATA resource named "ISDATA"
// of a PE32 or PE32+ file. Every offset read from the file is bounds-checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

bool FindPayloadResource(const uint8_t* file, size_t size, std::vector<uint8_t>* resource,
                         const char** reason);
