// Brenvelt Setup's entry point: no window of its own, one prompt while the application
// runs, one error box when the installation fails, exit code 0 in every case.
#include <windows.h>

#include "install_application.h"

static const wchar_t kMainWindowClass[] = L"Morlaine main window class";
static const wchar_t kPromptCaption[] = L"提示！";
static const wchar_t kPromptText[] =
    L"已有“Tavisk”在运行，请先退出它，然后再点“确定”按钮\r\n继续进行。也可以点“取消”按钮，退出本软件。";
static const wchar_t kErrorCaption[] = L"错误！";
static const wchar_t kErrorText[] =
    L"操作出错，或者文件数据有错误；请确认本软件的来源\r\n是否可靠。可以重启电脑后再次尝试；或者重新下载。";

// Installers are run from download folders, where a planted DLL must not be loaded in
// place of a system one. Looked up at run time: not every Windows 6.0 system has it.
static void RestrictDllSearchToSystem32() {
  typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  SetDefaultDllDirectoriesFunction setDefaultDllDirectories =
      kernel ? (SetDefaultDllDirectoriesFunction)(void*)GetProcAddress(kernel, "SetDefaultDllDirectories") : NULL;
  if (setDefaultDllDirectories) setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictDllSearchToSystem32();
  // Checked at start only; OK probes again at once, for as long as the window exists.
  while (FindWindowW(kMainWindowClass, NULL)) {
    if (MessageBoxW(NULL, kPromptText, kPromptCaption, MB_OKCANCEL | MB_ICONINFORMATION) != IDOK) return 0;
  }
  if (!InstallApplication()) MessageBoxW(NULL, kErrorText, kErrorCaption, MB_OK | MB_ICONINFORMATION);
  return 0;
}
