// An MFC dialog that connects through the user's proxy settings with
// QBSocks32's C interface, the way an MFC application should:
//
// - the connect runs on a worker thread (it blocks for as long as the
//   proxy takes, up to the bound given here), so the dialog stays live, and
//   its Cancel button ends it at once through a cancel handle;
// - the worker hands the raw SOCKET (or the library's reason) back to the
//   UI thread with PostMessage, because an MFC socket object belongs to the
//   thread that made it;
// - the UI thread Attaches the socket to an object it never Create()d: a
//   CSocket for blocking use, or a CAsyncSocket, which gets no OnConnect
//   for a socket that is already connected (its OnReceive/OnSend follow);
// - the project is Unicode, as Visual Studio makes it: the host text goes
//   to qbsocks_connect_timeout as 8-bit text, a name beyond ASCII in its
//   IDNA form (IdnToAscii), and the reason comes back as CStringA.
//
// In a Visual Studio project, afxwin.h and afxsock.h belong in pch.h, and
// the application calls AfxSocketInit() in InitInstance. The resource
// (IDD_CONNECT with IDC_HOST, IDC_PORT, IDC_CONNECT, IDC_CANCEL_CONNECT,
// IDC_STATUS, IDC_USE_ASYNC) is the
// project's own. The kit's build of this file uses a stand-in for MFC's
// headers (a few declarations: MFC itself is not on the build machine),
// so it is compiled there but never linked or run.
#include <afxwin.h>
#include <afxsock.h>  // MFC's CSocket, CAsyncSocket, AfxSocketInit
#include <qbsocks.h>  // after MFC's headers: it includes none of them

#include "resource.h"

// Posted to the dialog by the worker: wParam the SOCKET, lParam the
// reason (a CStringA* the dialog deletes) when the connect failed, a
// cancelled one included.
constexpr UINT WM_APP_CONNECTED = WM_APP + 1;
constexpr unsigned int kConnectBoundMs = 15000;

// What the worker needs; it owns this and deletes it. The cancel handle is
// the dialog's while its window lives; the worker frees it when the window
// is gone.
struct ConnectJob {
  HWND hDialog;
  CStringA host;  // 8-bit, IDNA for names beyond ASCII
  unsigned int port;
  qbsocks_cancel* cancel;
};

// The host text for the library: a Unicode name becomes its ASCII (IDNA)
// form, which is what a proxy or the system's resolver expects.
static CStringA HostForLibrary(const CString& host) {
  WCHAR ascii[256];
  int length = IdnToAscii(0, host, host.GetLength(), ascii, 255);
  if (length <= 0) return CStringA(CT2A(host));  // left for the library to refuse, with its reason
  ascii[length] = L'\0';
  return CStringA(CW2A(ascii));
}

static UINT ConnectWorker(LPVOID parameter) {
  ConnectJob* job = static_cast<ConnectJob*>(parameter);
  uintptr_t socket = QBSOCKS_NO_HANDLE;
  qbsocks_connect_options options = {sizeof options, kConnectBoundMs, job->cancel};
  qbsocks_outcome outcome = {};
  outcome.size = sizeof outcome;
  // Blocks this worker only; the settings are read afresh at every call.
  int result = qbsocks_connect_ex(job->host, job->port, &options, &socket, &outcome);
  CStringA* failure = result == QBSOCKS_OK ? nullptr : new CStringA(outcome.reason);
  if (!::PostMessage(job->hDialog, WM_APP_CONNECTED, static_cast<WPARAM>(socket),
                     reinterpret_cast<LPARAM>(failure))) {
    // The dialog is gone: nothing else owns the socket or the handle now.
    if (socket != QBSOCKS_NO_HANDLE) ::closesocket(static_cast<SOCKET>(socket));
    delete failure;
    qbsocks_cancel_destroy(job->cancel);
  }
  delete job;
  return 0;
}

// Told of data once attached; it never gets OnConnect (already connected).
class CEchoSocket : public CAsyncSocket {
 public:
  void OnReceive(int nErrorCode) override {
    char buffer[512];
    if (nErrorCode == 0) Receive(buffer, sizeof buffer);
    CAsyncSocket::OnReceive(nErrorCode);
  }
};

class CConnectDlg : public CDialog {
 public:
  CConnectDlg() : CDialog(IDD_CONNECT) {}

 protected:
  afx_msg void OnConnectClicked() {
    CString host, port;
    GetDlgItemText(IDC_HOST, host);
    GetDlgItemText(IDC_PORT, port);
    if (m_pCancel) return;  // one connect at a time
    m_pCancel = qbsocks_cancel_create();
    if (!m_pCancel) return;
    ConnectJob* job =
        new ConnectJob{GetSafeHwnd(), HostForLibrary(host), static_cast<unsigned int>(_ttoi(port)), m_pCancel};
    SetDlgItemText(IDC_STATUS, _T("Connecting..."));
    if (!AfxBeginThread(ConnectWorker, job)) {
      delete job;
      qbsocks_cancel_destroy(m_pCancel);
      m_pCancel = nullptr;
    }
  }

  // Ends the connect within tens of milliseconds (a name lookup of the
  // system's excepted); the worker then posts QBSOCKS_CANCELLED's reason.
  afx_msg void OnCancelConnectClicked() {
    qbsocks_cancel_trigger(m_pCancel);  // NULL: no connect runs
  }

  // The window goes: the worker is told to stop, and frees the handle
  // itself when its PostMessage fails.
  afx_msg void OnDestroy() {
    qbsocks_cancel_trigger(m_pCancel);
    m_pCancel = nullptr;
    CDialog::OnDestroy();
  }

  afx_msg LRESULT OnConnected(WPARAM wParam, LPARAM lParam) {
    // The worker is done with the handle once it has posted this.
    qbsocks_cancel_destroy(m_pCancel);
    m_pCancel = nullptr;
    CStringA* failure = reinterpret_cast<CStringA*>(lParam);
    if (failure) {
      SetDlgItemText(IDC_STATUS, CString(*failure));  // the library's own words
      delete failure;
      return 0;
    }
    SOCKET socket = static_cast<SOCKET>(wParam);
    // Attach on this, the owning thread, to an object never Create()d.
    BOOL attached = IsDlgButtonChecked(IDC_USE_ASYNC) ? m_asyncSocket.Attach(socket) : m_socket.Attach(socket);
    if (!attached) {
      ::closesocket(socket);
      SetDlgItemText(IDC_STATUS, _T("Connected, but the socket could not be attached"));
      return 0;
    }
    SetDlgItemText(IDC_STATUS, _T("Connected"));
    return 0;
  }

  DECLARE_MESSAGE_MAP()

 private:
  CSocket m_socket;
  CEchoSocket m_asyncSocket;
  qbsocks_cancel* m_pCancel = nullptr;  // the running connect's, or NULL
};

BEGIN_MESSAGE_MAP(CConnectDlg, CDialog)
ON_BN_CLICKED(IDC_CONNECT, &CConnectDlg::OnConnectClicked)
ON_BN_CLICKED(IDC_CANCEL_CONNECT, &CConnectDlg::OnCancelConnectClicked)
ON_WM_DESTROY()
ON_MESSAGE(WM_APP_CONNECTED, &CConnectDlg::OnConnected)
END_MESSAGE_MAP()
