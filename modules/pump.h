// Chunks and how they move along wires. A chunk is one channel of one device buffer:
// sound_chunk_size bytes of signed 16-bit samples. Chunks come from a pool made once at start-up,
// so the audio thread never touches the general heap; they are handed out zero-filled and passed
// by pointer. Every chunk is taken and given back inside a pass: the free lists are the pass
// thread's, and the UI thread hands back the chunks of records no pass can see through a ring.
#ifndef QAF_PUMP_H
#define QAF_PUMP_H

#include <atomic>

#include "base/realtime.h"

#define CHUNK_POOL_SIZE 320     // every terminal slot of 64 modules full, plus what pumps hold
#define MAX_CHUNK_BYTES 2048    // one channel of the largest device buffer (4096 bytes)

// Makes the pool; later calls do nothing.
void initChunkPool();
// Audio thread, inside a pass. A zero-filled chunk of sound_chunk_size bytes.
short *newChunk() QAF_NONBLOCKING;
// Audio thread, inside a pass. Gives a chunk back.
void freeChunk(short *c) QAF_NONBLOCKING;
// UI thread: gives back a chunk that no pass can see any more (one of a retired record); the
// next pass puts it back into the free lists.
void returnChunk(short *c);
// Audio thread, at the start of a pass: takes back what returnChunk gave.
void takeReturnedChunks() QAF_NONBLOCKING;
// Chunks handed out and not yet given back.
int chunksInUse();
// How often the pool was empty, so that a pump got a scratch chunk instead (never, when sized
// right: the audio thread never falls back to the heap). Reported at the end of a run.
extern std::atomic<int> chunkPoolOverflows;

// Chunks for rendering a block of passes at a time on two threads (engine/blockRender.h).
// Main thread, before the audio thread starts: a region of count chunks of at least bytes each,
// all in stash 0. False when memory is short (or a smaller region was reserved before).
bool reserveBlockChunks(int count, int bytes);
// True when the region reserved holds count chunks of bytes each.
bool blockChunksFit(int count, int bytes) QAF_NONBLOCKING;
// Audio thread or a block thread: from now on this thread takes chunks from and gives them back
// to stash which (0 or 1); -1 returns it to the shared pool.
void useBlockStash(int which) QAF_NONBLOCKING;
// Audio thread, inside a block, no block thread running.
void moveStashChunks(int from, int to, int n) QAF_NONBLOCKING;
int stashFreeChunks(int which) QAF_NONBLOCKING;
short *adoptIntoStash(short *c) QAF_NONBLOCKING;

// Audio thread, inside a pass. The chunk at term[k] of the slot's module; a fresh
// zero-filled one is put there first when the slot is empty.
short *verifyIn(int slot, int k) QAF_NONBLOCKING;
// Audio thread, inside a pass. Sends term[0..3] along their output wires, freeing chunks at
// unwired outputs.
void SendOut(int slot) QAF_NONBLOCKING;

#endif
