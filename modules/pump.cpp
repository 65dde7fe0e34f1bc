// Chunk passing (the chunk pool, verifyIn, SendOut) and the two line modules that connect the
// patch to the device buffer. All of it runs inside a pass; the pumps run on the
// audio thread.
#include "modules/pump.h"

#include <stdlib.h>
#include <pthread.h>
#include <string.h>

#include "audio/cardfeed.h"
#include "base/fatal.h"
#include "base/hugePages.h"
#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"

std::atomic<int> chunkPoolOverflows{0};

static char *poolMem = nullptr;
static short *poolFree[CHUNK_POOL_SIZE];
static int poolFreeTop = 0;

// When the pool is empty (it is sized so that it never is), a pump gets this chunk instead: its
// sound is garbage, but nothing is allocated on the audio thread and nothing crashes. Giving it
// back does nothing.
static short spareChunk[MAX_CHUNK_BYTES / 2];

// Chunks given back by the UI thread (those of records that no pass can see any more), waiting
// for the next pass to put them back into the free lists: the free lists are the pass thread's
// alone. One ring, written by editors under ringLock and read by the pass thread without it.
static short **returnRing = nullptr;
static int returnCap = 0;
static std::atomic<unsigned> returnHead{0};  // next to write (editors)
static std::atomic<unsigned> returnTail{0};  // next to read (pass thread)
static pthread_mutex_t ringLock = PTHREAD_MUTEX_INITIALIZER;

static bool makeReturnRing(int cap)
{
  short **r = (short **)g_try_malloc0(sizeof(short *) * (size_t)cap);
  if (!r) return false;
  g_free(returnRing);
  returnRing = r;
  returnCap = cap;
  returnHead = 0;
  returnTail = 0;
  return true;
}

void initChunkPool()
{
  if (poolMem) return;
  poolMem = (char *)rtAlloc((size_t)CHUNK_POOL_SIZE * MAX_CHUNK_BYTES);
  for (int n = 0; n < CHUNK_POOL_SIZE; n++)
    poolFree[n] = (short *)(poolMem + (size_t)(CHUNK_POOL_SIZE - 1 - n) * MAX_CHUNK_BYTES);
  poolFreeTop = CHUNK_POOL_SIZE;
  makeReturnRing(CHUNK_POOL_SIZE);
}

static bool inPool(const short *c) QAF_NONBLOCKING
{
  const char *p = (const char *)c;
  return poolMem && p >= poolMem && p < poolMem + (size_t)CHUNK_POOL_SIZE * MAX_CHUNK_BYTES;
}

// UI thread: a chunk of a record that no pass can see any more. Every chunk is in one place at a
// time and the ring holds every chunk there is, so it never overflows.
void returnChunk(short *c)
{
  if (!c || c == spareChunk) return;
  pthread_mutex_lock(&ringLock);
  unsigned h = returnHead.load(std::memory_order_relaxed);
  QAF_ASSERT(h - returnTail.load(std::memory_order_acquire) < (unsigned)returnCap);
  returnRing[h % (unsigned)returnCap] = c;
  returnHead.store(h + 1, std::memory_order_release);
  pthread_mutex_unlock(&ringLock);
}

// Audio thread, at the start of a pass.
void takeReturnedChunks() QAF_NONBLOCKING
{
  unsigned t = returnTail.load(std::memory_order_relaxed);
  unsigned h = returnHead.load(std::memory_order_acquire);
  if (t == h) return;
  for (; t != h; t++) freeChunk(returnRing[t % (unsigned)returnCap]);
  returnTail.store(t, std::memory_order_release);
}

static int chunksReturning()
{
  return (int)(returnHead.load(std::memory_order_acquire) - returnTail.load(std::memory_order_acquire));
}

// ---- Block stashes --------------------------------------------------------------------------
// An offline render that runs modules a block of passes at a time keeps a whole block of chunks
// in flight, and runs on two threads at once. Its chunks come from a region of their own, kept in
// two stashes: each thread of a block takes from and gives back to the stash it was handed, so
// neither touches the shared pool meanwhile. Outside a block, chunks of the region go back to
// the first stash, on the pass thread like everything else here.
struct chunkStash {
  short **free = nullptr;
  int top = 0;
  int cap = 0;
};
static char *stashMem = nullptr;
static size_t stashStride = 0;
static int stashChunks = 0;
static chunkStash stashes[2];
static thread_local chunkStash *threadStashTls = nullptr;

// Audio thread or a block thread: the stash this thread takes chunks from. The program's own
// thread-local data is placed at start-up (initial-exec): reading it never allocates.
static inline chunkStash *&threadStashRef() QAF_NONBLOCKING
{
  QAF_FX_OFF
  return threadStashTls;
  QAF_FX_ON
}
#define threadStash threadStashRef()

static bool inStashRegion(const short *c) QAF_NONBLOCKING
{
  const char *p = (const char *)c;
  return stashMem && p >= stashMem && p < stashMem + stashStride * (size_t)stashChunks;
}

bool reserveBlockChunks(int count, int bytes)
{
  if (stashMem) return blockChunksFit(count, bytes);
  size_t stride = ((size_t)bytes + 63) & ~(size_t)63;
  char *mem = (char *)allocHugePages(stride * (size_t)count);
  short **lists[2] = {g_try_new(short *, count + CHUNK_POOL_SIZE),
                      g_try_new(short *, count + CHUNK_POOL_SIZE)};
  if (!mem || !lists[0] || !lists[1] || !makeReturnRing(CHUNK_POOL_SIZE + count)) {
    free(mem);
    g_free(lists[0]);
    g_free(lists[1]);
    return false;
  }
  // Written through now, so that no page of it is first touched inside a pass.
  memset(mem, 0, stride * (size_t)count);
  stashMem = mem;
  stashStride = stride;
  stashChunks = count;
  for (int s = 0; s < 2; s++) {
    stashes[s].free = lists[s];
    stashes[s].cap = count + CHUNK_POOL_SIZE;
    stashes[s].top = 0;
  }
  for (int n = 0; n < count; n++) stashes[0].free[n] = (short *)(mem + stride * (size_t)(count - 1 - n));
  stashes[0].top = count;
  return true;
}

bool blockChunksFit(int count, int bytes) QAF_NONBLOCKING
{
  return stashMem && stashChunks >= count && stashStride >= (size_t)bytes;
}

// Audio thread, inside a pass.
void useBlockStash(int which) QAF_NONBLOCKING  { threadStash = which < 0 ? nullptr : &stashes[which]; }

// Audio thread, inside a block, no block thread running: moves n free chunks from one stash to
// the other (fewer when it has fewer).
void moveStashChunks(int from, int to, int n) QAF_NONBLOCKING
{
  chunkStash &a = stashes[from], &b = stashes[to];
  if (n > a.top) n = a.top;
  if (n > b.cap - b.top) n = b.cap - b.top;
  memcpy(b.free + b.top, a.free + a.top - n, (size_t)n * sizeof(short *));
  a.top -= n;
  b.top += n;
}

int stashFreeChunks(int which) QAF_NONBLOCKING  { return stashes[which].top; }

// Audio thread, inside a block, no block thread running. A chunk from outside the stash region
// (the shared pool, or the heap) is copied into one from the first stash and given back, so that
// the threads of a block never see the shared pool.
short *adoptIntoStash(short *c) QAF_NONBLOCKING
{
  if (!c || inStashRegion(c) || stashes[0].top == 0) return c;
  short *d = stashes[0].free[--stashes[0].top];
  memcpy(d, c, (size_t)sound_chunk_size);
  chunkStash *s = threadStash;
  threadStash = nullptr;
  freeChunk(c);
  threadStash = s;
  return d;
}

// Audio thread, or a block thread on its own stash.
short *newChunk() QAF_NONBLOCKING
{
  short *c;
  chunkStash *s = threadStash;
  if (s && s->top > 0) {
    c = s->free[--s->top];
  } else if (!s && poolFreeTop > 0) {
    c = poolFree[--poolFreeTop];
  } else {
    chunkPoolOverflows.fetch_add(1, std::memory_order_relaxed);
    c = spareChunk;
  }
  memset(c, 0, (size_t)sound_chunk_size);
  return c;
}

// Audio thread, or a block thread on its own stash.
void freeChunk(short *c) QAF_NONBLOCKING
{
  if (!c || c == spareChunk) return;
  chunkStash *s = threadStash;
  if (!s && inStashRegion(c)) s = &stashes[0];
  if (s && (inPool(c) || inStashRegion(c))) {
    QAF_ASSERT(s->top < s->cap);
    s->free[s->top++] = c;
  } else {
    QAF_ASSERT(inPool(c) && poolFreeTop < CHUNK_POOL_SIZE);
    poolFree[poolFreeTop++] = c;
  }
}

int chunksInUse()
{
  return (poolMem ? CHUNK_POOL_SIZE - poolFreeTop : 0) + stashChunks - stashes[0].top -
         stashes[1].top - chunksReturning();
}

// Audio thread, inside a pass.
short *verifyIn(int slot, int k) QAF_NONBLOCKING
{
  modRec *m = passMod(slot);
  if (!m->term[k]) m->term[k] = newChunk();
  return m->term[k];
}

// Audio thread, inside a pass.
void SendOut(int slot) QAF_NONBLOCKING
{
  const runGraph *g = passGraph;
  modRec *m = g->mod[slot];
  for (int k = 0; k < 4; k++) {
    short *c = m->term[k];
    if (!c) continue;
    m->term[k] = nullptr;
    int d = g->oTerm[slot * 4 + k];
    if (d != -1) {
      modRec *r = g->mod[d / 4];
      QAF_ASSERT(r != NULL);
      // A chunk still waiting there (its receiver was rewired to a new feeder before it ran)
      // is given back rather than lost.
      if (r->term[d % 4]) freeChunk(r->term[d % 4]);
      r->term[d % 4] = c;
    } else {
      freeChunk(c);
    }
  }
}

// Audio thread, inside a pass. Splits the device buffer into a left and a right chunk.
void fLineIn(int slot)
{
  modRec *m = passMod(slot);
  for (int k = 0; k < 4; k++) {
    if (m->term[k]) freeChunk(m->term[k]);
    m->term[k] = nullptr;
  }
  short *l = m->term[0] = newChunk();
  short *r = m->term[1] = newChunk();
  const short *frames = (const short *)buf;
  int n = sound_buffer_size / 4;
  for (int i = 0; i < n; i++) {
    l[i] = frames[2 * i];
    r[i] = frames[2 * i + 1];
  }
  SendOut(slot);
  memset(buf, 0, (size_t)sound_buffer_size);
}

// Audio thread, inside a pass. Puts its two input chunks back into the device buffer.
void fLineOut(int slot)
{
  short *a = verifyIn(slot, 0);
  short *b = verifyIn(slot, 1);
  short *frames = (short *)buf;
  int n = sound_buffer_size / 4;
  for (int i = 0; i < n; i++) {
    frames[2 * i] = a[i];
    frames[2 * i + 1] = b[i];
  }
  modRec *m = passMod(slot);
  freeChunk(a);
  freeChunk(b);
  m->term[0] = nullptr;
  m->term[1] = nullptr;
}
