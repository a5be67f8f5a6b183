// A stand-in for Brenvelt, so that the installer has something real to install and the
// tests have something to find: while it runs it owns a top-level window of the class the
// installer probes for, titled "Brenvelt", and it shows a first-run text when
// HKCU\Software\Brenvelt\Recent "FirstTimePrompt" is 1.
//
// When BRENVELT_LAUNCH_LOG names a file, it appends "app <creation time> <flag>" to it,
// so that tests can tell when it was started and what it saw.
#include <windows.h>

#include <stdio.h>

static const wchar_t kMainWindowClass[] = L"Morlaine main window class";

static DWORD ReadFirstTimePrompt() {
  DWORD value = 0, size = sizeof value, type = 0;
  HKEY key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Brenvelt\\Recent", 0, KEY_READ, &key) != ERROR_SUCCESS)
    return 0;
  if (RegQueryValueExW(key, L"FirstTimePrompt", NULL, &type, (BYTE*)&value, &size) != ERROR_SUCCESS ||
      type != REG_DWORD)
    value = 0;
  RegCloseKey(key);
  return value;
}

static void AppendToLaunchLog(DWORD firstTimePrompt) {
  wchar_t log[MAX_PATH];
  if (!GetEnvironmentVariableW(L"BRENVELT_LAUNCH_LOG", log, MAX_PATH)) return;
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  char line[96];
  int length = snprintf(line, sizeof line, "app %llu %lu\r\n",
                        ((unsigned long long)created.dwHighDateTime << 32) | created.dwLowDateTime,
                        (unsigned long)firstTimePrompt);
  HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written;
  WriteFile(file, line, (DWORD)length, &written, NULL);
  CloseHandle(file);
}

static const wchar_t* g_text = L"Brenvelt";

static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT area;
      GetClientRect(window, &area);
      DrawTextW(dc, g_text, -1, &area, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  DWORD firstTimePrompt = ReadFirstTimePrompt();
  AppendToLaunchLog(firstTimePrompt);
  if (firstTimePrompt == 1) g_text = L"欢迎使用 Tavisk！这是首次运行。";

  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
  windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kMainWindowClass;
  if (!RegisterClassW(&windowClass)) return 1;
  HWND window = CreateWindowW(kMainWindowClass, L"Brenvelt", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 480, 200, NULL, NULL, instance, NULL);
  if (!window) return 1;
  ShowWindow(window, show);
  MSG message;
  while (GetMessageW(&message, NULL, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
