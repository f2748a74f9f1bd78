// qbsocks_request: sends a request to HOST:PORT and prints the answer,
// read until the server closes the connection (as an HTTP/1.0 server does
// once it has answered), connecting directly or through the SOCKS proxy
// that the user's settings name
// (HKEY_CURRENT_USER\Software\Quillbrook\Game\Share\Proxy).
//
//   qbsocks_request HOST PORT [REQUEST]     (default: an HTTP/1.0 GET /)
#include <CSocks.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s HOST PORT [REQUEST]\n", argv[0]);
    return 2;
  }
  const char* host = argv[1];
  const unsigned int port = static_cast<unsigned int>(std::strtoul(argv[2], nullptr, 10));
  const char* request = argc == 4 ? argv[3] : "GET / HTTP/1.0\r\n\r\n";

  if (!AfxSocketInit()) {  // the host starts the socket layer, never the library
    std::fprintf(stderr, "cannot start the socket layer\n");
    return 1;
  }

  CSocks socket;
  if (!socket.Create()) {
    std::fprintf(stderr, "cannot create a socket (error %d)\n", CAsyncSocket::GetLastError());
    return 1;
  }
  if (!socket.Connect(host, port)) {  // reads the proxy settings, then connects
    std::fprintf(stderr, "cannot reach %s:%u (error %d)\n", host, port, CAsyncSocket::GetLastError());
    return 1;
  }

  const int length = static_cast<int>(std::strlen(request));
  if (socket.Send(request, length) != length) {
    std::fprintf(stderr, "cannot send the request (error %d)\n", CAsyncSocket::GetLastError());
    return 1;
  }
  // No half close (ShutDown) before the answer is in: some proxies
  // (microsocks) drop the whole connection at the client's end of stream,
  // and the answer with it. The server's close ends the answer.

  char buffer[4096];
  int received = 0;
  while ((received = socket.Receive(buffer, sizeof(buffer))) > 0) {
    std::fwrite(buffer, 1, static_cast<size_t>(received), stdout);
  }
  if (received < 0) {
    std::fprintf(stderr, "the answer broke off (error %d)\n", CAsyncSocket::GetLastError());
    return 1;
  }
  socket.Close();
  return 0;
}
