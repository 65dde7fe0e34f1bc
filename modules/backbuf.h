// The two ring buffers of the delay-line modules: backBuf, a ring of samples (Chorus/Flange,
// Scratcher), and reverbBuffer, a ring of whole chunks (Reverb); and the shared sine table.
// Built on the UI thread by a module's init, used by its pump on the audio thread, destroyed by
// its clean.
#ifndef QAF_BACKBUF_H
#define QAF_BACKBUF_H

#include <stddef.h>

#include "base/rtMemory.h"

class backBuf {
public:
  QAF_RT_ALLOCATED
  explicit backBuf(unsigned n);
  ~backBuf();
  backBuf(const backBuf &) = delete;
  backBuf &operator=(const backBuf &) = delete;

  // Audio thread. Adds the newest sample.
  void add(short v)
  {
    pos = pos + 1;
    if (pos == int(nstor)) pos = 0;
    data[pos] = v;
  }
  // Audio thread. get(0) is the newest sample, get(d) the one added d calls of add before it.
  short get(unsigned Delay) QAF_NONBLOCKING;
  unsigned length() const { return nstor; }
  // For a pump that walks the ring itself in a tight loop, taking over get's checks: the
  // sample array, and the index of the newest sample, which it sets back when it is done.
  short *samples() { return data; }
  int newest() const { return pos; }
  void setNewest(int p) { pos = p; }

private:
  short *data;
  unsigned nstor;
  int pos;
};

// A ring of n whole chunks of the chunk size in force when it is made.
class reverbBuffer {
public:
  QAF_RT_ALLOCATED
  explicit reverbBuffer(int n);
  ~reverbBuffer();
  reverbBuffer(const reverbBuffer &) = delete;
  reverbBuffer &operator=(const reverbBuffer &) = delete;

  int numChunks() const { return nChunks; }
  // Audio thread, inside a pass. Copies sound_chunk_size bytes in; the caller keeps its chunk.
  void addChunk(char *chunk) QAF_NONBLOCKING;
  // Audio thread, inside a pass. A new chunk (from the chunk pool) holding the slot added
  // delay calls of addChunk ago; the caller owns it.
  char *getChunk(int delay) QAF_NONBLOCKING;
  // For a pump that works in the ring in place, when the slots have the chunk size in force
  // (slotBytes() == sound_chunk_size): the slot getChunk(delay) would copy, the slot the next
  // addChunk would fill, and the step addChunk takes after filling it.
  int slotBytes() const { return chunkBytes; }
  const short *slotAt(int delay) const QAF_NONBLOCKING;
  short *nextSlot() { return (short *)(data + (size_t)pos * chunkBytes); }
  void advance() { pos = pos + 1 == nChunks ? 0 : pos + 1; }

private:
  char *data;
  int nChunks;
  int pos;
  int chunkBytes;  // the size of one slot; never more than is copied in or out
};

// 1024 * sin(i degrees), i = 0..359, truncated toward zero; built once by initSinLookUp.
extern int sinLookUp[360];
extern int isSinLookUp;
// UI thread (a module's init). Builds the table the first time, announcing it.
void initSinLookUp();

#endif
