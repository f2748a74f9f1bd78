// An MSVC-built host of QBSocks32.dll, linked through QBSocks32.lib by the
// decorated names: a class of its own derived from CSocks, objects on the
// stack and on the heap, connects directly and through the Linux SOCKS
// servers that linux_servers.py starts around this program (their ports
// come in through the environment), with the settings in Wine's registry;
// connects on the thread of a window (support/window_host.h); and CSocks's
// virtual table against the class library's own members.
#include "QBSocks32.h"
#include "host_checks.h"
#include "support/window_host.h"

#include <stdlib.h>

#if __has_include("settings/proxy_settings.h")  // in the tree, not in the kit
#include "settings/proxy_settings.h"
static_assert(host::SameText(host::kProxyKey, qbsettings::kProxyKey), "the hosts' key is the library's");
#endif

namespace {

using host::kProxyKey;

// Counts the closes that CSocks makes through the virtual table.
class CCountingSocks : public CSocks {
 public:
  CCountingSocks(int* pnDestroyed = NULL) : m_nCloses(0), m_pnDestroyed(pnDestroyed) {}
  ~CCountingSocks() override {
    if (m_pnDestroyed != NULL) ++*m_pnDestroyed;
  }
  void Close() override {
    ++m_nCloses;
    CSocks::Close();
  }
  int m_nCloses;

 private:
  int* m_pnDestroyed;
};

// A port from linux_servers.py's environment; 0 when it is not there.
UINT PortFrom(const char* lpszVariable) {
  if (lpszVariable == NULL) return 0;
  const char* lpszValue = getenv(lpszVariable);
  return lpszValue != NULL ? static_cast<UINT>(atoi(lpszValue)) : 0;
}

// A port on 127.0.0.1 that refuses connections: one that was just free.
UINT RefusingPort() {
  CAsyncSocket probe;
  SOCKADDR_IN address;
  int nLength = sizeof(address);
  if (!probe.Create(0, SOCK_STREAM, 0, "127.0.0.1") ||
      !probe.GetSockName(reinterpret_cast<SOCKADDR*>(&address), &nLength)) {
    return 0;
  }
  return ntohs(address.sin_port);
}

void SetString(HKEY hKey, const char* lpszName, const char* lpszValue) {
  RegSetValueExA(hKey, lpszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(lpszValue),
                 static_cast<DWORD>(strlen(lpszValue) + 1));
}

void SetNumber(HKEY hKey, const char* lpszName, DWORD dwValue) {
  RegSetValueExA(hKey, lpszName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
}

// The six settings, in the current user's hive of Wine's registry.
bool WriteSettings(BOOL bEnable, UINT nPort, DWORD dwVersion, const char* lpszUser, const char* lpszPassword) {
  HKEY hKey = NULL;
  if (RegCreateKeyA(HKEY_CURRENT_USER, kProxyKey, &hKey) != ERROR_SUCCESS) return false;
  SetNumber(hKey, "ProxyEnable", static_cast<DWORD>(bEnable));
  SetString(hKey, "SocksServer", "127.0.0.1");
  SetNumber(hKey, "SocksPort", nPort);
  SetNumber(hKey, "SocksVersion", dwVersion);
  SetString(hKey, "UserName", lpszUser);
  SetString(hKey, "Password", lpszPassword);
  RegCloseKey(hKey);
  return true;
}

// Sends the bytes and reads them all back; true when they came back unchanged.
bool Echoes(CSocket& socket, const BYTE* pBytes, int nLength) {
  if (socket.Send(pBytes, nLength, 0) != nLength) return false;
  BYTE received[512];
  int nHave = 0;
  while (nHave < nLength) {
    const int nGot = socket.Receive(received + nHave, nLength - nHave, 0);
    if (nGot <= 0) return false;
    nHave += nGot;
  }
  return memcmp(received, pBytes, nLength) == 0;
}

struct Route {
  const char* lpszName;
  BOOL bProxy;
  const char* lpszPortVariable;  // the proxy's, from linux_servers.py
  DWORD dwVersion;
  const char* lpszTarget;
  const char* lpszUser;
  const char* lpszPassword;
  int nConnected;  // what Connect returns
};

// NULL user and password stand for the ones linux_servers.py gave microsocks.
const Route kRoutes[] = {
    {"direct", FALSE, NULL, 0, "127.0.0.1", "", "", 1},
    {"SOCKS4 through Dante", TRUE, "QBSOCKS_DANTE_PORT", 4, "127.0.0.1", "", "", 1},
    {"SOCKS5 through Dante, by name", TRUE, "QBSOCKS_DANTE_PORT", 5, "localhost", "", "", 1},
    {"SOCKS5 through microsocks", TRUE, "QBSOCKS_MICROSOCKS_PORT", 5, "127.0.0.1", "", "", 1},
    {"SOCKS5 through microsocks with a password", TRUE, "QBSOCKS_MICROSOCKS_AUTH_PORT", 5, "127.0.0.1", NULL, NULL,
     1},
    {"failure: the proxy refuses", TRUE, NULL, 5, "127.0.0.1", "", "", 0},
    {"failure: SOCKS4 and a name", TRUE, "QBSOCKS_DANTE_PORT", 4, "localhost", "", "", 0},
    {"failure: a wrong password", TRUE, "QBSOCKS_MICROSOCKS_AUTH_PORT", 5, "127.0.0.1", NULL, "wrong", 0},
};

void CheckRoute(const Route& route, UINT nEchoPort) {
  const char* lpszUser = route.lpszUser != NULL ? route.lpszUser : getenv("QBSOCKS_MICROSOCKS_USER");
  const char* lpszPassword = route.lpszPassword != NULL ? route.lpszPassword : getenv("QBSOCKS_MICROSOCKS_PASSWORD");
  const UINT nProxyPort = route.lpszPortVariable != NULL ? PortFrom(route.lpszPortVariable) : RefusingPort();
  if (!host::Check(WriteSettings(route.bProxy, nProxyPort, route.dwVersion, lpszUser != NULL ? lpszUser : "",
                                 lpszPassword != NULL ? lpszPassword : ""),
                   route.lpszName, "settings written to the registry")) {
    return;
  }

  CCountingSocks socks;
  host::Check(socks.Create() != FALSE, route.lpszName, "Create");
  const int nResult = socks.Connect(route.lpszTarget, nEchoPort);
  host::Check(nResult == route.nConnected, route.lpszName, "Connect's result");
  if (route.nConnected) {
    BYTE bytes[256];
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<BYTE>(255 - i);
    host::Check(Echoes(socks, bytes, sizeof(bytes)), route.lpszName, "all 256 byte values echoed unchanged");
    host::Check(socks.m_nCloses == 0, route.lpszName, "no close on success");
  } else {
    // Every failure of the proxy path closes through the virtual table, so
    // the override runs.
    host::Check(socks.m_nCloses >= 1, route.lpszName, "the Close override ran");
    host::Check(socks.m_hSocket == INVALID_SOCKET, route.lpszName, "the socket is closed");
  }
}

void CheckWindowHost() {
  for (const window_host::WindowCase& c : window_host::kWindowCases) {
    const window_host::WindowOutcome outcome =
        window_host::RunWindowCase(c, [](UINT nPort) { return WriteSettings(TRUE, nPort, 5, "", ""); });
    window_host::CheckWindowOutcome(c, outcome,
                                    [&](bool bOk, const char* lpszWhat) { host::Check(bOk, c.lpszName, lpszWhat); });
  }
}

// Objects made with new and destroyed with delete through a base pointer:
// the deleting destructor is QBSocks32's (or the host's own), the heap
// MSVCRT.DLL's on both sides.
void CheckHeapObjects() {
  CSocket* pPlain = new CSocks;
  host::Check(pPlain->Create() != FALSE, "new CSocks", "Create");
  const SOCKET hSocket = pPlain->m_hSocket;
  delete pPlain;
  int nType = 0;
  int nTypeLength = sizeof(nType);
  host::Check(getsockopt(hSocket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&nType), &nTypeLength) ==
                      SOCKET_ERROR &&
                  WSAGetLastError() == WSAENOTSOCK,
              "delete through CSocket*", "the destructor closed the socket");

  int nDestroyed = 0;
  CSocks* pDerived = new CCountingSocks(&nDestroyed);
  delete pDerived;
  host::Check(nDestroyed == 1, "delete a derived object through CSocks*", "the derived destructor ran once");
}

// The slots of CSocks's virtual table, in order, by the ordinal of the
// class library's member (the same on x86 and x64); 0 for CSocks's own
// destructor.
struct Slot {
  WORD nOrdinal;
  const char* pszMember;
};
const Slot kSlots[] = {
    {51, "CSocket::GetRuntimeClass"},
    {0, "CSocks's own destructor"},
    {75, "CObject::Serialize"},
    {33, "CObject::AssertValid"},
    {46, "CObject::Dump"},
    {23, "CSocket::Accept"},
    {39, "CSocket::Close"},
    {68, "CSocket::Receive"},
    {72, "CSocket::Send"},
    {64, "CAsyncSocket::OnReceive"},
    {65, "CAsyncSocket::OnSend"},
    {63, "CAsyncSocket::OnOutOfBandData"},
    {59, "CAsyncSocket::OnAccept"},
    {61, "CAsyncSocket::OnConnect"},
    {60, "CAsyncSocket::OnClose"},
    {43, "CSocket::ConnectHelper"},
    {70, "CSocket::ReceiveFromHelper"},
    {74, "CSocket::SendToHelper"},
    {62, "CSocket::OnMessagePending"},
    {66, "CSocket::PumpMessages"},
};

bool InsideModule(HMODULE hModule, const void* p) {
  const BYTE* pBase = reinterpret_cast<const BYTE*>(hModule);
  const IMAGE_NT_HEADERS* pHeaders =
      reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase)->e_lfanew);
  const BYTE* pByte = static_cast<const BYTE*>(p);
  return pByte >= pBase && pByte < pBase + pHeaders->OptionalHeader.SizeOfImage;
}

void CheckVirtualTable() {
  const HMODULE hModule = GetModuleHandleA("QBSocks32.dll");
  const HMODULE hClassLibrary = GetModuleHandleA("qbafx.dll");
  CSocks socks;
  const void* const* pTable = *reinterpret_cast<const void* const* const*>(&socks);
  host::Check(pTable == reinterpret_cast<const void* const*>(GetProcAddress(hModule, "??_7CSocks@@6B@")),
              "virtual table", "a CSocks points at the exported ??_7CSocks@@6B@");
  for (int i = 0; i < static_cast<int>(sizeof(kSlots) / sizeof(kSlots[0])); ++i) {
    char szCase[96];
    _snprintf(szCase, sizeof(szCase), "virtual table slot %d", i);
    szCase[sizeof(szCase) - 1] = '\0';
    const void* pTarget = host::CallTarget(pTable[i]);
    if (kSlots[i].nOrdinal == 0) {
      host::Check(InsideModule(hModule, pTarget), szCase, kSlots[i].pszMember);
    } else {
      const void* pMember =
          reinterpret_cast<const void*>(GetProcAddress(hClassLibrary, MAKEINTRESOURCEA(kSlots[i].nOrdinal)));
      host::Check(pMember != NULL && pTarget == pMember, szCase, kSlots[i].pszMember);
    }
  }
}

}  // namespace

int QbMain() {
  if (!host::Check(AfxSocketInit() != FALSE, "start-up", "AfxSocketInit")) return host::Finish();
  const UINT nEchoPort = PortFrom("QBSOCKS_ECHO_PORT");
  if (host::Check(nEchoPort != 0, "start-up", "QBSOCKS_ECHO_PORT set by linux_servers.py")) {
    for (const Route& route : kRoutes) CheckRoute(route, nEchoPort);
  }
  CheckWindowHost();
  CheckHeapObjects();
  CheckVirtualTable();
  return host::Finish();
}
