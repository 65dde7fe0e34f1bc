// The sample slots: their sounds, locks and names (the WAV loader is sndfile/wavRead.cpp). The UI
// thread is the only one that fills or empties a slot, and it holds the slot's lock while it
// does; the audio thread only tries it.
#include "samples/loopStore.h"
#include "engine/taps.h"

#include <glib.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

#include "base/hooks.h"

short *loopData[NUM_LOOPS];
int loopLength[NUM_LOOPS];
pthread_mutex_t loopMutex[NUM_LOOPS];
static char *loopName[NUM_LOOPS];
// Who uses each slot's sound now: nobody, a pass reading it, or the UI thread holding its lock.
enum { SLOT_FREE, SLOT_READ, SLOT_HELD };
static std::atomic<int> slotUse[NUM_LOOPS];

void initLoops()
{
  printf("Creating loops and loop mutexes\n");
  for (int n = 0; n < NUM_LOOPS; n++) {
    loopData[n] = nullptr;
    loopLength[n] = 0;
    pthread_mutex_init(&loopMutex[n], nullptr);
    slotUse[n] = SLOT_FREE;
  }
}

void cleanLoops()
{
  for (int n = 0; n < NUM_LOOPS; n++) pthread_mutex_destroy(&loopMutex[n]);
  printf("Destroyed loop mutexes\n");
}

void lockLoop(int slot)
{
  pthread_mutex_lock(&loopMutex[slot]);
  // A pass reads a slot for one chunk at most: a few microseconds.
  for (int tries = 0;; tries++) {
    int expected = SLOT_FREE;
    if (slotUse[slot].compare_exchange_weak(expected, SLOT_HELD, std::memory_order_acquire)) return;
    if (tries > 64) g_usleep(20);
  }
}

void unlockLoop(int slot)
{
  // The mutex is only ever taken by lockLoop; a pass that tried the slot holds the atomic alone.
  if (slotUse[slot].exchange(SLOT_FREE, std::memory_order_release) == SLOT_HELD)
    pthread_mutex_unlock(&loopMutex[slot]);
}

// Any thread; never waits.
int isLockLoop(int slot)
{
  if (slotUse[slot].load() != SLOT_FREE) return 1;
  if (pthread_mutex_trylock(&loopMutex[slot]) == 0) {
    pthread_mutex_unlock(&loopMutex[slot]);
    return 0;
  }
  return 1;
}

// Audio thread; never waits.
void unlockLoopRead(int slot) QAF_NONBLOCKING { slotUse[slot].store(SLOT_FREE, std::memory_order_release); }

// Audio thread; never waits.
int tryLockLoop(int slot) QAF_NONBLOCKING
{
  int expected = SLOT_FREE;
  return slotUse[slot].compare_exchange_strong(expected, SLOT_READ, std::memory_order_acquire) ? 1
                                                                                              : 0;
}

void deleteLoop(int slot)
{
  if (loopData[slot]) {
    g_free(loopData[slot]);
    loopData[slot] = nullptr;
  }
}

int isLoopFull(int slot) { return loopData[slot] != nullptr; }

void putrawLoop(int slot, short *samples, int count)
{
  deleteLoop(slot);
  // A negative count (only from a damaged caller) or one whose byte length leaves 32 bits
  // leaves the slot empty instead of asking for an impossible buffer.
  if (count < 0 || count > INT_MAX / 2) return;
  loopLength[slot] = count * 2;
  // One spare byte, so that an empty sound still gets a buffer and the slot reads as full.
  short *b = (short *)g_malloc((gsize)count * 2 + 1);
  if (count > 0) memcpy(b, samples, (size_t)count * 2);
  loopData[slot] = b;
}

const char *getLoopName(int slot) { return loopName[slot] ? loopName[slot] : ""; }

void setLoopName(int slot, const char *name)
{
  char *old = loopName[slot];
  loopName[slot] = g_strdup(name ? name : "");
  g_free(old);
  notifySampleNameChanged(slot);
}

// The slots go with the program.
static const bool tapsHung = [] {
  taps.cleanUp = cleanLoops;
  return true;
}();
