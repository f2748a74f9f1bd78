/* qbsocks_connect_async: several connects at once, each carried out by the
 * library's own thread and ended by a callback (qbsocks_connect_async),
 * directly or through the SOCKS proxy that the user's settings name. The
 * program's thread only waits until every callback has run, then prints
 * each outcome in the order given and closes the sockets it got. Each
 * connect is bounded (-t, in milliseconds; 10000 when not given).
 *
 *   qbsocks_connect_async [-t MS] HOST:PORT...
 *
 * The callback runs on the library's thread, not the program's: it only
 * hands its result over (here it stores it and counts down; an MFC
 * application posts a message to its window instead), and never blocks,
 * as the other connects wait for it.
 *
 * Linux:   cc qbsocks_connect_async.c $(pkg-config --cflags --libs qbsocks) -pthread
 * Windows: cl /I KIT\c\include qbsocks_connect_async.c KIT\c\lib\qbsocks.lib
 * or with CMake, examples/CMakeLists.txt. */
#ifdef _WIN32
#include <winsock2.h>
#include <windows.h>
#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif
#define close_socket(handle) closesocket((SOCKET)(handle))
#else
#include <pthread.h>
#include <unistd.h>
#define close_socket(handle) close((int)(handle))
#endif

#include <qbsocks.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* One connect: what was asked, and what its callback handed over. */
struct connect_slot {
  const char* host;
  unsigned int port;
  int result;
  uintptr_t socket;
  qbsocks_outcome outcome; /* a copy: the library's is valid during the callback only */
};

/* ---- The count of callbacks still to come, and the wait for none ---- */

#ifdef _WIN32
static volatile LONG pending;
static HANDLE none_pending; /* an event, set by the last callback */

static void count_down(void) {
  if (InterlockedDecrement(&pending) == 0) SetEvent(none_pending);
}

static void wait_for_all(void) { WaitForSingleObject(none_pending, INFINITE); }
#else
static pthread_mutex_t pending_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t none_pending = PTHREAD_COND_INITIALIZER;
static int pending;

static void count_down(void) {
  pthread_mutex_lock(&pending_lock);
  if (--pending == 0) pthread_cond_signal(&none_pending);
  pthread_mutex_unlock(&pending_lock);
}

static void wait_for_all(void) {
  pthread_mutex_lock(&pending_lock);
  while (pending > 0) pthread_cond_wait(&none_pending, &pending_lock);
  pthread_mutex_unlock(&pending_lock);
}
#endif

/* On the library's thread, once for each connect started. */
static void QBSOCKS_CALL on_connect_ended(void* context, int result, uintptr_t socket,
                                          const qbsocks_outcome* outcome) {
  struct connect_slot* slot = (struct connect_slot*)context;
  slot->result = result;
  slot->socket = socket; /* ours now when connected */
  slot->outcome = *outcome;
  count_down();
}

int main(int argc, char** argv) {
  unsigned int timeout_ms = 10000;
  int first = 1, connected = 0;
  if (argc > 2 && strcmp(argv[1], "-t") == 0) {
    timeout_ms = (unsigned int)strtoul(argv[2], NULL, 10);
    first = 3;
  }
  int count = argc - first;
  struct connect_slot* slots = (struct connect_slot*)calloc(count > 0 ? (size_t)count : 1, sizeof *slots);
  if (count < 1 || !slots) {
    fprintf(stderr, "usage: %s [-t MS] HOST:PORT...\n", argv[0]);
    return 2;
  }
  for (int i = 0; i < count; ++i) {
    char* colon = strrchr(argv[first + i], ':');
    if (!colon) {
      fprintf(stderr, "not HOST:PORT: %s\n", argv[first + i]);
      return 2;
    }
    *colon = '\0';
    slots[i].host = argv[first + i];
    slots[i].port = (unsigned int)strtoul(colon + 1, NULL, 10);
  }

#ifdef _WIN32
  WSADATA wsa_data; /* the host starts the socket layer, never the library */
  if (WSAStartup(MAKEWORD(2, 2), &wsa_data) != 0) return 1;
  none_pending = CreateEventA(NULL, TRUE, FALSE, NULL);
#endif
  /* Counted before the first starts: a callback may run before the next
   * connect is started. */
  pending = count;
  qbsocks_connect_options options = {sizeof options, timeout_ms, NULL};
  for (int i = 0; i < count; ++i) {
    int started = qbsocks_connect_async(slots[i].host, slots[i].port, &options, on_connect_ended, &slots[i]);
    if (started != QBSOCKS_OK) { /* its callback never runs */
      slots[i].result = slots[i].outcome.result = started;
      snprintf(slots[i].outcome.reason, sizeof slots[i].outcome.reason, "not started");
      count_down();
    }
  }
  wait_for_all();

  for (int i = 0; i < count; ++i) {
    const struct connect_slot* slot = &slots[i];
    if (slot->result == QBSOCKS_OK) {
      printf("%s:%u: connected\n", slot->host, slot->port);
      close_socket(slot->socket);
      ++connected;
    } else {
      printf("%s:%u: result %d, step %d, cause %d: %s\n", slot->host, slot->port, slot->result, slot->outcome.step,
             slot->outcome.cause, slot->outcome.reason);
    }
  }
  free(slots);
  return connected == count ? 0 : 1;
}
