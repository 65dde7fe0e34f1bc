// The sample slots: their sounds, locks and names (the WAV reader is in wavRead.cpp). The UI thread is the only one that fills or
// empties a slot, and it holds the slot's lock while it does; the audio thread only tries it.
#include "samples/loopStore.h"

#include <glib.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "engine/hooks.h"

short *loopData[NUM_LOOPS];
int loopLength[NUM_LOOPS];
pthread_mutex_t loopMutex[NUM_LOOPS];
static char *loopName[NUM_LOOPS];

void initLoops()
{
  printf("Creating loops and loop mutexes\n");
  for (int n = 0; n < NUM_LOOPS; n++) {
    loopData[n] = nullptr;
    loopLength[n] = 0;
    pthread_mutex_init(&loopMutex[n], nullptr);
  }
}

void cleanLoops()
{
  for (int n = 0; n < NUM_LOOPS; n++) pthread_mutex_destroy(&loopMutex[n]);
  printf("Destroyed loop mutexes\n");
}

void lockLoop(int slot) { pthread_mutex_lock(&loopMutex[slot]); }

void unlockLoop(int slot) { pthread_mutex_unlock(&loopMutex[slot]); }

// Any thread; never waits.
int isLockLoop(int slot)
{
  if (pthread_mutex_trylock(&loopMutex[slot]) == 0) {
    pthread_mutex_unlock(&loopMutex[slot]);
    return 0;
  }
  return 1;
}

// Audio thread; never waits.
int tryLockLoop(int slot) { return pthread_mutex_trylock(&loopMutex[slot]) == 0 ? 1 : 0; }

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
