// Counts the allocations of the calling thread. Only a program that links
// counting_new.cpp has it: that file replaces the global operator new for
// the whole program, the shared libraries it loads included.
#ifndef QBSOCKS_TESTS_SUPPORT_COUNTING_NEW_H
#define QBSOCKS_TESTS_SUPPORT_COUNTING_NEW_H

#include <string_view>

namespace qbtest {

// How many times this thread has called operator new so far.
unsigned long ThreadAllocations();

// From now on, counts the blocks this thread frees that still hold `bytes`
// (an empty view stops it); returns the count so far.
void WatchFreedBlocksFor(std::string_view bytes);
unsigned long FreedBlocksHoldingWatched();

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_COUNTING_NEW_H
