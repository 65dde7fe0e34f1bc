// The sample store: 64 slots of mono signed 16-bit sound at 44100 Hz, each with its own lock,
// its name (what the sample list shows), and the WAV reader that fills them (sndfile/wavRead.cpp,
// with the program's other sound-file code).
#ifndef QAF_LOOPSTORE_H
#define QAF_LOOPSTORE_H

#include <pthread.h>
#include <stdio.h>

#include "base/realtime.h"

#define NUM_LOOPS 64

extern short *loopData[NUM_LOOPS];
extern int loopLength[NUM_LOOPS];  // bytes; meaningful while the slot is full
extern pthread_mutex_t loopMutex[NUM_LOOPS];

// Main thread, start-up and shutdown.
void initLoops();
void cleanLoops();

// UI thread. Takes the slot's lock; waits (microseconds) for a pass that is reading the slot.
void lockLoop(int slot);
// Either thread, never blocks the audio thread. Gives back what lockLoop or tryLockLoop took.
void unlockLoop(int slot);
// Any thread, never blocks. 1 when somebody holds the slot's lock, else 0.
int isLockLoop(int slot);
// Audio thread, never blocks. 1 when it took the slot's lock (the caller reads the slot and then
// calls unlockLoop), 0 when somebody else holds it. Holding the lock for the whole read is what
// keeps the UI thread from freeing the sound under the reader. The audio thread's side is an
// atomic, not a mutex: releasing a mutex may enter the kernel to wake a waiter.
int tryLockLoop(int slot) QAF_NONBLOCKING;
// Audio thread, never blocks. Gives back what tryLockLoop took.
void unlockLoopRead(int slot) QAF_NONBLOCKING;
// UI thread, slot lock held. Frees the slot's sound.
void deleteLoop(int slot);
int isLoopFull(int slot);
// UI thread, slot lock held. Empties the slot, then reads a WAV file into it: 1 loaded, 0 failed.
int loadLoop(int slot, char *filename);
// The same reader on an open stream of flen bytes (path only names the file in messages). The
// stream stays open; loadLoop closes its own.
int loadLoopStream(int slot, FILE *f, long long flen, const char *path);
// UI thread, slot lock held. Empties the slot, then stores a copy of count samples.
void putrawLoop(int slot, short *samples, int count);

// UI thread. The slot's name as the sample list shows it ("" at start). Setting it tells the
// sample list through the hook layer.
const char *getLoopName(int slot);
void setLoopName(int slot, const char *name);

#endif
