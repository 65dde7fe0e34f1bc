// Between a sound device that runs at another rate and QAF's 44100 Hz passes: each period's
// input is converted to 44100 Hz (zita-resampler: made for real time, it allocates nothing once
// set up and has a fixed delay), collected into whole passes, and what the passes make is
// converted back. A small FIFO of 44100 Hz frames, filled once at the start, sits between the
// two sides so that the output never runs short; its size and the two filters' delays are the
// latency added, the same for every period.
//
// A period is: its input in (rateBridgeIn...), every whole pass that is then waiting taken,
// run and given back, its output out (rateBridgeOut...). A JACK callback does it all in one call
// (rateBridgePeriod); the ALSA back end does it across the audio thread's reads and writes.
#ifndef QAF_RATEBRIDGE_H
#define QAF_RATEBRIDGE_H

#include "base/realtime.h"

#define QAF_RATE 44100
// The device rates the bridge converts.
#define QAF_BRIDGE_MIN_RATE 22050
#define QAF_BRIDGE_MAX_RATE 192000

// Main thread. Sets the bridge up for a device at rate, passes of passFrames frames and periods
// of period frames (at most maxPeriod); false when the rate is out of reach.
bool rateBridgeSetup(unsigned rate, int passFrames, int maxPeriod, int period);
// Main thread, when the device closes.
void rateBridgeClose();
// The latency the bridge adds, in frames of the device's rate.
int rateBridgeLatency();

// Real-time thread. One period of n frames: in1/in2 in, out1/out2 out; pass() runs one pass over
// buf (passFrames frames of interleaved 16-bit stereo) as often as whole passes are there.
void rateBridgePeriod(const float *in1, const float *in2, float *out1, float *out2, unsigned n,
                      void (*pass)() QAF_NONBLOCKING) QAF_NONBLOCKING;

// Real-time thread. A period's n frames of interleaved 16-bit stereo in.
void rateBridgeInS16(const short *in, unsigned n) QAF_NONBLOCKING;
// Real-time thread. True when a whole pass waits to be taken.
bool rateBridgePassWaiting() QAF_NONBLOCKING;
// Real-time thread. True when a whole pass waits: it is then copied into buf.
bool rateBridgeTakePass() QAF_NONBLOCKING;
// Real-time thread. The pass just run over buf joins the output.
void rateBridgeGivePass() QAF_NONBLOCKING;
// Real-time thread. The period's n frames of interleaved 16-bit stereo out.
void rateBridgeOutS16(short *out, unsigned n) QAF_NONBLOCKING;

#endif
