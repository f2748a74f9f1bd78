// Counts the allocations of the calling thread. Only a program that links
// counting_new.cpp has it: that file replaces the global operator new for
// the whole program, the shared libraries it loads included.
#ifndef QBSOCKS_TESTS_SUPPORT_COUNTING_NEW_H
#define QBSOCKS_TESTS_SUPPORT_COUNTING_NEW_H

namespace qbtest {

// How many times this thread has called operator new so far.
unsigned long ThreadAllocations();

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_COUNTING_NEW_H
