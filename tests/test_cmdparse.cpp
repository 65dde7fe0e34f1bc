// The text commands: creation, wiring, disconnection, removal and the wire query, with every
// refusal in the order each command tests for it.
#include <gtest/gtest.h>

#include "base/hooks.h"
#include "engine/soundNode.h"
#include "tests/testutil.h"

using Lines = std::vector<std::string>;

static int repaints = 0;
static void countRepaint() { repaints++; }

class Commands : public testing::Test {
protected:
  void SetUp() override
  {
    bootGraph();
    installHooks({countRepaint, nullptr, nullptr});
    repaints = 0;
  }
  // Every line but the execution order printed after each change.
  static Lines withoutOrder(const Lines &in)
  {
    Lines out;
    for (auto &l : in)
      if (l.rfind("MOD_EXEC_NUM ", 0) != 0 && l.rfind("Module ID ", 0) != 0) out.push_back(l);
    return out;
  }
};

TEST_F(Commands, BlankLinesDoNothing)
{
  EXPECT_EQ(command(""), Lines{});
  EXPECT_EQ(command("   \t "), Lines{});
  EXPECT_EQ(repaints, 0);
}

TEST_F(Commands, UnknownLetterIsNamedWithTheNormalisedText)
{
  EXPECT_EQ(command("  xyz 12"), (Lines{"unrecognized command XYZ 12"}));
  // A trailing line end is part of the text and printed with it.
  EXPECT_EQ(command("q\n"), (Lines{"unrecognized command Q", ""}));
}

TEST_F(Commands, CreateTakesTypeNumberLowerCaseAndTruncates)
{
  EXPECT_EQ(withoutOrder(command("a5")),
            (Lines{"Created new module ID=102 Slot=2 Type=5", "Name of new module: Reverb"}));
  EXPECT_EQ(withoutOrder(command("A 5.9")),
            (Lines{"Created new module ID=103 Slot=3 Type=5", "Name of new module: Reverb"}));
  EXPECT_EQ(withoutOrder(command("A")),
            (Lines{"Created new module ID=104 Slot=4 Type=2", "Name of new module: Passthrough"}));
  EXPECT_EQ(repaints, 3);
}

TEST_F(Commands, CreateWithBlankOrJunkReadsZeroAndIsRefused)
{
  EXPECT_EQ(command("A "), (Lines{"Can't add or remove Line In or Line Out modules."}));
  EXPECT_EQ(command("A junk"), (Lines{"Can't add or remove Line In or Line Out modules."}));
  EXPECT_EQ(command("A 1e12"), (Lines{"Error: Type 2147483647 is out of range."}));
  EXPECT_EQ(command("A -3"), (Lines{"Error: Type -3 is out of range."}));
  EXPECT_EQ(repaints, 4);  // the canvas is redrawn whether or not a module was made
  EXPECT_EQ(MOD[2], nullptr);
}

TEST_F(Commands, LetterAloneIsASyntaxErrorForWireDisconnectRemove)
{
  EXPECT_EQ(command("c"), (Lines{"syntax error: C"}));
  EXPECT_EQ(command(" D"), (Lines{"syntax error: D"}));
  EXPECT_EQ(command("r"), (Lines{"syntax error: R"}));
}

TEST_F(Commands, ThreeSpellingsOfOneWire)
{
  command("a4");  // 102 in slot 2
  for (const char *text : {"C101-102AB", "C 101-102 A B", "c 101 102 a b"}) {
    Lines out = command(text);
    // Line Out has no outputs: the same refusal for all three spellings.
    EXPECT_EQ(out, (Lines{"Output terminal 0 of module 101 does not exist."})) << text;
  }
  for (const char *text : {"C100-102AA", "C 100-102 A A", "c 100 102 a a"}) {
    Lines out = command(text);
    EXPECT_EQ(withoutOrder(out), (Lines{"Wiring module# 0 term 0 to module# 2 term 0"})) << text;
    EXPECT_EQ(I_TERM_CONNECT[8], 0);
    EXPECT_EQ(O_TERM_CONNECT[0], 8);
  }
}

TEST_F(Commands, WireCountsScannedItems)
{
  EXPECT_EQ(command("C 101"), (Lines{"C does not take 1 parameters : C 101"}));
  EXPECT_EQ(command("C    "), (Lines{"C does not take -1 parameters : C    "}));
  EXPECT_EQ(command("C 100-101 A"), (Lines{"C does not take 4 parameters : C 100-101 A"}));
  EXPECT_EQ(command("C x"), (Lines{"C does not take 0 parameters : C X"}));
}

TEST_F(Commands, WireChecksLettersThenModulesThenTerminals)
{
  // The letters are checked before any module is looked up.
  EXPECT_EQ(command("C 998-999 E A"), (Lines{"Invalid terminal number in C 998-999 E A"}));
  EXPECT_EQ(command("C 100-101 A @"), (Lines{"Invalid terminal number in C 100-101 A @"}));
  EXPECT_EQ(command("C 998-101 A A"), (Lines{"Module ID# 998 does not exist."}));
  EXPECT_EQ(command("C 100-999 A A"), (Lines{"Module ID# 999 does not exist."}));
  EXPECT_EQ(command("C 100-101 C A"), (Lines{"Output terminal 2 of module 100 does not exist."}));
  EXPECT_EQ(command("C 100-101 A C"), (Lines{"Input terminal 2 of module 101 does not exist."}));
  for (int t = 0; t < TERMS_I_OR_O; t++) EXPECT_EQ(O_TERM_CONNECT[t], -1);
  EXPECT_EQ(repaints, 0);
}

TEST_F(Commands, WiringReplacesOldWiresAtBothEnds)
{
  command("a6");  // Splitter 102, slot 2 (outputs 0-3)
  command("a3");  // Mixer 103, slot 3 (inputs 0-3)
  command("c 100-103 a a");  // Line In out 0 -> Mixer in 0
  command("c 102-101 b b");  // Splitter out 1 -> Line Out in 1
  // Splitter out 1 now to Mixer in 0: both old partners end unwired.
  Lines out = command("c 102-103 b a");
  EXPECT_EQ(withoutOrder(out), (Lines{"Wiring module# 2 term 1 to module# 3 term 0"}));
  EXPECT_EQ(I_TERM_CONNECT[12], 9);
  EXPECT_EQ(O_TERM_CONNECT[9], 12);
  EXPECT_EQ(O_TERM_CONNECT[0], -1);  // Line In out 0 lost its wire
  EXPECT_EQ(I_TERM_CONNECT[5], -1);  // Line Out in 1 lost its source
  EXPECT_EQ(MOD_TIER[3], 1);         // Mixer fed by the Splitter, itself a source
}

TEST_F(Commands, WireToItselfIsAllowed)
{
  command("a2");
  EXPECT_EQ(withoutOrder(command("C 102-102 A B")),
            (Lines{"Wiring module# 2 term 0 to module# 2 term 1"}));
  EXPECT_EQ(I_TERM_CONNECT[9], 8);
}

TEST_F(Commands, DisconnectLooksUpTheModuleBeforeTheLetter)
{
  EXPECT_EQ(command("D 999 E"), (Lines{"Module# 999 does not exist."}));
  EXPECT_EQ(command("D 100 E"), (Lines{"Invalid terminal number in D 100 E"}));
  EXPECT_EQ(command("D 100"), (Lines{"D does not take 1 parameters : D 100"}));
  EXPECT_EQ(command("D  "), (Lines{"D does not take -1 parameters : D  "}));
}

TEST_F(Commands, DisconnectBreaksTheWireAndRecomputes)
{
  command("c 100-101 b b");
  Lines out = command("d 100 b");
  EXPECT_EQ(out, (Lines{"Disconnecting module# 0 output terminal 1", "MOD_EXEC_NUM 2",
                        "Module ID 100 executes 0", "Module ID 101 executes 1"}));
  EXPECT_EQ(O_TERM_CONNECT[1], -1);
  EXPECT_EQ(I_TERM_CONNECT[5], -1);
  EXPECT_EQ(MOD_TIER[1], 0);
}

TEST_F(Commands, DisconnectOfAnUnwiredOutputStillReportsAndRecomputes)
{
  // Line Out has no output D; the type is not checked, and nothing is wired there.
  Lines out = command("D 101 D");
  EXPECT_EQ(out.front(), "Disconnecting module# 1 output terminal 3");
  EXPECT_EQ(out[1], "MOD_EXEC_NUM 2");
  EXPECT_EQ(repaints, 1);
}

TEST_F(Commands, RemoveRefusesLineModulesWiredModulesAndOpenDialogs)
{
  EXPECT_EQ(command("R 555"), (Lines{"Module# 555 does not exist."}));
  EXPECT_EQ(command("R 100"), (Lines{"Line In or Line Out modules cannot be removed or added."}));
  EXPECT_EQ(command("R101"), (Lines{"Line In or Line Out modules cannot be removed or added."}));
  command("a4");
  command("a4");  // 103 in slot 3
  command("c 102-103 a a");
  // The slot is named, not the ID typed.
  EXPECT_EQ(command("R 103"), (Lines{"Can't remove module# 3 as it is still connected."}));
  EXPECT_EQ(command("R 102"), (Lines{"Can't remove module# 2 as it is still connected."}));
  command("d 102 a");
  MOD_PARMBOX[3] = 1;
  EXPECT_EQ(command("R 103"),
            (Lines{"Can't remove module# 3 as it still has an active dialog box"}));
  MOD_PARMBOX[3] = 0;
  Lines out = command("R 103.7");
  EXPECT_EQ(withoutOrder(out), Lines{});
  EXPECT_EQ(out.front(), "MOD_EXEC_NUM 3");
  EXPECT_EQ(MOD[3], nullptr);
}

TEST_F(Commands, RemoveIgnoresTableEntriesOfTerminalsTheTypeLacks)
{
  command("a4");  // Distort: input 0, output 0 only
  I_TERM_CONNECT[2 * 4 + 2] = 77;  // a stray entry at a terminal a Distort does not have
  Lines out = command("R 102");
  EXPECT_EQ(withoutOrder(out), Lines{});
  EXPECT_EQ(MOD[2], nullptr);
}

TEST_F(Commands, QueryPrintsBothTablesAtATerminalNumber)
{
  command("c 100-101 b b");  // output 1 -> input 5
  EXPECT_EQ(command("@5"), (Lines{"Input term 5 connects to 1", "Output term 5 connects to -1"}));
  EXPECT_EQ(command("@ 1"), (Lines{"Input term 1 connects to -1", "Output term 1 connects to 5"}));
  EXPECT_EQ(command("@"), (Lines{"Input term 0 connects to -1", "Output term 0 connects to -1"}));
  EXPECT_EQ(repaints, 1);  // only the wiring redrew
}

TEST_F(Commands, QueryOutsideTheTablesIsRefused)
{
  EXPECT_EQ(command("@256"),
            (Lines{"Terminal 256 is out of range: terminals are numbered 0 to 255."}));
  EXPECT_EQ(command("@-1"),
            (Lines{"Terminal -1 is out of range: terminals are numbered 0 to 255."}));
  EXPECT_EQ(command("@255"),
            (Lines{"Input term 255 connects to -1", "Output term 255 connects to -1"}));
}
