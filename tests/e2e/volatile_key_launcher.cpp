// Makes the installer's registry key impossible to create, then runs the installer:
// HKCU\Software\Brenvelt is created volatile, and Windows refuses a non-volatile key
// (Recent) beneath a volatile one. The key lives as long as the registry server, so the
// installer is started from here, while this process keeps the server alive.
//   volatile_key_launcher.exe INSTALLER.exe      exit code: the installer's, or 100+
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 100;
  HKEY key;
  DWORD disposition;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Brenvelt", 0, NULL, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                      NULL, &key, &disposition) != ERROR_SUCCESS ||
      disposition != REG_CREATED_NEW_KEY)
    return 101;
  RegCloseKey(key);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessW(argv[1], NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return 102;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 103;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (int)code;
}
