// What a sound device back end knows of the program above it: the calls it makes on its
// real-time thread for each period, installed by the layers above before a device runs. A back
// end that drives the passes itself (JACK's process callback) hands over the MIDI bytes that came
// with the period, runs each pass over buf and reports the time the period took.
#ifndef QAF_PERIOD_H
#define QAF_PERIOD_H

#include "base/realtime.h"

struct periodClient {
  // Real-time thread. One pass over buf (buf_size bytes of interleaved frames, in and out).
  void (*pass)() QAF_NONBLOCKING = nullptr;
  // Real-time thread, before the period's first pass: raw MIDI bytes from a device port.
  void (*midi)(const unsigned char *bytes, int n) QAF_NONBLOCKING = nullptr;
  // Real-time thread: how long the passes of a period took against the period (the load figure).
  void (*periodTime)(long long passNs, long long periodNs) QAF_NONBLOCKING = nullptr;
  // Whether MIDI comes in through the device (a JACK MIDI port) rather than elsewhere.
  bool wantsDeviceMidi = false;
};

// The calls in force; each layer sets its own part (main thread, before the device opens).
extern periodClient periodCalls;

#endif
