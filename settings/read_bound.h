// A bound on a read of the settings store, for a caller that bounds the
// whole of its connect (the C interface): it is passed to the read, which
// looks at it while it would wait for another thread's parse or parse a
// large file, and gives up once it says so. Off Windows the store is a file
// that the registry stand-in parses; Windows' own registry takes no bound.
#ifndef QBSOCKS_SETTINGS_READ_BOUND_H
#define QBSOCKS_SETTINGS_READ_BOUND_H

namespace qbplatform {

struct ReadBound {
  // Whether the read is to give up now (the bound ran out, a cancel came).
  bool (*pfnGiveUp)(const void* pContext);
  const void* pContext;
};

// Whether a read with this bound (null: none) is to give up now.
inline bool GivesUp(const ReadBound* pBound) { return pBound != nullptr && pBound->pfnGiveUp(pBound->pContext); }

}  // namespace qbplatform

#endif  // QBSOCKS_SETTINGS_READ_BOUND_H
