// Sample modules: Looper (plays a stretch of a sample slot), Record Sample (1, 10 and 30 s
// buffers that play, overdub or record), Sync Sequencer (mutes triggers by an 8-step pattern)
// and Scratcher (a delay that slides with its slider). Terminal 3 carries triggers (samples
// above 1024) and sync pulses (32767). Pumps run on the audio thread inside a pass; inits
// and cleans on the UI thread, on a record outside the module table, away from the lock.
#include <glib.h>
#include <string.h>

#include "base/fatal.h"
#include "engine/soundNode.h"
#include "modules/backbuf.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"
#include "samples/loopStore.h"

#define SYNC_PULSE 32767
#define TRIGGER_LEVEL 1024
#define SCRATCH_LINE 44100        // samples of history; the line holds one more
#define SCRATCH_PER_MOVE 170.0f   // samples of delay per unit of "Move this"

// int(p) for a parameter a layout file may have set to anything: truncated toward zero, then
// held to lo..hi; NaN counts as lo. Values the dialog can give pass unchanged.
static int parmInt(float p, int lo, int hi)
{
  if (!(p >= float(lo))) return lo;
  if (p >= float(hi)) return hi;
  return int(p);
}

static float parmClamp(float p, float lo, float hi)
{
  if (!(p >= lo)) return lo;
  if (p > hi) return hi;
  return p;
}

static int clip16m(int v) { return v > 32767 ? 32767 : (v < -32767 ? -32767 : v); }

// ---- Looper ---------------------------------------------------------------------------------

struct looperState {
  guint32 pos;   // play position in samples
  guint32 last;  // position of the last sync pulse
};

void iLooper(modRec *m)
{
  m->parm[2] = 1023.0f;  // End: leaves out the last 1/1024 of the sample, as it always has
  m->parm[3] = 100.0f;
  m->parm[4] = 0.0f;
  m->parm[5] = 1.0f;
  m->Extra = rtAlloc(sizeof(looperState));
}

void unLooper(modRec *m)
{
  rtFree(m->Extra);
  m->Extra = nullptr;
}

// Audio thread, inside a pass. The slot's lock is only tried: when the UI thread holds it
// (a refill in progress) this chunk is silent. When the try succeeds the lock stays taken until
// the read is over, so the UI thread cannot free the sound while it is being played.
void fLooper(int slot)
{
  modRec *m = passMod(slot);
  looperState *st = (looperState *)m->Extra;
  QAF_ASSERT(st != NULL);
  if (m->term[0]) freeChunk(m->term[0]);
  short *out = m->term[0] = newChunk();
  short *t = verifyIn(slot, 3);
  short *sync = newChunk();
  int n = sound_chunk_size / 2;

  // Out-of-range values can only come from a layout file; they are held to the dialog's range
  // (Trigger Beats 0 would divide by zero, a negative speed would run before the stretch).
  float sample = m->parm[0];
  double step = parmClamp(m->parm[3], 10.0f, 800.0f) / 100.0;
  bool trigOnly = m->parm[4] != 0.0f;
  guint32 beats = (guint32)parmInt(m->parm[5], 1, 8);
  int ls = (sample > -1.0f && sample < float(NUM_LOOPS)) ? int(sample) : -1;

  if (ls < 0 || !tryLockLoop(ls)) {
    freeChunk(sync);
    SendOut(slot);
    return;
  }
  const short *data = loopData[ls];
  guint32 len = loopLength[ls] >= 2 ? guint32(loopLength[ls] / 2) : 0;
  // 64-bit products, so that samples longer than 4194304 samples keep exact stretch bounds.
  guint32 s = guint32((guint64)parmInt(m->parm[1], 0, 1024) * len / 1024);
  guint32 e = guint32((guint64)parmInt(m->parm[2], 0, 1024) * len / 1024);
  if (!data || len == 0 || s == e) {
    unlockLoopRead(ls);
    freeChunk(sync);
    SendOut(slot);
    return;
  }
  if (s > e) {
    guint32 x = s;
    s = e;
    e = x;
  }
  guint32 pos = st->pos, last = st->last;
  if (pos < s || pos >= e) pos = s;
  guint32 seg = (e - s) / beats;

  double fp = pos;
  for (int j = 0; j < n; j++) {
    out[j] = data[pos];
    fp = fp + step;
    pos = guint32(fp);
    if (pos >= e) {
      pos = trigOnly ? e - 1 : s;
      fp = pos;
    }
    if (t[j] > TRIGGER_LEVEL) {
      pos = s;
      fp = s;
    }
    if (pos == s) {
      sync[j] = SYNC_PULSE;
      last = pos;
    }
    if (pos - last > seg) {
      sync[j] = SYNC_PULSE;
      last = pos;
    }
  }
  unlockLoopRead(ls);

  st->pos = pos;
  st->last = last;
  freeChunk(t);
  m->term[3] = sync;
  SendOut(slot);
}

// ---- Record Sample --------------------------------------------------------------------------

// Save Sample copies the buffer a slice at a time between passes; the pump stamps each slice it
// writes with its pass number, so that the slices written after their copy are copied again.
#define RECORD_COPY_SLICE 4096  // samples: 8 KB, a microsecond or two of copying
#define RECORD_SLICES (1323000 / RECORD_COPY_SLICE + 1)

// The pump makes seq odd while it writes the buffer and even again when it is done; a copy made
// while seq stayed even and unchanged saw no write.
struct recState {
  short *data;
  int len;  // samples
  int pos;
  std::atomic<unsigned> seq;                  // twice the writing passes, plus one during one
  std::atomic<unsigned> written[RECORD_SLICES];  // seq of the pass that last wrote each slice
};

// Audio thread. Marks the slices of a run of positions written in this pass.
static inline void stampRun(recState *st, int from, int to) QAF_NONBLOCKING
{
  unsigned s = st->seq.load(std::memory_order_relaxed);
  st->written[from / RECORD_COPY_SLICE].store(s, std::memory_order_relaxed);
  st->written[to / RECORD_COPY_SLICE].store(s, std::memory_order_relaxed);
}

static void iRec(modRec *m, int samples)
{
  recState *st = (recState *)rtAlloc(sizeof(recState));
  // real-time memory: mapped and zeroed now rather than one page at a time inside passes
  st->data = (short *)rtAlloc(sizeof(short) * (size_t)samples);
  st->len = samples;
  st->pos = 0;
  m->Extra = st;
}

void iRec1(modRec *m) { iRec(m, 44100); }
void iRec0(modRec *m) { iRec(m, 441000); }
void iRec3(modRec *m) { iRec(m, 1323000); }

void unRec(modRec *m)
{
  recState *st = (recState *)m->Extra;
  if (st) {
    rtFree(st->data);
    rtFree(st);
  }
  m->Extra = nullptr;
}

// Audio thread, inside a pass.
void fRec(int slot)
{
  modRec *m = passMod(slot);
  recState *st = (recState *)m->Extra;
  QAF_ASSERT(st != NULL);
  // Any value but the three buttons' (only from a layout file) leaves everything alone.
  float p = m->parm[0];
  int mode = (p > -1.0f && p < 3.0f) ? int(p) : -1;
  if (mode < 0) {
    SendOut(slot);
    return;
  }
  short *x = verifyIn(slot, 0);
  short *t = verifyIn(slot, 3);
  int n = sound_chunk_size / 2;
  short *data = st->data;
  int pos = st->pos;
  // A run is never longer than a chunk, far shorter than a slice: its first and last positions
  // name every slice it touched.
  bool writes = mode != 0;
  unsigned seq = st->seq.load(std::memory_order_relaxed);
  if (writes) {
    st->seq.store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
  }
  int runFrom = pos;
  for (int j = 0; j < n; j++) {
    if (mode == 0) {
      x[j] = (short)clip16m(data[pos] + x[j]);
    } else if (mode == 1) {
      short v = (short)clip16m(x[j] + data[pos]);
      data[pos] = v;
      x[j] = v;
    } else {
      data[pos] = x[j];
    }
    int wrote = pos;
    pos = pos + 1;
    if (pos == st->len) pos = 0;
    if (t[j] > TRIGGER_LEVEL) pos = 0;
    if (pos == 0) {
      t[j] = SYNC_PULSE;
      if (writes) stampRun(st, runFrom, wrote);
      runFrom = 0;
    }
  }
  if (writes && n > 0 && pos != 0) stampRun(st, runFrom, pos - 1);
  if (writes) st->seq.store(seq + 2, std::memory_order_release);
  st->pos = pos;
  SendOut(slot);
}

// UI thread. The recorder's whole array (owned by the module) and its length in samples; none
// and 0 when the slot holds no recorder.
void getfromRec(int slot, short **data, int *count)
{
  *data = nullptr;
  *count = 0;
  modRec *m = MOD[slot];
  if (!m || m->type < 11 || m->type > 13 || !m->Extra) return;
  recState *st = (recState *)m->Extra;
  *data = st->data;
  *count = st->len;
}

int recordingLength(int slot)
{
  short *data;
  int count;
  getfromRec(slot, &data, &count);
  return count;
}

// UI thread. Copies the listed slices while the recorder writes nothing: true when no pass wrote
// the buffer meanwhile (the copy is then the buffer as it stood between two passes), false to
// try again. The pass never waits for a copy; a copy that a pass overlapped is simply redone.
static bool copySlices(recState *st, short *dst, const int *list, int n, unsigned *copiedAt,
                       unsigned s1)
{
  if (s1 & 1) return false;
  // A read that a write overlapped is thrown away below; the race is the method.
  QAF_TSAN_IGNORE_READS_BEGIN();
  for (int i = 0; i < n; i++) {
    int at = list[i] * RECORD_COPY_SLICE;
    int len = st->len - at < RECORD_COPY_SLICE ? st->len - at : RECORD_COPY_SLICE;
    memcpy(dst + at, st->data + at, (size_t)len * 2);
  }
  QAF_TSAN_IGNORE_READS_END();
  std::atomic_thread_fence(std::memory_order_acquire);
  if (st->seq.load(std::memory_order_relaxed) != s1) return false;
  for (int i = 0; i < n; i++) copiedAt[list[i]] = s1;
  return true;
}

// UI thread. The same until it succeeds; a pass lasts microseconds.
static void copySlicesClean(recState *st, short *dst, const int *list, int n, unsigned *copiedAt)
{
  for (int tries = 0;
       !copySlices(st, dst, list, n, copiedAt, st->seq.load(std::memory_order_acquire)); tries++)
    if (tries > 8) g_usleep(50);
}

void copyRecording(int slot, short *dst, int count)
{
  QAF_ASSERT(count == recordingLength(slot));  // a recorder's length is fixed when it is made
  recState *st = (recState *)MOD[slot]->Extra;
  int slices = (count + RECORD_COPY_SLICE - 1) / RECORD_COPY_SLICE;
  unsigned copiedAt[RECORD_SLICES];
  for (int k = 0; k < slices; k++) copySlicesClean(st, dst, &k, 1, copiedAt);
  // Slices written after their copy are copied again until the few that are left are copied
  // together in one go: the result is the buffer as it stood between two passes. A recorder
  // writes about one slice in the time a copy takes, so this ends at once; after a few rounds
  // (a UI thread held up for long) the rest is copied together regardless.
  int stale[RECORD_SLICES];
  for (int round = 0, tries = 0;; tries++) {
    // The list of stale slices and their copy must fall between the same two passes.
    unsigned s1 = st->seq.load(std::memory_order_acquire);
    if (s1 & 1) continue;
    int n = 0;
    for (int k = 0; k < slices; k++)
      if ((int)(st->written[k].load(std::memory_order_relaxed) - copiedAt[k]) > 0) stale[n++] = k;
    if (n <= 2 || round >= 4) {
      if (copySlices(st, dst, stale, n, copiedAt, s1)) return;
      if (tries > 8) g_usleep(50);
      continue;
    }
    for (int i = 0; i < n; i++) copySlicesClean(st, dst, &stale[i], 1, copiedAt);
    round++;
  }
}

// ---- Sync Sequencer -------------------------------------------------------------------------

// The current step lives in Extra itself, not in a block.
void iSeq(modRec *m) { m->Extra = GINT_TO_POINTER(0); }
void unSeq(modRec *) {}

// Audio thread, inside a pass.
void fSeq(int slot)
{
  modRec *m = passMod(slot);
  int k = GPOINTER_TO_INT(m->Extra);
  short *t = verifyIn(slot, 3);
  int n = sound_chunk_size / 2;
  for (int j = 0; j < n; j++) {
    if (t[j] > TRIGGER_LEVEL) {
      if (m->parm[k] < 0.1f) t[j] = 0;
      k = (k + 1) % 8;
    }
  }
  m->Extra = GINT_TO_POINTER(k);
  SendOut(slot);
}

// ---- Scratcher ------------------------------------------------------------------------------

struct scratchState {
  float prevMove;
  backBuf *line;
};

void iScratch(modRec *m)
{
  scratchState *st = (scratchState *)rtAlloc(sizeof(scratchState));
  st->prevMove = 0.0f;
  st->line = new backBuf(SCRATCH_LINE);
  m->Extra = st;
}

void unScratch(modRec *m)
{
  scratchState *st = (scratchState *)m->Extra;
  if (st) {
    delete st->line;
    rtFree(st);
  }
  m->Extra = nullptr;
}

// Audio thread, inside a pass.
void fScratch(int slot)
{
  modRec *m = passMod(slot);
  scratchState *st = (scratchState *)m->Extra;
  QAF_ASSERT(st != NULL);
  // Held to the slider's 0..256 (a layout may carry a negative or huge value), so the delay
  // always lies within the line.
  float M = parmClamp(m->parm[0], 0.0f, 256.0f);
  short *x = verifyIn(slot, 0);
  int n = sound_chunk_size / 2;
  float cur = SCRATCH_PER_MOVE * st->prevMove;
  float inc = (SCRATCH_PER_MOVE * M - SCRATCH_PER_MOVE * st->prevMove) / float(n);
  for (int j = 0; j < n; j++) {
    st->line->add(x[j]);
    // The float ramp may stray a hair outside its ends; the delay stays within the line.
    float dl = cur < 0.0f ? 0.0f : (cur > float(SCRATCH_LINE) ? float(SCRATCH_LINE) : cur);
    x[j] = st->line->get(unsigned(dl));
    cur = cur + inc;
  }
  st->prevMove = M;
  SendOut(slot);
}
