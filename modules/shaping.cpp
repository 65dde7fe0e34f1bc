// Distortion, tone and compressor modules: Distort (drive, slew limit, clip, level), Tone (a
// four-pole low-pass split into two bands) and Compressor (envelope follower with a noise gate).
// Pumps run on the audio thread inside a pass and work in place in the arriving chunk;
// inits and cleans run on the UI thread, away from the lock, and own the small private states.
#include <glib.h>
#include <string.h>

#include "base/fatal.h"
#include "engine/soundNode.h"
#include "modules/arith.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"
#include "modules/shaping.h"

// ---- Distort ----------------------------------------------------------------------------
// The state is one 32-bit int, the last slew-limited value before clipping, kept in the Extra
// word itself: 0 when the record is made, never reset by init.

// One block of Distort with 16-bit Drive and Level, so that every product fits 32 bits (the
// pinning of v to 2^30 can then never bite). The drive is taken for all samples first, the slew
// limit runs alone over them (the only sample-to-sample dependency), and the clip and level
// follow for all samples: three short loops the compiler can keep tight or vectorise. A block
// whose every step stays within the limit skips the middle loop.
template <int N>
static QAF_BLOCK_INLINE void distortBlock(short *x, int n, int16_t drive, int32_t limit,
                                          int16_t level, int32_t &prevRef)
{
  if (N) n = N;
  int32_t v[PUMP_BLOCK];
  for (int j = 0; j < n; j++) v[j] = (x[j] * drive) / 16;
  int32_t prev = prevRef;
  // |v| <= 2048 |drive|: when even a step from the far end of the state to the far end of
  // the range is within the limit, no sample is limited and the state is the last v.
  int32_t reach = 2048 * (drive < 0 ? -drive : drive);
  int32_t far = prev < 0 ? -prev : prev;
  if (far < reach) far = reach;
  if (reach + far <= limit) {
    prev = v[n - 1];
  } else {
    for (int j = 0; j < n; j++) {
      int32_t lo = prev - limit, hi = prev + limit;
      int32_t vj = v[j] > hi ? hi : (v[j] < lo ? lo : v[j]);
      prev = vj;
      v[j] = vj;
    }
  }
  prevRef = prev;
  for (int j = 0; j < n; j++) {
    int32_t c = clip32(v[j], -32767, 32767);
    x[j] = (short)clip32((c * level) / 256, -32767, 32767);
  }
}

// Audio thread, inside a pass.
QAF_VECTOR_CLONES void fDistort(int slot)
{
  modRec *m = passMod(slot);
  int64_t drive = parmInt(m->parm[0]);
  // A negative Sat (one of -1 would divide by zero) acts as Sat 0: no slew limit.
  int64_t sat = parmInt(m->parm[1]);
  if (sat < 0) sat = 0;
  int64_t limit = 1048576 / (sat + 1);
  int64_t level = parmInt(m->parm[2]);
  int64_t prev = GPOINTER_TO_INT(m->Extra);

  short *x = verifyIn(slot, 0);
  int n = sound_chunk_size / 2;
  if (drive >= -32767 && drive <= 32767 && level >= -32767 && level <= 32767) {
    // every value a dialog can set
    int32_t p = (int32_t)prev, lim = (int32_t)limit;
    int16_t dr = (int16_t)drive, lv = (int16_t)level;
    int j = 0;
    for (; j + PUMP_BLOCK <= n; j += PUMP_BLOCK)
      distortBlock<PUMP_BLOCK>(x + j, PUMP_BLOCK, dr, lim, lv, p);
    if (j < n) distortBlock<0>(x + j, n - j, dr, lim, lv, p);
    m->Extra = GINT_TO_POINTER(p);
    SendOut(slot);
    return;
  }
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
// The state is the filter's last four outputs, h[0] the newest, and the coefficients of the
// Frequency last seen (computed again only when it changes).

struct toneState {
  int32_t h[4];
  uint32_t kFor;   // the bits of the Frequency float K was made for
  int32_t kValid;  // 0 until K has been made (the block is zero-filled by init)
  int64_t K[5];
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

// Tone's recursion over one block: low[j] from a[j] = (x K0) / 65536 and the history h. The
// term (K1 h0) / 65536 truncated toward zero is floor((K1 h0 + bias) / 65536) with bias 65535
// when the product is negative, that is when h0 is (K1 is never negative); the other four terms
// are whole numbers and go inside the same floor, which leaves a multiply, an add and a shift
// on the path from one output to the next.
static QAF_BLOCK_INLINE void toneRecursion(const int32_t *a, short *lowOut, int n,
                                           const int64_t *K, int32_t *h)
{
  int64_t K1 = K[1], K2 = K[2], K3 = K[3], K4 = K[4];
  int64_t h0 = h[0], h1 = h[1], h2 = h[2], h3 = h[3];
  int64_t bias = h0 < 0 ? 65535 : 0;
  for (int j = 0; j < n; j++) {
    int64_t rest = a[j] + (K2 * h1) / 65536 + (K3 * h2) / 65536 + (K4 * h3) / 65536;
    int64_t low = (K1 * h0 + (bias + rest * 65536)) >> 16;
    low = clip64(low, -32767, 32767);
    h3 = h2;
    h2 = h1;
    h1 = h0;
    h0 = low;
    bias = low < 0 ? 65535 : 0;
    lowOut[j] = (short)low;
  }
  h[0] = (int32_t)h0;
  h[1] = (int32_t)h1;
  h[2] = (int32_t)h2;
  h[3] = (int32_t)h3;
}

// One block of Tone when every coefficient is below 65536 and Bass and Treble fit 16 bits, so
// that every product fits 32 bits. The input term of the filter is taken for all samples first,
// the recursion runs alone (the only sample-to-sample dependency), and the two bands are mixed
// for all samples after it.
template <int N>
static QAF_BLOCK_INLINE void toneBlock(short *in, int n, const int64_t *K, int16_t bass,
                                       int16_t treble, int32_t *h)
{
  if (N) n = N;
  int32_t K0 = (int32_t)K[0];
  int32_t a[PUMP_BLOCK];
  short lowOut[PUMP_BLOCK];
  for (int j = 0; j < n; j++) a[j] = (in[j] * K0) / 65536;
  toneRecursion(a, lowOut, n, K, h);
  for (int j = 0; j < n; j++) {
    int32_t x = in[j], low = lowOut[j];
    in[j] = (short)clip32((low * bass) / 256 + ((x - low) * treble) / 16, -32767, 32767);
  }
}

// Audio thread, inside a pass.
QAF_VECTOR_CLONES void fTone(int slot)
{
  modRec *m = passMod(slot);
  toneState *st = (toneState *)m->Extra;
  QAF_ASSERT(st != NULL);

  float F = m->parm[0];
  uint32_t fBits;
  memcpy(&fBits, &F, sizeof fBits);
  if (!st->kValid || st->kFor != fBits) {
    toneCoefficients(F, st->K);
    st->kFor = fBits;
    st->kValid = 1;
  }
  int64_t K0 = st->K[0], K1 = st->K[1], K2 = st->K[2], K3 = st->K[3], K4 = st->K[4];
  int64_t bass = parmInt(m->parm[1]);
  int64_t treble = parmInt(m->parm[2]);

  short *in = verifyIn(slot, 0);
  int n = sound_chunk_size / 2;
  // (the recursion's truncation needs K1 >= 0, as every Frequency gives)
  bool narrow = bass >= -32767 && bass <= 32767 && treble >= -32767 && treble <= 32767 && K1 >= 0;
  for (int i = 0; i < 5; i++) narrow = narrow && st->K[i] > -65536 && st->K[i] < 65536;
  if (narrow) {
    // every Frequency, Bass and Treble a dialog can set
    int j = 0;
    for (; j + PUMP_BLOCK <= n; j += PUMP_BLOCK)
      toneBlock<PUMP_BLOCK>(in + j, PUMP_BLOCK, st->K, (int16_t)bass, (int16_t)treble, st->h);
    if (j < n) toneBlock<0>(in + j, n - j, st->K, (int16_t)bass, (int16_t)treble, st->h);
    SendOut(slot);
    return;
  }

  int64_t h0 = st->h[0], h1 = st->h[1], h2 = st->h[2], h3 = st->h[3];
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

// UI thread, before the module is published. A fresh zeroed history.
void iTone(modRec *m)
{
  m->parm[0] = 128.0;
  m->parm[1] = 128.0;
  m->parm[2] = 128.0;
  m->Extra = (toneState *)rtAlloc(sizeof(toneState));
}

void unTone(modRec *m)
{
  rtFree(m->Extra);
  m->Extra = nullptr;
}

// ---- Compressor -------------------------------------------------------------------------
// The state is the envelope E, a weighted running mean of |x|.

struct compState {
  int32_t E;
};

// Two doubles, and a mask of two 64-bit lanes: one SSE2 register each, or two scalars on a
// machine without vectors. Every lane is the same IEEE operation a scalar would do.
typedef double dbl2 __attribute__((vector_size(16)));
typedef long long mask2 __attribute__((vector_size(16)));

// a where the lane's mask is set, b elsewhere
static inline dbl2 pick(mask2 m, dbl2 a, dbl2 b)
{
  return (dbl2)(((mask2)a & m) | ((mask2)b & ~m));
}

// The Compressor's blocks are short, so that the processor overlaps one block's gains with the
// next block's envelope.
#define COMP_BLOCK 8

// One block of the Compressor. The envelope runs alone first (the only sample-to-sample
// dependency); the gains, divisions included, then go over the block two samples at a time.
template <int N>
static QAF_BLOCK_INLINE void compBlock(short *in, int n, int32_t W, double cf, bool gated,
                                       int64_t gateLevel, int32_t &Eref)
{
  if (N) n = N;
  int32_t env[COMP_BLOCK];
  // The envelope is a weighted mean of |x| with weights 256 - W and W (W is 1..256), so it
  // stays within 0..32768 and the division can be unsigned.
  uint32_t E = (uint32_t)Eref, keep = (uint32_t)(256 - W), take = (uint32_t)W, least = E;
  for (int j = 0; j < n; j++) {
    int32_t x = in[j];
    uint32_t ax = (uint32_t)(x < 0 ? -x : x);
    E = (keep * E + ax * take) / 256u;
    env[j] = (int32_t)E;
    least = E < least ? E : least;
  }
  Eref = (int32_t)E;
  // a block whose envelope stays above the gate level has no sample to gate
  if (least > gateLevel) gated = false;
  const dbl2 one = {1.0, 1.0}, full = {30000.0, 30000.0}, top = {32767.0, 32767.0};
  const dbl2 bottom = {-32767.0, -32767.0}, cfv = {cf, cf}, unity = one - cfv;
  const dbl2 gl = {(double)gateLevel, (double)gateLevel};
  int j = 0;
  for (; j + 2 <= n; j += 2) {
    dbl2 e = {(double)env[j], (double)env[j + 1]};
    dbl2 x = {(double)in[j], (double)in[j + 1]};
    // With no envelope to measure (E = 0) the gain would be infinite; such a sample is passed
    // at unity gain instead, which never makes near-silence louder than it is.
    dbl2 g = pick(e == 0.0, one, cfv * (full / e) + unity);
    dbl2 y = x * g;
    // a gate factor of 1 leaves the product exactly as it is
    if (gated) y = y * pick(e <= gl, e / gl, one);
    y = pick(y > top, top, y);
    y = pick(y < bottom, bottom, y);
    in[j] = (short)(int)y[0];
    in[j + 1] = (short)(int)y[1];
  }
  for (; j < n; j++) {
    int32_t e = env[j];
    double g = e > 0 ? cf * (30000.0 / e) + (1.0 - cf) : 1.0;
    double y = in[j] * g;
    if (gated && e <= gateLevel) y = y * ((double)e / (double)gateLevel);
    if (y > 32767.0) y = 32767.0;
    if (y < -32767.0) y = -32767.0;
    in[j] = (short)(int)y;
  }
}

// Audio thread, inside a pass.
QAF_VECTOR_CLONES void fComp(int slot)
{
  modRec *m = passMod(slot);
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
  // the envelope never leaves 0..32768 (each new one lies between the last and |x|)
  QAF_ASSERT(E >= 0 && E <= 32768);
  int j = 0;
  for (; j + COMP_BLOCK <= n; j += COMP_BLOCK)
    compBlock<COMP_BLOCK>(in + j, COMP_BLOCK, W, cf, gated, gateLevel, E);
  if (j < n) compBlock<0>(in + j, n - j, W, cf, gated, gateLevel, E);
  st->E = E;
  SendOut(slot);
}

// UI thread, before the module is published. A fresh envelope at 0.
void iComp(modRec *m)
{
  m->parm[0] = 0.0;
  m->parm[1] = 10.0;
  m->parm[2] = 40.0;
  compState *st = (compState *)rtAlloc(sizeof(compState));
  st->E = 0;
  m->Extra = st;
}

void unComp(modRec *m)
{
  rtFree(m->Extra);
  m->Extra = nullptr;
}
