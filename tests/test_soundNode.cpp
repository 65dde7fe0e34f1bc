// The module table and graph: start-up state, creation and removal, tiers and execution order,
// the repair pass, the fatal checks, and the graph lock around every change.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "command/cmdparse.h"
#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"
#include "modules/pump.h"
#include "tests/testutil.h"

using Lines = std::vector<std::string>;

static Lines newMod(int type)
{
  beginCapture();
  New_Mod(type);
  return endCapture();
}

// Wires output (slot, k) to input (slot, j) under the lock, as the command interpreter does,
// without printing the order.
static void wire(int from, int k, int to, int j)
{
  break_I_WIRE(to * 4 + j);
  break_O_WIRE(from * 4 + k);
  make_IO_WIRE(to * 4 + j, from * 4 + k);
}

static Lines tiers()
{
  beginCapture();
  assignModuleTiers();
  return endCapture();
}

TEST(StartUp, GraphHoldsLineInAndLineOutUnwired)
{
  beginCapture();
  Init_SoundNode_Data();
  Lines out = endCapture();
  EXPECT_EQ(out, (Lines{"MOD_EXEC_NUM 2", "Module ID 100 executes 0", "Module ID 101 executes 1",
                        "Creating mutex"}));
  ASSERT_NE(MOD[0], nullptr);
  ASSERT_NE(MOD[1], nullptr);
  EXPECT_EQ(MOD[0]->type, 0);
  EXPECT_EQ(MOD[0]->ID, 100);
  EXPECT_EQ(MOD[1]->type, 1);
  EXPECT_EQ(MOD[1]->ID, 101);
  for (int s = 2; s < MAX_MODULES; s++) EXPECT_EQ(MOD[s], nullptr);
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    EXPECT_EQ(I_TERM_CONNECT[t], -1);
    EXPECT_EQ(O_TERM_CONNECT[t], -1);
  }
  EXPECT_EQ(MAX_TIER, 0);
  EXPECT_EQ(MAX_NUM_IN_TIER, 2);
  EXPECT_EQ(MOD_EXEC_NUM, 2);

  beginCapture();
  Clean_SoundNode_Data();
  EXPECT_EQ(endCapture(), (Lines{"Destroying mutex"}));
}

TEST(StartUp, TypeTableSpellsTheTerminalsOfEveryType)
{
  // Masks read bit 7-k as input k and bit 3-k as output k.
  EXPECT_FALSE(typeHasInput(0, 0));
  EXPECT_TRUE(typeHasOutput(0, 0) && typeHasOutput(0, 1) && !typeHasOutput(0, 2));
  EXPECT_TRUE(typeHasInput(3, 3) && typeHasOutput(3, 0) && !typeHasOutput(3, 1));
  EXPECT_TRUE(typeHasInput(6, 0) && !typeHasInput(6, 1) && typeHasOutput(6, 3));
  EXPECT_TRUE(typeHasInput(8, 3) && !typeHasInput(8, 0) && typeHasOutput(8, 0) &&
              typeHasOutput(8, 3));
  EXPECT_STREQ(typeList[11].name, "Record Sample (1 sec)");
  EXPECT_EQ(strlen(typeList[8].parmDesc), 81u);  // the longest descriptor
  for (int t = 0; t < MAX_TYPES; t++) EXPECT_NE(typeList[t].pump, nullptr) << t;
}

TEST(Creation, RefusesBadTypesAndTheLineModules)
{
  bootGraph();
  EXPECT_EQ(newMod(20), (Lines{"Error: Type 20 is out of range."}));
  EXPECT_EQ(newMod(-1), (Lines{"Error: Type -1 is out of range."}));
  EXPECT_EQ(newMod(0), (Lines{"Can't add or remove Line In or Line Out modules."}));
  EXPECT_EQ(newMod(1), (Lines{"Can't add or remove Line In or Line Out modules."}));
  for (int s = 2; s < MAX_MODULES; s++) EXPECT_EQ(MOD[s], nullptr);
  EXPECT_EQ(sUID, 102);  // no ID was taken by a refusal
}

TEST(Creation, FirstModuleGoesToSlotTwoWithIdOneHundredTwo)
{
  bootGraph();
  Lines out = newMod(3);
  EXPECT_EQ(out, (Lines{"MOD_EXEC_NUM 3", "Module ID 100 executes 0", "Module ID 101 executes 1",
                        "Module ID 102 executes 2", "Created new module ID=102 Slot=2 Type=3",
                        "Name of new module: Mixer"}));
  ASSERT_NE(MOD[2], nullptr);
  EXPECT_EQ(MOD[2]->type, 3);
  for (int k = 0; k < 4; k++) EXPECT_EQ(MOD[2]->term[k], nullptr);
}

TEST(Creation, SixtyFourSlotsThenRefusal)
{
  bootGraph();
  for (int n = 0; n < 62; n++) newMod(6);
  EXPECT_NE(MOD[63], nullptr);
  EXPECT_EQ(MOD[63]->ID, 102 + 61);
  EXPECT_EQ(newMod(6), (Lines{"Error: Maximum number of 64 modules reached."}));
  EXPECT_EQ(MOD_EXEC_NUM, 64);
}

TEST(Creation, RemovedSlotIsReusedWithANewId)
{
  bootGraph();
  newMod(4);
  newMod(4);
  beginCapture();
  Remove_Mod(2);
  Lines out = endCapture();
  EXPECT_EQ(MOD[2], nullptr);
  EXPECT_EQ(out.front(), "MOD_EXEC_NUM 3");
  newMod(9);
  ASSERT_NE(MOD[2], nullptr);
  EXPECT_EQ(MOD[2]->ID, 104);
  EXPECT_EQ(MOD[2]->type, 9);
}

TEST(Creation, RemovingAModuleGivesBackItsWaitingChunks)
{
  bootGraph();
  newMod(6);
  int base = chunksInUse();
  GET_MODGRAPH_LOCK();
  MOD[2]->term[0] = newChunk();
  MOD[2]->term[3] = newChunk();
  RELEASE_MODGRAPH_LOCK();
  EXPECT_EQ(chunksInUse(), base + 2);
  beginCapture();
  Remove_Mod(2);
  endCapture();
  EXPECT_EQ(chunksInUse(), base);
}

TEST(Tiers, ChainGivesOneTierPerWire)
{
  bootGraph();
  newMod(4);  // slot 2
  wire(0, 0, 2, 0);
  wire(2, 0, 1, 0);
  Lines out = tiers();
  EXPECT_EQ(MOD_TIER[0], 0);
  EXPECT_EQ(MOD_TIER[2], 1);
  EXPECT_EQ(MOD_TIER[1], 2);
  EXPECT_EQ(MAX_TIER, 2);
  EXPECT_EQ(MAX_NUM_IN_TIER, 1);
  EXPECT_EQ(out, (Lines{"MOD_EXEC_NUM 3", "Module ID 100 executes 0", "Module ID 102 executes 1",
                        "Module ID 101 executes 2"}));
}

TEST(Tiers, ShorterPathPutsMixerBeforeItsLateFeeder)
{
  bootGraph();
  newMod(4);  // A, slot 2
  newMod(4);  // B, slot 3
  newMod(3);  // Mixer, slot 4
  wire(0, 0, 2, 0);
  wire(2, 0, 3, 0);
  wire(3, 0, 4, 0);
  wire(0, 1, 4, 1);
  tiers();
  EXPECT_EQ(MOD_TIER[2], 1);
  EXPECT_EQ(MOD_TIER[4], 1);
  EXPECT_EQ(MOD_TIER[3], 2);
  EXPECT_EQ(MOD_NUM_IN_TIER[2], 0);
  EXPECT_EQ(MOD_NUM_IN_TIER[4], 1);
  // Line Out is unwired, a source in tier 0 after Line In.
  EXPECT_EQ((std::vector<int>(MOD_EXEC_ORDER, MOD_EXEC_ORDER + MOD_EXEC_NUM)),
            (std::vector<int>{0, 1, 2, 4, 3}));
}

TEST(Tiers, ClosedLoopWithoutSourceLandsInTierZero)
{
  bootGraph();
  newMod(4);  // slot 2
  newMod(4);  // slot 3
  wire(2, 0, 3, 0);
  wire(3, 0, 2, 0);
  tiers();
  EXPECT_EQ(MOD_TIER[2], 0);
  EXPECT_EQ(MOD_TIER[3], 0);
  EXPECT_EQ((std::vector<int>(MOD_EXEC_ORDER, MOD_EXEC_ORDER + MOD_EXEC_NUM)),
            (std::vector<int>{0, 1, 2, 3}));
  EXPECT_EQ(MAX_NUM_IN_TIER, 4);
}

TEST(Tiers, FreshUnwiredModuleRunsAfterLowerTierZeroSlots)
{
  bootGraph();
  newMod(4);  // slot 2
  wire(0, 0, 2, 0);
  wire(2, 0, 1, 0);
  tiers();
  newMod(7);  // slot 3, unwired: a source
  EXPECT_EQ(MOD_TIER[3], 0);
  EXPECT_EQ((std::vector<int>(MOD_EXEC_ORDER, MOD_EXEC_ORDER + MOD_EXEC_NUM)),
            (std::vector<int>{0, 3, 2, 1}));
}

TEST(Tiers, FeedbackLoopFedFromLineInIsWalkedOnce)
{
  bootGraph();
  newMod(3);  // Mixer slot 2: input 0 from Line In, input 1 from its own output via a Splitter
  newMod(6);  // Splitter slot 3
  wire(0, 0, 2, 0);
  wire(2, 0, 3, 0);
  wire(3, 0, 2, 1);
  wire(3, 1, 1, 0);
  tiers();
  EXPECT_EQ(MOD_TIER[2], 1);
  EXPECT_EQ(MOD_TIER[3], 2);
  EXPECT_EQ(MOD_TIER[1], 3);
}

TEST(Repair, HalfWireFromAnOutputIsCleared)
{
  bootGraph();
  O_TERM_CONNECT[5] = 12;
  beginCapture();
  validateModuleConnections();
  Lines out = endCapture();
  EXPECT_EQ(out, (Lines{"OTERM 5 -> ITERM 12:ITERM 12 -> OTERM -1", "Deleting mismatched wires"}));
  EXPECT_EQ(O_TERM_CONNECT[5], -1);
}

TEST(Repair, InputGivenToAnotherOutputClearsBothClaims)
{
  bootGraph();
  O_TERM_CONNECT[5] = 12;
  O_TERM_CONNECT[9] = 12;
  I_TERM_CONNECT[12] = 9;
  beginCapture();
  validateModuleConnections();
  Lines out = endCapture();
  EXPECT_EQ(out, (Lines{"OTERM 5 -> ITERM 12:ITERM 12 -> OTERM 9", "Deleting mismatched wires",
                        "OTERM 9 -> ITERM 12:ITERM 12 -> OTERM -1",
                        "Deleting mismatched wires"}));
  EXPECT_EQ(O_TERM_CONNECT[5], -1);
  EXPECT_EQ(O_TERM_CONNECT[9], -1);
  EXPECT_EQ(I_TERM_CONNECT[12], -1);
}

TEST(Repair, HalfWireFromAnInputNamesBothEnds)
{
  bootGraph();
  I_TERM_CONNECT[4] = 1;  // input 4 claims output 1, which feeds nothing
  O_TERM_CONNECT[0] = 7;  // a whole wire stays
  I_TERM_CONNECT[7] = 0;
  beginCapture();
  validateModuleConnections();
  Lines out = endCapture();
  EXPECT_EQ(out, (Lines{"ITERM 4 -> OTERM 1:OTERM 1 -> ITERM -1", "Deleting mismatched wires"}));
  EXPECT_EQ(I_TERM_CONNECT[4], -1);
  EXPECT_EQ(O_TERM_CONNECT[0], 7);
  EXPECT_EQ(I_TERM_CONNECT[7], 0);
}

TEST(Wires, BreakingOneEndClearsBothTables)
{
  bootGraph();
  make_IO_WIRE(4, 0);
  EXPECT_TRUE(is_IO_WIRE(0, 4));
  EXPECT_FALSE(is_IO_WIRE(1, 4));
  break_I_WIRE(4);
  EXPECT_EQ(O_TERM_CONNECT[0], -1);
  EXPECT_EQ(I_TERM_CONNECT[4], -1);
  make_IO_WIRE(5, 1);
  break_O_WIRE(1);
  EXPECT_EQ(I_TERM_CONNECT[5], -1);
  break_O_WIRE(1);  // nothing left: nothing happens
  EXPECT_EQ(O_TERM_CONNECT[1], -1);
}


TEST(FatalChecksDeathTest, AccessorsRefuseTerminalNumbersOutsideTheTables)
{
  bootGraph();
  volatile int past = 256, before = -1, far = 300;  // kept opaque to the compiler
  EXPECT_DEATH(I_TERM_WIRE(past),
               "file engine/io_term_inlines.h: line [0-9]+ \\(int I_TERM_WIRE\\(int\\)\\): "
               "assertion failed: \\(i >= 0 && i < TERMS_I_OR_O\\)");
  EXPECT_DEATH(O_TERM_WIRE(before), "\\(int O_TERM_WIRE\\(int\\)\\): assertion failed: "
                                "\\(o >= 0 && o < TERMS_I_OR_O\\)");
  EXPECT_DEATH(make_IO_WIRE(3, far), "assertion failed: \\(o >= 0 && o < TERMS_I_OR_O\\)");
}

TEST(FatalChecksDeathTest, DispatchOnAnEmptySlotAndHalfWireInAccessor)
{
  bootGraph();
  EXPECT_DEATH(Pump_Module(5), "file engine/soundNode.cpp: line [0-9]+ "
                               "\\(void Pump_Module\\(int\\)\\): assertion failed: \\(sM != NULL\\)");
  I_TERM_CONNECT[4] = 0;
  O_TERM_CONNECT[0] = 8;
  EXPECT_DEATH(is_IO_WIRE(0, 4), "\\(gboolean is_IO_WIRE\\(int, int\\)\\): assertion failed: "
                                 "\\(O_TERM_WIRE\\(o\\)==i\\)");
  EXPECT_DEATH(compareModExec(GINT_TO_POINTER(64), GINT_TO_POINTER(0)),
               "assertion failed: \\(M1 >= 0 && M1 < MAX_MODULES\\)");
}

TEST(Dispatch, AbsentInitAndCleanDoNothing)
{
  bootGraph();
  newMod(6);  // Splitter: no init, no clean
  GET_MODGRAPH_LOCK();
  Init_Module(2);
  Clean_Module(2);
  RELEASE_MODGRAPH_LOCK();
  EXPECT_EQ(MOD[2]->Extra, nullptr);
  for (int p = 0; p < 16; p++) EXPECT_EQ(MOD[2]->parm[p], 0.0f);
}

// Standard output replaced by a stream that notes, for every line, whether the graph lock was
// held by the printing thread when the line was written.
static std::vector<std::pair<std::string, bool>> observed;
static std::string pending;

static bool lockHeldHere()
{
  // The lock is not recursive: a try by its holder fails, a try by anybody else on a free lock
  // succeeds (and is undone at once).
  if (pthread_mutex_trylock(&modgraph_mutex) == 0) {
    pthread_mutex_unlock(&modgraph_mutex);
    return false;
  }
  return true;
}

static ssize_t observeWrite(void *, const char *data, size_t n)
{
  bool held = lockHeldHere();
  for (size_t i = 0; i < n; i++) {
    if (data[i] == '\n') {
      observed.push_back({pending, held});
      pending.clear();
    } else {
      pending += data[i];
    }
  }
  return (ssize_t)n;
}

class LockObserved : public testing::Test {
protected:
  void SetUp() override
  {
    bootGraph();
    saved = stdout;
    cookie_io_functions_t io = {nullptr, observeWrite, nullptr, nullptr};
    stdout = fopencookie(nullptr, "w", io);
    setvbuf(stdout, nullptr, _IONBF, 0);
    observed.clear();
  }
  void TearDown() override
  {
    fclose(stdout);
    stdout = saved;
  }
  bool freeFor(const std::string &prefix)
  {
    bool any = false;
    for (auto &o : observed)
      if (o.first.rfind(prefix, 0) == 0) {
        any = true;
        if (o.second) return false;
      }
    return any;
  }
  FILE *saved;
};

TEST_F(LockObserved, NothingIsPrintedWhileTheLockIsHeld)
{
  // Each change prints the new order after its holding: a line written while the audio thread
  // waits for the lock could hold up a pass behind a full pipe.
  New_Mod(4);
  char c1[] = "c 100-102 a a";
  cmdparse(c1);
  char c2[] = "d 102 a";
  cmdparse(c2);
  char c3[] = "d 100 a";
  cmdparse(c3);
  char r[] = "r 102";
  cmdparse(r);
  EXPECT_TRUE(freeFor("MOD_EXEC_NUM"));
  EXPECT_TRUE(freeFor("Module ID "));
  EXPECT_TRUE(freeFor("Created new module"));
  EXPECT_TRUE(freeFor("Wiring module#"));
  EXPECT_TRUE(freeFor("Disconnecting module#"));
  int orders = 0;
  for (auto &o : observed)
    if (o.first.rfind("MOD_EXEC_NUM", 0) == 0) orders++;
  EXPECT_EQ(orders, 5);  // create, wire, two disconnects, remove
}
