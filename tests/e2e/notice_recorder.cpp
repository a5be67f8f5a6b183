// Stands in for the text viewer in the end-to-end tests: registered as the program that
// opens .txt files, it appends "notice <creation time> <path>" to BRENVELT_LAUNCH_LOG,
// so that a test can tell that the notice was opened, which one, and when.
#include <windows.h>

#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  wchar_t log[MAX_PATH];
  if (argc < 2 || !GetEnvironmentVariableW(L"BRENVELT_LAUNCH_LOG", log, MAX_PATH)) return 1;
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  char path[4 * MAX_PATH];
  if (!WideCharToMultiByte(CP_UTF8, 0, argv[1], -1, path, sizeof path, NULL, NULL)) return 1;
  char line[sizeof path + 64];
  int length = snprintf(line, sizeof line, "notice %llu %s\r\n",
                        ((unsigned long long)created.dwHighDateTime << 32) | created.dwLowDateTime, path);
  HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 1;
  DWORD written;
  WriteFile(file, line, (DWORD)length, &written, NULL);
  CloseHandle(file);
  return 0;
}
