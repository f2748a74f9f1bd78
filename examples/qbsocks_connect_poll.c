/* qbsocks_connect_poll: a connect that the program's own poll() loop
 * drives (qbsocks_connect_start, qbsocks_connect_poll,
 * qbsocks_connect_finish), so that no thread of the program waits for the
 * proxy. Sends a request to HOST:PORT, directly or through the SOCKS proxy
 * that the user's settings name, and prints the first line of the answer.
 * The connect is bounded (-t, in milliseconds; 10000 when not given).
 *
 *   qbsocks_connect_poll [-t MS] HOST PORT [REQUEST]   (default: an HTTP/1.0 GET /)
 *
 * Linux:   cc qbsocks_connect_poll.c $(pkg-config --cflags --libs qbsocks)
 * Windows: cl /I KIT\c\include qbsocks_connect_poll.c KIT\c\lib\qbsocks.lib
 * or with CMake, examples/CMakeLists.txt. On Windows the loop is WSAPoll's
 * (Vista and later); before Windows 10 version 2004 WSAPoll does not report
 * a refused connect, so the loop honours the wait's timeout_ms (half a
 * second at most during the TCP connect): the next poll finds it out. */
#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600 /* WSAPoll */
#endif
#include <winsock2.h>
#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif
typedef SOCKET socket_t;
#define poll WSAPoll
#define poll_failed(count) ((count) < 0)
#define close_socket closesocket
#else
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int socket_t;
#define poll_failed(count) ((count) < 0 && errno != EINTR)
#define close_socket close
#endif

#include <qbsocks.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The loop: poll() waits for what the connect waits for, and the connect
 * moves on whether the socket became ready or the time ran out (it looks
 * at its bound itself). A program's real loop watches its other sockets
 * and timers in the same poll(). */
static int connect_in_loop(qbsocks_connecting* connecting, uintptr_t* handle, qbsocks_outcome* outcome) {
  qbsocks_wait wait;
  while (qbsocks_connect_poll(connecting, &wait) == QBSOCKS_IN_PROGRESS) {
    struct pollfd watched; /* WSAPOLLFD on Windows */
    watched.fd = (socket_t)wait.socket;
    watched.events = wait.events == QBSOCKS_WAIT_READABLE ? POLLIN : POLLOUT;
    watched.revents = 0;
    int timeout = wait.timeout_ms == QBSOCKS_WAIT_FOREVER ? -1 : (int)wait.timeout_ms;
    if (poll_failed(poll(&watched, 1, timeout))) break; /* finish gives the connect up */
  }
  return qbsocks_connect_finish(connecting, handle, outcome);
}

/* Sends the request, then prints what arrives up to the first line's end. */
static int print_first_line(socket_t connection, const char* request) {
  char line[1024];
  size_t length = 0;
  if (send(connection, request, (int)strlen(request), 0) != (int)strlen(request)) return 0;
  while (length < sizeof line - 1 && !memchr(line, '\n', length)) {
    int received = (int)recv(connection, line + length, (int)(sizeof line - 1 - length), 0);
    if (received <= 0) break;
    length += (size_t)received;
  }
  if (length == 0) return 0;
  line[length] = '\0';
  line[strcspn(line, "\r\n")] = '\0';
  printf("%s\n", line);
  return 1;
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
  if (WSAStartup(MAKEWORD(2, 2), &wsa_data) != 0) return 1;
#endif
  qbsocks_connect_options options = {sizeof options, timeout_ms, NULL};
  qbsocks_connecting* connecting = qbsocks_connect_start(host, port, &options); /* returns at once */
  if (!connecting) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }
  qbsocks_outcome outcome = {.size = sizeof outcome};
  uintptr_t handle = QBSOCKS_NO_HANDLE;
  if (connect_in_loop(connecting, &handle, &outcome) != QBSOCKS_OK) {
    fprintf(stderr, "cannot reach %s:%u: %s (result %d, step %d, cause %d)\n", host, port, outcome.reason,
            outcome.result, outcome.step, outcome.cause);
    return 1;
  }

  /* Ours to close, in blocking mode: a loop program makes it non-blocking
   * for its loop; this one sends and reads with blocking calls. */
  socket_t connection = (socket_t)handle;
  int answered = print_first_line(connection, request);
  if (!answered) fprintf(stderr, "no answer\n");
  close_socket(connection);
  return answered ? 0 : 1;
}
