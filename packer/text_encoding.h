// UTF-8 (Linux file names) <-> UTF-16 (payload names) for the packer.
#pragma once

#include <cstdint>
#include <string>

// False for malformed UTF-8: bad or overlong sequences, surrogates, values past U+10FFFF.
bool Utf8ToUtf16(const std::string& utf8, std::u16string* utf16);

// False for an unpaired surrogate.
bool Utf16ToUtf8(const std::u16string& utf16, std::string* utf8);

// Reads `units` little-endian UTF-16 units from unaligned bytes.
std::u16string ReadUtf16Le(const uint8_t* bytes, size_t units);
