// The C interface: qbsocks_connect, qbsocks_connect_timeout,
// qbsocks_connect_ex, the caller-driven connect (qbsocks_connect_start,
// _poll, _finish), the callback connect (qbsocks_connect_async),
// qbsocks_route, qbsocks_proxy_url, qbsocks_set_proxy_url (its parse and
// writes in settings/proxy_url.cpp), qbsocks_version. The cancel handles
// are in cancel.cpp, the connect itself in connect_engine.cpp, the
// callback connects' thread in connect_thread.cpp.
#include "qbsocks.h"

#include "settings/proxy_settings.h"
#include "settings/proxy_url.h"
#include "connect_engine.h"
#include "connect_thread.h"

#include <stddef.h>
#include <string.h>

namespace qbsocks_c {

Text ReadRoute() {
  qbsettings::ProxySettings settings = {};
  const LONG lUnread = qbsettings::ReadProxySettings(&settings, qbsettings::kCheckPassword);
  if (lUnread != ERROR_SUCCESS) {
    char szWhy[128];
    DescribeUnreadableSettings(lUnread, szWhy, sizeof(szWhy));
    return szWhy;
  }
  char szRoute[512];
  qbsettings::DescribeRoute(settings, szRoute, sizeof(szRoute));
  return szRoute;
}

namespace {

// RFC 3986's unreserved characters stay, and those of kept; every other
// byte is escaped, so that '@', ':' and '%' of a user name or password,
// and the bytes of other letters, reach the client as the library would
// send them.
void AppendEscaped(Text& url, const char* text, const char* kept = "") {
  static const char kHex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
    const unsigned char c = *p;
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~' || memchr(kept, c, strlen(kept)) != nullptr;
    const char escaped[] = {'%', kHex[c >> 4], kHex[c & 0xF], '\0'};
    const char plain[] = {static_cast<char>(c), '\0'};
    url.Append(unreserved ? plain : escaped);
  }
}

// SOCKS5 sends names to the proxy (socks5h); SOCKS4 carries addresses
// alone and its user ID is the system's user name, not the settings'.
Text ProxyUrl(const qbsettings::ProxySettings& settings) {
  Text url;
  if (!settings.dwEnable) return url;
  url.Append(settings.dwVersion == 5 ? "socks5h://" : "socks4://");
  if (settings.dwVersion == 5 && settings.szUserName[0] != '\0') {
    AppendEscaped(url, settings.szUserName);
    url.Append(":");
    AppendEscaped(url, settings.szPassword);
    url.Append("@");
  }
  // An IPv6 address in brackets, RFC 3986's IP-literal, its ':' as they are.
  char server[sizeof(settings.szServer) + 2];
  const bool ipv6 = qbsettings::BracketServer(settings.szServer, server, sizeof(server));
  AppendEscaped(url, server, ipv6 ? "[]:" : "");
  url.Append(":").AppendUnsigned(settings.dwPort & 0xFFFFu);  // the bits the connect uses
  return url;
}

}  // namespace

Text ReadProxyUrl(int& result) {
  qbsettings::ProxySettings settings = {};
  const LONG lUnread = qbsettings::ReadProxySettings(&settings, qbsettings::kReadPassword);
  Text text;
  if (lUnread != ERROR_SUCCESS) {
    char szWhy[128];
    DescribeUnreadableSettings(lUnread, szWhy, sizeof(szWhy));
    text.Append(szWhy);
  } else {
    text = ProxyUrl(settings);
  }
  SecureZeroMemory(settings.szPassword, sizeof(settings.szPassword));
  result = lUnread != ERROR_SUCCESS ? QBSOCKS_SETTINGS_UNREADABLE : QBSOCKS_OK;
  return text;
}

}  // namespace qbsocks_c

namespace {

using qbsocks_c::OutcomeOf;
using qbsocks_c::Outcome;
using qbsocks_c::Text;

// snprintf's contract: at most size bytes with the terminator; the length
// of the whole text.
size_t CopyText(const Text& text, char* out, size_t size) {
  if (out != nullptr && size > 0) {
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(out, text.c_str(), n);
    out[n] = '\0';
  }
  return text.size();
}

// What the blocking functions do: the connect, on the calling thread.
Outcome Connect(const char* host, unsigned int port, unsigned int timeout_ms, qbsocks_cancel* cancel,
                uintptr_t* socket_out) {
  if (socket_out != nullptr) *socket_out = QBSOCKS_NO_HANDLE;
  if (host == nullptr || socket_out == nullptr) {
    return OutcomeOf(QBSOCKS_BAD_ARGUMENT, "qbsocks_connect needs a host and a place for the socket");
  }
  qbsocks_c::ConnectEngine engine(host, port, timeout_ms, cancel);  // closes what it still holds when it goes
  qbsocks_c::RunToEnd(engine);
  *socket_out = engine.HandOver();
  return engine.outcome();
}

// Exceptions stop at the C boundary: only std::bad_alloc can come, from
// the settings store's parse off Windows (the C++ library's allocations).
// The MSVC-ABI flavour is built without exceptions; nothing there raises
// one.
#ifdef __cpp_exceptions
#define QBSOCKS_C_GUARDED(call, on_exception) \
  try {                                       \
    return call;                              \
  } catch (...) {                             \
    return on_exception;                      \
  }
#else
#define QBSOCKS_C_GUARDED(call, on_exception) return call;
#endif

Outcome GuardedConnect(const char* host, unsigned int port, unsigned int timeout_ms, qbsocks_cancel* cancel,
                       uintptr_t* socket_out){QBSOCKS_C_GUARDED(Connect(host, port, timeout_ms, cancel, socket_out),
                                                                OutcomeOf(QBSOCKS_NO_SOCKET, "out of memory"))}

Text GuardedProxyUrl(int& result) {
  QBSOCKS_C_GUARDED(qbsocks_c::ReadProxyUrl(result), Text(QBSOCKS_SETTINGS_UNREADABLE_TEXT ": out of memory"))
}

// The URL's settings written; the result, with why in reason (on success
// what qbsocks-reg would warn about, in its words; mostly "").
int SetProxyUrl(const char* url, char* reason, size_t reason_size) {
  if (url == nullptr) {
    CopyText("qbsocks_set_proxy_url needs a URL", reason, reason_size);
    return QBSOCKS_BAD_ARGUMENT;
  }
  char why[sizeof(Text)];  // a warning names the settings file
  qbsettings::ProxyChoice choice;
  int result = QBSOCKS_BAD_ARGUMENT;
  if (qbsettings::ParseProxyUrl(url, &choice, why, sizeof(why))) {
    const LONG written = qbsettings::WriteProxyChoice(choice);
    SecureZeroMemory(&choice, sizeof(choice));  // the password
    // A store that cannot be read is not replaced: said as a connect says it.
    const bool unread = written == ERROR_CANTREAD || written == ERROR_BADDB || written == ERROR_CANTOPEN;
    if (written == ERROR_SUCCESS) {
      result = QBSOCKS_OK;
      qbsettings::DescribeStoreWarning(why, sizeof(why));
    } else if (unread) {
      result = QBSOCKS_SETTINGS_UNREADABLE;
      DescribeUnreadableSettings(written, why, sizeof(why));
    } else {
      result = QBSOCKS_SETTINGS_UNWRITABLE;
      DescribeUnwritableSettings(written, why, sizeof(why));
    }
  }
  CopyText(Text(why), reason, reason_size);
  return result;
}

int GuardedSetProxyUrl(const char* url, char* reason, size_t reason_size) {
  QBSOCKS_C_GUARDED(SetProxyUrl(url, reason, reason_size),
                    (CopyText(Text(QBSOCKS_SETTINGS_UNWRITABLE_TEXT ": out of memory"), reason, reason_size),
                     QBSOCKS_SETTINGS_UNWRITABLE))
}

// The fields of this version; size says how many bytes were filled, so
// that a caller built against a later header sees that its newer fields
// were not. No byte beyond this version's structure is written.
void Deliver(const Outcome& from, qbsocks_outcome* to) {
  qbsocks_outcome out;
  memset(&out, 0, sizeof(out));
  out.size = sizeof(out);
  out.result = from.result;
  out.step = from.step;
  out.cause = from.cause;
  out.proxy_code = from.proxyCode;
  out.system_error = static_cast<int32_t>(from.systemError);
  CopyText(from.reason, out.reason, sizeof(out.reason));
  memcpy(to, &out, sizeof(out));
}

// A later header's options: the bytes beyond this version's fields must
// be zero (options left unset); a non-zero one asks for what this version
// cannot do, and is refused rather than dropped.
bool HasUnknownOptions(const qbsocks_connect_options* options) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(options);
  for (size_t at = sizeof(*options); at < options->size; ++at)
    if (bytes[at] != 0) return true;
  return false;
}

// Why the structures refuse the call, or null: qbsocks_connect_ex's rules,
// for every connect that takes them.
const char* Refusal(const qbsocks_connect_options* options, const qbsocks_outcome* outcome) {
  if ((options != nullptr && options->size < sizeof(qbsocks_connect_options)) ||
      (outcome != nullptr && outcome->size < sizeof(qbsocks_outcome))) {
    return "qbsocks_connect_ex needs the sizes of its structures";
  }
  if (options != nullptr && HasUnknownOptions(options)) {
    return "qbsocks_connect_ex was given options that this version does not know";
  }
  return nullptr;
}

int GuardedAdvance(qbsocks_connecting* connecting, qbsocks_wait* wait) {
  QBSOCKS_C_GUARDED(connecting->Advance(wait), connecting->End(OutcomeOf(QBSOCKS_NO_SOCKET, "out of memory")))
}

}  // namespace

extern "C" {

int QBSOCKS_CALL qbsocks_connect(const char* host, unsigned int port, uintptr_t* socket_out, char* reason,
                                 size_t reason_size) {
  return qbsocks_connect_timeout(host, port, 0, socket_out, reason, reason_size);
}

int QBSOCKS_CALL qbsocks_connect_timeout(const char* host, unsigned int port, unsigned int timeout_ms,
                                         uintptr_t* socket_out, char* reason, size_t reason_size) {
  const Outcome outcome = GuardedConnect(host, port, timeout_ms, nullptr, socket_out);
  CopyText(outcome.reason, reason, reason_size);
  return outcome.result;
}

int QBSOCKS_CALL qbsocks_connect_ex(const char* host, unsigned int port, const qbsocks_connect_options* options,
                                    uintptr_t* socket_out, qbsocks_outcome* outcome) {
  const char* refusal = Refusal(options, outcome);
  Outcome result;
  if (refusal != nullptr) {
    if (socket_out != nullptr) *socket_out = QBSOCKS_NO_HANDLE;
    result = OutcomeOf(QBSOCKS_BAD_ARGUMENT, refusal);
  } else {
    result = GuardedConnect(host, port, options != nullptr ? options->timeout_ms : 0,
                            options != nullptr ? options->cancel : nullptr, socket_out);
  }
  if (outcome != nullptr && outcome->size >= sizeof(qbsocks_outcome)) Deliver(result, outcome);
  return result.result;
}

qbsocks_connecting* QBSOCKS_CALL qbsocks_connect_start(const char* host, unsigned int port,
                                                       const qbsocks_connect_options* options) {
  const char* refusal = Refusal(options, nullptr);
  const bool useOptions = options != nullptr && refusal == nullptr;
  auto* connecting = new qbsocks_connecting(host, port, useOptions ? options->timeout_ms : 0,
                                            useOptions ? options->cancel : nullptr);  // NULL when out of memory
  // Ended at once: the first poll says so.
  if (connecting != nullptr && refusal != nullptr) connecting->End(OutcomeOf(QBSOCKS_BAD_ARGUMENT, refusal));
  return connecting;
}

int QBSOCKS_CALL qbsocks_connect_poll(qbsocks_connecting* connecting, qbsocks_wait* wait) {
  if (connecting == nullptr) return QBSOCKS_BAD_ARGUMENT;
  qbsocks_wait unwanted;
  return GuardedAdvance(connecting, wait != nullptr ? wait : &unwanted);
}

int QBSOCKS_CALL qbsocks_connect_finish(qbsocks_connecting* connecting, uintptr_t* socket_out,
                                        qbsocks_outcome* outcome) {
  if (socket_out != nullptr) *socket_out = QBSOCKS_NO_HANDLE;
  if (connecting == nullptr) return QBSOCKS_BAD_ARGUMENT;
  connecting->GiveUp();  // one still in progress
  if (connecting->outcome().result == QBSOCKS_OK && socket_out == nullptr) {
    connecting->End(OutcomeOf(QBSOCKS_BAD_ARGUMENT, "qbsocks_connect_finish needs a place for the socket"));
  } else if (outcome != nullptr && outcome->size < sizeof(qbsocks_outcome)) {
    connecting->End(OutcomeOf(QBSOCKS_BAD_ARGUMENT, "qbsocks_connect_ex needs the sizes of its structures"));
  }
  if (socket_out != nullptr) *socket_out = connecting->HandOver();
  const Outcome result = connecting->outcome();
  delete connecting;
  if (outcome != nullptr && outcome->size >= sizeof(qbsocks_outcome)) Deliver(result, outcome);
  return result.result;
}

int QBSOCKS_CALL qbsocks_connect_async(const char* host, unsigned int port, const qbsocks_connect_options* options,
                                       qbsocks_connect_callback callback, void* context) {
  if (host == nullptr || callback == nullptr || Refusal(options, nullptr) != nullptr) return QBSOCKS_BAD_ARGUMENT;
  return qbsocks_c::RunOnConnectThread(qbsocks_connect_start(host, port, options), callback, context);
}

size_t QBSOCKS_CALL qbsocks_route(char* text, size_t size){
    QBSOCKS_C_GUARDED(CopyText(qbsocks_c::ReadRoute(), text, size), CopyText("", text, size))}

size_t QBSOCKS_CALL qbsocks_proxy_url(char* url, size_t size, int* result) {
  int read = QBSOCKS_SETTINGS_UNREADABLE;  // until the read has ended: never "" (direct) for one that did not
  Text text = GuardedProxyUrl(read);
  if (result != nullptr) *result = read;
  const size_t length = CopyText(text, url, size);
  SecureZeroMemory(&text, sizeof(text));  // the password
  return length;
}

int QBSOCKS_CALL qbsocks_set_proxy_url(const char* url, char* reason, size_t reason_size) {
  return GuardedSetProxyUrl(url, reason, reason_size);
}

const char* QBSOCKS_CALL qbsocks_version(void) { return QBSOCKS_VERSION_TEXT; }

}  // extern "C"
