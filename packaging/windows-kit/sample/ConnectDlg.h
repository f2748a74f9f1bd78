// CConnectDlg: the sample dialog (ConnectDlg.cpp says what it shows).
// Included after the project's pch.h, which brings MFC's afxwin.h and
// afxsock.h, as the Visual Studio wizard's headers are.
#pragma once
#include "ConnectDlgRes.h"

struct ConnectJob;

// Told of data once attached; it never gets OnConnect (already connected).
class CEchoSocket : public CAsyncSocket {
 public:
  void OnReceive(int nErrorCode) override;
};

class CConnectDlg : public CDialog {
 public:
  enum { IDD = IDD_CONNECT };
  explicit CConnectDlg(CWnd* pParent = nullptr);

 protected:
  afx_msg void OnConnectClicked();
  afx_msg void OnCancelConnectClicked();
  afx_msg void OnDestroy();
  afx_msg LRESULT OnConnected(WPARAM wParam, LPARAM lParam);
  DECLARE_MESSAGE_MAP()

 private:
  void AttachConnected(SOCKET hSocket);

  CSocket m_socket;
  CEchoSocket m_asyncSocket;
  ConnectJob* m_pJob = nullptr;  // the running connect's, or NULL
};
