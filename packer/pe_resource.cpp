#include "pe_resource.h"

#include "payload_format.h"

namespace {

constexpr uint32_t kRcData = 10;
constexpr int kMaxResourceEntries = 4096;  // no real executable comes near this

struct PeFile {
  const uint8_t* bytes;
  size_t size;
  size_t sections;      // offset of the section table
  unsigned sectionCount;

  bool Has(size_t offset, size_t length) const {
    return offset <= size && length <= size - offset;
  }

  // Maps a virtual address to a file offset that has `length` bytes behind it.
  bool FileOffset(uint32_t rva, size_t length, size_t* offset) const {
    for (unsigned i = 0; i < sectionCount; i++) {
      const uint8_t* section = bytes + sections + 40 * i;
      uint32_t address = ReadLe32(section + 12);
      uint32_t rawSize = ReadLe32(section + 16);
      uint32_t rawPointer = ReadLe32(section + 20);
      if (rva >= address && rva - address < rawSize) {
        uint64_t at = (uint64_t)rawPointer + (rva - address);
        if (rva - address + (uint64_t)length > rawSize || !Has((size_t)at, length)) return false;
        *offset = (size_t)at;
        return true;
      }
    }
    return false;
  }
};

bool NameIs(const PeFile& pe, size_t resourceBase, size_t resourceSize, uint32_t nameOffset,
            const char* wanted) {
  size_t at = resourceBase + nameOffset;
  if (nameOffset > resourceSize || !pe.Has(at, 2)) return false;
  size_t length = ReadLe16(pe.bytes + at);
  if (!pe.Has(at + 2, 2 * length)) return false;
  size_t i = 0;
  for (; i < length && wanted[i]; i++) {
    uint16_t u = ReadLe16(pe.bytes + at + 2 + 2 * i);
    if (u >= 'a' && u <= 'z') u = (uint16_t)(u - 32);  // resource names match without case
    if (u != (uint8_t)wanted[i]) return false;
  }
  return i == length && wanted[i] == 0;
}

// Finds an entry of the resource directory at dirOffset (relative to the resource base)
// by id, or by name when wantedName is set, or the first entry when both are unset.
bool FindEntry(const PeFile& pe, size_t base, size_t resourceSize, uint32_t dirOffset,
               uint32_t wantedId, const char* wantedName, bool first, uint32_t* target) {
  size_t dir = base + dirOffset;
  if (dirOffset > resourceSize || !pe.Has(dir, 16)) return false;
  unsigned named = ReadLe16(pe.bytes + dir + 12), ids = ReadLe16(pe.bytes + dir + 14);
  if (named + ids > kMaxResourceEntries || !pe.Has(dir + 16, 8 * (size_t)(named + ids))) return false;
  for (unsigned i = 0; i < named + ids; i++) {
    const uint8_t* entry = pe.bytes + dir + 16 + 8 * i;
    uint32_t name = ReadLe32(entry);
    bool isNamed = (name & 0x80000000u) != 0;
    bool match = first || (wantedName ? isNamed && NameIs(pe, base, resourceSize, name & 0x7FFFFFFFu, wantedName)
                                      : !isNamed && name == wantedId);
    if (match) {
      *target = ReadLe32(entry + 4);
      return true;
    }
  }
  return false;
}

}  // namespace

bool FindPayloadResource(const uint8_t* file, size_t size, std::vector<uint8_t>* resource,
                         const char** reason) {
  *reason = "not a Windows executable (PE headers damaged)";
  PeFile pe{file, size, 0, 0};
  if (!pe.Has(0, 64) || file[0] != 'M' || file[1] != 'Z') return false;
  size_t header = ReadLe32(file + 0x3C);
  if (!pe.Has(header, 24) || ReadLe32(file + header) != 0x00004550u) return false;
  unsigned sectionCount = ReadLe16(file + header + 6);
  size_t optionalSize = ReadLe16(file + header + 20);
  size_t optional = header + 24;
  if (!pe.Has(optional, optionalSize) || optionalSize < 2) return false;
  uint16_t magic = ReadLe16(file + optional);
  size_t directories = magic == 0x10b ? 96 : magic == 0x20b ? 112 : 0;
  if (!directories || optionalSize < directories + 3 * 8) return false;
  pe.sections = optional + optionalSize;
  pe.sectionCount = sectionCount;
  if (!pe.Has(pe.sections, 40 * (size_t)sectionCount)) return false;

  *reason = "the executable has no \"ISDATA\" RCDATA resource";
  uint32_t resourceRva = ReadLe32(file + optional + directories + 16);
  uint32_t resourceSize = ReadLe32(file + optional + directories + 20);
  size_t base;
  if (resourceRva == 0 || !pe.FileOffset(resourceRva, 16, &base)) return false;

  uint32_t typeEntry, nameEntry, languageEntry;
  if (!FindEntry(pe, base, resourceSize, 0, kRcData, nullptr, false, &typeEntry) ||
      !(typeEntry & 0x80000000u))
    return false;
  if (!FindEntry(pe, base, resourceSize, typeEntry & 0x7FFFFFFFu, 0, "ISDATA", false, &nameEntry) ||
      !(nameEntry & 0x80000000u))
    return false;
  if (!FindEntry(pe, base, resourceSize, nameEntry & 0x7FFFFFFFu, 0, nullptr, true, &languageEntry) ||
      (languageEntry & 0x80000000u) || languageEntry > resourceSize || !pe.Has(base + languageEntry, 16))
    return false;

  *reason = "the \"ISDATA\" resource lies outside the file";
  const uint8_t* data = file + base + languageEntry;
  uint32_t dataRva = ReadLe32(data), dataSize = ReadLe32(data + 4);
  size_t dataOffset;
  if (!pe.FileOffset(dataRva, dataSize, &dataOffset)) return false;
  resource->assign(file + dataOffset, file + dataOffset + dataSize);
  return true;
}
