// Distortion, tone and compressor modules: Distort (drive, slew limit, clip, level), Tone (a
// four-pole low-pass split into two bands) and Compressor (envelope follower with a noise gate).
// Pumps run on the audio thread under the graph lock and work in place in the arriving chunk;
// inits and cleans run on the UI thread, away from the lock, and own the small private states.
#include <glib.h>

#include "engine/fatal.h"
#include "engine/soundNode.h"
#include "modules/arith.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"
#include "modules/shaping.h"

// ---- Distort ----------------------------------------------------------------------------
// The state is one 32-bit int, the last slew-limited value before clipping, kept in the Extra
// word itself: 0 when the record is made, never reset by init.

// Audio thread, graph lock held.
void fDistort(int slot)
{
  modRec *m = MOD[slot];
  int64_t drive = parmInt(m->parm[0]);
  // A negative Sat (one of -1 would divide by zero) acts as Sat 0: no slew limit.
  int64_t sat = parmInt(m->parm[1]);
  if (sat < 0) sat = 0;
  int64_t limit = 1048576 / (sat + 1);
  int64_t level = parmInt(m->parm[2]);
  int64_t prev = GPOINTER_TO_INT(m->Extra);

  short *x = verifyIn(slot, 0);
  int n = sound_chunk_size / 2;
  for (int j = 0; j < n; j++) {
    int64_t v = (x[j] * drive) / 16;
    // Any dialog Drive keeps |v| within 524288; pinning it to 2^30 only matters for a layout
    // value so large that the state would otherwise leave 32 bits.
    v = clip64(v, -1073741824, 1073741824);
    if (v - prev > limit)
      v = prev + limit;
    else if (prev - v > limit)
      v = prev - limit;
    // the state keeps the unclipped value, so a long loud stretch stays clipped for a while
    prev = v;
    v = clip64(v, -32767, 32767);
    // Level above 256 (only from a layout file) would leave 16 bits: clip the stored sample.
    x[j] = clip16m((v * level) / 256);
  }
  m->Extra = GINT_TO_POINTER((int)prev);
  SendOut(slot);
}

void iDistort(modRec *m)
{
  m->parm[0] = 50.0;
  m->parm[2] = 200.0;
}

// ---- Tone -------------------------------------------------------------------------------
// The state is the filter's last four outputs, h[0] the newest.

struct toneState {
  int32_t h[4];
};

// A filter coefficient: rounded to a 32-bit float first, then taken in 1/65536 steps, truncated
// toward zero. A wild Frequency from a layout file saturates instead of overflowing.
static inline int64_t toneK(double c)
{
  float cf = (float)c;
  return parmInt((double)cf * 65536.0);
}

// The filter coefficients for a Frequency slider value (any thread).
void toneCoefficients(float F, int64_t K[5])
{
  double fc = 5000.0 * (F / 256.0) * (F / 256.0) + 30.0;
  double p = fc / 22050.0;
  double q = 1.0 - p;
  K[0] = toneK(q * q * q * q);
  K[1] = toneK(4.0 * p);
  K[2] = toneK(-6.0 * p * p);
  K[3] = toneK(4.0 * p * p * p);
  K[4] = toneK(-(p * p * p * p));
}

// Audio thread, graph lock held.
void fTone(int slot)
{
  modRec *m = MOD[slot];
  toneState *st = (toneState *)m->Extra;
  QAF_ASSERT(st != NULL);

  int64_t K[5];
  toneCoefficients(m->parm[0], K);
  int64_t K0 = K[0], K1 = K[1], K2 = K[2], K3 = K[3], K4 = K[4];
  int64_t bass = parmInt(m->parm[1]);
  int64_t treble = parmInt(m->parm[2]);

  int64_t h0 = st->h[0], h1 = st->h[1], h2 = st->h[2], h3 = st->h[3];
  short *in = verifyIn(slot, 0);
  int n = sound_chunk_size / 2;
  for (int j = 0; j < n; j++) {
    int64_t x = in[j];
    int64_t low = (x * K0) / 65536 + (K1 * h0) / 65536 + (K2 * h1) / 65536 + (K3 * h2) / 65536 +
                  (K4 * h3) / 65536;
    low = clip64(low, -32767, 32767);
    h3 = h2;
    h2 = h1;
    h1 = h0;
    h0 = low;
    in[j] = clip16m((low * bass) / 256 + ((x - low) * treble) / 16);
  }
  st->h[0] = (int32_t)h0;
  st->h[1] = (int32_t)h1;
  st->h[2] = (int32_t)h2;
  st->h[3] = (int32_t)h3;
  SendOut(slot);
}

// UI thread, graph lock held. A fresh zeroed history.
void iTone(modRec *m)
{
  m->parm[0] = 128.0;
  m->parm[1] = 128.0;
  m->parm[2] = 128.0;
  m->Extra = g_new0(toneState, 1);
}

void unTone(modRec *m)
{
  g_free(m->Extra);
  m->Extra = nullptr;
}

// ---- Compressor -------------------------------------------------------------------------
// The state is the envelope E, a weighted running mean of |x|.

struct compState {
  int32_t E;
};

// Audio thread, graph lock held.
void fComp(int slot)
{
  modRec *m = MOD[slot];
  compState *st = (compState *)m->Extra;
  QAF_ASSERT(st != NULL);

  int64_t T = parmInt(m->parm[0]);
  int32_t pct = parmInt(m->parm[1]);
  // Gate Width is the new sample's weight out of 256; outside 1..256 (only from a layout file)
  // the weights would leave 0..256 and the envelope could turn negative or run away.
  int32_t W = clip32(parmInt(m->parm[2]), 1, 256);
  double cf = pct / 100.0;
  bool gated = T > 1;
  int64_t gateLevel = 100 * T;
  int32_t E = st->E;

  short *in = verifyIn(slot, 0);
  int n = sound_chunk_size / 2;
  for (int j = 0; j < n; j++) {
    int32_t x = in[j];
    int32_t ax = x < 0 ? -x : x;
    E = ((256 - W) * E + ax * W) / 256;
    // With no envelope to measure (E = 0) the gain would be infinite; such a sample is passed
    // at unity gain instead, which never makes near-silence louder than it is.
    double g = E > 0 ? cf * (30000.0 / E) + (1.0 - cf) : 1.0;
    double q = 1.0;
    if (gated && E <= gateLevel) q = (double)E / (double)gateLevel;
    double y = (x * g) * q;
    if (y > 32767.0) y = 32767.0;
    if (y < -32767.0) y = -32767.0;
    in[j] = (short)(int)y;
  }
  st->E = E;
  SendOut(slot);
}

// UI thread, graph lock held. A fresh envelope at 0.
void iComp(modRec *m)
{
  m->parm[0] = 0.0;
  m->parm[1] = 10.0;
  m->parm[2] = 40.0;
  compState *st = g_new0(compState, 1);
  st->E = 0;
  m->Extra = st;
}

void unComp(modRec *m)
{
  g_free(m->Extra);
  m->Extra = nullptr;
}
