// Chunk passing (the chunk pool, verifyIn, SendOut) and the two line modules that connect the
// patch to the device buffer. All of it runs with the graph lock held; the pumps run on the
// audio thread.
#include "modules/pump.h"

#include <string.h>

#include "audio/cardfeed.h"
#include "engine/fatal.h"
#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"

int chunkPoolOverflows = 0;

static char *poolMem = nullptr;
static short *poolFree[CHUNK_POOL_SIZE];
static int poolFreeTop = 0;
static int heapChunks = 0;

void initChunkPool()
{
  if (poolMem) return;
  poolMem = (char *)g_malloc0((gsize)CHUNK_POOL_SIZE * MAX_CHUNK_BYTES);
  for (int n = 0; n < CHUNK_POOL_SIZE; n++)
    poolFree[n] = (short *)(poolMem + (size_t)(CHUNK_POOL_SIZE - 1 - n) * MAX_CHUNK_BYTES);
  poolFreeTop = CHUNK_POOL_SIZE;
}

static bool inPool(const short *c)
{
  const char *p = (const char *)c;
  return poolMem && p >= poolMem && p < poolMem + (size_t)CHUNK_POOL_SIZE * MAX_CHUNK_BYTES;
}

// Graph lock held (audio thread or UI thread).
short *newChunk()
{
  short *c;
  if (poolFreeTop > 0) {
    c = poolFree[--poolFreeTop];
  } else {
    // Cannot happen with the pool sized for the worst case; stay correct rather than crash.
    chunkPoolOverflows++;
    heapChunks++;
    c = (short *)g_malloc(MAX_CHUNK_BYTES);
  }
  memset(c, 0, (size_t)sound_chunk_size);
  return c;
}

// Graph lock held (audio thread or UI thread).
void freeChunk(short *c)
{
  if (!c) return;
  if (inPool(c)) {
    QAF_ASSERT(poolFreeTop < CHUNK_POOL_SIZE);
    poolFree[poolFreeTop++] = c;
  } else {
    heapChunks--;
    g_free(c);
  }
}

int chunksInUse() { return (poolMem ? CHUNK_POOL_SIZE - poolFreeTop : 0) + heapChunks; }

// Audio thread, graph lock held.
short *verifyIn(int slot, int k)
{
  modRec *m = MOD[slot];
  if (!m->term[k]) m->term[k] = newChunk();
  return m->term[k];
}

// Audio thread, graph lock held.
void SendOut(int slot)
{
  modRec *m = MOD[slot];
  for (int k = 0; k < 4; k++) {
    short *c = m->term[k];
    if (!c) continue;
    m->term[k] = nullptr;
    int d = O_TERM_WIRE(slot * 4 + k);
    if (d != -1) {
      modRec *r = MOD[d / 4];
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

// Audio thread, graph lock held. Splits the device buffer into a left and a right chunk.
void fLineIn(int slot)
{
  modRec *m = MOD[slot];
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

// Audio thread, graph lock held. Puts its two input chunks back into the device buffer.
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
  modRec *m = MOD[slot];
  freeChunk(a);
  freeChunk(b);
  m->term[0] = nullptr;
  m->term[1] = nullptr;
}
