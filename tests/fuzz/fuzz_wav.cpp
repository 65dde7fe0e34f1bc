// Fuzz target of the WAV reader: every input is read as a whole WAV file into slot 0. Built with
// libFuzzer (tests/fuzz.cmake) and, with replay_main.cpp, as a plain program that replays the
// kept corpus and regression inputs in the normal test run.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "samples/loopStore.h"

static void mustHold(bool ok, const char *what)
{
  if (!ok) {
    fprintf(stderr, "WAV reader broke its promise: %s\n", what);
    abort();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static bool ready = false;
  if (!ready) {
    // the reader's messages would only slow the run down
    if (!freopen("/dev/null", "w", stdout)) abort();
    initLoops();
    ready = true;
  }
  static unsigned char none = 0;
  FILE *f = size ? fmemopen((void *)data, size, "rb") : fmemopen(&none, 1, "rb");
  if (!f) return 0;
  int ok = loadLoopStream(0, f, (long long)size, "fuzz.wav");
  fclose(f);
  if (!ok) {
    mustHold(!isLoopFull(0), "a failed load left the slot full");
    return 0;
  }
  mustHold(isLoopFull(0), "a successful load left the slot empty");
  int len = loopLength[0];
  mustHold(len > 0 && len % 2 == 0, "stored length is not a positive number of samples");
  // At most 4 samples of 2 bytes per input byte (8-bit at 11025 Hz): a small file never asks
  // for a large buffer.
  mustHold((unsigned long long)len <= 8ull * size, "stored length out of proportion to the file");
  // Touch every stored sample, so that a buffer shorter than its length is caught.
  volatile int sum = 0;
  for (int i = 0; i < len / 2; i++) sum += loopData[0][i];
  (void)sum;
  deleteLoop(0);
  return 0;
}
