// Chunks and how they move: the pool, verifyIn, SendOut with its wires (own feedback included),
// and the two line modules that take the device buffer apart and put it back together.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <algorithm>

#include "audio/cardfeed.h"
#include "engine/audioThread.h"
#include "engine/blockRender.h"
#include "engine/soundNode.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"
#include "tests/testutil.h"

using Samples = std::vector<short>;

static Samples chunkSamples(const short *c) { return Samples(c, c + sound_chunk_size / 2); }

static Samples ramp(int n, int start, int step)
{
  Samples v((size_t)n);
  for (int i = 0; i < n; i++) v[(size_t)i] = (short)(start + i * step);
  return v;
}

// A module of the type in a free slot, made the way the command "A n" makes it. Its slot.
static int addModule(int type)
{
  command("A " + std::to_string(type));
  takeNewestGraph();
  int newest = -1;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && (newest < 0 || MOD[s]->ID > MOD[newest]->ID)) newest = s;
  return newest;
}

static void wire(int fromSlot, int k, int toSlot, int j)
{
  char text[64];
  snprintf(text, sizeof text, "C %d-%d%c%c", MOD[fromSlot]->ID, MOD[toSlot]->ID, 'A' + k, 'A' + j);
  command(text);
  takeNewestGraph();
  ASSERT_EQ(O_TERM_CONNECT[fromSlot * 4 + k], toSlot * 4 + j) << text;
}

class Chunks : public testing::Test {
 protected:
  void SetUp() override { bootGraph(); }
};

TEST_F(Chunks, VerifyInPutsASilentChunkIntoAnEmptySlotAndKeepsIt)
{
  int p = addModule(2);
  short *c = verifyIn(p, 1);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(MOD[p]->term[1], c);
  EXPECT_EQ(chunkSamples(c), Samples(32, 0));
  c[5] = 77;
  EXPECT_EQ(verifyIn(p, 1), c);  // the same chunk, not a new one
  EXPECT_EQ(c[5], 77);
  EXPECT_EQ(chunksInUse(), 1);
}

TEST_F(Chunks, ReusedChunksComeBackSilentAtEveryBufferSize)
{
  for (int size : {128, 4096}) {
    sound_buffer_size = size;
    sound_chunk_size = size / 2;
    short *c = newChunk();
    memset(c, 0x55, (size_t)sound_chunk_size);
    freeChunk(c);
    short *d = newChunk();
    EXPECT_EQ(chunkSamples(d), Samples((size_t)size / 4, 0)) << size;
    freeChunk(d);
  }
  EXPECT_EQ(chunksInUse(), 0);
}

// 64 modules with every slot full, plus the two extra chunks a Panning Mixer holds while it
// builds its outputs, fit in the pool: the audio thread never needs the heap.
TEST_F(Chunks, WorstCasePatchNeedsNoChunkFromTheHeap)
{
  while (addModule(2) < MAX_MODULES - 1) {
  }
  ASSERT_NE(MOD[MAX_MODULES - 1], nullptr);
  sound_buffer_size = 4096;
  sound_chunk_size = 2048;
  for (int s = 0; s < MAX_MODULES; s++)
    for (int k = 0; k < 4; k++) verifyIn(s, k);
  short *l = newChunk(), *r = newChunk();
  EXPECT_EQ(chunkPoolOverflows, 0);
  EXPECT_EQ(chunksInUse(), 4 * MAX_MODULES + 2);
  freeChunk(l);
  freeChunk(r);
}

TEST_F(Chunks, AnEmptyPoolCountsAndHandsOutSilenceWithoutTheHeap)
{
  std::vector<short *> held;
  int before = chunkPoolOverflows;
  for (int n = 0; n < CHUNK_POOL_SIZE + 3; n++) held.push_back(newChunk());
  EXPECT_EQ(chunkPoolOverflows - before, 3);
  // what a pump gets past the pool's end is a silent scratch chunk, not memory from the heap
  EXPECT_EQ(chunkSamples(held.back()), Samples(32, 0));
  EXPECT_EQ(held[CHUNK_POOL_SIZE], held.back());
  EXPECT_EQ(chunksInUse(), CHUNK_POOL_SIZE);
  for (short *c : held) freeChunk(c);
  EXPECT_EQ(chunksInUse(), 0);
}

TEST_F(Chunks, DeletingAModuleReleasesTheChunksWaitingInItsSlots)
{
  int p = addModule(2);
  for (int k = 0; k < 4; k++) verifyIn(p, k);
  ASSERT_EQ(chunksInUse(), 4);
  command("R " + std::to_string(MOD[p]->ID));
  EXPECT_EQ(MOD[p], nullptr);
  EXPECT_EQ(chunksInUse(), 0);
}

class SendingOut : public testing::Test {
 protected:
  void SetUp() override
  {
    bootGraph();
    a = addModule(2);
    b = addModule(2);
  }
  int a = -1, b = -1;
};

TEST_F(SendingOut, HandsTheChunkItselfToTheWiredInputAndFreesUnwiredOnes)
{
  wire(a, 0, b, 2);
  short *c0 = verifyIn(a, 0);
  c0[0] = 1234;
  verifyIn(a, 1);  // output 1 is not wired
  ASSERT_EQ(chunksInUse(), 2);
  SendOut(a);
  EXPECT_EQ(MOD[b]->term[2], c0);  // the same chunk, not a copy
  EXPECT_EQ(MOD[b]->term[2][0], 1234);
  for (int k = 0; k < 4; k++) EXPECT_EQ(MOD[a]->term[k], nullptr) << k;
  EXPECT_EQ(chunksInUse(), 1);
}

TEST_F(SendingOut, EmptySlotsSendNothing)
{
  wire(a, 3, b, 0);
  SendOut(a);
  EXPECT_EQ(MOD[b]->term[0], nullptr);
  EXPECT_EQ(chunksInUse(), 0);
}

// Output 2 -> own input 0: the chunk waits in slot 0 for the module's next pump.
TEST_F(SendingOut, OwnWireToALowerTerminalKeepsTheChunkForTheNextPump)
{
  wire(a, 2, a, 0);
  short *c = verifyIn(a, 2);
  SendOut(a);
  EXPECT_EQ(MOD[a]->term[0], c);
  EXPECT_EQ(MOD[a]->term[2], nullptr);
  EXPECT_EQ(chunksInUse(), 1);
}

// Output 1 -> own input 1: the chunk comes straight back into the slot it left.
TEST_F(SendingOut, OwnWireToTheSameTerminalKeepsTheChunkInPlace)
{
  wire(a, 1, a, 1);
  short *c = verifyIn(a, 1);
  SendOut(a);
  EXPECT_EQ(MOD[a]->term[1], c);
  EXPECT_EQ(chunksInUse(), 1);
}

// Output 0 -> own input 3, output 3 -> b's input 1: the same call passes it on along output 3.
TEST_F(SendingOut, OwnWireToAHigherTerminalPassesTheChunkOnInTheSameCall)
{
  wire(a, 0, a, 3);
  wire(a, 3, b, 1);
  short *c = verifyIn(a, 0);
  SendOut(a);
  EXPECT_EQ(MOD[b]->term[1], c);
  for (int k = 0; k < 4; k++) EXPECT_EQ(MOD[a]->term[k], nullptr) << k;
  EXPECT_EQ(chunksInUse(), 1);
}

TEST_F(SendingOut, OwnWireToAHigherUnwiredTerminalFreesTheChunk)
{
  wire(a, 0, a, 3);
  verifyIn(a, 0);
  SendOut(a);
  for (int k = 0; k < 4; k++) EXPECT_EQ(MOD[a]->term[k], nullptr) << k;
  EXPECT_EQ(chunksInUse(), 0);
}

// b's input 0 still holds a chunk from its old feeder (which ran after it) when a new feeder
// delivers: the old one goes back to the pool instead of being lost.
TEST_F(SendingOut, DeliveryOntoAWaitingChunkGivesTheOldOneBack)
{
  wire(a, 0, b, 0);
  short *old = verifyIn(b, 0);
  short *fresh = verifyIn(a, 0);
  SendOut(a);
  EXPECT_EQ(MOD[b]->term[0], fresh);
  EXPECT_NE(MOD[b]->term[0], old);
  EXPECT_EQ(chunksInUse(), 1);
}

// A fresh graph and a device buffer of 32 frames, the default size, in device.
static void bootWithDevice(Samples &device)
{
  bootGraph();
  device.assign(64, 0);
  buf = (char *)device.data();
  buf_size = sound_buffer_size;
}

static void dropDevice()
{
  buf = nullptr;
  buf_size = 0;
}

// The device buffer for the line modules.
class LineModules : public testing::Test {
 protected:
  void SetUp() override { bootWithDevice(device); }
  void TearDown() override { dropDevice(); }
  void fillFrames(const Samples &left, const Samples &right)
  {
    for (int n = 0; n < 32; n++) {
      device[2 * (size_t)n] = left[(size_t)n];
      device[2 * (size_t)n + 1] = right[(size_t)n];
    }
  }
  Samples side(int ch) const
  {
    Samples v;
    for (int n = 0; n < 32; n++) v.push_back(device[2 * (size_t)n + (size_t)ch]);
    return v;
  }
  Samples device;
};

TEST_F(LineModules, LineInSplitsTheBufferIntoLeftAndRightAndClearsIt)
{
  int p = addModule(2);
  wire(0, 0, p, 0);
  wire(0, 1, p, 2);
  Samples left = ramp(32, -1000, 37), right = ramp(32, 500, -11);
  fillFrames(left, right);
  fLineIn(0);
  ASSERT_NE(MOD[p]->term[0], nullptr);
  ASSERT_NE(MOD[p]->term[2], nullptr);
  EXPECT_EQ(chunkSamples(MOD[p]->term[0]), left);
  EXPECT_EQ(chunkSamples(MOD[p]->term[2]), right);
  EXPECT_EQ(device, Samples(64, 0));
  for (int k = 0; k < 4; k++) EXPECT_EQ(MOD[0]->term[k], nullptr) << k;
}

TEST_F(LineModules, LineInFreesTheChunkOfAnUnwiredOutput)
{
  int p = addModule(2);
  wire(0, 1, p, 0);
  fillFrames(ramp(32, 1, 1), ramp(32, -1, -1));
  fLineIn(0);
  EXPECT_EQ(chunkSamples(MOD[p]->term[0]), ramp(32, -1, -1));
  EXPECT_EQ(chunksInUse(), 1);
}

TEST_F(LineModules, LineOutInterleavesItsTwoInputsAndEmptiesItsSlots)
{
  Samples left = ramp(32, 300, 3), right = ramp(32, -32768, 2000);
  memcpy(verifyIn(1, 0), left.data(), 64);
  memcpy(verifyIn(1, 1), right.data(), 64);
  fLineOut(1);
  EXPECT_EQ(side(0), left);
  EXPECT_EQ(side(1), right);
  for (int k = 0; k < 4; k++) EXPECT_EQ(MOD[1]->term[k], nullptr) << k;
  EXPECT_EQ(chunksInUse(), 0);
}

TEST_F(LineModules, LineOutWritesSilenceForAnInputThatGotNothing)
{
  fillFrames(ramp(32, 9, 9), ramp(32, 9, 9));  // stale contents of the buffer
  memcpy(verifyIn(1, 1), ramp(32, 40, 1).data(), 64);
  fLineOut(1);
  EXPECT_EQ(side(0), Samples(32, 0));
  EXPECT_EQ(side(1), ramp(32, 40, 1));
  EXPECT_EQ(chunksInUse(), 0);
}

TEST_F(LineModules, OnePassThroughAStraightPatchGivesBackTheBufferRead)
{
  command("C 100-101AA");
  command("C 100-101BB");
  Samples left = ramp(32, 32767, -2000), right = ramp(32, -5, 1);
  fillFrames(left, right);
  Samples read = device;
  beginGraphPass();
  for (int i = 0; i < MOD_EXEC_NUM; i++) Pump_Module(MOD_EXEC_ORDER[i]);
  endGraphPass();
  EXPECT_EQ(device, read);
  EXPECT_EQ(chunksInUse(), 0);
}

TEST_F(LineModules, BiggerBuffersSplitIntoBiggerChunks)
{
  sound_buffer_size = 1024;
  sound_chunk_size = 512;
  device.assign(512, 0);
  buf = (char *)device.data();
  buf_size = 1024;
  for (int n = 0; n < 256; n++) {
    device[2 * (size_t)n] = (short)n;
    device[2 * (size_t)n + 1] = (short)-n;
  }
  int p = addModule(2);
  wire(0, 0, p, 0);
  wire(0, 1, p, 1);
  fLineIn(0);
  EXPECT_EQ(chunkSamples(MOD[p]->term[0]), ramp(256, 0, 1));
  EXPECT_EQ(chunkSamples(MOD[p]->term[1]), ramp(256, 0, -1));
  EXPECT_EQ(device, Samples(512, 0));
}

// ---- Blocks of passes ---------------------------------------------------------------------------
// A sound file is rendered a block of passes at a time, module by module and on two threads where
// the patch allows. Each patch here is built twice and fed the same sound: once pass by pass, once
// in blocks (a short one at the end), and the two renders must agree sample for sample.

struct blockPatch {
  const char *name;
  void (*build)();
  bool asBlocks;  // false: the patch must fall back to pass by pass
  bool shared;    // the block's modules are shared out between two threads
};

static void setParms(int slot, std::initializer_list<float> v)
{
  int i = 0;
  for (float x : v) MOD[slot]->parm[i++] = x;
}

// Distort, Tone, Compressor, Reverb and Chorus/Flange on each channel.
static void stereoChain()
{
  for (int ch = 0; ch < 2; ch++) {
    int from = 0, k = ch;
    for (int type : {4, 7, 17, 5, 16}) {
      int s = addModule(type);
      wire(from, k, s, 0);
      from = s;
      k = 0;
    }
    wire(from, 0, 1, ch);
  }
  for (int s = 2; s < MAX_MODULES; s++) {
    if (!MOD[s]) continue;
    if (MOD[s]->type == 4) setParms(s, {40, 60, 50});
    if (MOD[s]->type == 7) setParms(s, {800, 70, 30});
    if (MOD[s]->type == 17) setParms(s, {10, 60, 30});
    if (MOD[s]->type == 5) setParms(s, {300, 40, 80, 50});
    if (MOD[s]->type == 16) setParms(s, {50, 30, 1, 128, 128, 64});
  }
}

// Fan-out and mixing on the left, the right crossed over, a module with no inputs and one whose
// outputs go nowhere, and Line Out's right input left unwired.
static void branches()
{
  int split = addModule(6), oct = addModule(10), tone = addModule(7), mix = addModule(3);
  int fade = addModule(9), pan = addModule(15), lone = addModule(19), dead = addModule(2);
  wire(0, 0, split, 0);
  wire(split, 0, oct, 0);
  wire(split, 1, tone, 0);
  wire(split, 2, fade, 0);
  wire(oct, 0, mix, 0);
  wire(tone, 0, mix, 1);
  wire(0, 1, pan, 0);
  wire(pan, 0, fade, 1);
  wire(fade, 0, mix, 2);
  wire(mix, 0, 1, 0);
  wire(lone, 0, dead, 0);
  setParms(mix, {60, 50, 40, 0});
  setParms(fade, {30});
  setParms(pan, {80, 0, 0, 0, 30});
  setParms(lone, {1000, 2});
  setParms(tone, {1200, 20, 90});
}

// A recorder keeps state beside its wires: the patch is run pass by pass.
static void withRecorder()
{
  int rec = addModule(11), dist = addModule(4);
  wire(0, 0, rec, 0);
  wire(rec, 0, dist, 0);
  wire(dist, 0, 1, 0);
  setParms(rec, {0, 0, 1});
}

// A wire back to a module that ran earlier arrives a pass late: the patch is run pass by pass.
static void feedback()
{
  int mix = addModule(3), split = addModule(6);
  wire(0, 0, mix, 0);
  wire(mix, 0, split, 0);
  wire(split, 0, mix, 1);
  wire(split, 1, 1, 0);
  setParms(mix, {50, 40, 0, 0});
}

class Blocks : public testing::TestWithParam<blockPatch> {
 protected:
  void SetUp() override
  {
    bootWithDevice(device);
    ASSERT_TRUE(prepareBlockRender());
  }
  void TearDown() override
  {
    stopBlockRender();
    dropDevice();
  }
  // Renders the sound through a new copy of the patch; the chunks it kept afterwards come back
  // in kept.
  Samples render(Samples sound, bool blocks, int &kept)
  {
    bootGraph();
    int before = chunksInUse();
    GetParam().build();
    size_t bytes = (size_t)buf_size, passes = sound.size() * 2 / bytes;
    char *at = (char *)sound.data();
    for (size_t p = 0; p < passes;) {
      size_t n = blocks ? std::min(passes - p, (size_t)blockPasses()) : 1;
      if (blocks) {
        runGraphBlock(at + p * bytes, (int)n);
      } else {
        memcpy(buf, at + p * bytes, bytes);
        runGraphPass();
        memcpy(at + p * bytes, buf, bytes);
      }
      p += n;
    }
    kept = chunksInUse() - before;
    return sound;
  }
  Samples device;
};

TEST_P(Blocks, RenderTheSameSoundAsPassByPass)
{
  // Three blocks and a short one of a swept tone with a loud burst, on both channels.
  Samples sound;
  int passes = 3 * blockPasses() + 5;
  for (int i = 0; i < passes * 32; i++) {
    double t = i / 44100.0;
    double burst = i / 32 % 90 < 20 ? 0.9 : 0.2;
    sound.push_back((short)(burst * 32000 * sin(2 * M_PI * (200 + 800 * t) * t)));
    sound.push_back((short)(burst * 30000 * sin(2 * M_PI * 330 * t + (i % 7))));
  }
  int keptPassing = 0, keptBlocks = 0;
  Samples byPass = render(sound, false, keptPassing);
  long asBlocks = blockPassesRun(), single = singlePassesRun(), shared = sharedPassesRun();
  int overflows = chunkPoolOverflows;
  Samples byBlock = render(sound, true, keptBlocks);
  ASSERT_EQ(byBlock.size(), byPass.size());
  size_t first = 0;
  while (first < byPass.size() && byBlock[first] == byPass[first]) first++;
  EXPECT_EQ(first, byPass.size()) << "first difference at frame " << first / 2;
  EXPECT_NE(byPass, sound);  // the patch did something
  EXPECT_EQ(keptBlocks, keptPassing);
  EXPECT_EQ(chunkPoolOverflows, overflows);
  const blockPatch &p = GetParam();
  EXPECT_EQ(blockPassesRun() - asBlocks, p.asBlocks ? passes : 0);
  EXPECT_EQ(singlePassesRun() - single, p.asBlocks ? 0 : passes);
  EXPECT_EQ(sharedPassesRun() - shared, p.shared ? passes : 0);
}

INSTANTIATE_TEST_SUITE_P(Patches, Blocks,
                         testing::Values(blockPatch{"StereoChain", stereoChain, true, true},
                                         blockPatch{"Branches", branches, true, true},
                                         blockPatch{"WithRecorder", withRecorder, false, false},
                                         blockPatch{"Feedback", feedback, false, false}),
                         [](const testing::TestParamInfo<blockPatch> &i) { return i.param.name; });
