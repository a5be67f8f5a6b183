// Times ExtractPayload against a baseline that makes only the unavoidable calls (the same
// uncompress, CreateDirectoryW, CreateFileW, WriteFile, SetFileTime and CloseHandle) on
// records decoded beforehand. Runs alternate, each into a fresh directory; prints the
// median, minimum and maximum of each and the ratio of the medians. Asserts nothing.
//
//   extract_bench.exe IMAGE WORKDIR RUNS
//   extract_bench.exe --baseline-once IMAGE TARGET   the baseline once, for timing whole
//                                                    processes from outside
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>
#include <zlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "payload_extract.h"
#include "payload_format.h"

namespace {

struct PreparedRecord {
  std::wstring name;
  bool directory;
  FILETIME time;
  int method;
  const uint8_t* data;
  size_t dataLength;
  size_t room;
};

double Now() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return (double)counter.QuadPart / (double)frequency.QuadPart;
}

void Baseline(const std::vector<PreparedRecord>& records, const std::wstring& target) {
  CreateDirectoryW(target.c_str(), NULL);
  for (const PreparedRecord& r : records) {
    std::wstring path = target + L"\\" + r.name;
    if (r.directory) {
      CreateDirectoryW(path.c_str(), NULL);
      continue;
    }
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written;
    if (r.method == kMethodStored) {
      WriteFile(file, r.data, (DWORD)r.dataLength, &written, NULL);
    } else {
      uint8_t* out = (uint8_t*)malloc(r.room ? r.room : 1);
      uLongf length = (uLongf)r.room;
      uncompress(out, &length, r.data, (uLong)r.dataLength);
      WriteFile(file, out, (DWORD)length, &written, NULL);
      free(out);
    }
    SetFileTime(file, NULL, NULL, &r.time);
    CloseHandle(file);
  }
}

void Print(const char* what, std::vector<double> seconds) {
  std::sort(seconds.begin(), seconds.end());
  printf("%-10s median %8.2f ms  min %8.2f ms  max %8.2f ms  (%zu runs)\n", what,
         1000 * seconds[seconds.size() / 2], 1000 * seconds.front(), 1000 * seconds.back(),
         seconds.size());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: extract_bench IMAGE WORKDIR RUNS | --baseline-once IMAGE TARGET\n");
    return 2;
  }
  bool once = wcscmp(argv[1], L"--baseline-once") == 0;
  if (once) argv++;
  FILE* in = _wfopen(argv[1], L"rb");
  if (!in) return 2;
  std::vector<uint8_t> image;
  uint8_t buffer[65536];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, in)) > 0;) image.insert(image.end(), buffer, buffer + got);
  fclose(in);
  std::wstring work = argv[2];
  int runs = once ? 0 : _wtoi(argv[3]);

  uint8_t* stream;
  size_t length;
  if (!UnscramblePayload(image.data(), image.size(), &stream, &length)) return 2;
  std::vector<PreparedRecord> records;
  for (size_t cursor = 0; cursor < length;) {
    PayloadRecord r;
    const char* reason;
    if (!DecodeRecord(stream, length, cursor, &r, &reason)) return 2;
    PreparedRecord p;
    p.name.assign((const wchar_t*)r.name, r.nameUnits);  // wchar_t is UTF-16 here
    p.directory = r.type == kDirectoryRecord;
    p.time.dwLowDateTime = (DWORD)r.lastWriteTime;
    p.time.dwHighDateTime = (DWORD)(r.lastWriteTime >> 32);
    p.method = r.method;
    p.data = r.data;
    p.dataLength = r.dataLength;
    p.room = r.uncompressedSize > 0 ? (size_t)r.uncompressedSize : 0;
    records.push_back(p);
    cursor = r.next;
  }

  if (once) {
    CreateDirectoryChain(work.c_str());
    Baseline(records, work);
    return 0;
  }

  CreateDirectoryW(work.c_str(), NULL);
  std::vector<double> extract, baseline;
  for (int run = 0; run < runs; run++) {
    std::wstring a = work + L"\\extract" + std::to_wstring(run);
    std::wstring b = work + L"\\baseline" + std::to_wstring(run);
    double start = Now();
    bool ok = ExtractPayload(image.data(), image.size(), a.c_str());
    extract.push_back(Now() - start);
    start = Now();
    Baseline(records, b);
    baseline.push_back(Now() - start);
    if (!ok) {
      fprintf(stderr, "extraction failed\n");
      return 1;
    }
  }
  printf("image: %zu bytes, stream %zu bytes, %zu records\n", image.size(), length, records.size());
  Print("extract", extract);
  Print("baseline", baseline);
  std::sort(extract.begin(), extract.end());
  std::sort(baseline.begin(), baseline.end());
  printf("ratio extract/baseline (medians): %.3f\n", extract[runs / 2] / baseline[runs / 2]);
  free(stream);
  return 0;
}
