// An MSVC-built host that loads QBSocks32.dll at run time: every export
// found by ordinal and by name at one address, InitSocksDLL listing the
// module once more with the class library, FreeLibrary leaving no record
// behind, and the description and version resource read back with
// Windows' own API.
#include "afxdll.h"
#include "host_checks.h"
#include "support/version_strings.h"

namespace {

const char kModule[] = "QBSocks32.dll";

// The export table: the name at each ordinal from 1.
const char* const kExports[] = {
#ifdef _WIN64
    "??0CSocks@@QEAA@XZ",
    "??1CSocks@@UEAA@XZ",
    "??_7CSocks@@6B@",
    "?AuthPasswd@CSocks@@IEAAHXZ",
    "?Connect@CSocks@@QEAAHPEBDI@Z",
    "?IsDNS@CSocks@@IEAAHPEBD@Z",
    "?MyMessageBox@CSocks@@IEAAHPEBD@Z",
    "?MyReceive@CSocks@@IEAAHPEAXHH@Z",
    "?ReadRegistry@CSocks@@IEAAXXZ",
    "?Socks4Connect@CSocks@@IEAAHPEBDI@Z",
    "?Socks5Connect@CSocks@@IEAAHPEBDI@Z",
    "InitSocksDLL",
#else
    "??0CSocks@@QAE@XZ",
    "??1CSocks@@UAE@XZ",
    "??_7CSocks@@6B@",
    "?AuthPasswd@CSocks@@IAEHXZ",
    "?Connect@CSocks@@QAEHPBDI@Z",
    "?IsDNS@CSocks@@IAEHPBD@Z",
    "?MyMessageBox@CSocks@@IAEHPBD@Z",
    "?MyReceive@CSocks@@IAEHPAXHH@Z",
    "?ReadRegistry@CSocks@@IAEXXZ",
    "?Socks4Connect@CSocks@@IAEHPBDI@Z",
    "?Socks5Connect@CSocks@@IAEHPBDI@Z",
    "InitSocksDLL",
#endif
};
const int kExportCount = sizeof(kExports) / sizeof(kExports[0]);

// Records listed for the module in the calling thread's class-library state.
UINT RecordsOf(HMODULE hModule) {
  HMODULE modules[16];
  const UINT nListed = AfxGetDynLinkModules(modules, 16);
  UINT nOfModule = 0;
  for (UINT i = 0; i < nListed && i < 16; ++i) {
    if (modules[i] == hModule) ++nOfModule;
  }
  return nOfModule;
}

void CheckLifecycle() {
  const HMODULE hModule = LoadLibraryA(kModule);
  if (!host::Check(hModule != NULL, "LoadLibraryA", "the module loads")) return;

  for (int nOrdinal = 1; nOrdinal <= kExportCount; ++nOrdinal) {
    const FARPROC pByOrdinal = GetProcAddress(hModule, MAKEINTRESOURCEA(nOrdinal));
    const FARPROC pByName = GetProcAddress(hModule, kExports[nOrdinal - 1]);
    host::Check(pByOrdinal != NULL && pByOrdinal == pByName, kExports[nOrdinal - 1],
                "the same address by ordinal and by name");
  }
  host::Check(GetProcAddress(hModule, MAKEINTRESOURCEA(kExportCount + 1)) == NULL, "export table",
              "nothing at the ordinal after the last");

  char szDescription[64] = "";
  host::Check(LoadStringA(hModule, 1, szDescription, sizeof(szDescription)) > 0 &&
                  strcmp(szDescription, QBSOCKS32_DESCRIPTION) == 0,
              "description", "string 1 of the module's string table");

  host::Check(RecordsOf(hModule) == 1, "process attach", "the module is listed once");
  typedef void(__cdecl * InitSocksDLLProc)(void);
  const InitSocksDLLProc pInitSocksDLL = reinterpret_cast<InitSocksDLLProc>(GetProcAddress(hModule, "InitSocksDLL"));
  if (pInitSocksDLL != NULL) pInitSocksDLL();
  host::Check(RecordsOf(hModule) == 2, "InitSocksDLL", "the module is listed once more");

  host::Check(FreeLibrary(hModule) != FALSE, "FreeLibrary", "succeeds");
  host::Check(GetModuleHandleA(kModule) == NULL, "FreeLibrary", "the module is unloaded");
  host::Check(RecordsOf(hModule) == 0, "FreeLibrary", "no record of the module is left");
}

void CheckVersionResource() {
  static BYTE data[4096];
  DWORD dwHandle = 0;
  const DWORD cbData = GetFileVersionInfoSizeA(kModule, &dwHandle);
  if (!host::Check(cbData != 0 && cbData <= sizeof(data) && GetFileVersionInfoA(kModule, 0, cbData, data),
                   "version resource", "GetFileVersionInfoA reads it")) {
    return;
  }
  VS_FIXEDFILEINFO* pFixed = NULL;
  UINT cbFixed = 0;
  host::Check(VerQueryValueA(data, "\\", reinterpret_cast<LPVOID*>(&pFixed), &cbFixed) &&
                  pFixed->dwFileVersionMS == kVersionMostSignificant &&
                  pFixed->dwFileVersionLS == kVersionLeastSignificant &&
                  pFixed->dwProductVersionMS == kVersionMostSignificant &&
                  pFixed->dwProductVersionLS == kVersionLeastSignificant,
              "version resource", "file and product version " QBSOCKS32_VERSION_DOTTED);
  for (const VersionString& entry : kVersionStrings) {
    char szPath[96];
    _snprintf(szPath, sizeof(szPath), "\\StringFileInfo\\040904b0\\%s", entry.lpszKey);
    szPath[sizeof(szPath) - 1] = '\0';
    char* lpszValue = NULL;
    UINT cchValue = 0;
    host::Check(VerQueryValueA(data, szPath, reinterpret_cast<LPVOID*>(&lpszValue), &cchValue) &&
                    strcmp(lpszValue, entry.lpszValue) == 0,
                entry.lpszKey, entry.lpszValue);
  }
}

}  // namespace

int QbMain() {
  CheckLifecycle();
  CheckVersionResource();
  return host::Finish();
}
