/* The C interface as a C program uses it (built as C, on Linux against
 * libqbsocks.so.1, on Windows with MinGW-w64 against qbsocks.dll), through
 * the servers of linux_servers.py: each row writes the settings, connects,
 * and checks the result, the reason's text, the route, and on success a
 * blocking socket that exchanges bytes with the echo target. */
#include "qbsocks.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
typedef SOCKET socket_t;
#define close_socket closesocket
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
typedef int socket_t;
#define close_socket close
#endif

enum proxy { NONE, DANTE, MICROSOCKS_AUTH, REFUSING };
enum credentials { NO_USER, RIGHT_PASSWORD, WRONG_PASSWORD };

struct row {
  const char* name;
  enum proxy proxy;
  unsigned version;
  enum credentials credentials;
  const char* host;
  int target_refuses;
  int result;
  const char* reason;
};

static const struct row rows[] = {
    {"direct", NONE, 0, NO_USER, "127.0.0.1", 0, QBSOCKS_OK, ""},
    {"SOCKS4 through Dante", DANTE, 4, NO_USER, "127.0.0.1", 0, QBSOCKS_OK, ""},
    {"SOCKS5 through Dante", DANTE, 5, NO_USER, "127.0.0.1", 0, QBSOCKS_OK, ""},
    {"SOCKS5 with a password", MICROSOCKS_AUTH, 5, RIGHT_PASSWORD, "127.0.0.1", 0, QBSOCKS_OK, ""},
    {"proxy refuses the connection", REFUSING, 5, NO_USER, "127.0.0.1", 0, QBSOCKS_PROXY_UNREACHABLE,
     "connection refused"},
    {"proxy refuses the password", MICROSOCKS_AUTH, 5, WRONG_PASSWORD, "127.0.0.1", 0, QBSOCKS_PROXY_FAILED,
     "Username/password subnegotition failure"},
    {"SOCKS4 with a name", DANTE, 4, NO_USER, "localhost", 0, QBSOCKS_PROXY_FAILED,
     "SOCKS4 can't resolve domain name, you should use IP address"},
    {"direct to a refusing target", NONE, 0, NO_USER, "127.0.0.1", 1, QBSOCKS_TARGET_UNREACHABLE,
     "connection refused"},
};

static int failures = 0;

static void expect(int ok, const char* name, const char* what, const char* got) {
  if (ok) return;
  printf("FAILED %s: %s (got \"%s\")\n", name, what, got);
  ++failures;
}

static unsigned env_port(const char* variable) {
  const char* text = getenv(variable);
  if (text == NULL) {
    printf("%s is not set: run under linux_servers.py\n", variable);
    exit(2);
  }
  return (unsigned)atoi(text);
}

/* A socket bound to 127.0.0.1 and not listening: connects to it are refused. */
static socket_t refusing_port(unsigned* port) {
  struct sockaddr_in address;
  socklen_t size = sizeof(address);
  socket_t s = socket(AF_INET, SOCK_STREAM, 0);
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, (struct sockaddr*)&address, sizeof(address));
  getsockname(s, (struct sockaddr*)&address, &size);
  *port = ntohs(address.sin_port);
  return s;
}

/* The settings store: Wine's registry, or the .reg file of XDG_CONFIG_HOME.
 * version 0 without a port writes no settings at all. */
static void write_settings(unsigned port, unsigned version, const char* user, const char* password) {
#ifdef _WIN32
  const char* key_path = "Software\\Quillbrook\\Game\\Share\\Proxy";
  HKEY key;
  DWORD numbers[4] = {1, port, version};
  RegDeleteKeyA(HKEY_CURRENT_USER, key_path);
  if (port == 0) return;
  RegCreateKeyA(HKEY_CURRENT_USER, key_path, &key);
  RegSetValueExA(key, "ProxyEnable", 0, REG_DWORD, (const BYTE*)&numbers[0], 4);
  RegSetValueExA(key, "SocksPort", 0, REG_DWORD, (const BYTE*)&numbers[1], 4);
  RegSetValueExA(key, "SocksVersion", 0, REG_DWORD, (const BYTE*)&numbers[2], 4);
  RegSetValueExA(key, "SocksServer", 0, REG_SZ, (const BYTE*)"127.0.0.1", 10);
  RegSetValueExA(key, "UserName", 0, REG_SZ, (const BYTE*)user, (DWORD)strlen(user) + 1);
  RegSetValueExA(key, "Password", 0, REG_SZ, (const BYTE*)password, (DWORD)strlen(password) + 1);
  RegCloseKey(key);
#else
  char path[4096];
  FILE* out;
  snprintf(path, sizeof(path), "%s/qbsocks", getenv("XDG_CONFIG_HOME"));
  mkdir(path, 0700);
  strcat(path, "/user.reg");
  remove(path);
  if (port == 0) return;
  out = fopen(path, "w");
  fprintf(out, "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\Proxy]\n"
               "\"ProxyEnable\"=dword:00000001\n\"SocksServer\"=\"127.0.0.1\"\n"
               "\"SocksPort\"=dword:%08x\n\"SocksVersion\"=dword:%08x\n"
               "\"UserName\"=\"%s\"\n\"Password\"=\"%s\"\n",
          port, version, user, password);
  fclose(out);
#endif
}

/* Blocking, as handed over. Windows cannot be asked for the mode; there,
 * FIONBIO fails while an event selection is left on the socket, and the
 * echo's receives below need it blocking. */
static int is_blocking(socket_t s) {
#ifdef _WIN32
  u_long off = 0;
  return ioctlsocket(s, FIONBIO, &off) == 0;
#else
  return (fcntl(s, F_GETFL) & O_NONBLOCK) == 0;
#endif
}

static int echoes(socket_t s) {
  const char ping[] = "ping through qbsocks";
  char back[sizeof(ping)] = {0};
  int got = 0, n = 1;
  if (send(s, ping, sizeof(ping), 0) != (int)sizeof(ping)) return 0;
  while (got < (int)sizeof(ping) && n > 0) got += n = recv(s, back + got, (int)sizeof(ping) - got, 0);
  return memcmp(ping, back, sizeof(ping)) == 0;
}

static void run(const struct row* row) {
  unsigned closed_port, proxy_port = 0, echo_port = env_port("QBSOCKS_ECHO_PORT");
  socket_t closed = refusing_port(&closed_port);
  const char* user = row->credentials == NO_USER ? "" : getenv("QBSOCKS_MICROSOCKS_USER");
  const char* password = row->credentials == RIGHT_PASSWORD ? getenv("QBSOCKS_MICROSOCKS_PASSWORD")
                         : row->credentials == WRONG_PASSWORD ? "wrong-password" : "";
  char route[128], expected_route[128] = "direct", reason[128];
  uintptr_t handle = 0;
  int result;

  if (row->proxy == DANTE) proxy_port = env_port("QBSOCKS_DANTE_PORT");
  if (row->proxy == MICROSOCKS_AUTH) proxy_port = env_port("QBSOCKS_MICROSOCKS_AUTH_PORT");
  if (row->proxy == REFUSING) proxy_port = closed_port;
  write_settings(proxy_port, row->version, user, password);
  if (proxy_port != 0) {
    snprintf(expected_route, sizeof(expected_route), "SOCKS%u proxy 127.0.0.1:%u%s%s", row->version, proxy_port,
             row->version == 5 && *user ? " as " : "", row->version == 5 ? user : "");
  }
  qbsocks_route(route, sizeof(route));
  expect(strcmp(route, expected_route) == 0, row->name, expected_route, route);

  result = qbsocks_connect(row->host, row->target_refuses ? closed_port : echo_port, &handle, reason, sizeof(reason));
  expect(result == row->result, row->name, "the result", reason);
  expect(strcmp(reason, row->reason) == 0, row->name, row->reason, reason);
  if (result == QBSOCKS_OK) {
    expect(is_blocking((socket_t)handle), row->name, "a blocking socket", "");
    expect(echoes((socket_t)handle), row->name, "the bytes echoed", "");
    close_socket((socket_t)handle);
  } else {
    expect(handle == QBSOCKS_NO_HANDLE, row->name, "no socket", "");
  }
  close_socket(closed);
}

int main(void) {
  char route[64], cut[8];
  size_t i, length;
  uintptr_t handle = 0;
#ifdef _WIN32
  WSADATA data;
  char reason[128];
  expect(qbsocks_connect("127.0.0.1", 1, &handle, reason, sizeof(reason)) == QBSOCKS_NO_SOCKET &&
             strstr(reason, "WSAStartup") != NULL,
         "before WSAStartup", "no socket, and why", reason);
  WSAStartup(MAKEWORD(2, 2), &data);
#endif
  for (i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) run(&rows[i]);

  /* Switched on, and turned off by another value: the route says which. */
  write_settings(1080, 0, "", "");
  length = qbsocks_route(route, sizeof(route));
  expect(strcmp(route, "direct: SocksVersion is 0, not 4 or 5") == 0, "route", "why it is direct", route);
  expect(qbsocks_route(cut, sizeof(cut)) == length && strcmp(cut, "direct:") == 0, "route cut", "direct:", cut);
  expect(qbsocks_connect(NULL, 1, &handle, NULL, 0) == QBSOCKS_BAD_ARGUMENT && handle == QBSOCKS_NO_HANDLE,
         "no host", "QBSOCKS_BAD_ARGUMENT", "");
  expect(strcmp(qbsocks_version(), "1.0.0.1") == 0, "version", "1.0.0.1", qbsocks_version());
  write_settings(0, 0, "", "");
  printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}
