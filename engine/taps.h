// What the layers above hang on the engine. The engine runs the passes and keeps the graph; the
// MIDI mappings, the meters and the tuner, and the sample slots live above it and install their
// calls here as the program starts (each from its own file), so the engine knows none of them.
#ifndef QAF_TAPS_H
#define QAF_TAPS_H

#include "base/realtime.h"

struct engineTaps {
  // Audio thread, before each pass (or block of passes): applies what MIDI changed.
  void (*beforePass)() QAF_NONBLOCKING = nullptr;
  // Audio thread: Line In's frames as they arrive, and what goes out after the output stage.
  void (*lineIn)(const short *frames, int n) QAF_NONBLOCKING = nullptr;
  void (*lineOut)(short *frames, int n, int passes) QAF_NONBLOCKING = nullptr;
  // Audio thread: whether the output is to be silent (the tuner's mute).
  bool (*muted)() QAF_NONBLOCKING = nullptr;
  // UI thread: modules came or went (mappings of modules that left are dropped).
  void (*modulesChanged)() = nullptr;
  // Main thread, at the end of the program, after the device has closed.
  void (*cleanUp)() = nullptr;
};
extern engineTaps taps;

// UI thread: tells the layers above that modules came or went.
void modulesChanged();

#endif
