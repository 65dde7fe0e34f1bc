// Long buffers (a whole recording, a rendered block's chunks) in huge pages where the kernel
// offers them: a minute of sound is 2,600 small pages, each faulted in on its own, or five huge
// ones.
#ifndef QAF_HUGEPAGES_H
#define QAF_HUGEPAGES_H

#include <stdlib.h>
#include <sys/mman.h>

#define HUGE_PAGE_BYTES ((size_t)2 << 20)

// Main thread. At least bytes of memory, freed with free(); nullptr when there is not enough.
static inline void *allocHugePages(size_t bytes)
{
  size_t total = (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
  void *p = aligned_alloc(HUGE_PAGE_BYTES, total);
  if (p) madvise(p, total, MADV_HUGEPAGE);
  return p;
}

#endif
