// Mixing and routing modules: Passthrough, Mixer, Splitter, XFader, Panning Mixer and Multiply.
// None keeps state between chunks. Pumps run on the audio thread inside a pass and read
// their parameters once per chunk; inits run on the UI thread, away from the lock, and only set defaults.
#include <string.h>

#include "engine/soundNode.h"
#include "modules/arith.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"

// A volume slider as a gain out of 256: volumes below 0 act as 0 and above 256 as 256.
static inline int32_t volume256(float p) { return clip32(parmInt(p), 0, 256); }

// Audio thread, inside a pass. Empties a terminal slot whose chunk has no output to leave by.
static inline void dropChunk(modRec *m, int k)
{
  freeChunk(m->term[k]);
  m->term[k] = nullptr;
}

// Audio thread, inside a pass. The four input chunks and their volumes from parm[0..3].
static inline void fourInputs(int slot, modRec *m, short *in[4], int32_t g[4])
{
  for (int k = 0; k < 4; k++) {
    in[k] = verifyIn(slot, k);
    g[k] = volume256(m->parm[k]);
  }
}

// Audio thread, inside a pass. Four separate gain stages, input k to output k.
void fPass(int slot)
{
  modRec *m = passMod(slot);
  short *in[4];
  int32_t g[4];
  fourInputs(slot, m, in, g);
  int n = sound_chunk_size / 2;
  for (int k = 0; k < 4; k++) {
    short *x = in[k];
    int32_t gk = g[k];
    // |x * g| / 256 never exceeds |x|, so no clip is needed.
    for (int j = 0; j < n; j++) x[j] = (short)((x[j] * gk) / 256);
  }
  SendOut(slot);
}

// UI thread, before the module is published (as every init here).
void iPass(modRec *m)
{
  for (int k = 0; k < 4; k++) m->parm[k] = 200.0;
}

// Audio thread, inside a pass. Four inputs summed into output 0.
void fMixer(int slot)
{
  modRec *m = passMod(slot);
  short *in[4];
  int32_t g[4];
  fourInputs(slot, m, in, g);
  int n = sound_chunk_size / 2;
  for (int j = 0; j < n; j++) {
    // each term is truncated on its own before the sum
    int32_t s = (in[0][j] * g[0]) / 256 + (in[1][j] * g[1]) / 256 + (in[2][j] * g[2]) / 256 +
                (in[3][j] * g[3]) / 256;
    in[0][j] = (short)clip32(s, -32768, 32767);
  }
  for (int k = 1; k < 4; k++) dropChunk(m, k);
  SendOut(slot);
}

void iMixer(modRec *m)
{
  for (int k = 0; k < 4; k++) m->parm[k] = 200.0;
}

// Audio thread, inside a pass. Output 0 carries the very chunk that arrived, outputs 1-3 copies.
void fSplit(int slot)
{
  short *in[4];
  for (int k = 0; k < 4; k++) in[k] = verifyIn(slot, k);
  for (int k = 1; k < 4; k++) memcpy(in[k], in[0], (size_t)sound_chunk_size);
  SendOut(slot);
}

// Audio thread, inside a pass. Linear cross-fade from input 0 to input 1.
void fXFader(int slot)
{
  modRec *m = passMod(slot);
  short *a = verifyIn(slot, 0);
  short *b = verifyIn(slot, 1);
  // Fade is not clamped; with values from a layout file far outside 0..256 the weighted terms
  // leave 32 bits, so they are formed in 64.
  int64_t f = parmInt(m->parm[0]);
  int64_t fa = 256 - f;
  int n = sound_chunk_size / 2;
  for (int j = 0; j < n; j++) a[j] = clip16m((a[j] * fa) / 256 + (b[j] * f) / 256);
  dropChunk(m, 1);
  SendOut(slot);
}

// Audio thread, inside a pass. Input 0 amplitude-modulated by input 1.
void fMult(int slot)
{
  modRec *m = passMod(slot);
  int64_t bias = parmInt(m->parm[0]);
  int64_t scale = parmInt(m->parm[1]);
  short *a = verifyIn(slot, 0);
  short *b = verifyIn(slot, 1);
  int n = sound_chunk_size / 2;
  for (int j = 0; j < n; j++) {
    // 64-bit: Bias and Scale are not clamped, and a layout file may carry any value
    int64_t mod = (b[j] * scale) / 256 + bias * 64;
    a[j] = clip16m((mod * a[j]) / 32768);
  }
  dropChunk(m, 1);
  SendOut(slot);
}

void iMult(modRec *m)
{
  m->parm[0] = 128.0;
  m->parm[1] = 64.0;
}

// A gain in 1/65536 steps, truncated toward zero; NaN gives 0 and values past 32 bits their
// ends, so a wild layout value can only saturate the output.
static inline int64_t gain65536(double g) { return parmInt(g * 65536.0); }

// Audio thread, inside a pass. Four inputs, each with a volume and a pan position, summed into
// a left chunk (output 0) and a right chunk (output 1).
void fPan(int slot)
{
  modRec *m = passMod(slot);
  short *in[4];
  int64_t G0[4], G1[4];
  for (int k = 0; k < 4; k++) {
    in[k] = verifyIn(slot, k);
    double v = m->parm[k] / 256.0;
    double p = m->parm[4 + k];
    double gain0, gain1;
    // no pan law: between the centre and an edge only the far side falls
    if (p < 128) {
      gain0 = v;
      gain1 = v * p / 128;
    } else {
      gain0 = v * (256 - p) / 128;
      gain1 = v;
    }
    G0[k] = gain65536(gain0);
    G1[k] = gain65536(gain1);
  }
  short *L = newChunk();
  short *R = newChunk();
  int n = sound_chunk_size / 2;
  for (int j = 0; j < n; j++) {
    int64_t l = 0, r = 0;
    for (int k = 0; k < 4; k++) {
      l += (in[k][j] * G0[k]) / 65536;
      r += (in[k][j] * G1[k]) / 65536;
    }
    L[j] = clip16m(l);
    R[j] = clip16m(r);
  }
  for (int k = 0; k < 4; k++) dropChunk(m, k);
  m->term[0] = L;
  m->term[1] = R;
  SendOut(slot);
}

void iPan(modRec *m)
{
  for (int k = 0; k < 4; k++) {
    m->parm[k] = 200.0;
    m->parm[4 + k] = 128.0;
  }
}
