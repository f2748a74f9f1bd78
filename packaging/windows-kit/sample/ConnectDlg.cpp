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
//   the previous connect's socket is closed first;
// - nothing leaks when the window goes during a connect: the dialog and
//   the worker share the connect's state, and whichever lets go last frees
//   it, with a socket nobody took and the cancel handle;
// - the project is Unicode, as Visual Studio makes it: the host text goes
//   to the library as 8-bit text, a name beyond ASCII in its IDNA form
//   (IdnToAscii, from Normaliz.lib), and the reason comes back as CStringA.
//
// In a new Visual Studio MFC project (precompiled headers on, pch.h): add
// ConnectDlg.cpp, ConnectDlg.h, ConnectDlgRes.h and ConnectDlg.rc to it;
// have framework.h include <afxsock.h> (the wizard's "Windows sockets"
// does) and InitInstance call AfxSocketInit(); add QBSocks32.props; then
// `CConnectDlg dlg; dlg.DoModal();` where the dialog should show. The kit's
// build of this file uses a stand-in for MFC's headers (a few
// declarations: MFC itself is not on the build machine), so it is compiled
// there but never linked or run.
#include "pch.h"      // first: the wizard's /Yu"pch.h" skips all before it
#include <qbsocks.h>  // after MFC's headers (pch.h): it includes none of them

#include "ConnectDlg.h"

#pragma comment(lib, "Normaliz.lib")  // IdnToAscii

// Posted to the dialog by the worker when the connect has returned; lParam
// is the ConnectJob, which holds the result.
constexpr UINT WM_APP_CONNECTED = WM_APP + 1;
constexpr unsigned int kConnectBoundMs = 15000;

// One connect, shared by the dialog and its worker, each holding a
// reference. The window may go before the worker ends (a message posted
// then is never delivered) or after: the last reference frees the job,
// closing a socket that nobody took and freeing the cancel handle, which
// no connect uses by then.
struct ConnectJob {
  ConnectJob(HWND hDialog, const CStringA& host, unsigned int port, qbsocks_cancel* cancel)
      : hDialog(hDialog), host(host), port(port), cancel(cancel) {}
  ~ConnectJob() {
    if (socket != QBSOCKS_NO_HANDLE) ::closesocket(static_cast<SOCKET>(socket));
    qbsocks_cancel_destroy(cancel);
  }

  volatile LONG references = 2;  // the dialog's and the worker's
  const HWND hDialog;
  const CStringA host;  // 8-bit, IDNA for names beyond ASCII
  const unsigned int port;
  qbsocks_cancel* const cancel;
  // Written by the worker before it posts WM_APP_CONNECTED.
  uintptr_t socket = QBSOCKS_NO_HANDLE;
  CStringA reason;
};

static void ReleaseJob(ConnectJob* job) {
  if (::InterlockedDecrement(&job->references) == 0) delete job;
}

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
  qbsocks_connect_options options = {sizeof options, kConnectBoundMs, job->cancel};
  qbsocks_outcome outcome = {};
  outcome.size = sizeof outcome;
  uintptr_t socket = QBSOCKS_NO_HANDLE;
  // Blocks this worker only; the settings are read afresh at every call.
  if (qbsocks_connect_ex(job->host, job->port, &options, &socket, &outcome) != QBSOCKS_OK)
    job->reason = outcome.reason;
  job->socket = socket;
  ::PostMessage(job->hDialog, WM_APP_CONNECTED, 0, reinterpret_cast<LPARAM>(job));
  ReleaseJob(job);
  return 0;
}

void CEchoSocket::OnReceive(int nErrorCode) {
  char buffer[512];
  if (nErrorCode == 0) Receive(buffer, sizeof buffer);
  CAsyncSocket::OnReceive(nErrorCode);
}

CConnectDlg::CConnectDlg(CWnd* pParent) : CDialog(IDD, pParent) {}

void CConnectDlg::OnConnectClicked() {
  if (m_pJob) return;  // one connect at a time
  CString host, port;
  GetDlgItemText(IDC_CONNECT_HOST, host);
  GetDlgItemText(IDC_CONNECT_PORT, port);
  qbsocks_cancel* cancel = qbsocks_cancel_create();
  if (!cancel) return;
  m_pJob = new ConnectJob(GetSafeHwnd(), HostForLibrary(host), static_cast<unsigned int>(_ttoi(port)), cancel);
  if (!AfxBeginThread(ConnectWorker, m_pJob)) {
    ReleaseJob(m_pJob);  // the worker's, which never ran
    ReleaseJob(m_pJob);
    m_pJob = nullptr;
    SetDlgItemText(IDC_CONNECT_STATUS, _T("Cannot start the connect's thread"));
    return;
  }
  SetDlgItemText(IDC_CONNECT_STATUS, _T("Connecting..."));
}

// Ends the connect within tens of milliseconds (a name lookup of the
// system's excepted); the worker then posts QBSOCKS_CANCELLED's reason.
void CConnectDlg::OnCancelConnectClicked() {
  if (m_pJob) qbsocks_cancel_trigger(m_pJob->cancel);
}

// The window goes: the worker is told to stop, and the dialog lets go of
// the job; the worker's release, or this one, frees it.
void CConnectDlg::OnDestroy() {
  if (m_pJob) {
    qbsocks_cancel_trigger(m_pJob->cancel);
    ReleaseJob(m_pJob);
    m_pJob = nullptr;
  }
  CDialog::OnDestroy();
}

LRESULT CConnectDlg::OnConnected(WPARAM, LPARAM lParam) {
  ConnectJob* job = m_pJob;
  if (!job || reinterpret_cast<ConnectJob*>(lParam) != job) return 0;  // not the running connect's
  m_pJob = nullptr;
  SOCKET hSocket = static_cast<SOCKET>(job->socket);
  job->socket = QBSOCKS_NO_HANDLE;  // the dialog's now
  CString reason(job->reason);
  ReleaseJob(job);
  if (hSocket == INVALID_SOCKET) {
    SetDlgItemText(IDC_CONNECT_STATUS, reason);  // the library's own words
    return 0;
  }
  AttachConnected(hSocket);
  return 0;
}

// On this, the owning thread, to an object never Create()d.
void CConnectDlg::AttachConnected(SOCKET hSocket) {
  m_socket.Close();  // the previous connect's, if any: Attach takes an empty object
  m_asyncSocket.Close();
  const bool useAsync = IsDlgButtonChecked(IDC_CONNECT_USE_ASYNC) == BST_CHECKED;
  if (useAsync ? m_asyncSocket.Attach(hSocket) : m_socket.Attach(hSocket)) {
    SetDlgItemText(IDC_CONNECT_STATUS, _T("Connected"));
    return;
  }
  // A failed Attach (its event selection failed) leaves the handle in the
  // object: the base's Close closes it and empties the object.
  CAsyncSocket& target = useAsync ? static_cast<CAsyncSocket&>(m_asyncSocket) : m_socket;
  target.CAsyncSocket::Close();
  SetDlgItemText(IDC_CONNECT_STATUS, _T("Connected, but the socket could not be attached"));
}

BEGIN_MESSAGE_MAP(CConnectDlg, CDialog)
ON_BN_CLICKED(IDC_CONNECT_START, &CConnectDlg::OnConnectClicked)
ON_BN_CLICKED(IDC_CONNECT_CANCEL, &CConnectDlg::OnCancelConnectClicked)
ON_WM_DESTROY()
ON_MESSAGE(WM_APP_CONNECTED, &CConnectDlg::OnConnected)
END_MESSAGE_MAP()
