// Edits against running passes: a thread runs passes the way the audio thread does while this
// one creates, wires and removes modules, loads layouts and banks, moves parameters and stores
// recordings. Built normally it checks what the edits leave behind; built with RealtimeSanitizer
// or ThreadSanitizer (their own build folders) it proves that the pass never blocks and that no
// value is shared without a lock or an atomic.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "command/cmdparse.h"
#include "control/control.h"
#include "engine/audioThread.h"
#include "engine/blockRender.h"
#include "rt/realtime.h"
#include "engine/soundNode.h"
#include "files/fileops.h"
#include "modules/modfuncs.h"
#include "samples/loopStore.h"
#include "tests/jackserver.h"
#include "tests/testutil.h"

static std::atomic<bool> stopPasses{false};
static std::atomic<long> passesDone{0};
static std::vector<short> captured;  // left output of each pass, written by the pass thread only
static std::atomic<size_t> capturedFrames{0};
static short inputLevel = 0;

// Pass thread: one pass as the device loop runs it, checked as real-time code.
static void onePass() QAF_NONBLOCKING
{
  runGraphPass();
}

// Pass thread, as a sound file's render runs it: a block of passes under one holding.
static std::atomic<bool> renderBlocks{false};
static void oneBlock(char *frames, int passes) QAF_NONBLOCKING
{
  runGraphBlock(frames, passes);
}

static void *passThread(void *)
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
static void quietly(F f)
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
  pthread_t th;
  bool running = false;
  char *dir = nullptr;
};

static int newestSlot()
{
  int newest = -1;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && (newest < 0 || MOD[s]->ID > MOD[newest]->ID)) newest = s;
  return newest;
}

static int firstTerm(int type, bool input)
{
  for (int k = 0; k < 4; k++)
    if (input ? typeHasInput(type, k) : typeHasOutput(type, k)) return k;
  return -1;
}

static void run(const std::string &text)
{
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  cmdparse(copy.data());
}

// ThreadSanitizer slows the storm some twentyfold.
#if defined(__SANITIZE_THREAD__)
static const int stormRounds = 10;
#else
static const int stormRounds = 30;
#endif

// Every kind of edit a user makes, many times over.
static void editStorm(int rounds, const std::string &lyo, const std::string &sbk)
{
  for (int round = 0; round < rounds; round++) {
    // Every type in one chain from Line In to Line Out, with parameters moving.
    int prev = 0, prevOut = 0;
    std::vector<int> made;
    for (int t = 2; t < MAX_TYPES; t++) {
      New_Mod(t);
      int s = newestSlot();
      made.push_back(s);
      run("C " + std::to_string(MOD[prev]->ID) + "-" + std::to_string(MOD[s]->ID) + " " +
          char('A' + prevOut) + " " + char('A' + firstTerm(t, true)));
      for (int p = 0; p < 16; p++) MOD[s]->parm[p] = (float)((round * 37 + p * 11) % 200);
      // The first parameter follows controller 7 as well, on any channel.
      std::string why;
      if (parmCount(t) > 0) controlMap(0, 7, MOD[s]->ID, 0, false, 0, 0, MAP_LINEAR, &why);
      prev = s;
      prevOut = firstTerm(t, false);
    }
    run("C " + std::to_string(MOD[prev]->ID) + "-" + std::to_string(MOD[1]->ID) + " " +
        char('A' + prevOut) + " A");
    // A recording stored as a sample, the way Save Sample does it.
    for (int s : made)
      if (MOD[s]->type >= 11 && MOD[s]->type <= 13) {
        int count = recordingLength(s);
        std::vector<short> copy(count);
        copyRecording(s, copy.data(), count);
        lockLoop(5);
        putrawLoop(5, copy.data(), count);
        unlockLoop(5);
      }
    real_save((gchar *)lyo.c_str());
    real_savesbank((gchar *)sbk.c_str());
    loadLayoutFile(lyo.c_str(), round % 2 == 1);
    real_loadsbank((gchar *)sbk.c_str());
    // Unwire and remove everything the layout brought.
    for (int s = 2; s < MAX_MODULES; s++) {
      if (!MOD[s]) continue;
      for (int k = 0; k < 4; k++) run("D " + std::to_string(MOD[s]->ID) + " " + char('A' + k));
    }
    run("D " + std::to_string(MOD[0]->ID) + " A");
    for (int s = 2; s < MAX_MODULES; s++)
      if (MOD[s]) Remove_Mod(s);
  }
}

static void fillSlots()
{
  short tone[4410];
  for (int n = 0; n < 4410; n++) tone[n] = (short)(9000.0 * sin(n * 0.07));
  for (int s = 1; s < 4; s++) {
    lockLoop(s);
    putrawLoop(s, tone, 4410);
    unlockLoop(s);
  }
}

TEST_F(EditStress, EveryKindOfEditWhilePassesRun)
{
  startAudio();
  fillSlots();
  long before = passesDone.load();
  // A controller sweeping all the while, as from the sequencer's thread.
  std::atomic<bool> sweeping{true};
  std::thread midi([&] {
    for (int v = 0; sweeping.load(); v = (v + 1) % 128) {
      midiReceive({0xB3, 7, (unsigned char)v});
      usleep(50);
    }
  });
  quietly([&] { editStorm(stormRounds, path("storm.lyo"), path("storm.sbk")); });
  sweeping = false;
  midi.join();
  waitPasses(20);  // the last switch's fade-in ends before the next test
  stopAudio();
  EXPECT_GT(passesDone.load(), before);
  EXPECT_EQ(MOD_EXEC_NUM, 2);
  EXPECT_TRUE(isLoopFull(5));
}

// Two chains of the modules a sound file renders on two threads, built, wired, moved, saved,
// loaded and removed while blocks render: the second thread runs only inside the audio thread's
// holding, so it never meets an edit.
TEST_F(EditStress, ChainsEditedWhileBlocksRenderOnTwoThreads)
{
  ASSERT_TRUE(prepareBlockRender());
  renderBlocks = true;
  startAudio();
  long shared = sharedPassesRun();
  quietly([&] {
    for (int round = 0; round < stormRounds; round++) {
      for (int ch = 0; ch < 2; ch++) {
        int prev = 0, prevOut = ch;
        for (int t : {4, 7, 17, 5, 16, 10, 19, 2}) {
          New_Mod(t);
          int s = newestSlot();
          run("C " + std::to_string(MOD[prev]->ID) + "-" + std::to_string(MOD[s]->ID) + " " +
              char('A' + prevOut) + " A");
          for (int p = 0; p < 16; p++) MOD[s]->parm[p] = (float)((round * 29 + p * 13) % 150);
          prev = s;
          prevOut = 0;
        }
        run("C " + std::to_string(MOD[prev]->ID) + "-" + std::to_string(MOD[1]->ID) + " A " +
            char('A' + ch));
      }
      waitPasses(2 * blockPasses());
      real_save((gchar *)path("blocks.lyo").c_str());
      loadLayoutFile(path("blocks.lyo").c_str(), round % 2 == 1);
      waitPasses(2 * blockPasses());
      run("D " + std::to_string(MOD[0]->ID) + " A");
      run("D " + std::to_string(MOD[0]->ID) + " B");
      for (int s = 2; s < MAX_MODULES; s++)
        if (MOD[s]) {
          for (int k = 0; k < 4; k++) run("D " + std::to_string(MOD[s]->ID) + " " + char('A' + k));
          Remove_Mod(s);
        }
    }
  });
  stopAudio();
  renderBlocks = false;
  stopBlockRender();
  EXPECT_GT(sharedPassesRun(), shared);
  EXPECT_EQ(MOD_EXEC_NUM, 2);
}

// The same storm while a JACK server calls the process callback, which runs the passes.
TEST_F(EditStress, EveryKindOfEditWhileJackRunsThePasses)
{
  JackServer server(44100, 32);
  if (!server.up) GTEST_SKIP() << "JACK server not available: " << server.why;
  fillSlots();
  std::atomic<int> readResult{1};
  controlSetInput(MIDI_JACK);  // the callback reads its MIDI port before the passes
  quietly([&] { ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 128), 0); });
  // The device read waits while JACK runs the passes, as the audio thread's would.
  std::thread reader([&] { readResult = jackBackend.read(); });
  long before = jackCallbacks.load();
  quietly([&] { editStorm(stormRounds / 2, path("jack.lyo"), path("jack.sbk")); });
  while (jackCallbacks.load() < before + 200) usleep(1000);
  quietly([&] { jackBackend.close(); });
  reader.join();
  EXPECT_EQ(readResult.load(), -1);
  EXPECT_EQ(MOD_EXEC_NUM, 2);
}

// A preset switch fades the output out, swaps while silent and fades back in: no step between
// two output samples is larger than the fade's own (full scale over 220 frames), the output
// reaches silence, and the signal comes back whole.
TEST_F(EditStress, SwitchWithFadeMakesNoClick)
{
  inputLevel = 16000;
  run("C " + std::to_string(MOD[0]->ID) + "-" + std::to_string(MOD[1]->ID) + " A A");
  std::string lyo = path("through.lyo");
  quietly([&] { real_save((gchar *)lyo.c_str()); });
  startAudio();
  waitPasses(50);
  bool ok = false;
  quietly([&] { ok = loadLayoutFile(lyo.c_str(), true); });
  waitPasses(50);
  stopAudio();
  inputLevel = 0;
  ASSERT_TRUE(ok);
  size_t n = capturedFrames.load();
  ASSERT_GT(n, 100u * 32);
  int biggestStep = 0, lowest = 16000;
  for (size_t i = 1; i < n; i++) {
    biggestStep = std::max(biggestStep, abs(captured[i] - captured[i - 1]));
    lowest = std::min(lowest, (int)captured[i]);
  }
  EXPECT_LE(biggestStep, 16000 / 220 + 1);
  EXPECT_EQ(lowest, 0);
  EXPECT_EQ(captured[n - 1], 16000);
  EXPECT_EQ(captured[0], 16000);
}

#ifdef QAF_RTSAN
// Real-time code that allocates.
static void allocatesInAPass() QAF_NONBLOCKING
{
  volatile char *p = (char *)malloc(64);
  p[0] = 1;
  free((void *)p);
}
#endif

// The sanitized build must really catch an allocation inside a pass, or its clean runs prove
// nothing.
TEST(RealtimeSanitizer, CatchesAnAllocationInsideAPass)
{
#ifdef QAF_RTSAN
  EXPECT_DEATH(allocatesInAPass(), "RealtimeSanitizer");
#else
  GTEST_SKIP() << "built without RealtimeSanitizer";
#endif
}
