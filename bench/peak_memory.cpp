// Runs a program to its end and prints the peak memory Windows counted for it:
//   peak_memory.exe PROGRAM.exe   ->  "peak working set N bytes, peak private N bytes"
#include <windows.h>
#include <psapi.h>

#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(argv[1], NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 2;
  WaitForSingleObject(process.hProcess, INFINITE);
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters)) return 2;
  printf("peak working set %lu bytes, peak private %lu bytes\n", (unsigned long)counters.PeakWorkingSetSize,
         (unsigned long)counters.PeakPagefileUsage);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
