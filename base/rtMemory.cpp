// Real-time memory (see rtMemory.h). Every block is a mapping of its own with a small header in
// front that links it into one list, so that all of them can be left out of forks as sound
// starts and given back to forks once it has stopped.
#include "base/rtMemory.h"

#include <link.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#ifdef MADV_POPULATE_WRITE
#define QAF_POPULATE_WRITE MADV_POPULATE_WRITE
#else
#define QAF_POPULATE_WRITE 23  // Linux 5.14; older kernels refuse it, and it is only a help
#endif

#define HEADER_BYTES 64  // keeps what follows on a cache line of its own

#define BLOCK_MAGIC 0x71616672746d656dULL

struct rtBlock {
  unsigned long long magic;  // BLOCK_MAGIC while the block is in use
  rtBlock *prev, *next;
  size_t mapped;  // bytes of the whole mapping, header included
};
static_assert(sizeof(rtBlock) <= HEADER_BYTES, "the header fits its cache line");

static pthread_mutex_t blocksLock = PTHREAD_MUTEX_INITIALIZER;
static rtBlock *blocks = nullptr;
static bool keeping = false;  // under blocksLock

static size_t pageBytes() { return (size_t)sysconf(_SC_PAGESIZE); }

static void markFork(void *p, size_t bytes, bool keep)
{
  madvise(p, bytes, keep ? MADV_DONTFORK : MADV_DOFORK);
}

// A mapping of at least bytes, written through (so that every page is there now) and locked
// where the limits allow; a failed lock costs nothing but the guarantee under memory pressure.
static void *mapBlock(size_t bytes, size_t *mapped)
{
  size_t page = pageBytes();
  size_t total = (bytes + page - 1) / page * page;
  void *p = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  memset(p, 0, total);
  mlock(p, total);
  *mapped = total;
  return p;
}

static void link(rtBlock *b)
{
  pthread_mutex_lock(&blocksLock);
  b->prev = nullptr;
  b->next = blocks;
  if (blocks) blocks->prev = b;
  blocks = b;
  if (keeping) markFork(b, b->mapped, true);
  pthread_mutex_unlock(&blocksLock);
}

static void unlink(rtBlock *b)
{
  pthread_mutex_lock(&blocksLock);
  if (b->prev)
    b->prev->next = b->next;
  else
    blocks = b->next;
  if (b->next) b->next->prev = b->prev;
  pthread_mutex_unlock(&blocksLock);
}

void *rtAlloc(size_t bytes)
{
  size_t mapped;
  rtBlock *b = (rtBlock *)mapBlock(bytes + HEADER_BYTES, &mapped);
  if (!b) {
    fprintf(stderr, "qaf: out of memory (%zu bytes)\n", bytes);
    abort();
  }
  b->magic = BLOCK_MAGIC;
  b->mapped = mapped;
  link(b);
  return (char *)b + HEADER_BYTES;
}

void rtFree(void *p)
{
  if (!p) return;
  // A buffer that a caller made with malloc (a test's device buffer) goes back to the heap.
  if (((uintptr_t)p & 4095) != HEADER_BYTES) {
    free(p);
    return;
  }
  rtBlock *b = (rtBlock *)((char *)p - HEADER_BYTES);
  if (b->magic != BLOCK_MAGIC) {
    free(p);
    return;
  }
  b->magic = 0;
  unlink(b);
  munmap(b, b->mapped);
}

void *rtThreadStack(size_t bytes)
{
  size_t mapped;
  size_t page = pageBytes();
  rtBlock *b = (rtBlock *)mapBlock(bytes + page, &mapped);
  if (!b) return nullptr;
  b->magic = 0;  // never given back: the thread's stack lives as long as the program
  b->mapped = mapped;
  link(b);
  // The stack starts on the page after the header's and runs to the end of the mapping.
  return (char *)b + page;
}

// The program itself: its code is locked in (a branch a pass takes for the first time, such as
// the load figure worked out every 32 passes, would otherwise fault its page in then), and its
// writable data (its globals, the core's among them) is made present and writable and, while
// sound runs, left out of forks. Segments are rounded out to whole pages.
static int markStatics(struct dl_phdr_info *info, size_t, void *keepArg)
{
  bool keep = *(bool *)keepArg;
  size_t page = pageBytes();
  for (int i = 0; i < info->dlpi_phnum; i++) {
    const ElfW(Phdr) &ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    uintptr_t from = (info->dlpi_addr + ph.p_vaddr) / page * page;
    uintptr_t to = (info->dlpi_addr + ph.p_vaddr + ph.p_memsz + page - 1) / page * page;
    if (!(ph.p_flags & PF_W)) {
      if (keep) mlock((void *)from, to - from);
      continue;
    }
    if (keep) {
      // Locking a private mapping writes its pages in without changing a byte; where the lock
      // is refused, the kernel is asked to fault them in for writing.
      if (mlock((void *)from, to - from) != 0) madvise((void *)from, to - from, QAF_POPULATE_WRITE);
    }
    markFork((void *)from, to - from, keep);
  }
  return 1;  // the executable comes first: nothing else is ours
}

void rtKeepFromForks(bool keep)
{
  pthread_mutex_lock(&blocksLock);
  keeping = keep;
  for (rtBlock *b = blocks; b; b = b->next) markFork(b, b->mapped, keep);
  pthread_mutex_unlock(&blocksLock);
  dl_iterate_phdr(markStatics, &keep);
}

long rtThreadPageFaults() QAF_NONBLOCKING
{
  struct rusage ru;
  // a system call that only copies the thread's counters out: it neither blocks nor allocates
  QAF_FX_OFF
  int r = getrusage(RUSAGE_THREAD, &ru);
  QAF_FX_ON
  if (r != 0) return 0;
  return ru.ru_minflt + ru.ru_majflt;
}
