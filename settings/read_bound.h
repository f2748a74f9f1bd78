// A bound on the calling thread's reads of the settings store, for a
// caller that bounds the whole of its connect (the C interface): a read
// that would wait for another thread's parse, or parse a large file, gives
// up with ERROR_OPERATION_ABORTED once the bound says so. Off Windows the
// store is a file that the registry stand-ins parse; Windows' own registry
// takes no bound.
#ifndef QBSOCKS_SETTINGS_READ_BOUND_H
#define QBSOCKS_SETTINGS_READ_BOUND_H

namespace qbplatform {

struct ReadBound {
  // Whether the read is to give up now (a deadline passed, a cancel came).
  bool (*pfnGiveUp)(const void* pContext);
  const void* pContext;
};

#ifdef _WIN32
// Windows' registry takes no bound: nothing is kept (and no thread_local
// is needed, which the MSVC-ABI flavour, with no C run-time, lacks).
class ScopedReadBound {
 public:
  explicit ScopedReadBound(const ReadBound*) {}
  ScopedReadBound(const ScopedReadBound&) = delete;
  ScopedReadBound& operator=(const ScopedReadBound&) = delete;
};
#else
// The calling thread's bound; null for none.
inline thread_local const ReadBound* t_pReadBound = nullptr;

// Sets the calling thread's bound while it lives.
class ScopedReadBound {
 public:
  explicit ScopedReadBound(const ReadBound* pBound) : pSaved_(t_pReadBound) { t_pReadBound = pBound; }
  ~ScopedReadBound() { t_pReadBound = pSaved_; }
  ScopedReadBound(const ScopedReadBound&) = delete;
  ScopedReadBound& operator=(const ScopedReadBound&) = delete;

 private:
  const ReadBound* pSaved_;
};

inline bool ReadGivenUp() { return t_pReadBound != nullptr && t_pReadBound->pfnGiveUp(t_pReadBound->pContext); }
#endif

}  // namespace qbplatform

#endif  // QBSOCKS_SETTINGS_READ_BOUND_H
