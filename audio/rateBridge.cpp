// The rate bridge (see rateBridge.h); the one place that uses zita-resampler. Its state is the
// real-time thread's once the device runs.
#include "audio/rateBridge.h"

#include <string.h>
#include <zita-resampler/resampler.h>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "base/rtMemory.h"

#define FILTER_HALF 32  // the filters' half length: flat to 20 kHz, far below one bit of error

static Resampler toPatch, fromPatch;
static unsigned deviceRate = QAF_RATE;
static int pass = 32;
static int fill = 0;  // frames at 44100 Hz that the FIFO holds between the two sides, always
static float *scratchIn = nullptr, *scratchOut = nullptr;  // one period, interleaved
static float *fifoIn = nullptr, *fifoOut = nullptr;        // 44100 Hz, interleaved
static int capacity = 0;
static int inLevel = 0, outLevel = 0;
static int inDone = 0;  // frames at the front of fifoIn that this period's passes took

bool rateBridgeSetup(unsigned rate, int passFrames, int maxPeriod, int period)
{
  rateBridgeClose();
  if (rate < QAF_BRIDGE_MIN_RATE || rate > QAF_BRIDGE_MAX_RATE) return false;
  if (toPatch.setup(rate, QAF_RATE, 2, FILTER_HALF) != 0 ||
      fromPatch.setup(QAF_RATE, rate, 2, FILTER_HALF) != 0)
    return false;
  deviceRate = rate;
  pass = passFrames;
  // A period brings at most this many 44100 Hz frames, and takes as many.
  int most = (int)((long long)maxPeriod * QAF_RATE / rate) + 2;
  // The output side must find enough frames in every period, from the very first: a period's
  // worth (its filter takes them before it gives anything), what the passes have not yet taken
  // (less than a pass), and a frame of rounding on each side.
  fill = passFrames + (int)((long long)period * QAF_RATE / rate) + 4;
  capacity = most + passFrames + fill + 8;
  scratchIn = (float *)rtAlloc(sizeof(float) * 2 * (size_t)maxPeriod);
  scratchOut = (float *)rtAlloc(sizeof(float) * 2 * (size_t)maxPeriod);
  fifoIn = (float *)rtAlloc(sizeof(float) * 2 * (size_t)capacity);
  fifoOut = (float *)rtAlloc(sizeof(float) * 2 * (size_t)capacity);
  // Both filters start full of silence, as they are later: their delay is then the same from
  // the first period on, and what the FIFO holds between them never changes.
  toPatch.inp_count = (unsigned)toPatch.inpsize() - 1;
  toPatch.inp_data = nullptr;  // zeros
  toPatch.out_count = 1 << 20;
  toPatch.out_data = nullptr;  // thrown away
  toPatch.process();
  fromPatch.inp_count = (unsigned)fromPatch.inpsize() - 1;
  fromPatch.inp_data = nullptr;
  fromPatch.out_count = 1 << 20;
  fromPatch.out_data = nullptr;
  fromPatch.process();
  inLevel = inDone = 0;
  outLevel = fill;  // silence, already there
  return true;
}

void rateBridgeClose()
{
  rtFree(scratchIn);
  rtFree(scratchOut);
  rtFree(fifoIn);
  rtFree(fifoOut);
  scratchIn = scratchOut = fifoIn = fifoOut = nullptr;
  inLevel = outLevel = inDone = 0;
}

int rateBridgeLatency()
{
  // Each filter delays by half its length, in its input's frames; the FIFO by what it holds.
  double in = toPatch.inpsize() / 2;                              // at the device's rate
  double out = (double)(fromPatch.inpsize() / 2 + fill) * deviceRate / QAF_RATE;
  return (int)(in + out + 0.5);
}

// Real-time thread. The period's n frames in scratchIn, converted to 44100 Hz at the end of the
// input FIFO, after what earlier passes left.
static void convertIn(unsigned n) QAF_NONBLOCKING
{
  memmove(fifoIn, fifoIn + 2 * inDone, sizeof(float) * 2 * (size_t)(inLevel - inDone));
  inLevel -= inDone;
  inDone = 0;
  // The resampler allocates nothing once set up, and never blocks.
  QAF_FX_OFF
  toPatch.inp_count = n;
  toPatch.inp_data = scratchIn;
  toPatch.out_count = (unsigned)(capacity - inLevel);
  toPatch.out_data = fifoIn + 2 * inLevel;
  toPatch.process();
  QAF_FX_ON
  inLevel = capacity - (int)toPatch.out_count;
}

// Real-time thread, as the three below.
bool rateBridgePassWaiting() QAF_NONBLOCKING
{
  return inLevel - inDone >= pass && outLevel + pass <= capacity;
}

bool rateBridgeTakePass() QAF_NONBLOCKING
{
  if (!rateBridgePassWaiting()) return false;
  short *b = (short *)buf;
  const float *from = fifoIn + 2 * inDone;
  for (int i = 0; i < 2 * pass; i++) b[i] = floatToS16(from[i]);
  inDone += pass;
  return true;
}

void rateBridgeGivePass() QAF_NONBLOCKING
{
  const short *b = (const short *)buf;
  float *to = fifoOut + 2 * outLevel;
  for (int i = 0; i < 2 * pass; i++) to[i] = s16ToFloat(b[i]);
  outLevel += pass;
}

// Real-time thread. The period's n frames out of the output FIFO into scratchOut; how many were
// made (all n, with the FIFO filled as it is).
static unsigned convertOut(unsigned n) QAF_NONBLOCKING
{
  QAF_FX_OFF
  fromPatch.inp_count = (unsigned)outLevel;
  fromPatch.inp_data = fifoOut;
  fromPatch.out_count = n;
  fromPatch.out_data = scratchOut;
  fromPatch.process();
  QAF_FX_ON
  int used = outLevel - (int)fromPatch.inp_count;
  memmove(fifoOut, fifoOut + 2 * used, sizeof(float) * 2 * (size_t)(outLevel - used));
  outLevel -= used;
  return n - fromPatch.out_count;
}

// Real-time thread (JACK's process callback).
void rateBridgePeriod(const float *in1, const float *in2, float *out1, float *out2, unsigned n,
                      void (*runPass)() QAF_NONBLOCKING) QAF_NONBLOCKING
{
  for (unsigned i = 0; i < n; i++) {
    scratchIn[2 * i] = in1[i];
    scratchIn[2 * i + 1] = in2[i];
  }
  convertIn(n);
  while (rateBridgeTakePass()) {
    runPass();
    rateBridgeGivePass();
  }
  unsigned made = convertOut(n);
  for (unsigned i = 0; i < made; i++) {
    out1[i] = scratchOut[2 * i];
    out2[i] = scratchOut[2 * i + 1];
  }
  // Never, with the FIFO filled as it is; silence rather than stale sound if it ever were.
  for (unsigned i = made; i < n; i++) out1[i] = out2[i] = 0.0f;
}

// Real-time thread, as the one below.
void rateBridgeInS16(const short *in, unsigned n) QAF_NONBLOCKING
{
  for (unsigned i = 0; i < 2 * n; i++) scratchIn[i] = s16ToFloat(in[i]);
  convertIn(n);
}

void rateBridgeOutS16(short *out, unsigned n) QAF_NONBLOCKING
{
  unsigned made = convertOut(n);
  for (unsigned i = 0; i < 2 * made; i++) out[i] = floatToS16(scratchOut[i]);
  for (unsigned i = 2 * made; i < 2 * n; i++) out[i] = 0;
}
