// Runs a program to its end and prints the peak memory Windows counted for it:
//   peak_memory.exe PROGRAM.exe   ->  "peak working set N bytes, peak private N bytes"
// The counters are read every millisecond while the program runs and the highest kept:
// under Wine they come from the live process and read as zero once it has ended.
#include <windows.h>
#include <psapi.h>

#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(argv[1], NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 2;
  SIZE_T peakWorkingSet = 0, peakPrivate = 0;
  do {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters)) {
      if (counters.PeakWorkingSetSize > peakWorkingSet) peakWorkingSet = counters.PeakWorkingSetSize;
      if (counters.PeakPagefileUsage > peakPrivate) peakPrivate = counters.PeakPagefileUsage;
    }
  } while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT);
  printf("peak working set %lu bytes, peak private %lu bytes\n", (unsigned long)peakWorkingSet,
         (unsigned long)peakPrivate);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
