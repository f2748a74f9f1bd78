// The library's thread of the callback connects (qbsocks_connect_async):
// one thread that waits on every pending connect at once
// (connect_thread.cpp).
#ifndef QBSOCKS_CAPI_CONNECT_THREAD_H
#define QBSOCKS_CAPI_CONNECT_THREAD_H

#include "qbsocks.h"

namespace qbsocks_c {

// Polls connecting (started, not yet polled; NULL when it could not be
// made) on the calling thread as far as it goes without waiting, then
// hands it to the library's thread, which polls it on, finishes it and
// calls callback(context, ...) once, there (never here, even when it
// ended in these polls). QBSOCKS_OK; or QBSOCKS_NO_SOCKET (out of memory,
// no thread), connecting finished here unpolled and callback never
// called. Its cancel is the one connecting was started with.
int RunOnConnectThread(qbsocks_connecting* connecting, qbsocks_connect_callback callback, void* context);

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_CONNECT_THREAD_H
