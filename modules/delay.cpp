// Delay-line modules: Reverb (a ring of whole chunks), Chorus/Flange (a swept tap on a
// one-second sample line) and Octave Down, with the chunk ring reverbBuffer and the sine table.
// All pumps run on the audio thread inside a pass; init and clean run on the UI thread
// on a record outside the module table, away from the lock, and are the only places that allocate.
#include <glib.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "base/fatal.h"
#include "engine/soundNode.h"
#include "modules/arith.h"
#include "modules/backbuf.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"

// ---- reverbBuffer -----------------------------------------------------------------------

reverbBuffer::reverbBuffer(int n) : data(nullptr), nChunks(n), pos(0), chunkBytes(sound_chunk_size)
{
  // real-time memory: mapped and zeroed now, rather than inside passes
  data = (char *)rtAlloc((size_t)nChunks * (size_t)chunkBytes);
}

reverbBuffer::~reverbBuffer() { rtFree(data); }

// Audio thread. The ring's slots keep the chunk size they were made with; should the size in
// force ever differ, only the bytes both have are copied, so nothing is read or written past
// either block.
static inline size_t ringCopyBytes(int slotBytes)
{
  return (size_t)(slotBytes < sound_chunk_size ? slotBytes : sound_chunk_size);
}

// Audio thread, inside a pass.
void reverbBuffer::addChunk(char *chunk) QAF_NONBLOCKING
{
  memcpy(data + (size_t)pos * chunkBytes, chunk, ringCopyBytes(chunkBytes));
  pos = (pos + 1) % nChunks;
}

// Audio thread, inside a pass. pos is the next slot to write, so delay 1 is the newest chunk.
char *reverbBuffer::getChunk(int delay) QAF_NONBLOCKING
{
  QAF_ASSERT((delay >= 0) && (delay < nChunks));
  int slot = pos - delay;
  while (slot < 0) slot += nChunks;
  char *c = (char *)newChunk();
  memcpy(c, data + (size_t)slot * chunkBytes, ringCopyBytes(chunkBytes));
  return c;
}

// Audio thread, inside a pass. The same slot getChunk(delay) copies, in place.
const short *reverbBuffer::slotAt(int delay) const QAF_NONBLOCKING
{
  QAF_ASSERT((delay >= 0) && (delay < nChunks));
  int slot = pos - delay;
  while (slot < 0) slot += nChunks;
  return (const short *)(data + (size_t)slot * chunkBytes);
}

// ---- sine table -------------------------------------------------------------------------

int sinLookUp[360];
int isSinLookUp = 0;

// UI thread (from a Chorus/Flange init).
void initSinLookUp()
{
  if (isSinLookUp) return;
  printf("Initializing sin lookup table\n");
  // pi as a 32-bit float, and the sine rounded to a float before scaling: that rounding is what
  // makes entries 90 and 270 come out as exactly +-1024
  const float pi = 3.14159265358979f;
  for (int i = 0; i < 360; i++) {
    float angle = pi * i / 180;
    float s = (float)sin((double)angle);
    sinLookUp[i] = (int)(s * 1024);
  }
  isSinLookUp = 1;
}

// ---- Reverb -----------------------------------------------------------------------------

// One block of Reverb with 16-bit levels: every product fits 32 bits. y is the output, fb
// what goes into the ring; the three blocks never overlap.
template <int N>
static QAF_BLOCK_INLINE void reverbBlock(short *__restrict x, const short *__restrict echo,
                                         short *__restrict fb, int n, int16_t dry, int16_t wet,
                                         int16_t regen)
{
  if (N) n = N;
  for (int j = 0; j < n; j++) {
    int32_t y = clip32((x[j] * dry) / 256 + (echo[j] * wet) / 256, -32767, 32767);
    fb[j] = (short)clip32((y * regen) / 256 + x[j], -32767, 32767);
    x[j] = (short)y;
  }
}

// Audio thread, inside a pass. Adds to the input the chunk the ring held d chunks ago; with
// Regen above 0 the output is fed back into the ring, so echoes repeat.
QAF_VECTOR_CLONES void fReverb(int slot)
{
  modRec *me = passMod(slot);
  QAF_ASSERT(me->Extra != NULL);
  reverbBuffer *ring = (reverbBuffer *)me->Extra;
  int nChunks = ring->numChunks();

  // Delay is a whole number of chunks, at least 1 and below the ring's length; a NaN or
  // negative Delay acts as 0, anything at or past 256 as 256.
  float delayShare = me->parm[0] / 256.0f;
  float dChunks = delayShare * nChunks;
  int d;
  if (!(dChunks >= 1.0f))
    d = 1;
  else if (dChunks >= (float)nChunks)
    d = nChunks - 1;
  else
    d = (int)dChunks;

  int64_t dry = parmInt(me->parm[2]);
  int64_t wet = parmInt(me->parm[1]);
  int64_t regen = parmInt(me->parm[3]);
  int n = sound_chunk_size / 2;

  if (ring->slotBytes() == sound_chunk_size && d > 0 && dry >= -32767 && dry <= 32767 &&
      wet >= -32767 && wet <= 32767 && regen >= -32767 && regen <= 32767) {
    // Every level a dialog can set, with the ring made at the chunk size in force: the echo is
    // read where it lies and the feedback written straight into the ring's next slot (never
    // the echo's: d is 1 or more and below the ring's length), and the input chunk takes the
    // output.
    const short *echo = ring->slotAt(d);
    short *fb = ring->nextSlot();
    short *x = verifyIn(slot, 0);
    int j = 0;
    for (; j + PUMP_BLOCK <= n; j += PUMP_BLOCK)
      reverbBlock<PUMP_BLOCK>(x + j, echo + j, fb + j, PUMP_BLOCK, (int16_t)dry, (int16_t)wet,
                              (int16_t)regen);
    if (j < n)
      reverbBlock<0>(x + j, echo + j, fb + j, n - j, (int16_t)dry, (int16_t)wet, (int16_t)regen);
    ring->advance();
    SendOut(slot);
    return;
  }

  short *echo = (short *)ring->getChunk(d);
  short *x = verifyIn(slot, 0);
  short *y = newChunk();
  for (int j = 0; j < n; j++) {
    y[j] = clip16m((x[j] * dry) / 256 + (echo[j] * wet) / 256);
    x[j] = clip16m((y[j] * regen) / 256 + x[j]);
  }
  me->term[0] = y;
  ring->addChunk((char *)x);
  freeChunk(x);
  freeChunk(echo);
  SendOut(slot);
}

// UI thread, before the module is published. The ring's size is fixed by the chunk size now in force.
void iReverb(modRec *m)
{
  m->parm[0] = 15.0;
  m->parm[1] = 128.0;
  m->parm[2] = 200.0;
  m->parm[3] = 0.0;
  // a quarter of a second of mono sound (88200 bytes a second) plus one chunk
  unsigned n = (88200u / (unsigned)sound_chunk_size) / 4 + 1;
  m->Extra = new reverbBuffer((int)n);
}

void unReverb(modRec *m)
{
  if (m->Extra) delete (reverbBuffer *)m->Extra;
  m->Extra = nullptr;
}

// ---- Chorus/Flange ----------------------------------------------------------------------

#define CHORUS_LINE 44100  // one second of samples; the line remembers one more than this

struct chorState {
  backBuf *line;
  float phase;  // LFO phase in degrees, 0.0 <= phase < 359.0
};

// Chorus/Flange over n samples when the tap can never leave the line (Depth 0..648, so the
// offset needs no clipping and its product is never negative) and Wet, Dry and Regen fit 16
// bits, so that every product fits 32 bits: the same steps as below, with the line walked
// directly. The mode is fixed per call. Each block first runs the sweep alone (the phase is the
// one float recursion); when every tap of the block then lies at or before the newest sample
// the block started with (offset at least the block's length less one), no tap reads a sample
// the block itself adds, and the taps, the mix and the writes become separate straight loops.
template <bool LongMode>
static QAF_BLOCK_INLINE void chorusFast(short *x, int n, int32_t depth8, int16_t dry,
                                        int16_t wet, int16_t regen, float inc, chorState *st)
{
  backBuf *line = st->line;
  short *data = line->samples();
  int nstor = (int)line->length();
  int pos = line->newest();
  float phase = st->phase;
  for (int j0 = 0; j0 < n; j0 += PUMP_BLOCK) {
    int m = n - j0 < PUMP_BLOCK ? n - j0 : PUMP_BLOCK;
    short *xb = x + j0;
    int32_t off[PUMP_BLOCK];
    int32_t nearest = CHORUS_LINE;
    for (int j = 0; j < m; j++) {
      int32_t s = sinLookUp[(int)phase];
      uint32_t sweep = LongMode ? (uint32_t)(16 * (s / 16) + 16384) : (uint32_t)(s + 1024);
      off[j] = (int32_t)(((uint32_t)depth8 * sweep) / 2048u);
      if (off[j] < nearest) nearest = off[j];
      phase = phase + inc;
      if (!(phase >= 0.0f && phase < 359.0f)) phase = 0.0f;
    }
    if (m == PUMP_BLOCK && nearest >= PUMP_BLOCK - 1) {
      short w[PUMP_BLOCK], fb[PUMP_BLOCK];
      for (int j = 0; j < PUMP_BLOCK; j++) {
        int at = pos + j - off[j];  // never past pos: off[j] >= j
        if (at < 0) at += nstor;
        w[j] = data[at];
      }
      for (int j = 0; j < PUMP_BLOCK; j++) {
        int32_t y = clip32((w[j] * wet) / 256 + (xb[j] * dry) / 256, -32767, 32767);
        fb[j] = (short)clip32(xb[j] + (w[j] * regen) / 256, -32767, 32767);
        xb[j] = (short)y;
      }
      // the block's additions go after the newest sample, wrapping at the line's end
      int first = nstor - 1 - pos;
      if (first > PUMP_BLOCK) first = PUMP_BLOCK;
      memcpy(data + pos + 1, fb, sizeof(short) * (size_t)first);
      memcpy(data, fb + first, sizeof(short) * (size_t)(PUMP_BLOCK - first));
      pos += PUMP_BLOCK;
      if (pos >= nstor) pos -= nstor;
      continue;
    }
    for (int j = 0; j < m; j++) {
      int32_t dr = (xb[j] * dry) / 256;
      int at = pos - off[j];
      if (at < 0) at += nstor;
      int32_t w = data[at];
      int32_t y = clip32((w * wet) / 256 + dr, -32767, 32767);
      pos = pos + 1;
      if (pos == nstor) pos = 0;
      data[pos] = (short)clip32(xb[j] + (w * regen) / 256, -32767, 32767);
      xb[j] = (short)y;
    }
  }
  line->setNewest(pos);
  st->phase = phase;
}

// Audio thread, inside a pass. A tap swept by a sine over the last second of input.
QAF_VECTOR_CLONES void fChor(int slot)
{
  modRec *m = passMod(slot);
  chorState *st = (chorState *)m->Extra;
  QAF_ASSERT(st != NULL && st->line != NULL);

  int64_t wet = parmInt(m->parm[3]);
  int64_t dry = parmInt(m->parm[4]);
  int64_t regen = parmInt(m->parm[5]);
  int64_t depth8 = (int64_t)parmInt(m->parm[0]) * 8;
  bool longMode = m->parm[2] > 0.1;
  float inc = m->parm[1] / 1000;

  short *x = verifyIn(slot, 0);
  int n = sound_chunk_size / 2;
  if (depth8 >= 0 && depth8 <= 648 * 8 && wet >= -32767 && wet <= 32767 && dry >= -32767 &&
      dry <= 32767 && regen >= -32767 && regen <= 32767 && st->line->length() == CHORUS_LINE + 1) {
    // every setting a dialog can make
    if (longMode)
      chorusFast<true>(x, n, (int32_t)depth8, (int16_t)dry, (int16_t)wet, (int16_t)regen, inc, st);
    else
      chorusFast<false>(x, n, (int32_t)depth8, (int16_t)dry, (int16_t)wet, (int16_t)regen, inc, st);
    SendOut(slot);
    return;
  }

  float phase = st->phase;
  backBuf *line = st->line;
  for (int j = 0; j < n; j++) {
    int64_t dr = (x[j] * dry) / 256;
    int64_t s = sinLookUp[(int)phase];
    int64_t off;
    if (!longMode)
      off = (depth8 * (s + 1024)) / 2048;  // sweeps 0..8 * Depth
    else
      off = (depth8 * (16 * (s / 16) + 16384)) / 2048;  // 60..68 * Depth, sine in steps of 16
    phase = phase + inc;
    // Restart at exactly 0, not reduced by 359. A negative or NaN phase (a Speed from a layout
    // file) restarts too, so the table is never read outside 0..358.
    if (!(phase >= 0.0f && phase < 359.0f)) phase = 0.0f;
    // The line holds 44101 samples; a Depth of 649 or more in the long mode (only from a layout
    // file) would reach past it, so the tap stops at the oldest sample.
    off = clip64(off, 0, CHORUS_LINE);
    int64_t w = line->get((unsigned)off);
    short y = clip16m((w * wet) / 256 + dr);
    line->add(clip16m(x[j] + (w * regen) / 256));
    x[j] = y;
  }
  st->phase = phase;
  SendOut(slot);
}

// UI thread, before the module is published. A silent one-second line, phase 0.
void iChor(modRec *m)
{
  chorState *st = (chorState *)rtAlloc(sizeof(chorState));
  st->line = new backBuf(CHORUS_LINE);
  st->phase = 0.0f;
  m->Extra = st;
  m->parm[0] = 50.0;
  m->parm[1] = 5.0;
  m->parm[2] = 0.0;
  m->parm[3] = 100.0;
  m->parm[4] = 200.0;
  initSinLookUp();
}

void unChor(modRec *m)
{
  chorState *st = (chorState *)m->Extra;
  if (st) {
    delete st->line;
    rtFree(st);
  }
  m->Extra = nullptr;
}

// ---- Octave Down ------------------------------------------------------------------------

struct octState {
  int32_t prev;  // the last input sample
  int32_t flip;  // 1 while the sign is being turned over
};

// Audio thread, inside a pass. Flips the sign at every rising zero crossing, multiplying the
// signal by a square wave at half its frequency.
void fOctave(int slot)
{
  modRec *m = passMod(slot);
  octState *st = (octState *)m->Extra;
  QAF_ASSERT(st != NULL);
  int32_t prev = st->prev, flip = st->flip;

  short *x = verifyIn(slot, 0);
  int n = sound_chunk_size / 2;
  for (int j = 0; j < n; j++) {
    if (prev < 0 && x[j] >= 0) flip = 1 - flip;
    prev = x[j];
    // in 16 bits -(-32768) is -32768 again
    if (flip == 1 && x[j] != -32768) x[j] = (short)-x[j];
  }
  st->prev = prev;
  st->flip = flip;
  SendOut(slot);
}

// UI thread, before the module is published.
void iOctave(modRec *m)
{
  m->Extra = (octState *)rtAlloc(sizeof(octState));
}

void unOctave(modRec *m)
{
  rtFree(m->Extra);
  m->Extra = nullptr;
}
