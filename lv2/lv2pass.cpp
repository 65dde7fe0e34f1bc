// A plugin module in the pass: its input chunks become floats, the controls and waiting
// messages go to its ports, its own run() is called (the pass's one call into foreign code, with
// denormals flushed around it and nowhere else), and its floats come back as 16-bit chunks,
// saturated, with NaN and infinity made silence.
#include <lv2/atom/util.h>
#include <float.h>
#include <math.h>
#include <string.h>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#define QAF_HAVE_MXCSR 1
#endif

#include "audio/cardfeed.h"
#include "lv2/lv2internal.h"
#include "modules/pump.h"

// Audio thread. An empty sequence in an input's buffer.
static inline LV2_Atom_Sequence *clearSequence(uint8_t *buf) QAF_NONBLOCKING
{
  LV2_Atom_Sequence *seq = (LV2_Atom_Sequence *)buf;
  seq->atom.type = lv2U().atomSequence;
  seq->atom.size = sizeof(LV2_Atom_Sequence_Body);
  seq->body.unit = 0;
  seq->body.pad = 0;
  return seq;
}

// Audio thread. Appends one event at frame 0; false when the buffer is full.
static bool appendEvent(LV2_Atom_Sequence *seq, const LV2_Atom *a) QAF_NONBLOCKING
{
  uint32_t used = (uint32_t)sizeof(LV2_Atom) + seq->atom.size;
  uint32_t need = lv2_atom_pad_size((uint32_t)sizeof(LV2_Atom_Event) + a->size);
  if (used + need > LV2_ATOM_BYTES) return false;
  LV2_Atom_Event *ev = (LV2_Atom_Event *)((uint8_t *)seq + used);
  ev->time.frames = 0;
  memcpy(&ev->body, a, sizeof(LV2_Atom) + a->size);
  seq->atom.size += need;
  return true;
}

// Audio thread. The first pass tells a plugin that follows time where it is: rolling, from
// frame 0 (QAF has no transport).
static void appendTime(lv2Inst *p, LV2_Atom_Sequence *seq) QAF_NONBLOCKING
{
  const lv2Urids &u = lv2U();
  struct {
    LV2_Atom_Object obj;
    LV2_Atom_Property_Body frameKey;
    int64_t frame;
    LV2_Atom_Property_Body speedKey;
    float speed;
    uint32_t pad;
  } t;
  t.obj.atom.type = u.atomObject;
  t.obj.atom.size = sizeof t - sizeof(LV2_Atom);
  t.obj.body.id = 0;
  t.obj.body.otype = u.timePosition;
  t.frameKey.key = u.timeFrame;
  t.frameKey.context = 0;
  t.frameKey.value.type = u.atomLong;
  t.frameKey.value.size = sizeof(int64_t);
  t.frame = p->rt->frame;
  t.speedKey.key = u.timeSpeed;
  t.speedKey.context = 0;
  t.speedKey.value.type = u.atomFloat;
  t.speedKey.value.size = sizeof(float);
  t.speed = 1.0f;
  t.pad = 0;
  if (appendEvent(seq, &t.obj.atom)) p->rt->timeSent = true;
}

// The MIDI messages of the pass under way.
static std::atomic<const uint32_t *> passMidi{nullptr};
static std::atomic<int> passMidiCount{0};
static std::atomic<unsigned> passMidiGen{0};  // which pass's messages they are

// Audio thread, before the pass's modules run.
void lv2SetPassMidi(const uint32_t *msgs, int n) QAF_NONBLOCKING
{
  passMidi.store(msgs, std::memory_order_relaxed);
  passMidiCount.store(n, std::memory_order_relaxed);
  passMidiGen.fetch_add(1, std::memory_order_release);
}

// Audio thread. The pass's MIDI messages as midi:MidiEvent atoms, at the start of the block;
// once to each plugin (a block of passes that shares one set of messages hands them on once).
static void appendMidi(lv2Inst *p, LV2_Atom_Sequence *seq) QAF_NONBLOCKING
{
  unsigned gen = passMidiGen.load(std::memory_order_acquire);
  if (gen == p->rt->midiGen) return;
  p->rt->midiGen = gen;
  int n = passMidiCount.load(std::memory_order_relaxed);
  const uint32_t *m = passMidi.load(std::memory_order_relaxed);
  for (int k = 0; k < n && m; k++) {
    struct {
      LV2_Atom atom;
      uint8_t b[4];
    } ev;
    uint8_t status = (uint8_t)m[k];
    // Program change and channel pressure carry one data byte, the others two.
    uint32_t len = (status & 0xE0) == 0xC0 ? 2 : 3;
    ev.atom.size = len;
    ev.atom.type = lv2U().midiEvent;
    ev.b[0] = status;
    ev.b[1] = (uint8_t)(m[k] >> 8);
    ev.b[2] = (uint8_t)(m[k] >> 16);
    ev.b[3] = 0;
    if (!appendEvent(seq, &ev.atom)) break;
  }
}

// Audio thread.
void lv2Process(lv2Inst *p, int frames) QAF_NONBLOCKING
{
  lv2Desc *d = p->desc;
  for (size_t k = 0; k < d->controls.size(); k++) p->ports[d->controlIn[k]] = p->values[k];
  for (size_t k = 0; k < d->atomIn.size(); k++) {
    LV2_Atom_Sequence *seq = clearSequence(p->atomBuf[d->atomIn[k]]);
    if ((int)d->atomIn[k] == d->midiPort && p->rt->inPass) appendMidi(p, seq);
    if (k) continue;  // messages go to the first input, the plugin's control port
    if (d->wantsTime && !p->rt->timeSent) appendTime(p, seq);
    uint8_t *msg = p->rt->scratch;
    while (uint32_t n = p->rt->fileRing.peek()) {
      if (n > sizeof p->rt->scratch) {
        p->rt->fileRing.read(msg, 0);
        continue;
      }
      // A message that does not fit this block waits for the next.
      if (lv2_atom_pad_size((uint32_t)sizeof(LV2_Atom_Event) + n) +
              (uint32_t)sizeof(LV2_Atom) + seq->atom.size > LV2_ATOM_BYTES)
        break;
      p->rt->fileRing.read(msg, n);
      appendEvent(seq, (const LV2_Atom *)msg);
    }
  }
  for (uint32_t k : d->atomOut) {
    LV2_Atom *a = (LV2_Atom *)p->atomBuf[k];
    a->type = lv2U().atomChunk;
    a->size = LV2_ATOM_BYTES - sizeof(LV2_Atom);
  }
  {
#ifdef QAF_HAVE_MXCSR
    unsigned csr = _mm_getcsr();
    _mm_setcsr(csr | 0x8040);  // flush denormals to zero, and treat them as zero, for run() only
#endif
    // The plugin's own run(): the one foreign call of the pass.
    QAF_RT_EXEMPT_BEGIN
    lilv_instance_run(p->instance, (uint32_t)frames);
    QAF_RT_EXEMPT_END
#ifdef QAF_HAVE_MXCSR
    _mm_setcsr(csr);
#endif
  }
  lv2DeliverResponses(p);
  if (d->latencyPort >= 0) {
    float l = p->ports[d->latencyPort];
    p->rt->latency.store(l > 0 && l < 1e9f ? (int)(l + 0.5f) : 0, std::memory_order_relaxed);
  }
  p->rt->frame += frames;
}

// Audio thread. A float sample as a 16-bit one: rounded half away from zero, saturated, NaN and
// infinity silent. Written without branches, so that the loops below become vector code: every
// float comparison a select (lv2/core.cmake compiles this file without trapping float maths,
// which GCC needs to make them so).
static inline short toS16(float x) QAF_NONBLOCKING
{
  bool silent = !(fabsf(x) <= FLT_MAX);
  float s = x * 32768.0f;
  s = s < 32767.0f ? s : 32767.0f;
  s = s > -32768.0f ? s : -32768.0f;
  int v = (int)(s + (s >= 0.0f ? 0.5f : -0.5f));
  return (short)(silent ? 0 : v);
}

// The conversions of a pass, sixteen samples at a time (a loop whose count the compiler knows,
// which it makes vector code of) and then one at a time for what is left of a short chunk.
#define LV2_CONVERT_STEP 16

// Audio thread.
static void fromS16(const short *x, float *f, int n) QAF_NONBLOCKING
{
  int whole = n - n % LV2_CONVERT_STEP;
  for (int b = 0; b < whole; b += LV2_CONVERT_STEP)
    for (int j = b; j < b + LV2_CONVERT_STEP; j++) f[j] = (float)x[j] * (1.0f / 32768.0f);
  for (int j = whole; j < n; j++) f[j] = (float)x[j] * (1.0f / 32768.0f);
}

// Audio thread.
static void toS16(const float *f, short *y, int n) QAF_NONBLOCKING
{
  int whole = n - n % LV2_CONVERT_STEP;
  for (int b = 0; b < whole; b += LV2_CONVERT_STEP)
    for (int j = b; j < b + LV2_CONVERT_STEP; j++) y[j] = toS16(f[j]);
  for (int j = whole; j < n; j++) y[j] = toS16(f[j]);
}

// Audio thread, inside a pass.
void fLv2(int slot)
{
  modRec *m = passMod(slot);
  lv2Inst *p = lv2Of(m);
  int n = sound_chunk_size / 2;
  int ins = p && p->desc ? (int)p->desc->audioIn.size() : 0;
  int outs = p && p->desc ? (int)p->desc->audioOut.size() : 0;
  bool live = p && p->instance && n <= LV2_MAX_FRAMES;
  for (int k = 0; k < 4; k++) {
    if (!modHasInput(m, k)) continue;
    short *x = verifyIn(slot, k);
    if (live && k < ins) fromS16(x, p->rt->audio[k], n);
  }
  if (live) {
    p->rt->inPass = true;
    lv2Process(p, n);
    p->rt->inPass = false;
  }
  // The outputs: the input chunks where there are as many, fresh chunks beyond them.
  for (int k = 0; k < 4; k++) {
    bool out = modHasOutput(m, k);
    if (m->term[k] && !out) {
      freeChunk(m->term[k]);
      m->term[k] = nullptr;
    }
    if (!out) continue;
    if (!m->term[k]) m->term[k] = newChunk();
    short *y = m->term[k];
    if (live && k < outs) {
      toS16(p->rt->audio[LV2_MAX_AUDIO + k], y, n);
    } else {
      memset(y, 0, (size_t)n * sizeof(short));  // a missing plugin passes silence
    }
  }
  SendOut(slot);
}
