#include "install_application.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <stdint.h>
#include <wchar.h>

#include "payload_extract.h"

static const wchar_t kVersionTag[] = L"v1.1.0.0";
static const wchar_t kAppFolderName[] = L"Brenvelt";
static const wchar_t kPayloadResourceName[] = L"isdata";  // stored as "ISDATA"; names match without case
static const wchar_t kRecentKeyPath[] = L"Software\\Brenvelt\\Recent";
static const wchar_t kFirstTimePromptValue[] = L"FirstTimePrompt";
static const wchar_t kReadmeFileName[] = L"首次使用必看.txt";
static const wchar_t kAppExeName[] = L"Brenvelt.exe";

// The payload resource of this executable, with its size; null when it is missing.
static const uint8_t* FindPayload(DWORD* size) {
  HRSRC resource = FindResourceW(NULL, kPayloadResourceName, RT_RCDATA);
  if (!resource) return NULL;
  HGLOBAL loaded = LoadResource(NULL, resource);
  if (!loaded) return NULL;
  *size = SizeofResource(NULL, resource);
  return (const uint8_t*)LockResource(loaded);
}

static bool SetFirstTimePrompt() {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kRecentKeyPath, 0, NULL, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
    return false;
  DWORD one = 1;
  LONG status = RegSetValueExW(key, kFirstTimePromptValue, 0, REG_DWORD, (const BYTE*)&one, sizeof one);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

// Opens versionDir\name with the shell, without waiting. A name that would not fit is
// not launched at all, rather than opening the directory itself.
static void OpenInVersionDirectory(wchar_t* destination, size_t end, const wchar_t* name) {
  destination[end] = 0;
  if (PathAppendW(destination, name))
    ShellExecuteW(NULL, L"open", destination, NULL, NULL, SW_SHOWNORMAL);
}

bool InstallApplication() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wchar_t versionDir[100];
  wsprintfW(versionDir, L"app\\%s#%d.%d.%d.%d.%d.%d", kVersionTag, now.wYear, now.wMonth,
            now.wDay, now.wHour, now.wMinute, now.wSecond);

  wchar_t destination[MAX_PATH];
  if (!SHGetSpecialFolderPathW(NULL, destination, CSIDL_COMMON_APPDATA, FALSE)) return false;
  // A destination that does not fit must not leave the payload in the folder above it.
  if (!PathAppendW(destination, kAppFolderName) || !PathAppendW(destination, versionDir)) return false;

  DWORD size = 0;
  const uint8_t* image = FindPayload(&size);
  if (!image) return false;
  if (!ExtractPayload(image, size, destination)) return false;  // refuses a size mismatch too
  if (!SetFirstTimePrompt()) return false;

  // The notice first, then the application; neither is waited for.
  size_t end = wcslen(destination);
  OpenInVersionDirectory(destination, end, kReadmeFileName);
  OpenInVersionDirectory(destination, end, kAppExeName);
  return true;
}
