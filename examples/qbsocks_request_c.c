/* qbsocks_request_c: qbsocks_request in plain C, through the C interface
 * (qbsocks.h). Sends a request to HOST:PORT and prints the answer, read
 * until the server closes the connection, connecting directly or through
 * the SOCKS proxy that the user's settings name. The connect is bounded
 * (-t, in milliseconds; 10000 when not given), and Ctrl+C (or SIGTERM)
 * while it runs cancels it from another thread through a cancel handle;
 * once connected, Ctrl+C ends the program as usual. A failed connect
 * prints the library's reason and the facts behind it.
 *
 *   qbsocks_request_c [-t MS] HOST PORT [REQUEST]   (default: an HTTP/1.0 GET /)
 *
 * Linux:   cc qbsocks_request_c.c $(pkg-config --cflags --libs qbsocks) -pthread
 * Windows: cl /I KIT\c\include qbsocks_request_c.c KIT\c\lib\qbsocks.lib
 * or with CMake, examples/CMakeLists.txt. */
#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif
typedef SOCKET socket_t;
#define close_socket closesocket
#else
#define _POSIX_C_SOURCE 200809L /* pthread_sigmask, sigwait */
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int socket_t;
#define close_socket close
#endif

#include <qbsocks.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* ---- The cancel: the signal's thread and the connecting one ---- */

enum { CONNECTING, CANCELLED, CONNECT_RETURNED };
static int connect_state = CONNECTING;
static qbsocks_cancel* connect_cancel;

#ifdef _WIN32
static SRWLOCK state_lock = SRWLOCK_INIT;
#define LOCK_STATE() AcquireSRWLockExclusive(&state_lock)
#define UNLOCK_STATE() ReleaseSRWLockExclusive(&state_lock)
#else
static pthread_mutex_t state_lock = PTHREAD_MUTEX_INITIALIZER;
#define LOCK_STATE() pthread_mutex_lock(&state_lock)
#define UNLOCK_STATE() pthread_mutex_unlock(&state_lock)
#endif

/* Called on the thread that got Ctrl+C. Triggers the cancel while the
 * connect runs (under the lock, so that the handle is never triggered
 * after main freed it); says whether it did. Later Ctrl+C end the program. */
static int cancel_if_connecting(void) {
  int cancelled = 0;
  LOCK_STATE();
  if (connect_state == CONNECTING) {
    connect_state = CANCELLED;
    qbsocks_cancel_trigger(connect_cancel);
    cancelled = 1;
  }
  UNLOCK_STATE();
  return cancelled;
}

static void connect_returned(void) {
  LOCK_STATE();
  connect_state = CONNECT_RETURNED;
  UNLOCK_STATE();
}

#ifdef _WIN32
/* Windows runs a console's Ctrl+C handler on a thread of its own. */
static BOOL WINAPI on_console_control(DWORD event) {
  (void)event;
  return cancel_if_connecting() ? TRUE : FALSE; /* FALSE: the default, which ends the process */
}

static int watch_for_cancel(void) { return SetConsoleCtrlHandler(on_console_control, TRUE); }
#else
/* The signals are blocked in every thread and taken by this one with
 * sigwait: a signal handler could call nothing of the library's. */
static sigset_t cancel_signals;

static void* signal_thread(void* unused) {
  int signal_number = 0;
  (void)unused;
  for (;;) {
    if (sigwait(&cancel_signals, &signal_number) != 0 || cancel_if_connecting()) continue;
    /* Not connecting (any more): the signal's own action, which ends the process. */
    signal(signal_number, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &cancel_signals, NULL);
    raise(signal_number);
  }
  return NULL;
}

static int watch_for_cancel(void) {
  pthread_t thread;
  sigemptyset(&cancel_signals);
  sigaddset(&cancel_signals, SIGINT);
  sigaddset(&cancel_signals, SIGTERM);
  /* Before any thread starts, so that every thread inherits the mask. */
  if (pthread_sigmask(SIG_BLOCK, &cancel_signals, NULL) != 0) return 0;
  return pthread_create(&thread, NULL, signal_thread, NULL) == 0;
}
#endif

/* ---- The facts of a failed connect ---- */

static const char* step_name(int step) {
  static const char* const names[] = {"none",
                                      "reading the settings",
                                      "looking up the proxy's name",
                                      "connecting to the proxy",
                                      "the proxy's choice of method",
                                      "the user name and password",
                                      "asking the system for the user's name",
                                      "the CONNECT request",
                                      "the proxy's reply",
                                      "looking up the target's name",
                                      "connecting to the target"};
  return step >= 0 && step < (int)(sizeof names / sizeof names[0]) ? names[step] : "?";
}

static const char* cause_name(int cause) {
  static const char* const names[] = {"none",         "a system call failed",    "refused by the proxy",
                                      "a bad reply",  "closed by the proxy",     "no answer",
                                      "a bad target", "the settings unreadable", "timed out",
                                      "cancelled",    "a bad argument"};
  return cause >= 0 && cause < (int)(sizeof names / sizeof names[0]) ? names[cause] : "?";
}

static void print_failure(const char* host, unsigned int port, const qbsocks_outcome* outcome) {
  fprintf(stderr, "cannot reach %s:%u: %s\n", host, port, outcome->reason);
  fprintf(stderr, "  result %d, step %d (%s), cause %d (%s), proxy code %d, system error %ld\n", outcome->result,
          outcome->step, step_name(outcome->step), outcome->cause, cause_name(outcome->cause), outcome->proxy_code,
          (long)outcome->system_error);
}

/* ---- The request ---- */

static int send_all(socket_t connection, const char* data, size_t length) {
  while (length > 0) {
    int sent = (int)send(connection, data, (int)length, 0);
    if (sent <= 0) return 0;
    data += sent;
    length -= (size_t)sent;
  }
  return 1;
}

/* Sends the request and copies the answer to stdout until the server
 * closes. No half close before the answer is in: some proxies
 * (microsocks) drop the whole connection at the client's end of stream. */
static int exchange(socket_t connection, const char* request) {
  char buffer[4096];
  int received;
  if (!send_all(connection, request, strlen(request))) {
    fprintf(stderr, "cannot send the request\n");
    return 0;
  }
  while ((received = (int)recv(connection, buffer, (int)sizeof buffer, 0)) > 0)
    fwrite(buffer, 1, (size_t)received, stdout);
  if (received < 0) fprintf(stderr, "the answer broke off\n");
  return received == 0;
}

int main(int argc, char** argv) {
  unsigned int timeout_ms = 10000;
  int first = 1;
  if (argc > 2 && strcmp(argv[1], "-t") == 0) {
    timeout_ms = (unsigned int)strtoul(argv[2], NULL, 10);
    first = 3;
  }
  if (argc - first < 2 || argc - first > 3) {
    fprintf(stderr, "usage: %s [-t MS] HOST PORT [REQUEST]\n", argv[0]);
    return 2;
  }
  const char* host = argv[first];
  unsigned int port = (unsigned int)strtoul(argv[first + 1], NULL, 10);
  const char* request = argc - first == 3 ? argv[first + 2] : "GET / HTTP/1.0\r\n\r\n";

#ifdef _WIN32
  WSADATA wsa_data; /* the host starts the socket layer, never the library */
  if (WSAStartup(MAKEWORD(2, 2), &wsa_data) != 0) {
    fprintf(stderr, "cannot start the socket layer\n");
    return 1;
  }
#endif
  connect_cancel = qbsocks_cancel_create();
  if (!connect_cancel || !watch_for_cancel()) {
    fprintf(stderr, "cannot set up the cancel\n");
    return 1;
  }

  qbsocks_connect_options options = {sizeof options, timeout_ms, connect_cancel};
  qbsocks_outcome outcome;
  memset(&outcome, 0, sizeof outcome);
  outcome.size = sizeof outcome;
  uintptr_t handle = QBSOCKS_NO_HANDLE;
  /* Reads the settings, then connects, within the bound; Ctrl+C ends it. */
  int result = qbsocks_connect_ex(host, port, &options, &handle, &outcome);
  connect_returned();
  qbsocks_cancel_destroy(connect_cancel); /* no connect runs with it any more */
  if (result != QBSOCKS_OK) {
    print_failure(host, port, &outcome);
    return 1;
  }

  socket_t connection = (socket_t)handle; /* ours to close */
  int answered = exchange(connection, request);
  close_socket(connection);
  return answered ? 0 : 1;
}
