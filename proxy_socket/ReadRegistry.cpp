// CSocks::ReadRegistry: the settings read of settings/proxy_settings.cpp
// into CSocks's fields, and its report when the store cannot be read. Apart from the
// read itself, which the C interface's module links without CSocks.
#include "CSocks.h"
#include "settings/proxy_settings.h"

#include <string.h>

void CSocks::ReadRegistry() {
  const LONG lUnread = ReadSettings();
  if (lUnread != ERROR_SUCCESS) ReportUnreadableSettings(lUnread);
}

void CSocks::ReportUnreadableSettings(LONG lError) {
  char szText[128];
  DescribeUnreadableSettings(lError, szText, sizeof(szText));
  MyMessageBox(szText);
}

// The fields go through the plain read and come back; its copy of the
// password is wiped.
LONG CSocks::ReadSettings() {
  using namespace qbsettings;
  static_assert(sizeof(m_szSocksServer) == sizeof(ProxySettings::szServer) &&
                    sizeof(m_szUserName) == sizeof(ProxySettings::szUserName) &&
                    sizeof(m_szPassword) == sizeof(ProxySettings::szPassword),
                "the string fields are as wide as the settings say");
  static_assert(sizeof(m_nSocksPort) == sizeof(DWORD) && sizeof(m_bProxyEnable) == sizeof(DWORD),
                "number fields are 32 bits");
  ProxySettings settings;
  memcpy(settings.szServer, m_szSocksServer, sizeof(m_szSocksServer));
  settings.dwPort = m_nSocksPort;
  settings.dwVersion = m_nSocksVersion;
  memcpy(settings.szUserName, m_szUserName, sizeof(m_szUserName));
  memcpy(settings.szPassword, m_szPassword, sizeof(m_szPassword));
  const LONG lUnread = ReadProxySettings(&settings, kReadPassword);
  memcpy(m_szSocksServer, settings.szServer, sizeof(m_szSocksServer));
  m_nSocksPort = settings.dwPort;
  m_nSocksVersion = settings.dwVersion;
  memcpy(m_szUserName, settings.szUserName, sizeof(m_szUserName));
  memcpy(m_szPassword, settings.szPassword, sizeof(m_szPassword));
  m_bProxyEnable = static_cast<BOOL>(settings.dwEnable);
  SecureZeroMemory(settings.szPassword, sizeof(settings.szPassword));
  return lUnread;
}
