// MIDI control without a device: the byte parser, the value a mapping writes, control changes
// landing at the next pass (a flood leaving the latest value, toggles, channels, modules gone),
// program changes with bank select, the word commands, set list files, and the ALSA sequencer
// where the machine has one.
#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>

#include "command/cmdparse.h"
#include "base/reply.h"
#include "control/control.h"
#include "control/events.h"
#include "control/setlist.h"
#include "files/fileops.h"
#include "tests/devtest.h"

using Lines = std::vector<std::string>;

// ---- Counting the heap on this thread ---------------------------------------------------------
extern "C" void *__libc_malloc(size_t);
static thread_local bool countHeap = false;
static std::atomic<long> heapCalls{0};
extern "C" void *malloc(size_t n)
{
  if (countHeap) heapCalls++;
  return __libc_malloc(n);
}

class Control : public testing::Test {
 protected:
  void SetUp() override
  {
    controlClearMaps();
    resetSetList();
    sUID = 100;  // the cases name modules by the IDs they get in a fresh process
    bootGraph();
    command("A 2");   // 102: Passthrough ('!')
    command("A 8");   // 103: Looper ('#')
    command("A 11");  // 104: Record Sample ('%')
  }
  // A control change through the receiver, then one pass.
  static void cc(int ch, int num, int value, bool pass = true)
  {
    midiReceive({(unsigned char)(0xB0 | (ch - 1)), (unsigned char)num, (unsigned char)value});
    if (!pass) return;
    beginGraphPass();
    controlPass();
    endGraphPass();
  }
  static float parm(int slot, int k) { return MOD[slot]->parm[k]; }
};

TEST(MidiParser, RunningStatusRealTimeBytesAndSystemMessages)
{
  struct Case {
    const char *what;
    std::vector<int> bytes;
    std::vector<std::vector<int>> out;
  } cases[] = {
      {"one control change", {0xB0, 7, 100}, {{0xB0, 7, 100}}},
      {"running status", {0xB1, 7, 1, 8, 2, 9}, {{0xB1, 7, 1}, {0xB1, 8, 2}}},
      {"one data byte, running", {0xC2, 5, 6}, {{0xC2, 5, 0}, {0xC2, 6, 0}}},
      {"clock and sensing between data", {0xB0, 0xF8, 7, 0xFE, 64}, {{0xB0, 7, 64}}},
      {"sysex is skipped and cancels running status",
       {0xB0, 7, 1, 0xF0, 0x7E, 7, 9, 0xF7, 8, 2}, {{0xB0, 7, 1}}},
      {"song position (two data bytes) cancels it", {0xB0, 7, 1, 0xF2, 3, 4, 5, 6}, {{0xB0, 7, 1}}},
      {"data without a status", {7, 8, 0x90, 60, 100}, {{0x90, 60, 100}}},
      {"a new status drops a half message", {0xB0, 7, 0xC0, 3}, {{0xC0, 3, 0}}},
  };
  for (const Case &c : cases) {
    midiByteParser p;
    std::vector<std::vector<int>> got;
    midiMessage m;
    for (int b : c.bytes)
      if (p.feed((unsigned char)b, &m)) got.push_back({m.status, m.d1, m.d2});
    EXPECT_EQ(got, c.out) << c.what;
  }
}

TEST(MidiMapping, ValueScalesSnapsSwitchesAndToggles)
{
  struct Case {
    char kind;
    float lo, hi;
    int options, mode, value;
    bool pressed;
    float current;
    bool writes;
    float expect;
  } cases[] = {
      {'!', 0, 256, 0, MAP_LINEAR, 0, 0, 9, true, 0.0f},
      {'!', 0, 256, 0, MAP_LINEAR, 127, 0, 9, true, 256.0f},
      {'!', 0, 256, 0, MAP_LINEAR, 64, 0, 9, true, (float)(256.0 * 64 / 127)},
      {'!', 200, 100, 0, MAP_LINEAR, 127, 0, 9, true, 100.0f},           // a reversed pedal
      {'#', 10, 800, 0, MAP_LINEAR, 64, 0, 9, true, 408.0f},             // 408.18 truncated
      {'#', 10, 800, 0, MAP_LINEAR, 127, 0, 9, true, 800.0f},
      {'#', 1, 8, 0, MAP_LINEAR, 1, 0, 9, true, 1.0f},
      {'%', 0, 2, 3, MAP_LINEAR, 42, 0, 9, true, 0.01f},                 // three even bands
      {'%', 0, 2, 3, MAP_LINEAR, 43, 0, 9, true, 1.01f},
      {'%', 0, 2, 3, MAP_LINEAR, 127, 0, 9, true, 2.01f},
      {'%', 1, 2, 3, MAP_LINEAR, 63, 0, 9, true, 1.01f},
      {'%', 1, 2, 3, MAP_LINEAR, 64, 0, 9, true, 2.01f},
      {'!', 10, 20, 0, MAP_SWITCH, 63, 0, 15, true, 10.0f},
      {'!', 10, 20, 0, MAP_SWITCH, 64, 0, 15, true, 20.0f},
      {'%', 0, 2, 3, MAP_SWITCH, 127, 0, 0, true, 2.01f},
      {'!', 10, 20, 0, MAP_TOGGLE, 127, true, 10, true, 20.0f},
      {'!', 10, 20, 0, MAP_TOGGLE, 127, true, 19, true, 10.0f},
      {'!', 10, 20, 0, MAP_TOGGLE, 0, false, 10, false, 0.0f},
      {'%', 0, 2, 3, MAP_TOGGLE, 127, true, 2.01f, true, 0.01f},
      {'#', 0, 1, 0, MAP_TOGGLE, 127, true, 0, true, 1.0f},
  };
  for (const Case &c : cases) {
    ctlMapping m = {1, 7, 2, 100, 0, true, c.lo, c.hi, c.mode, c.kind, c.options};
    float v = -1;
    SCOPED_TRACE(std::string(1, c.kind) + " " + std::to_string(c.lo) + ".." +
                 std::to_string(c.hi) + " mode " + std::to_string(c.mode) + " value " +
                 std::to_string(c.value));
    EXPECT_EQ(mappedValue(m, c.value, c.pressed, c.current, &v), c.writes);
    if (c.writes) {
      EXPECT_FLOAT_EQ(v, c.expect);
    }
  }
}

TEST_F(Control, ChangesLandAtTheNextPassOnTheirChannelAndModulesOnly)
{
  command("map 1 7 102 0");
  command("map * 7 103 3");         // Speed% of the Looper, any channel
  command("map 2 7 102 1 0 100");   // channel 2 only, narrowed
  command("map 1 64 104 0 toggle"); // the recorder's mode on a foot switch
  MOD[2]->parm[1] = 55;
  cc(1, 7, 127, false);
  EXPECT_EQ(parm(2, 0), 200.0f) << "not before the pass";
  beginGraphPass();
  controlPass();
  endGraphPass();
  EXPECT_EQ(parm(2, 0), 256.0f);
  EXPECT_EQ(parm(3, 3), 800.0f) << "two mappings share a controller";
  EXPECT_EQ(parm(2, 1), 55.0f) << "channel 2's mapping ignores channel 1";
  cc(2, 7, 127);
  EXPECT_EQ(parm(2, 1), 100.0f);

  // A flood between two passes leaves the latest value; the pass never allocates.
  for (int i = 0; i < 10000; i++) cc(1, 7, i % 128, false);
  cc(1, 7, 32, false);
  countHeap = true;
  beginGraphPass();
  controlPass();
  endGraphPass();
  midiMessage m;
  midiByteParser p;
  for (unsigned char b : {0xB0, 7, 3, 8}) p.feed(b, &m);
  cc(1, 64, 127);
  countHeap = false;
  EXPECT_EQ(heapCalls.load(), 0);
  EXPECT_FLOAT_EQ(parm(2, 0), (float)(256.0 * 32 / 127));
  EXPECT_FLOAT_EQ(parm(4, 0), 2.01f);  // toggled from Play to the last option, Record
  cc(1, 64, 0);
  EXPECT_FLOAT_EQ(parm(4, 0), 2.01f) << "a release does not toggle";
  cc(1, 64, 127, false);
  cc(1, 64, 0, false);
  cc(1, 64, 127);
  EXPECT_FLOAT_EQ(parm(4, 0), 2.01f) << "two presses in one pass toggle twice";

  // A removed module's mappings go; a new module in its slot is never written.
  command("R 102");
  command("A 2");
  ASSERT_EQ(MOD[2]->ID, 105);
  cc(1, 7, 0);
  EXPECT_EQ(parm(2, 0), 200.0f);
  Lines maps = command("maps");
  EXPECT_EQ(maps, (Lines{"CC 7 any ch -> module 103 parameter 3 (Speed%) 10..800",
                         "CC 64 ch 1 -> module 104 parameter 0 (Play/Overdub/Record) 0..2 toggle"}));
}

TEST_F(Control, WordCommandsAndTheirRefusals)
{
  struct Case {
    const char *line;
    Lines out;
  } cases[] = {
      {"map 1 7 999 0", {"map refused: module 999 does not exist"}},
      {"MAP 1 7 102 4", {"map refused: module 102 (Passthrough) has no parameter 4 (it has 0 to 3)"}},
      {"map 17 7 102 0", {"map refused: the channel must be 1 to 16 or *, not \"17\""}},
      {"map 1 128 102 0", {"map refused: the controller must be 0 to 127, not \"128\""}},
      {"map 1 7 103 0 0 64", {"map refused: MIN and MAX must lie within 0..63 for parameter 0 (Sample)"}},
      {"map 1 7 102 0 x", {"map refused: the last word must be switch or toggle, not \"x\""}},
      {"map 1 7 100 0", {"map refused: module 100 (Line In) has no parameters"}},
      {"Map 16 1 103 4 0 1 switch", {"Mapped CC 1 ch 16 -> module 103 parameter 4 (TrigOnly) 0..1 switch"}},
      {"unmap 16 1", {"Removed 1 mapping of CC 1 ch 16"}},
      {"unmap * 1", {"No mapping of CC 1 any ch"}},
      {"maps", {"No mappings"}},
      {"set 102 0 300", {"Module 102 parameter 0 (VolumeA) set to 256"}},
      {"set 103 3 99.9", {"Module 103 parameter 3 (Speed%) set to 99"}},
      {"set 104 0 2", {"Module 104 parameter 0 (Play/Overdub/Record) set to 2.01"}},
      {"set 104 1 2", {"set: module 104 (Record Sample (1 sec)) has no parameter 1"}},
      {"set 102 zero 1", {"set takes ID PARM VALUE (numbers)"}},
      {"program 128", {"program takes a program number 0 to 127"}},
      {"program 3", {"Program 3: no preset in set list \"Set List\"; nothing changes"}},
      {"load", {"load takes a file name"}},
  };
  for (const Case &c : cases) EXPECT_EQ(command(c.line), c.out) << c.line;
  EXPECT_EQ(parm(4, 0), 2.01f);
  // The one-letter commands stay theirs, with every spelling.
  for (const char *l : {"A 5", "A", "A5", "a 19"})
    EXPECT_EQ(command(l).at(0).rfind("MOD_EXEC_NUM", 0), 0u) << l;
  EXPECT_EQ(command("mapx 1"), (Lines{"unrecognized command MAPX 1"}));
  // The last message received, ignored ones included.
  midiReceive({0x92, 60, 99});
  Lines midi = command("midi");
  ASSERT_EQ(midi.size(), 2u);
  EXPECT_EQ(midi[0], "MIDI input: off");
  EXPECT_EQ(midi[1].substr(midi[1].find(')')), "): note on 60 velocity 99 ch 3 (ignored)");
}

// A caller's own sink gets the same lines standard output shows, and whether the command failed;
// nothing reaches standard output meanwhile.
static Lines toSink(const std::string &line, bool *failed)
{
  replyCollector c;
  std::string copy = line;
  beginCapture();
  cmdparse(&copy[0], c);
  Lines printed = endCapture();
  EXPECT_EQ(printed, Lines{}) << line;
  *failed = c.failedAny();
  return c.lines;
}

TEST_F(Control, RepliesGoToTheCallersSinkAndQueriesListPresetsAndParameters)
{
  struct Case {
    const char *line;
    bool failed;
  } cases[] = {{"set 102 1 64.5", false}, {"set 102 9 1", true}, {"Z 1", true}, {"@ 4", false},
               {"C 102-103 A Z", true},  {"program 5", true},   {"maps", false},
               {"status", false},         {"parms 999", true},   {"load " , true},
               {"A 99", true},            {"A 1", true}};
  for (const Case &c : cases) {
    bool failed;
    Lines got = toSink(c.line, &failed);
    EXPECT_EQ(failed, c.failed) << c.line;
    if (std::string(c.line) == "status") continue;  // its peaks are taken by the first reader
    EXPECT_EQ(got, command(c.line)) << c.line;
  }
  TempDir d;
  command("save " + d / "one.lyo");
  setList s;
  s.name = "Gig";
  s.preset[0] = {true, "Clean", "one.lyo", {}};
  s.preset[7] = {true, "Lead\tSolo", "one.lyo", {}};
  std::string why;
  ASSERT_TRUE(writeSetList((d / "gig.qset").c_str(), s, &why)) << why;
  command("setlist " + d / "gig.qset");
  bool failed;
  EXPECT_EQ(toSink("load " + d / "nothing.lyo", &failed), Lines{"Error opening file " + d / "nothing.lyo"});
  EXPECT_TRUE(failed);
  EXPECT_EQ(command("presets"), (Lines{"*0\tClean", "7\tLead\tSolo"}));
  EXPECT_EQ(command("program 7").at(0), "Program 7: preset \"Lead\tSolo\" (" + d / "one.lyo" + ")");
  EXPECT_EQ(command("PRESETS"), (Lines{"0\tClean", "*7\tLead\tSolo"}));
}

TEST_F(Control, ParmsListsModulesAndParametersWithValuesRangesAndKinds)
{
  command("set 103 3 42");
  command("set 104 0 2");
  EXPECT_EQ(command("parms 102"), (Lines{"0\tVolumeA\t200\t0..256\tslider", "1\tVolumeB\t200\t0..256\tslider",
                                         "2\tVolumeC\t200\t0..256\tslider", "3\tVolumeD\t200\t0..256\tslider"}));
  EXPECT_EQ(command("parms 103").at(3), "3\tSpeed%\t42\t10..800\twhole");
  EXPECT_EQ(command("parms 104"), (Lines{"0\tPlay/Overdub/Record\t2\t0..2\toptions"}));
  EXPECT_EQ(command("parms").at(2), "102\tPassthrough\t4");
  EXPECT_EQ(command("parms x"), Lines{"parms takes a module ID, or nothing for every module"});
  EXPECT_EQ(command("presets"), (Lines{"No presets in set list \"Set List\""}));
}

// Observers hear of program switches, of every parameter that changed between two looks (once,
// as it stands), and of modules coming and going; nothing once removed.
TEST_F(Control, ObserversHearProgramsParameterChangesAndPatchChanges)
{
  struct Heard {
    Lines lines;
  } heard;
  controlObserver o = {
      [](int n, const char *name, void *h) {
        ((Heard *)h)->lines.push_back("program " + std::to_string(n) + " " + name);
      },
      [](int id, int parm, float v, void *h) {
        char t[64];
        snprintf(t, sizeof t, "parm %d %d %g", id, parm, v);
        ((Heard *)h)->lines.push_back(t);
      },
      [](void *h) { ((Heard *)h)->lines.push_back("patch"); }, &heard};
  int handle = addControlObserver(o);
  controlWatch();  // the first look only takes the values in
  for (int v = 1; v <= 50; v++) command("set 102 0 " + std::to_string(v));
  MOD[3]->parm[3] = 7.0f;  // as a mapped control change writes it on the audio thread
  controlWatch();
  controlWatch();
  EXPECT_EQ(heard.lines, (Lines{"parm 102 0 50", "parm 103 3 7"}));
  heard.lines.clear();
  command("A 2");
  controlWatch();
  TempDir d;
  command("store 4 Verse");
  EXPECT_EQ(heard.lines, (Lines{"patch", "program 4 Verse"}));
  removeControlObserver(handle);
  heard.lines.clear();
  command("set 102 0 1");
  controlWatch();
  command("program 4");
  EXPECT_EQ(heard.lines, Lines{});
}

// Program changes reach the UI thread's tick; bank select moves them past bank 0.
TEST_F(Control, ProgramChangesSwitchPresetsWithTheirMappingsBySlot)
{
  TempDir d;
  command("map 1 7 102 0 0 128");
  command("save " + d / "one.lyo");
  command("A 9");  // 105 in slot 5
  command("map 1 8 105 0 switch");
  command("save " + d / "two.lyo");
  setList s;
  s.name = "Gig";
  s.bank = "drums.sbk";
  s.preset[2] = {true, "Clean", "one.lyo", {{1, 7, 2, 0, true, 0, 128, MAP_LINEAR}}};
  s.preset[9] = {true, "Wide", d / "two.lyo", {{0, 8, 5, 0, false, 0, 0, MAP_SWITCH},
                                               {1, 9, 40, 0, false, 0, 0, MAP_LINEAR}}};
  s.preset[11] = {true, "Gone", "missing.lyo", {}};
  std::string why;
  ASSERT_TRUE(writeSetList((d / "gig.qset").c_str(), s, &why)) << why;
  Lines out = command("setlist " + d / "gig.qset");
  EXPECT_EQ(out.at(0), "Opened set list " + d / "gig.qset" + ": \"Gig\", 3 presets");
  EXPECT_EQ(out.at(1), "Error opening file " + d / "drums.sbk") << "the bank loads first";
  EXPECT_EQ(out.at(2), "Program 2: preset \"Clean\" (" + d / "one.lyo" + ")");
  EXPECT_EQ(currentProgram(), 2);
  EXPECT_EQ(MOD[5], nullptr);
  ASSERT_EQ(controlMappings().size(), 1u);
  EXPECT_EQ(controlMappings()[0].id, MOD[2]->ID);

  beginCapture();
  midiReceive({0xC0, 9, 0});
  controlTick();
  Lines said = endCapture();
  EXPECT_EQ(currentProgram(), 9);
  ASSERT_NE(MOD[5], nullptr);
  EXPECT_NE(std::find(said.begin(), said.end(),
                      "Preset 9: mapping 1 9 40 0 skipped: slot 40 is empty"), said.end());
  ASSERT_EQ(controlMappings().size(), 1u);
  EXPECT_EQ(mappingLine(controlMappings()[0]),
            "CC 8 any ch -> module " + std::to_string(MOD[5]->ID) + " parameter 0 (Fade) 0..256 switch");

  // Bank 1 holds nothing; of several program changes between two ticks only the last counts;
  // a preset whose layout is missing leaves the patch as it was.
  int id5 = MOD[5]->ID;
  midiReceive({0xB3, 0, 0});
  midiReceive({0xB3, 32, 1});
  midiReceive({0xC3, 2, 0});
  beginCapture();
  controlTick();
  said = endCapture();
  EXPECT_EQ(said, (Lines{"Program 2 (bank 1): no preset in set list \"Gig\"; nothing changes"}));
  midiReceive({0xC0, 2, 0});
  midiReceive({0xC0, 11, 0});  // channel 1 is still in bank 0
  beginCapture();
  controlTick();
  said = endCapture();
  EXPECT_EQ(said.at(0), "Program 11: preset \"Gone\" (" + d / "missing.lyo" + ")");
  EXPECT_EQ(said.back(), "Program 11: the layout of preset \"Gone\" did not load; the patch "
                         "stays as it was");
  EXPECT_EQ(MOD[5]->ID, id5);
  EXPECT_EQ(controlMappings().size(), 1u);
  EXPECT_EQ(currentProgram(), 9);
}

TEST_F(Control, SetListsRoundTripAndBadOnesChangeNothing)
{
  TempDir d;
  command("map * 64 102 2 10 20.5 toggle");
  command("map 3 1 103 0");
  command("save " + d / "a.lyo");
  ASSERT_EQ(chdir(d.path.c_str()), 0);  // stored presets go beside the (new) set list
  resetSetList();
  command("setlist " + d / "none.qset");  // refused, nothing changes
  EXPECT_EQ(currentProgram(), -1);
  beginCapture();
  real_savesbank(&(d / "b.sbk")[0]);
  endCapture();
  command("bank " + d / "nothing.sbk");
  EXPECT_EQ(currentSetList().bank, "");
  command("bank " + d / "b.sbk");
  EXPECT_EQ(currentSetList().bank, "b.sbk") << "the set list keeps the bank in use";
  command("store 7 Lead tone");
  command("store 0");
  command("saveset " + d / "set");
  Bytes first = readFile(d / "set.qset");
  setList s;
  std::string why;
  ASSERT_TRUE(readSetList((d / "set.qset").c_str(), s, &why)) << why;
  EXPECT_TRUE(s == currentSetList());
  EXPECT_EQ(s.preset[7].name, "Lead tone");
  EXPECT_EQ(s.preset[7].maps.size(), 2u);
  ASSERT_TRUE(writeSetList((d / "again.qset").c_str(), s, &why));
  EXPECT_EQ(readFile(d / "again.qset"), first);
  // Saved elsewhere, relative layout names still find their files.
  ASSERT_EQ(mkdir((d / "sub").c_str(), 0755), 0);
  command("saveset " + d / "sub/moved.qset");
  EXPECT_EQ(currentSetList().preset[7].layout, d / "preset-7.lyo");
  command("saveset " + d / "back.qset");
  EXPECT_EQ(currentSetList().preset[7].layout, "preset-7.lyo");

  struct Bad {
    const char *text;
    const char *problem;
  } bad[] = {
      {"[Preset 1]\nName=x\nLayout=a.lyo\n", "there is no [Set List] group"},
      {"[Set List]\nBank=b.sbk\n", "[Set List] has no Name"},
      {"[Set List]\nName=x\nColour=red\n", "[Set List] has an unknown key Colour"},
      {"[Set List]\nName=x\n[Preset 128]\nName=y\nLayout=a.lyo\n",
       "[Preset 128] is neither [Set List] nor [Preset N] with N 0 to 127"},
      {"[Set List]\nName=x\n[Preset 01]\nName=y\nLayout=a.lyo\n",
       "[Preset 01] is neither [Set List] nor [Preset N] with N 0 to 127"},
      {"[Set List]\nName=x\n[Preset 1]\nName=y\n", "[Preset 1] has no Layout"},
      {"[Set List]\nName=x\n[Preset 1]\nLayout=a.lyo\n", "[Preset 1] has no Name"},
      {"[Set List]\nName=x\n[Preset 1]\nName=y\nLayout=a.lyo\nMap1=1 7 2\n",
       "[Preset 1] Map1: it takes CH CC ID PARM [MIN MAX] [switch|toggle]"},
      {"[Set List]\nName=x\n[Preset 1]\nName=y\nLayout=a.lyo\nMap1=1 7 64 0\n",
       "[Preset 1] Map1: slot 64 is past the last slot (63)"},
      {"[Set List]\nName=x\n[Preset 1]\nName=y\nLayout=\n", "[Preset 1] has an empty Layout"},
  };
  int ids[MAX_MODULES];
  for (int s2 = 0; s2 < MAX_MODULES; s2++) ids[s2] = MOD[s2] ? MOD[s2]->ID : -1;
  for (const Bad &b : bad) {
    std::string f = d / "bad.qset";
    writeFile(f, Bytes(b.text, b.text + strlen(b.text)));
    EXPECT_EQ(command("setlist " + f), (Lines{"Not opening set list " + f + ": " + b.problem}));
  }
  EXPECT_TRUE(s == currentSetList());
  EXPECT_EQ(currentProgram(), 0);
  EXPECT_EQ(controlMappings().size(), 2u);
  for (int s2 = 0; s2 < MAX_MODULES; s2++) EXPECT_EQ(MOD[s2] ? MOD[s2]->ID : -1, ids[s2]);
  Lines unreadable = command("setlist " + d / "nothing.qset");
  ASSERT_EQ(unreadable.size(), 1u);
  EXPECT_EQ(unreadable[0].rfind("Not opening set list " + d / "nothing.qset" + ": ", 0), 0u);
}

TEST_F(Control, AlsaSequencerDeliversControlChanges)
{
  if (!g_file_test("/dev/snd/seq", G_FILE_TEST_EXISTS)) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(startAlsaSeqInput());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MIDI input is off: the ALSA sequencer cannot be opened (No such file or directory)\n");
    GTEST_SKIP() << "ALSA sequencer test skipped: this machine has no /dev/snd/seq";
  }
  testing::internal::CaptureStderr();
  ASSERT_TRUE(startAlsaSeqInput());
  testing::internal::GetCapturedStderr();
  command("map 1 7 102 0");
  snd_seq_t *out;
  ASSERT_EQ(snd_seq_open(&out, "default", SND_SEQ_OPEN_OUTPUT, 0), 0);
  int port = snd_seq_create_simple_port(out, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                        SND_SEQ_PORT_TYPE_MIDI_GENERIC);
  ASSERT_EQ(snd_seq_connect_to(out, port, alsaSeqClientId(), alsaSeqPortId()), 0);
  snd_seq_event_t ev;
  snd_seq_ev_clear(&ev);
  snd_seq_ev_set_source(&ev, port);
  snd_seq_ev_set_subs(&ev);
  snd_seq_ev_set_direct(&ev);
  snd_seq_ev_set_controller(&ev, 0, 7, 127);
  snd_seq_event_output_direct(out, &ev);
  for (int i = 0; i < 200 && parm(2, 0) != 256.0f; i++) {
    usleep(10000);
    beginGraphPass();
    controlPass();
    endGraphPass();
  }
  EXPECT_EQ(parm(2, 0), 256.0f);
  snd_seq_close(out);
  stopAlsaSeqInput();
}
