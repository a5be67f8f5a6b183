#include "payload_extract.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <zlib.h>

#include "payload_format.h"

void CreateDirectoryChain(const wchar_t* targetDir) {
  wchar_t fullPath[MAX_PATH];
  DWORD length = GetFullPathNameW(targetDir, MAX_PATH, fullPath, NULL);
  if (length == 0 || length >= MAX_PATH) {
    if (wcslen(targetDir) >= MAX_PATH) return;
    wcscpy(fullPath, targetDir);
  }

  // Skip what cannot be created: a UNC server name, a drive, the root.
  wchar_t* level = fullPath;
  if (wchar_t* unc = wcsstr(level, L"\\\\")) level = unc + 2;
  if (wchar_t* colon = wcschr(level, L':')) level = colon + 1;
  if (wchar_t* root = wcschr(level, L'\\')) level = root + 1;

  for (wchar_t* separator = wcschr(level, L'\\'); separator; separator = wcschr(separator + 1, L'\\')) {
    *separator = 0;
    BOOL made = CreateDirectoryW(fullPath, NULL);
    DWORD error = GetLastError();
    *separator = L'\\';
    if (!made && error != ERROR_ALREADY_EXISTS) return;
  }
  CreateDirectoryW(fullPath, NULL);
}

// Writes all of bytes with one call; a short write (a full disk) is a failure.
static bool WriteWhole(HANDLE file, const uint8_t* bytes, size_t length) {
  if (length == 0) return true;
  DWORD written = 0;
  return WriteFile(file, bytes, (DWORD)length, &written, NULL) && written == length;
}

// The bytes of one file record, inflated when it is zlib. Corrupt data, a wrong
// Adler-32, output longer than uncompressedSize or no memory all fail.
static bool WriteFileContents(HANDLE file, const PayloadRecord& record) {
  if (record.method == kMethodStored) return WriteWhole(file, record.data, record.dataLength);
  if (record.dataSize <= 0) return true;
  size_t room = (size_t)record.uncompressedSize;
  uint8_t* inflated = (uint8_t*)malloc(room ? room : 1);
  if (!inflated) return false;
  uLongf produced = (uLongf)room;
  bool ok = uncompress(inflated, &produced, record.data, (uLong)record.dataLength) == Z_OK &&
            WriteWhole(file, inflated, produced);
  free(inflated);
  return ok;
}

static bool ExtractFile(const wchar_t* path, const PayloadRecord& record) {
  HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteFileContents(file, record);
  if (ok) {
    // Stamped after the data, so that writing does not move it.
    FILETIME lastWrite;
    lastWrite.dwLowDateTime = (DWORD)record.lastWriteTime;
    lastWrite.dwHighDateTime = (DWORD)(record.lastWriteTime >> 32);
    SetFileTime(file, NULL, NULL, &lastWrite);
  }
  CloseHandle(file);
  return ok;
}

// The one place a record's name is joined to the target: target, backslash, name. The
// validator has refused names that are rooted, climb out or name devices; the bound of
// the buffer is checked again here, where it is written.
static bool JoinRecordPath(wchar_t* recordPath, size_t end, const PayloadRecord& record) {
  if (end + 1 + record.nameUnits + 1 > MAX_PATH) return false;
  recordPath[end] = L'\\';
  memcpy(recordPath + end + 1, record.name, 2 * record.nameUnits);  // UTF-16LE, maybe unaligned
  recordPath[end + 1 + record.nameUnits] = 0;
  return true;
}

bool ExtractPayload(const uint8_t* image, size_t imageSize, const wchar_t* targetDir) {
  if (!image || !targetDir) return false;
  if (!CheckPayloadHeader(image, imageSize, NULL)) return false;
  uint8_t* stream = NULL;
  size_t length = 0;
  if (!UnscramblePayload(image, imageSize, &stream, &length)) return false;

  size_t end = wcslen(targetDir);  // E: where each record's name is joined to the target
  bool ok = ValidateRecordStream(stream, length, end, NULL);
  if (ok) {
    if (end > 0) CreateDirectoryChain(targetDir);
    wchar_t recordPath[MAX_PATH];
    wmemcpy(recordPath, targetDir, end);
    for (size_t cursor = 0; ok && cursor < length;) {
      PayloadRecord record;
      const char* reason;
      DecodeRecord(stream, length, cursor, &record, &reason);  // validated above
      if (!JoinRecordPath(recordPath, end, record))
        ok = false;
      else if (record.type == kDirectoryRecord)
        CreateDirectoryW(recordPath, NULL);  // a missing one shows when a file inside fails
      else
        ok = ExtractFile(recordPath, record);
      cursor = record.next;
    }
  }
  free(stream);
  return ok;
}
