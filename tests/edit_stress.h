// The rig of the edit storms (test_edit_stress.cpp, test_edit_stress_lv2.cpp): a thread that runs
// passes the way the audio thread does, one at a time at a 128-byte buffer or as a sound file's
// render runs them, in blocks, while the test's own thread edits; the fixture that starts and
// stops it, and the small helpers the storms share.
#ifndef QAF_EDIT_STRESS_H
#define QAF_EDIT_STRESS_H

#include <glib.h>
#include <gtest/gtest.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "audio/cardfeed.h"
#include "base/realtime.h"
#include "command/cmdparse.h"
#include "engine/audioThread.h"
#include "engine/blockRender.h"
#include "engine/soundNode.h"
#include "samples/loopStore.h"
#include "tests/testutil.h"

inline std::atomic<bool> stopPasses{false};
inline std::atomic<long> passesDone{0};
inline std::vector<short> captured;  // left output of each pass, written by the pass thread only
inline std::atomic<size_t> capturedFrames{0};
inline short inputLevel = 0;

// Pass thread: one pass as the device loop runs it, checked as real-time code.
inline void onePass() QAF_NONBLOCKING
{
  runGraphPass();
}

// Pass thread, as a sound file's render runs it: a block of passes under one holding.
inline std::atomic<bool> renderBlocks{false};
inline void oneBlock(char *frames, int passes) QAF_NONBLOCKING
{
  runGraphBlock(frames, passes);
}

inline void *passThread(void *)
{
  int frames = sound_buffer_size / 4;
  short *b = (short *)buf;
  int n = 0;
  static short block[MAX_BLOCK_PASSES * 2048];
  while (renderBlocks.load() && !stopPasses.load()) {
    int passes = blockPasses();
    for (int i = 0; i < passes * frames * 2; i++) block[i] = (short)(8000.0 * sin(0.05 * i));
    oneBlock((char *)block, passes);
    passesDone += passes;
  }
  while (!stopPasses.load()) {
    for (int i = 0; i < frames; i++) {
      b[2 * i] = inputLevel ? inputLevel : (short)(8000.0 * sin(0.05 * (n * frames + i)));
      b[2 * i + 1] = (short)(i * 100);
    }
    onePass();
    size_t at = capturedFrames.load(std::memory_order_relaxed);
    for (int i = 0; i < frames && at < captured.size(); i++) captured[at++] = b[2 * i];
    capturedFrames.store(at, std::memory_order_relaxed);
    passesDone++;
    n++;
    usleep(100);
  }
  return nullptr;
}

// Runs edits with standard output muted: a storm prints thousands of lines.
template <class F>
void quietly(F f)
{
  fflush(stdout);
  int saved = dup(1);
  FILE *null = fopen("/dev/null", "w");
  dup2(fileno(null), 1);
  f();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  fclose(null);
}

class EditStress : public ::testing::Test {
 protected:
  void SetUp() override
  {
    bootGraph();
    beginCapture();
    initLoops();
    endCapture();
    sound_buffer_size = 128;
    sound_chunk_size = 64;
    buf_size = 128;
    buf = (char *)g_malloc0(128);
    captured.assign(44100 * 4, 0);
    capturedFrames = 0;
    dir = g_dir_make_tmp("qaf-stress-XXXXXX", nullptr);
  }
  void TearDown() override
  {
    stopAudio();
    std::string rm = "rm -rf '" + std::string(dir) + "'";
    if (system(rm.c_str()) != 0) ADD_FAILURE() << rm;
    g_free(dir);
  }
  void startAudio()
  {
    stopPasses = false;
    ASSERT_EQ(pthread_create(&th, nullptr, passThread, nullptr), 0);
    running = true;
  }
  void stopAudio()
  {
    if (!running) return;
    stopPasses = true;
    pthread_join(th, nullptr);
    running = false;
  }
  void waitPasses(long n)
  {
    long until = passesDone.load() + n;
    while (passesDone.load() < until) usleep(200);
  }
  std::string path(const char *name) { return std::string(dir) + "/" + name; }
  void jackStorm(int rate);
  pthread_t th;
  bool running = false;
  char *dir = nullptr;
};

inline int newestSlot()
{
  int newest = -1;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && (newest < 0 || MOD[s]->ID > MOD[newest]->ID)) newest = s;
  return newest;
}

inline int firstTerm(int type, bool input)
{
  for (int k = 0; k < 4; k++)
    if (input ? typeHasInput(type, k) : typeHasOutput(type, k)) return k;
  return -1;
}

inline void run(const std::string &text)
{
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  cmdparse(copy.data());
}

// ThreadSanitizer slows the storm some twentyfold.
#if defined(__SANITIZE_THREAD__)
inline const int stormRounds = 10;
#else
inline const int stormRounds = 30;
#endif

#endif
