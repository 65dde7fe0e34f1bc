// The sample modules through real passes: Line In takes the device buffer apart, the patch runs
// under the graph lock, Line Out puts it back. Left channel in/out carries sound, right channel
// in carries triggers into terminal 3, right channel out shows what leaves terminal 3.
// Expected values are worked out from each pump's algorithm at 32 samples per chunk.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "audio/cardfeed.h"
#include "engine/audioThread.h"
#include "engine/soundNode.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"
#include "samples/loopStore.h"
#include "tests/testutil.h"

using Samples = std::vector<short>;

static const int N = 32;  // samples per chunk at the default 128-byte buffer

class SampleModules : public testing::Test {
protected:
  void SetUp() override
  {
    bootGraph();
    beginCapture();
    initLoops();
    endCapture();
    ASSERT_EQ(sound_chunk_size / 2, N);
    buf = (char *)g_malloc0(sound_buffer_size);
    baseline = chunksInUse();
  }
  void TearDown() override { g_free(buf); buf = nullptr; }

  // Creates a module of the type (it lands in slot 2, ID 102) and makes the wires.
  void patch(int type, std::initializer_list<const char *> wires)
  {
    command("A" + std::to_string(type));
    ASSERT_NE(MOD[2], nullptr);
    ASSERT_EQ(MOD[2]->type, type);
    for (const char *w : wires) command(w);
  }

  // One pass per 32 samples of input. Every pass must give back every chunk it took.
  void run(const Samples &inL, const Samples &inR, Samples &outL, Samples &outR)
  {
    ASSERT_EQ(inL.size(), inR.size());
    ASSERT_EQ(inL.size() % N, 0u);
    outL.assign(inL.size(), 0);
    outR.assign(inL.size(), 0);
    short *frames = (short *)buf;
    for (size_t base = 0; base < inL.size(); base += N) {
      for (int i = 0; i < N; i++) {
        frames[2 * i] = inL[base + i];
        frames[2 * i + 1] = inR[base + i];
      }
      pumpAllModules();
      for (int i = 0; i < N; i++) {
        outL[base + i] = frames[2 * i];
        outR[base + i] = frames[2 * i + 1];
      }
      ASSERT_EQ(chunksInUse(), baseline) << "chunks leaked in the pass at " << base;
    }
  }
  Samples silence(size_t n) { return Samples(n, 0); }

  int baseline = 0;
};

// A sample whose value at i is i + 1, so silence (0) is never mistaken for it.
static void fillRamp(int slot, int len)
{
  Samples v(len);
  for (int i = 0; i < len; i++) v[i] = short(i + 1);
  lockLoop(slot);
  putrawLoop(slot, v.data(), len);
  unlockLoop(slot);
}

// Looper out 0 -> left out, out 3 -> right out, right in -> trigger input.
static const std::initializer_list<const char *> looperWires = {"C 102-101aa", "C 102-101db",
                                                                 "C 100-102bd"};

// ---- Looper: what it plays --------------------------------------------------------------------

TEST_F(SampleModules, LooperWholeSampleAtEnd1024AndDefaultEndDropsTheLastPart)
{
  fillRamp(0, 64);
  patch(8, looperWires);
  EXPECT_FLOAT_EQ(MOD[2]->parm[2], 1023.0f);
  Samples l, r;
  // Default End 1023: e = 1023 * 64 / 1024 = 63, so the loop is samples 0..62 (values 1..63).
  run(silence(96), silence(96), l, r);
  for (int t = 0; t < 96; t++) EXPECT_EQ(l[t], t % 63 + 1) << t;

  // End 1024: e = 64, the whole sample (values 1..64) loops. The stored position (33) is inside
  // the new stretch, so play goes on from it.
  MOD[2]->parm[2] = 1024.0f;
  run(silence(64), silence(64), l, r);
  for (int t = 0; t < 64; t++) EXPECT_EQ(l[t], (33 + t) % 64 + 1) << t;
}

TEST_F(SampleModules, LooperStartAboveEndPlaysBetweenThemAndStartEqualEndIsSilent)
{
  fillRamp(0, 1024);  // with 1024 samples, Start and End are sample numbers
  patch(8, looperWires);
  MOD[2]->parm[1] = 900.0f;
  MOD[2]->parm[2] = 100.0f;
  Samples l, r;
  run(silence(64), silence(64), l, r);
  // swapped to s = 100, e = 900; the position 0 lies outside, so play starts at 100 (value 101)
  for (int t = 0; t < 64; t++) EXPECT_EQ(l[t], 101 + t) << t;

  // Start = End: silence on output 0, the trigger input passes to output 3 untouched.
  MOD[2]->parm[1] = 300.0f;
  MOD[2]->parm[2] = 300.0f;
  Samples trig = silence(32);
  trig[5] = 2000;
  trig[6] = 500;
  trig[7] = -3000;
  run(silence(32), trig, l, r);
  EXPECT_EQ(l, silence(32));
  EXPECT_EQ(r, trig);
}

TEST_F(SampleModules, LooperSpeed50RepeatsEachSampleAnd200SkipsEveryOther)
{
  fillRamp(0, 64);
  patch(8, looperWires);
  MOD[2]->parm[2] = 1024.0f;
  MOD[2]->parm[3] = 50.0f;
  Samples l, r;
  // step 0.5: positions 0,0,1,1,...; a chunk of 32 covers 16 samples, the next resumes at 16
  run(silence(64), silence(64), l, r);
  for (int t = 0; t < 64; t++) EXPECT_EQ(l[t], t / 2 + 1) << t;
  // at half speed the position rests on Start for two output samples: pulses at t = 0 only
  // (the one after it has moved on to 1 once the step is added: 0 -> 0.5 -> 1)
  EXPECT_EQ(r[0], 32767);
  for (int t = 1; t < 64; t++) EXPECT_EQ(r[t], 0) << t;

  // step 2 from position 32: 32, 34, ... 62, then 64 >= e wraps to 0; next chunk 0, 2, ... 62
  MOD[2]->parm[3] = 200.0f;
  run(silence(64), silence(64), l, r);
  for (int t = 0; t < 16; t++) EXPECT_EQ(l[t], 32 + 2 * t + 1) << t;
  for (int t = 16; t < 48; t++) EXPECT_EQ(l[t], 2 * (t - 16) + 1) << t;
  for (int t = 48; t < 64; t++) EXPECT_EQ(l[t], 2 * (t - 48) + 1) << t;
}

TEST_F(SampleModules, LooperTrigOnlyHoldsTheLastSampleUntilATriggerRestartsIt)
{
  fillRamp(0, 64);
  patch(8, looperWires);
  MOD[2]->parm[2] = 1024.0f;
  MOD[2]->parm[4] = 1.0f;
  Samples l, r;
  run(silence(128), silence(128), l, r);
  // once through 1..64, then the stretch's last sample (e - 1 = 63, value 64) holds
  for (int t = 0; t < 64; t++) EXPECT_EQ(l[t], t + 1) << t;
  for (int t = 64; t < 128; t++) EXPECT_EQ(l[t], 64) << t;
  // nothing moved far enough for a beat pulse, and the position never came back to Start
  EXPECT_EQ(r, silence(128));

  Samples trig = silence(32);
  trig[10] = 1025;  // just above the trigger level
  run(silence(32), trig, l, r);
  for (int t = 0; t <= 10; t++) EXPECT_EQ(l[t], 64) << t;
  for (int t = 11; t < 32; t++) EXPECT_EQ(l[t], t - 10) << t;  // restarted at Start
  for (int t = 0; t < 32; t++) EXPECT_EQ(r[t], t == 10 ? 32767 : 0) << t;
}

TEST_F(SampleModules, LooperSyncPulsesOncePerPassAtBeats1AndFourTimesAtBeats4)
{
  fillRamp(0, 64);
  patch(8, looperWires);
  MOD[2]->parm[2] = 1024.0f;
  Samples l, r;
  // Beats 1: seg = 64, never exceeded; the only pulse is where the position returns to 0,
  // i.e. on the sample that plays the last value (t = 63, 127).
  run(silence(128), silence(128), l, r);
  for (int t = 0; t < 128; t++) EXPECT_EQ(r[t], (t % 64 == 63) ? 32767 : 0) << t;

  // Beats 4: seg = 16. From last = 0 a pulse when the position passes 16: at position 17
  // (t = 16 of the pass), then 34 (t = 33), 51 (t = 50), and the return to Start (t = 63).
  MOD[2]->parm[5] = 4.0f;
  run(silence(128), silence(128), l, r);
  std::vector<int> expect = {16, 33, 50, 63, 80, 97, 114, 127};
  for (int t = 0; t < 128; t++) {
    bool pulse = std::find(expect.begin(), expect.end(), t) != expect.end();
    EXPECT_EQ(r[t], pulse ? 32767 : 0) << t;
  }
  // a trigger restarts at Start and pulses there
  Samples trig = silence(32);
  trig[3] = 5000;
  run(silence(32), trig, l, r);
  EXPECT_EQ(r[3], 32767);
  EXPECT_EQ(l[4], 1);
}

// ---- Looper: the slot under refill ------------------------------------------------------------

TEST_F(SampleModules, LooperPlaysSilenceWhileTheUiThreadRefillsItsSlot)
{
  fillRamp(0, 1024);
  patch(8, looperWires);
  Samples l, r;
  run(silence(32), silence(32), l, r);
  EXPECT_EQ(l[0], 1);

  std::atomic<int> stage{0};
  std::thread ui([&] {
    lockLoop(0);
    stage = 1;
    while (stage != 2) std::this_thread::yield();
    Samples v(1024, 7);
    putrawLoop(0, v.data(), 1024);
    unlockLoop(0);
    stage = 3;
  });
  while (stage != 1) std::this_thread::yield();
  EXPECT_EQ(isLockLoop(0), 1);
  Samples trig = silence(32);
  trig[2] = 3000;
  run(silence(32), trig, l, r);
  EXPECT_EQ(l, silence(32));
  EXPECT_EQ(r, trig);  // triggers pass through while the slot is busy
  stage = 2;
  ui.join();
  EXPECT_EQ(isLockLoop(0), 0);
  // the position (32) did not move while the slot was busy; the new sound plays from it
  run(silence(32), silence(32), l, r);
  EXPECT_EQ(l, Samples(32, 7));
}

TEST_F(SampleModules, LooperOnAnEmptySlotOrNoSlotIsSilentAndPassesTriggers)
{
  patch(8, looperWires);
  Samples trig = silence(32);
  trig[0] = 9000;
  Samples l, r;
  run(silence(32), trig, l, r);  // slot 0 empty
  EXPECT_EQ(l, silence(32));
  EXPECT_EQ(r, trig);
  fillRamp(0, 1024);
  for (float bad : {64.0f, -3.0f, 1e9f, NAN}) {
    MOD[2]->parm[0] = bad;
    run(silence(32), trig, l, r);
    EXPECT_EQ(l, silence(32)) << bad;
    EXPECT_EQ(r, trig) << bad;
  }
  // a one-byte sound holds no whole sample
  short one = 5;
  lockLoop(0);
  putrawLoop(0, &one, 1);
  loopLength[0] = 1;
  unlockLoop(0);
  MOD[2]->parm[0] = 0.0f;
  run(silence(32), trig, l, r);
  EXPECT_EQ(l, silence(32));
}

// Values only a layout file can carry are held to the dialog's range: Trigger Beats 0 plays as 1,
// a negative speed as the slowest (10%), so the stretch is never left.
TEST_F(SampleModules, LooperOutOfRangeParametersActAsTheNearestAllowedValue)
{
  fillRamp(0, 64);
  fillRamp(1, 64);
  patch(8, looperWires);
  command("A8");  // a second Looper in slot 3 (ID 103) as the reference, out 0 -> right out
  command("C 103-101ab");
  command("C 100-103ad");  // (silent) trigger input, so that it runs before Line Out
  MOD[3]->parm[0] = 1.0f;
  MOD[2]->parm[2] = MOD[3]->parm[2] = 1024.0f;
  MOD[2]->parm[3] = -250.0f;
  MOD[3]->parm[3] = 10.0f;
  MOD[2]->parm[5] = 0.0f;
  Samples l, r;
  run(silence(256), silence(256), l, r);
  EXPECT_EQ(l, r);
  for (int t = 0; t < 256; t++) ASSERT_TRUE(l[t] >= 1 && l[t] <= 64) << t;
  // 0.1 samples per output sample, restarting at a whole sample each chunk: 3.2 -> 3 per chunk,
  // so the 8th chunk starts at 21 and its last sample stands at 21 + 3.1 -> 24 (value 25)
  EXPECT_EQ(l[255], 25);
}

// Above 4194304 samples Start * len leaves 32 bits; the stretch is still exact.
TEST_F(SampleModules, LooperStretchIsExactForSamplesLongerThan4194304)
{
  const int len = 5000000;
  Samples v(len);
  for (int i = 0; i < len; i++) v[i] = short(i % 30011);
  lockLoop(0);
  putrawLoop(0, v.data(), len);
  unlockLoop(0);
  patch(8, looperWires);
  MOD[2]->parm[1] = 1024.0f;
  MOD[2]->parm[2] = 512.0f;
  Samples l, r;
  run(silence(32), silence(32), l, r);
  // s = 512 * 5000000 / 1024 = 2500000 after the swap; 2500000 % 30011 = 9087
  for (int t = 0; t < 32; t++) EXPECT_EQ(l[t], 9087 + t) << t;
}

// ---- Looper against a refilling UI thread (also built with ASan: see tests/asan.cmake) --------

TEST_F(SampleModules, StressLooperSurvivesThousandsOfRefillsOfItsSlot)
{
  Samples first(512, 1000);
  lockLoop(0);
  putrawLoop(0, first.data(), 512);
  unlockLoop(0);
  patch(8, looperWires);
  MOD[2]->parm[2] = 1024.0f;
  std::atomic<bool> done{false};
  std::thread ui([&] {
    // every refill is one constant value and a different length; some leave the slot empty
    for (int i = 0; i < 10000; i++) {
      int len = 40 + (i % 13) * 37;
      Samples v(len, short(1 + i % 1000));
      lockLoop(0);
      if (i % 5 == 4)
        deleteLoop(0);
      else
        putrawLoop(0, v.data(), len);
      unlockLoop(0);
      for (volatile int spin = 0; spin < 2000; spin = spin + 1) {
      }  // leave the audio thread gaps to read in
    }
    done = true;
  });
  int passes = 0, played = 0;
  Samples l, r;
  while (!done || passes < 100) {
    run(silence(32), silence(32), l, r);
    passes++;
    if (l[0] == 0) {
      ASSERT_EQ(l, silence(32)) << "a chunk mixed silence and sound";
      continue;
    }
    // each chunk comes from one refill only: the sound cannot change while it is read
    played++;
    for (int t = 1; t < 32; t++) ASSERT_EQ(l[t], l[0]) << "pass " << passes;
  }
  ui.join();
  EXPECT_GT(passes, 100);
  // how often the audio thread got in between refills depends on the scheduler; afterwards
  // the slot plays again as soon as it is filled
  RecordProperty("chunks_played_during_refills", played);
  Samples last(300, 4321);
  lockLoop(0);
  putrawLoop(0, last.data(), 300);
  unlockLoop(0);
  run(silence(32), silence(32), l, r);
  EXPECT_EQ(l, Samples(32, 4321));
}

// ---- Record Sample ---------------------------------------------------------------------------

// Recorder in 0 from left in, out 0 to left out; in 3 from right in, out 3 to right out.
static const std::initializer_list<const char *> recWires = {"C 100-102aa", "C 102-101aa",
                                                              "C 100-102bd", "C 102-101db"};

TEST_F(SampleModules, RecordOneSecondThenPlayMixesTheRecordingWithLiveInputClipped)
{
  patch(11, recWires);
  short *data;
  int count;
  getfromRec(2, &data, &count);
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(count, 44100);

  // The input repeats every 44100 samples, so whatever the position when recording stops, the
  // buffer holds f(p) at p. f(0) = -32768 tests the lower clip.
  auto f = [](long t) { return short(int((t % 44100) * 7 % 65536) - 32768); };
  auto live = [](long t) { return short((t % 44100) % 3 == 1 ? 20000 : ((t % 44100) % 3 == 2 ? -20000 : 0)); };
  const long recN = 1379 * N;  // 44128 samples: more than a second
  Samples in(recN), l, r;
  for (long t = 0; t < recN; t++) in[t] = f(t);
  MOD[2]->parm[0] = 2.01f;  // the Record button
  run(in, silence(recN), l, r);
  EXPECT_EQ(l, in);  // recording passes its input through
  for (int p = 0; p < 44100; p++) ASSERT_EQ(data[p], f(p)) << p;
  // pulses where the position wraps to 0: after the sample at t = 44099
  for (long t = 0; t < recN; t++) ASSERT_EQ(r[t], t == 44099 ? 32767 : 0) << t;

  MOD[2]->parm[0] = 0.01f;  // Play
  Samples in2(recN);
  for (long t = 0; t < recN; t++) in2[t] = live(recN + t);
  run(in2, silence(recN), l, r);
  for (long t = 0; t < recN; t++) {
    long p = (recN + t) % 44100;  // the position runs on from where recording stopped
    int sum = f(p) + live(recN + t);
    int expect = sum > 32767 ? 32767 : (sum < -32767 ? -32767 : sum);
    ASSERT_EQ(l[t], expect) << t;
    ASSERT_NE(l[t], -32768);
  }
  // f(0) + 0 = -32768 is played as -32767 (position 0 comes at t = 44100 - 28 of this run)
  EXPECT_EQ(l[44100 - 28], -32767);
  EXPECT_EQ(l[44100 - 28 + 1], -12761);  // f(1) = 7 - 32768, plus 20000
  EXPECT_EQ(l[9361 - 28], 32767);        // f(9361) = 65527 - 32768 = 32759, plus 20000, clipped
}

TEST_F(SampleModules, RecordOverdubAddsToTheLoopAndTriggersResetWithAPulse)
{
  patch(11, recWires);
  MOD[2]->parm[0] = 1.01f;  // Overdub
  // a trigger on every 64th sample keeps the loop 64 samples long
  Samples in(64, 12000), trig(64, 0), l, r;
  trig[63] = 2000;
  Samples expectPulse(64, 0);
  expectPulse[63] = 32767;  // the trigger sample is overwritten by the pulse
  // pass 1: 0 + 12000; pass 2: 24000; pass 3: 36000 clipped to 32767; pass 4 stays 32767
  for (int expect : {12000, 24000, 32767, 32767}) {
    run(in, trig, l, r);
    EXPECT_EQ(l, Samples(64, short(expect)));
    EXPECT_EQ(r, expectPulse);
  }
  short *data;
  int count;
  getfromRec(2, &data, &count);
  EXPECT_EQ(data[0], 32767);
  EXPECT_EQ(data[64], 0);
}

TEST_F(SampleModules, RecordTriggerReturnsThePositionToZeroInRecordAndPlay)
{
  patch(11, recWires);
  MOD[2]->parm[0] = 2.01f;
  Samples in(32), trig(32, 0), l, r;
  for (int t = 0; t < 32; t++) in[t] = short(t + 1);
  trig[10] = 2000;
  run(in, trig, l, r);
  // positions 0..10 get 1..11, then the trigger returns to 0: positions 0..20 get 12..32
  for (int t = 0; t < 32; t++) EXPECT_EQ(r[t], t == 10 ? 32767 : 0) << t;
  short *data;
  int count;
  getfromRec(2, &data, &count);
  for (int p = 0; p <= 20; p++) EXPECT_EQ(data[p], p + 12) << p;
  EXPECT_EQ(data[21], 0);

  MOD[2]->parm[0] = 0.01f;
  trig.assign(32, 0);
  trig[0] = 30000;
  run(silence(32), trig, l, r);
  // sample 0 plays position 21 (silent), then the trigger sends it back to 0
  EXPECT_EQ(l[0], 0);
  for (int t = 1; t <= 21; t++) EXPECT_EQ(l[t], t + 11) << t;
  for (int t = 22; t < 32; t++) EXPECT_EQ(l[t], 0) << t;
  EXPECT_EQ(r[0], 32767);
}

TEST_F(SampleModules, RecordWithAnUnknownModeLeavesSoundAndPositionAlone)
{
  patch(11, recWires);
  Samples in(32, 444), trig(32, 0), l, r;
  trig[4] = 2000;
  for (float bad : {3.5f, -7.0f, NAN}) {
    MOD[2]->parm[0] = bad;
    run(in, trig, l, r);
    EXPECT_EQ(l, in);
    EXPECT_EQ(r, trig);  // no pulse: the position did not move
  }
  short *data;
  int count;
  getfromRec(2, &data, &count);
  EXPECT_EQ(data[0], 0);
}

TEST_F(SampleModules, RecordersOwnBuffersOfOneTenAndThirtySeconds)
{
  const int types[] = {11, 12, 13};
  const int lens[] = {44100, 441000, 1323000};
  for (int i = 0; i < 3; i++) {
    command("A" + std::to_string(types[i]));
    short *data;
    int count;
    getfromRec(2 + i, &data, &count);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(count, lens[i]);
    EXPECT_EQ(data[count - 1], 0);
  }
  short *data = (short *)1;
  int count = 5;
  getfromRec(0, &data, &count);  // Line In is no recorder
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(count, 0);
}

// ---- Sync Sequencer ---------------------------------------------------------------------------

TEST_F(SampleModules, SyncSequencerWithSteps1And3PassesTheFirstAndThirdOfEightTriggers)
{
  patch(14, {"C 100-102bd", "C 102-101db"});
  MOD[2]->parm[0] = 1.0f;
  MOD[2]->parm[2] = 1.0f;
  Samples trig(64, 0), l, r;
  for (int k = 0; k < 8; k++) trig[2 * k] = 5000;  // eight single-sample triggers
  trig[1] = 1000;  // not a trigger: passes and does not advance the step
  trig[40] = 4000;  // the ninth trigger: step 1 again, passes
  trig[41] = 4000;  // the tenth: step 2, muted
  trig[42] = 4000;  // the eleventh: step 3, passes
  run(silence(64), trig, l, r);
  Samples expect(64, 0);
  expect[0] = 5000;
  expect[1] = 1000;
  expect[4] = 5000;
  expect[40] = 4000;
  expect[42] = 4000;
  EXPECT_EQ(r, expect);
}

// ---- Scratcher ------------------------------------------------------------------------------

TEST_F(SampleModules, ScratcherDelaysBy170PerMoveAndRampsWhenItMoves)
{
  patch(18, {"C 100-102aa", "C 102-101aa"});
  auto x = [](long t) { return short(t % 30000 + 1); };
  const long warm = 2048;
  Samples in(warm), l, r;
  for (long t = 0; t < warm; t++) in[t] = x(t);
  run(in, silence(warm), l, r);
  EXPECT_EQ(l, in);  // a new Scratcher passes its input undelayed

  MOD[2]->parm[0] = 10.0f;
  const long len = 3200;
  Samples in2(len);
  for (long t = 0; t < len; t++) in2[t] = x(warm + t);
  run(in2, silence(len), l, r);
  // the ramp chunk: the delay goes 0, 53.125, 106.25, ... (1700 / 32 per sample, exact in float)
  for (int j = 0; j < 32; j++) {
    long d = long(53.125 * j);
    EXPECT_EQ(l[j], x(warm + j - d)) << j;
  }
  // then the input delayed by exactly 1700 samples
  for (long t = 32; t < len; t++) ASSERT_EQ(l[t], x(warm + t - 1700)) << t;

  // moving back to 5: the delay slides from 1700 down by 26.5625 per sample
  MOD[2]->parm[0] = 5.0f;
  const long t0 = warm + len;
  Samples in3(64);
  for (long t = 0; t < 64; t++) in3[t] = x(t0 + t);
  run(in3, silence(64), l, r);
  for (int j = 0; j < 32; j++) EXPECT_EQ(l[j], x(t0 + j - long(1700 - 26.5625 * j))) << j;
  for (int j = 32; j < 64; j++) EXPECT_EQ(l[j], x(t0 + j - 850)) << j;
}

TEST_F(SampleModules, ScratcherHoldsOutOfRangeMovesWithinItsLine)
{
  patch(18, {"C 100-102aa", "C 102-101aa"});
  Samples in(32, 100), l, r;
  MOD[2]->parm[0] = -40.0f;  // held at 0: no delay
  run(in, silence(32), l, r);
  EXPECT_EQ(l, in);
  MOD[2]->parm[0] = 1e9f;  // held at 256: 43520 samples of delay, only silence so far
  run(in, silence(32), l, r);
  run(in, silence(32), l, r);
  EXPECT_EQ(l, silence(32));
  MOD[2]->parm[0] = NAN;
  run(in, silence(32), l, r);
  // the ramp back from 43520 to 0: the last sample's delay is 43520 - 31 * 1360 = 1360, silent
  EXPECT_EQ(l[31], 0);
  run(in, silence(32), l, r);
  EXPECT_EQ(l, in);
}

// ---- Lifecycle --------------------------------------------------------------------------------

TEST_F(SampleModules, RemovingSampleModulesReleasesTheirStateAndChunks)
{
  fillRamp(0, 64);
  for (int type : {8, 11, 14, 18}) {
    command("A" + std::to_string(type));
    int slot = 2;
    ASSERT_NE(MOD[slot], nullptr);
    if (type != 14) {
      EXPECT_NE(MOD[slot]->Extra, nullptr);
    }
    Samples l, r;
    run(silence(64), silence(64), l, r);
    command("R" + std::to_string(MOD[slot]->ID));
    EXPECT_EQ(MOD[slot], nullptr);
    EXPECT_EQ(chunksInUse(), baseline);
  }
}
