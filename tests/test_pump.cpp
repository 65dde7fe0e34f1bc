// Chunks and how they move: the pool, verifyIn, SendOut with its wires (own feedback included),
// and the two line modules that take the device buffer apart and put it back together.
#include <gtest/gtest.h>
#include <string.h>

#include "audio/cardfeed.h"
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

TEST_F(Chunks, AnEmptyPoolStillHandsOutSilentChunksAndTakesThemBack)
{
  std::vector<short *> held;
  for (int n = 0; n < CHUNK_POOL_SIZE + 3; n++) held.push_back(newChunk());
  EXPECT_EQ(chunkPoolOverflows, 3);
  EXPECT_EQ(chunkSamples(held.back()), Samples(32, 0));
  EXPECT_EQ(chunksInUse(), CHUNK_POOL_SIZE + 3);
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

// The device buffer for the line modules: 32 frames at the default size.
class LineModules : public testing::Test {
 protected:
  void SetUp() override
  {
    bootGraph();
    device.assign(64, 0);
    buf = (char *)device.data();
    buf_size = sound_buffer_size;
  }
  void TearDown() override
  {
    buf = nullptr;
    buf_size = 0;
  }
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
  GET_MODGRAPH_LOCK();
  for (int i = 0; i < MOD_EXEC_NUM; i++) Pump_Module(MOD_EXEC_ORDER[i]);
  RELEASE_MODGRAPH_LOCK();
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
