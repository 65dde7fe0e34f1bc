// Memory the audio thread writes: module records and their state, delay lines, the chunk pool,
// the device buffer and the audio thread's own stack. Each block is mapped on its own, written
// through and locked where the system allows when it is made, so that no pass ever faults it in;
// and while sound runs it is kept out of fork()'s copy-on-write, so that a library that forks
// behind the program's back (the file chooser's D-Bus autolaunch) cannot make the audio thread's
// next write to it fault.
#ifndef QAF_RTMEMORY_H
#define QAF_RTMEMORY_H

#include <stddef.h>

#include "base/realtime.h"

#include <new>
#include <utility>

// Any thread but the audio thread. bytes of zeroed memory on a cache line of its own, already
// mapped; like g_malloc, it ends the program when the system has no memory left. Freed with
// rtFree.
void *rtAlloc(size_t bytes);
void rtFree(void *p);

// Objects in such memory.
template <class T, class... A>
T *rtNew(A &&...args)
{
  return new (rtAlloc(sizeof(T))) T(std::forward<A>(args)...);
}
template <class T>
void rtDelete(T *p)
{
  if (!p) return;
  p->~T();
  rtFree(p);
}

// For classes whose every instance lives in such memory.
#define QAF_RT_ALLOCATED                                      \
  static void *operator new(size_t n)                         \
  {                                                           \
    return rtAlloc(n);                                        \
  }                                                           \
  static void operator delete(void *p) { rtFree(p); }

// Main thread, as sound starts and after it has stopped: from now on (until the end) every block
// made here, the static data of the program and the audio thread's stack are left out of a forked
// child, which never touches them (a child only calls exec or _exit). Outside a run a child gets
// them as usual, so a test may still fork a whole copy of the program.
void rtKeepFromForks(bool keep);

// Main thread. A stack for the audio thread in such memory, locked and written through; bytes is
// rounded up to whole pages. nullptr when there is no memory for it.
void *rtThreadStack(size_t bytes);

// The calling thread's page faults so far (minor and major), as the kernel counts them.
long rtThreadPageFaults() QAF_NONBLOCKING;

#endif
