// Edits against running passes: a thread runs passes the way the audio thread does while this
// one creates, wires and removes modules, loads layouts and banks, moves parameters and stores
// recordings. Built normally it checks what the edits leave behind; built with RealtimeSanitizer
// or ThreadSanitizer (their own build folders) it proves that the pass never blocks and that no
// value is shared without a lock or an atomic.
#include <thread>

#include "audio/devices.h"
#include "control/control.h"
#include "control/setlist.h"
#include "files/fileops.h"
#include "modules/modfuncs.h"
#include "tests/edit_stress.h"
#include "tests/jackserver.h"

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
// At 44100 Hz, and at 48000 Hz, where the passes run between the two rate conversions.
TEST_F(EditStress, EveryKindOfEditWhileJackRunsThePasses)
{
  for (int rate : {44100, 48000})
    jackStorm(rate);
}

void EditStress::jackStorm(int rate)
{
  JackServer server(rate, 32);
  if (!server.up) GTEST_SKIP() << "JACK server not available: " << server.why;
  SCOPED_TRACE(rate);
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

// A musician edits while JACK plays: a second client plays a 220 Hz sine at half scale through
// Line In and Line Out and records what comes back, while modules are created, wired, set and
// removed beside the signal path, layouts that carry the signal load with their fade, banks
// load and presets are stored: a thousand edits. No period goes silent for an edit (no run of
// 16 zero frames; the sine has single zeros only), and no step between two samples is larger
// than the sine's steepest plus the fade's.
TEST_F(EditStress, JackPlaysThroughAThousandEditsWithoutADropout)
{
#ifdef QAF_TSAN
  GTEST_SKIP() << "the two clients' buffers are handed over inside JACK, which ThreadSanitizer "
                  "does not see; the storm without a listener runs above";
#endif
  JackServer server(44100, 64);
  if (!server.up) GTEST_SKIP() << "JACK server not available: " << server.why;
  fillSlots();
  // Two layouts that both carry Line In to Line Out on the left: straight, and through a
  // Passthrough at half volume (128/256), so that a swap without its fade would be a step.
  std::string straight = path("straight.lyo"), through = path("through.lyo");
  std::string bank = path("bank.sbk"), set = path("set.qset");
  quietly([&] {
    run("C " + std::to_string(MOD[0]->ID) + "-" + std::to_string(MOD[1]->ID) + " A A");
    real_save((gchar *)straight.c_str());
    New_Mod(2);
    int p = newestSlot();
    for (int k = 0; k < 4; k++) MOD[p]->parm[k] = 128.0f;
    run("C " + std::to_string(MOD[0]->ID) + "-" + std::to_string(MOD[p]->ID) + " A A");
    run("C " + std::to_string(MOD[p]->ID) + "-" + std::to_string(MOD[1]->ID) + " A A");
    real_save((gchar *)through.c_str());
    real_savesbank((gchar *)bank.c_str());
    resetSetList();
    saveSetList(set.c_str());
    ASSERT_TRUE(openSetList(set.c_str(), false));
  });
  quietly([&] { ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 128), 0); });
  sound_chunk_size = sound_buffer_size / 2;  // as start-up sets it after the device opened
  std::thread reader([] { jackBackend.read(); });
  Observer obs(44100 * 40, true);
  ASSERT_TRUE(obs.start());
  ASSERT_EQ(jack_connect(obs.c, "observer:out", "qaf:in_1"), 0);
  ASSERT_EQ(jack_connect(obs.c, "qaf:out_1", "observer:back_l"), 0);
  while (obs.recorded.load() < 4410) usleep(1000);

  int edits = 0;
  quietly([&] {
    for (int round = 0; edits < 1000; round++) {
      // Modules beside the signal path: made, wired among themselves, moved, removed.
      std::vector<int> made;
      for (int t : {3, 4, 5, 7, 16, 17}) {
        New_Mod(t);
        made.push_back(newestSlot());
        edits++;
      }
      for (size_t i = 0; i + 1 < made.size(); i++, edits++)
        run("C " + std::to_string(MOD[made[i]]->ID) + "-" + std::to_string(MOD[made[i + 1]]->ID) +
            " A A");
      for (int s : made) MOD[s]->parm[0] = (float)(round % 200), edits++;
      storePreset(round % 4, "");
      edits++;
      for (int s : made) Remove_Mod(s), edits++;
      // The whole patch, faded: one layout or the other, every round.
      loadLayoutFile((round % 2 ? through : straight).c_str(), true);
      real_loadsbank((gchar *)bank.c_str());
      edits += 2;
      usleep(5000);  // a fade heard whole now and then, beside ones cut short by the next swap
    }
  });
  long end = obs.recorded.load();
  obs.stop();
  long xrunsSeen = jackBackend.xruns();
  quietly([&] { jackBackend.close(); });
  reader.join();
  ASSERT_LT(end, obs.capacity) << "the recording filled up before the storm ended";

  // The signal arrives a few periods after the connection; from then on it must never stop.
  long first = 0;
  while (first < end && obs.left[first] == 0.0f) first++;
  ASSERT_LT(first, end - 4410);
  // The sine's steepest step is 16384 * 2 pi * 220 / 44100 = 514; a fade of 256 frames adds at
  // most 16384 / 256 = 64 on top.
  long zeros = 0, dropouts = 0, clicks = 0;
  for (long i = first; i < end; i++) {
    zeros = obs.left[i] == 0.0f ? zeros + 1 : 0;
    dropouts += zeros == 16;
    clicks += i > first && 32768.0 * fabs(obs.left[i] - obs.left[i - 1]) > 514 + 64 + 2;
  }
  // A period the server itself lost (an xrun of the dummy driver on a loaded machine, which it
  // reports) breaks the recording once or twice; nothing else may.
  long xruns = xrunsSeen;
  EXPECT_LE(dropouts, 2 * xruns) << "a period went silent";
  EXPECT_LE(clicks, 2 * xruns) << "a step larger than the fade's";
  EXPECT_GE(edits, 1000);
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
// Real-time code that allocates (hidden from the compiler's check, which would refuse it: this
// is what the run-time check must catch).
static void allocatesInAPass() QAF_NONBLOCKING
{
  QAF_FX_OFF
  volatile char *p = (char *)malloc(64);
  p[0] = 1;
  free((void *)p);
  QAF_FX_ON
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
