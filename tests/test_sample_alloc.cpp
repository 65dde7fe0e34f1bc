// The sample modules' pumps take nothing from the general heap: this program counts every
// malloc, calloc and realloc made while passes run (glibc's own allocator does the work).
// A program of its own, since it replaces the allocator entry points.
#include <gtest/gtest.h>
#include <stddef.h>

#include <atomic>
#include <thread>
#include <vector>

#include "audio/cardfeed.h"
#include "engine/audioThread.h"
#include "engine/soundNode.h"
#include "modules/pump.h"
#include "samples/loopStore.h"
#include "tests/testutil.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

static std::atomic<bool> counting{false};
static std::atomic<long> allocations{0};
static thread_local bool onAudio = false;  // only the thread running the passes is counted

extern "C" void *malloc(size_t n)
{
  if (counting && onAudio) allocations++;
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t a, size_t b)
{
  if (counting && onAudio) allocations++;
  return __libc_calloc(a, b);
}
extern "C" void *realloc(void *p, size_t n)
{
  if (counting && onAudio) allocations++;
  return __libc_realloc(p, n);
}
extern "C" void free(void *p) { __libc_free(p); }

static void pass()
{
  pumpAllModules();
}

TEST(SampleModulePumps, RunWithoutTouchingTheHeapEvenWhileTheirSlotIsRefilled)
{
  bootGraph();
  beginCapture();
  initLoops();
  endCapture();
  buf = (char *)g_malloc0(sound_buffer_size);
  std::vector<short> v(2000, 5);
  putrawLoop(0, v.data(), 2000);
  // Line In -> Record -> Looper trigger; Looper -> Scratcher -> Line Out; Record sync ->
  // Sync Sequencer -> Line Out right
  for (const char *c : {"A11", "A8", "A18", "A14", "C 100-102aa", "C 102-103dd", "C 103-104aa",
                        "C 104-101aa", "C 100-105bd", "C 105-101db"})
    command(c);
  for (int s = 2; s <= 5; s++) ASSERT_NE(MOD[s], nullptr);
  MOD[2]->parm[0] = 2.01f;   // recording
  MOD[4]->parm[0] = 40.0f;   // a scratch delay
  MOD[5]->parm[0] = 1.0f;
  for (int i = 0; i < 10; i++) pass();  // first touches of everything
  // Line Out runs on the shortest path's tier, before the longer chain has delivered: the
  // chain's chunk waits in its input until the next pass. That one is the whole population.
  int waiting = chunksInUse();

  std::atomic<bool> stop{false};
  std::thread ui([&] {
    std::vector<short> w(700, 9);
    while (!stop) {
      lockLoop(0);
      putrawLoop(0, w.data(), 700);
      unlockLoop(0);
    }
  });
  onAudio = true;
  counting = true;
  short *frames = (short *)buf;
  for (int i = 0; i < 3000; i++) {
    frames[1] = short(i % 50 == 0 ? 2000 : 0);  // triggers now and then
    MOD[4]->parm[0] = float(i % 200);            // the scratch slider moving
    pass();
  }
  counting = false;
  onAudio = false;
  stop = true;
  ui.join();
  EXPECT_EQ(allocations.load(), 0);
  EXPECT_EQ(chunkPoolOverflows, 0);
  EXPECT_EQ(chunksInUse(), waiting);
  EXPECT_LE(waiting, 1);
}
