// Layout files: the name a layout is saved under, the bytes on disk (read back by offset with the
// tests' own reader), save and load round trips, refusal of short, foreign and unsafe files with
// the running patch untouched, the repair of half-made wires, and the state after a load.
#include <gtest/gtest.h>
#include <math.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <set>

#include "audio/cardfeed.h"
#include "engine/audioThread.h"
#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"
#include "files/fileops.h"
#include "modules/pump.h"
#include "tests/filetest_util.h"
#include "tests/testutil.h"

using Lines = std::vector<std::string>;

static int addModule(int type)
{
  beginCapture();
  New_Mod(type);
  endCapture();
  for (int s = MAX_MODULES - 1; s >= 0; s--)
    if (MOD[s] && MOD[s]->ID == sUID - 1) return s;
  return -1;
}

// Output terminal o to input terminal i, the way the command interpreter does it.
static void wire(int o, int i)
{
  beginCapture();
  GET_MODGRAPH_LOCK();
  // any wire at either end goes first
  if (I_TERM_CONNECT[i] != -1) O_TERM_CONNECT[I_TERM_CONNECT[i]] = -1;
  if (O_TERM_CONNECT[o] != -1) I_TERM_CONNECT[O_TERM_CONNECT[o]] = -1;
  make_IO_WIRE(i, o);
  assignModuleTiers();
  RELEASE_MODGRAPH_LOCK();
  endCapture();
}

static Lines saveLines(const std::string &name)
{
  std::vector<char> n(name.begin(), name.end());
  n.push_back('\0');
  beginCapture();
  real_save(n.data());
  return endCapture();
}

static Lines loadLines(const std::string &name)
{
  std::vector<char> n(name.begin(), name.end());
  n.push_back('\0');
  beginCapture();
  real_load(n.data());
  return endCapture();
}

// A layout written by the tests themselves, field by field, to feed the loader.
struct testLayout {
  testLayout()
  {
    for (int s = 0; s < MAX_MODULES; s++) {
      type[s] = s < 2 ? s : -1;
      for (int p = 0; p < 16; p++) parm[s][p] = 0.0f;
    }
    for (int t = 0; t < TERMS_I_OR_O; t++) I[t] = O[t] = -1;
  }
  void wire(int o, int i)
  {
    O[o] = i;
    I[i] = o;
  }
  Bytes bytes(int count = 64, const std::string &magic = "QAF_LAYOUT\n") const
  {
    Bytes b;
    putText(b, magic);
    put32(b, count);
    for (int s = 0; s < MAX_MODULES; s++) {
      put32(b, type[s]);
      if (type[s] == -1) continue;
      for (int p = 0; p < 16; p++) put32(b, (int32_t)floatBits(parm[s][p]));
    }
    for (int t = 0; t < TERMS_I_OR_O; t++) {
      put32(b, I[t]);
      put32(b, O[t]);
    }
    return b;
  }
  int type[MAX_MODULES];
  float parm[MAX_MODULES][16];
  int I[TERMS_I_OR_O], O[TERMS_I_OR_O];
};

// Everything of the running patch a failed load must leave alone.
struct patchSnap {
  patchSnap()
  {
    for (int s = 0; s < MAX_MODULES; s++) {
      rec[s] = MOD[s];
      id[s] = MOD[s] ? MOD[s]->ID : -1;
      type[s] = MOD[s] ? MOD[s]->type : -1;
      for (int p = 0; p < 16; p++) parm[s][p] = MOD[s] ? floatBits(MOD[s]->parm[p]) : 0;
      box[s] = MOD_PARMBOX[s];
      handle[s] = MOD_PARMBOX_HANDLE[s];
    }
    memcpy(I, I_TERM_CONNECT, sizeof I);
    memcpy(O, O_TERM_CONNECT, sizeof O);
    execNum = MOD_EXEC_NUM;
    memcpy(exec, MOD_EXEC_ORDER, sizeof exec);
    uid = sUID;
  }
  bool operator==(const patchSnap &o) const
  {
    return memcmp(rec, o.rec, sizeof rec) == 0 && memcmp(id, o.id, sizeof id) == 0 &&
           memcmp(type, o.type, sizeof type) == 0 && memcmp(parm, o.parm, sizeof parm) == 0 &&
           memcmp(box, o.box, sizeof box) == 0 && memcmp(handle, o.handle, sizeof handle) == 0 &&
           memcmp(I, o.I, sizeof I) == 0 && memcmp(O, o.O, sizeof O) == 0 &&
           execNum == o.execNum && memcmp(exec, o.exec, sizeof exec) == 0 && uid == o.uid;
  }
  modRec *rec[MAX_MODULES];
  int id[MAX_MODULES], type[MAX_MODULES];
  uint32_t parm[MAX_MODULES][16];
  int box[MAX_MODULES];
  void *handle[MAX_MODULES];
  int I[TERMS_I_OR_O], O[TERMS_I_OR_O];
  int execNum, exec[MAX_MODULES], uid;
};

// Every wire joins an existing output of an occupied slot to an existing input of an occupied
// slot, and both tables say so.
static std::string wiringBreak()
{
  char why[160];
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    int o = I_TERM_CONNECT[t], i = O_TERM_CONNECT[t];
    if (o != -1) {
      if (o < 0 || o > 255 || O_TERM_CONNECT[o] != t || !MOD[t / 4] || !MOD[o / 4] ||
          !typeHasInput(MOD[t / 4]->type, t % 4) || !typeHasOutput(MOD[o / 4]->type, o % 4)) {
        g_snprintf(why, sizeof why, "input %d -> %d", t, o);
        return why;
      }
    }
    if (i != -1) {
      if (i < 0 || i > 255 || I_TERM_CONNECT[i] != t || !MOD[t / 4] || !MOD[i / 4] ||
          !typeHasOutput(MOD[t / 4]->type, t % 4) || !typeHasInput(MOD[i / 4]->type, i % 4)) {
        g_snprintf(why, sizeof why, "output %d -> %d", t, i);
        return why;
      }
    }
  }
  return "";
}

// ---------------------------------------------------------------------------------------------

TEST(LayoutSaveName, PlainNameGetsTheExtensionAndLyoInAnyCaseStays)
{
  bootGraph();
  scratchDir d;
  EXPECT_TRUE(saveLines(d.file("song")).empty());
  EXPECT_TRUE(fileExists(d.file("song.lyo")));
  EXPECT_FALSE(fileExists(d.file("song")));

  saveLines(d.file("LOUD.LYO"));
  EXPECT_TRUE(fileExists(d.file("LOUD.LYO")));
  EXPECT_FALSE(fileExists(d.file("LOUD.LYO.lyo")));

  saveLines(d.file("mixed.LyO"));
  EXPECT_TRUE(fileExists(d.file("mixed.LyO")));

  // "lyo" without its dot, and a name shorter than the extension, are not layout names yet
  saveLines(d.file("lyo"));
  EXPECT_TRUE(fileExists(d.file("lyo.lyo")));
  saveLines(d.file("x.sbk"));
  EXPECT_TRUE(fileExists(d.file("x.sbk.lyo")));
}

TEST(LayoutSaveName, FolderOrEmptyNameWritesDefaultLyo)
{
  bootGraph();
  scratchDir d;
  saveLines(std::string(d.path) + "/");
  EXPECT_TRUE(fileExists(d.file("default.lyo")));

  scratchDir cwd;
  char *old = g_get_current_dir();
  ASSERT_EQ(chdir(cwd.path), 0);
  EXPECT_TRUE(saveLines("").empty());
  EXPECT_TRUE(fileExists(cwd.file("default.lyo")));
  ASSERT_EQ(chdir(old), 0);
  g_free(old);
}

TEST(LayoutSaveName, UncreatableFileNamesTheBuiltName)
{
  bootGraph();
  scratchDir d;
  std::string name = d.file("no/such/folder/song");
  EXPECT_EQ(saveLines(name), (Lines{"Error opening file " + name + ".lyo"}));
}

TEST(LayoutSaveName, FullDiskIsReportedNotHidden)
{
  bootGraph();
  if (!fileExists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  scratchDir d;
  // a name that opens fine but whose every write fails, as on a full disk
  std::string name = d.file("full.lyo");
  ASSERT_EQ(symlink("/dev/full", name.c_str()), 0);
  EXPECT_EQ(saveLines(name), (Lines{"Error writing file " + name}));
}

// ---------------------------------------------------------------------------------------------

TEST(LayoutBytes, LineInAndLineOutAloneIs2447BytesLaidOutByOffset)
{
  bootGraph();
  scratchDir d;
  saveLines(d.file("two"));
  Bytes b = readAll(d.file("two.lyo"));
  // 11 magic + 4 count + 2 records of 4 + 16 * 4 + 62 empty records of 4 + 256 * 2 * 4
  ASSERT_EQ(b.size(), 11u + 4 + 2 * 68 + 62 * 4 + 2048);
  ASSERT_EQ(b.size(), 2447u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 11), "QAF_LAYOUT\n");
  EXPECT_EQ(le32(b, 11), 64);
  EXPECT_EQ(le32(b, 15), 0);  // Line In
  for (int p = 0; p < 16; p++) EXPECT_EQ(leBits(b, 19 + 4 * p), 0u);
  EXPECT_EQ(le32(b, 83), 1);  // Line Out
  for (int p = 0; p < 16; p++) EXPECT_EQ(leBits(b, 87 + 4 * p), 0u);
  for (int s = 2; s < 64; s++) EXPECT_EQ(le32(b, 151 + 4 * (s - 2)), -1) << "slot " << s;
  for (int t = 0; t < 256; t++) {
    EXPECT_EQ(le32(b, 399 + 8 * t), -1);
    EXPECT_EQ(le32(b, 403 + 8 * t), -1);
  }
}

TEST(LayoutBytes, WrittenPatchMatchesItsTablesFieldForField)
{
  bootGraph();
  int dist = addModule(4);    // slot 2
  int gone = addModule(3);    // slot 3, removed again: an empty slot between modules
  int split = addModule(6);   // slot 4
  int mix = addModule(3);     // slot 5
  beginCapture();
  Remove_Mod(gone);
  endCapture();
  ASSERT_EQ(dist, 2);
  ASSERT_EQ(split, 4);
  ASSERT_EQ(mix, 5);
  wire(0, dist * 4);          // Line In L -> Distort
  wire(dist * 4, split * 4);  // Distort -> Splitter
  wire(split * 4 + 3, mix * 4 + 2);
  wire(mix * 4, 1 * 4 + 1);   // Mixer -> Line Out R
  const float odd[4] = {-0.0f, 1e-40f, INFINITY, 3.14159f};
  for (int p = 0; p < 16; p++) {
    MOD[dist]->parm[p] = odd[p % 4] * (p + 1);
    MOD[mix]->parm[p] = bitsFloat(0x7fc00000u + (uint32_t)p);  // quiet NaNs with payloads
  }

  scratchDir d;
  saveLines(d.file("patch.lyo"));
  Bytes b = readAll(d.file("patch.lyo"));
  // m = 5 modules: 11 + 4 + 68 * 5 + 4 * 59 + 2048
  ASSERT_EQ(b.size(), 11u + 4 + 68 * 5 + 4 * 59 + 2048);
  size_t off = 15;
  for (int s = 0; s < 64; s++) {
    int32_t type = le32(b, off);
    off += 4;
    if (!MOD[s]) {
      EXPECT_EQ(type, -1) << "slot " << s;
      continue;
    }
    EXPECT_EQ(type, MOD[s]->type) << "slot " << s;
    for (int p = 0; p < 16; p++, off += 4)
      EXPECT_EQ(leBits(b, off), floatBits(MOD[s]->parm[p])) << "slot " << s << " parm " << p;
  }
  for (int t = 0; t < 256; t++, off += 8) {
    EXPECT_EQ(le32(b, off), I_TERM_CONNECT[t]) << "input " << t;
    EXPECT_EQ(le32(b, off + 4), O_TERM_CONNECT[t]) << "output " << t;
  }
  EXPECT_EQ(off, b.size());
  // a few wires spelled out: input 8 (Distort A) is fed by output 0, output 19 feeds input 22
  EXPECT_EQ(le32(b, 15 + 68 * 5 + 4 * 59 + 8 * 8), 0);
  EXPECT_EQ(le32(b, 15 + 68 * 5 + 4 * 59 + 8 * 19 + 4), 22);
}

// ---------------------------------------------------------------------------------------------

TEST(LayoutRoundTrip, SaveThenLoadRestoresTypesParametersAndWiresWithNewIds)
{
  bootGraph();
  int a = addModule(15);  // Panning Mixer, slot 2
  int b = addModule(8);   // Looper, slot 3
  int c = addModule(19);  // Multiply, slot 4
  wire(0, a * 4 + 1);
  wire(1, a * 4 + 3);
  wire(a * 4, c * 4);
  wire(b * 4, c * 4 + 1);
  wire(c * 4, 4);
  wire(a * 4 + 1, 5);
  for (int p = 0; p < 16; p++) {
    MOD[a]->parm[p] = p * 0.1f - 0.7f;
    MOD[b]->parm[p] = bitsFloat(0xff800001u + (uint32_t)p);  // signalling NaNs, sign set
    MOD[c]->parm[p] = p % 2 ? -0.0f : 1e-42f;
  }
  patchSnap saved;
  int maxOldId = sUID - 1;
  scratchDir d;
  saveLines(d.file("rt"));

  // a different patch is running when the layout comes back
  beginCapture();
  GET_MODGRAPH_LOCK();
  for (int t = 0; t < 256; t++) I_TERM_CONNECT[t] = O_TERM_CONNECT[t] = -1;
  RELEASE_MODGRAPH_LOCK();
  Remove_Mod(a);
  Remove_Mod(c);
  endCapture();
  addModule(5);
  wire(0, 4);

  loadLines(d.file("rt.lyo"));
  std::set<int> ids;
  for (int s = 0; s < 64; s++) {
    ASSERT_EQ(MOD[s] ? MOD[s]->type : -1, saved.type[s]) << "slot " << s;
    if (!MOD[s]) continue;
    for (int p = 0; p < 16; p++)
      EXPECT_EQ(floatBits(MOD[s]->parm[p]), saved.parm[s][p]) << "slot " << s << " parm " << p;
    EXPECT_GT(MOD[s]->ID, maxOldId);
    ids.insert(MOD[s]->ID);
  }
  EXPECT_EQ(ids.size(), 5u);
  EXPECT_EQ(memcmp(I_TERM_CONNECT, saved.I, sizeof saved.I), 0);
  EXPECT_EQ(memcmp(O_TERM_CONNECT, saved.O, sizeof saved.O), 0);
}

TEST(LayoutRoundTrip, LoadPrintsItsStepsAndTheOrderOfTheLoadedWires)
{
  bootGraph();
  scratchDir d;
  testLayout L;
  L.type[2] = 4;  // Distort
  L.type[3] = 6;  // Splitter
  L.wire(0, 12);  // Line In L -> Splitter
  L.wire(12, 8);  // Splitter A -> Distort
  L.wire(8, 4);   // Distort -> Line Out L
  writeAll(d.file("chain.lyo"), L.bytes());
  Lines out = loadLines(d.file("chain.lyo"));
  // IDs: Line In 100 and Line Out 101 at start-up, so the loaded records take 102 to 105 in slot
  // order. Tiers: Line In 0, Splitter 1, Distort 2, Line Out 3; one module per tier.
  EXPECT_EQ(out, (Lines{"Loading module parameters", "Loading connections",
                        "Closing all parameter dialog boxes", "Swapping modules and maps",
                        "MOD_EXEC_NUM 4", "Module ID 102 executes 0", "Module ID 105 executes 1",
                        "Module ID 104 executes 2", "Module ID 103 executes 3"}));
  EXPECT_EQ(MAX_TIER, 3);
  EXPECT_EQ(MAX_NUM_IN_TIER, 1);
}

// ---------------------------------------------------------------------------------------------

TEST(LayoutHeader, MagicInLowerCaseLoads)
{
  bootGraph();
  scratchDir d;
  testLayout L;
  L.type[9] = 10;
  writeAll(d.file("lc.lyo"), L.bytes(64, "qaf_layout\n"));
  loadLines(d.file("lc.lyo"));
  ASSERT_NE(MOD[9], nullptr);
  EXPECT_EQ(MOD[9]->type, 10);
}

TEST(LayoutHeader, ForeignMagicAndMissingFileAreRefused)
{
  bootGraph();
  scratchDir d;
  testLayout L;
  L.type[9] = 10;
  writeAll(d.file("bad.lyo"), L.bytes(64, "QAF_LAYOUT "));
  patchSnap before;
  EXPECT_EQ(loadLines(d.file("bad.lyo")), (Lines{"Not a valid QAF Layout file!"}));
  writeAll(d.file("bank.lyo"), L.bytes(64, "QAF_SBANK\n\n"));
  EXPECT_EQ(loadLines(d.file("bank.lyo")), (Lines{"Not a valid QAF Layout file!"}));
  EXPECT_EQ(loadLines(d.file("none.lyo")), (Lines{"Error opening file " + d.file("none.lyo")}));
  EXPECT_TRUE(patchSnap() == before);
}

TEST(LayoutHeader, CountAbove64IsRefusedAndSmallerCountsStillRead64Records)
{
  bootGraph();
  scratchDir d;
  testLayout L;
  L.type[40] = 7;  // far beyond the count of 3
  L.parm[40][2] = 2.5f;
  writeAll(d.file("c65.lyo"), L.bytes(65));
  patchSnap before;
  EXPECT_EQ(loadLines(d.file("c65.lyo")), (Lines{"File is corrupted or wrong version."}));
  EXPECT_TRUE(patchSnap() == before);

  writeAll(d.file("c3.lyo"), L.bytes(3));
  loadLines(d.file("c3.lyo"));
  ASSERT_NE(MOD[40], nullptr);
  EXPECT_EQ(MOD[40]->type, 7);
  EXPECT_EQ(MOD[40]->parm[2], 2.5f);

  L.type[41] = 2;
  writeAll(d.file("neg.lyo"), L.bytes(-5));
  loadLines(d.file("neg.lyo"));
  ASSERT_NE(MOD[41], nullptr);

  // a count of 3 with only 3 records present is a short file, not a small layout
  Bytes three = L.bytes(3);
  three.resize(15 + 68 * 2 + 4);
  writeAll(d.file("short3.lyo"), three);
  patchSnap loaded;
  EXPECT_EQ(loadLines(d.file("short3.lyo")).back(), "Error reading file " + d.file("short3.lyo"));
  EXPECT_TRUE(patchSnap() == loaded);
}

// ---------------------------------------------------------------------------------------------

TEST(LayoutCutShort, EveryShortenedFileIsRefusedAndChangesNothing)
{
  bootGraph();
  installRecordingHooks();
  // running patch: Reverb wired between the lines, an open dialog, chunks waiting
  int rv = addModule(5);
  wire(0, rv * 4);
  wire(rv * 4, 4);
  MOD_PARMBOX[rv] = 1;
  MOD_PARMBOX_HANDLE[rv] = (void *)0x5a5a;
  GET_MODGRAPH_LOCK();
  MOD[rv]->term[0] = newChunk();
  RELEASE_MODGRAPH_LOCK();

  testLayout L;
  L.type[2] = 16;
  L.type[5] = 18;
  L.type[63] = 3;
  L.wire(0, 8);
  L.wire(8, 252);
  L.wire(252, 5);
  for (int p = 0; p < 16; p++) L.parm[63][p] = (float)p;
  Bytes full = L.bytes();
  ASSERT_EQ(full.size(), 11u + 4 + 68 * 5 + 4 * 59 + 2048);
  scratchDir d;
  std::string path = d.file("cut.lyo");
  patchSnap before;
  int chunks = chunksInUse();
  for (size_t n = 0; n < full.size(); n++) {
    writeAll(path, full, n);
    Lines out = loadLines(path);
    ASSERT_FALSE(out.empty()) << n;
    ASSERT_EQ(out.back(), "Error reading file " + path) << "cut at " << n;
    // the slot records begin at 15: only from there on is the parameter line printed
    ASSERT_EQ(out.front() == "Loading module parameters", n >= 15) << n;
    ASSERT_LE(out.size(), 3u) << n;
    ASSERT_TRUE(patchSnap() == before) << "cut at " << n;
  }
  EXPECT_EQ(hooksSeen().dialogCloses, 0);
  EXPECT_EQ(hooksSeen().repaints, 0);
  EXPECT_EQ(chunksInUse(), chunks);

  // and the whole file loads
  writeAll(path, full);
  loadLines(path);
  ASSERT_NE(MOD[63], nullptr);
  EXPECT_EQ(MOD[63]->type, 3);
  EXPECT_EQ(hooksSeen().dialogCloses, 1);
  EXPECT_EQ(hooksSeen().repaints, 1);
}

// ---------------------------------------------------------------------------------------------

// Loads a layout that must be refused with exactly the given line after the progress lines, and
// checks that nothing of the running patch moved.
static void expectRefused(const testLayout &L, const std::string &why)
{
  scratchDir d;
  std::string path = d.file("unsafe.lyo");
  writeAll(path, L.bytes());
  patchSnap before;
  hooksSeen() = hookRecord();
  Lines out = loadLines(path);
  EXPECT_EQ(out, (Lines{"Loading module parameters", "Loading connections",
                        "Not loading " + path + ": " + why}));
  EXPECT_TRUE(patchSnap() == before);
  EXPECT_EQ(hooksSeen().dialogCloses, 0);
  EXPECT_EQ(hooksSeen().repaints, 0);
}

TEST(LayoutValidation, UnknownTypesAndMisplacedLineModulesAreRefused)
{
  bootGraph();
  installRecordingHooks();
  int m = addModule(4);
  MOD_PARMBOX[m] = 1;
  {
    testLayout L;
    L.type[5] = 20;
    expectRefused(L, "slot 5 holds module type 20, which does not exist.");
  }
  {
    testLayout L;
    L.type[63] = -2;
    expectRefused(L, "slot 63 holds module type -2, which does not exist.");
  }
  {
    testLayout L;
    L.type[0] = 2;
    expectRefused(L, "slot 0 must hold Line In.");
    L.type[0] = -1;
    expectRefused(L, "slot 0 must hold Line In.");
  }
  {
    testLayout L;
    L.type[1] = 0;
    expectRefused(L, "slot 1 must hold Line Out.");
  }
  {
    testLayout L;
    L.type[7] = 0;
    expectRefused(L, "slot 7 holds Line In, which belongs only in slot 0.");
    L.type[7] = 1;
    expectRefused(L, "slot 7 holds Line Out, which belongs only in slot 1.");
  }
  {
    // the first problem in slot order is the one named
    testLayout L;
    L.type[3] = 99;
    L.type[9] = 0;
    expectRefused(L, "slot 3 holds module type 99, which does not exist.");
  }
}

TEST(LayoutValidation, WiresOutsideTheTablesOrOnMissingTerminalsAreRefused)
{
  bootGraph();
  installRecordingHooks();
  addModule(6);
  {
    testLayout L;
    L.type[2] = 4;
    L.I[8] = 256;
    expectRefused(L, "input terminal 8 is wired to 256, which is not a terminal number.");
  }
  {
    testLayout L;
    L.O[3] = -2;
    expectRefused(L, "output terminal 3 is wired to -2, which is not a terminal number.");
  }
  {
    testLayout L;
    L.wire(0, 12);  // slot 3 is empty
    // terminal 0's entries come first: its output side names the empty slot at the far end
    expectRefused(L, "output terminal 0 is wired to input terminal 12, but slot 3 is empty.");
  }
  {
    testLayout L;
    L.I[12] = 0;  // only the input side, on an empty slot
    expectRefused(L, "input terminal 12 is wired, but slot 3 is empty.");
  }
  {
    testLayout L;
    L.type[2] = 4;  // Distort: input A only
    L.wire(1, 9);
    expectRefused(L, "output terminal 1 is wired to input terminal 9, but Distort in slot 2 has "
                     "no input B.");
  }
  {
    testLayout L;
    L.wire(4, 0);  // Line Out has no outputs, Line In no inputs
    expectRefused(L, "input terminal 0 is wired, but Line In in slot 0 has no input A.");
  }
  {
    testLayout L;
    L.type[2] = 6;  // Splitter: outputs A to D
    L.O[11] = 4;
    L.I[4] = 11;
    L.O[2] = 7;  // Line In has outputs A and B only
    expectRefused(L, "output terminal 2 is wired, but Line In in slot 0 has no output C.");
  }
}

// ---------------------------------------------------------------------------------------------

TEST(LayoutRepair, PairsThatDisagreeAreRepairedNotRefused)
{
  bootGraph();
  scratchDir d;
  testLayout L;
  L.type[2] = 6;  // Splitter: terminals 8 (in A), 8..11 (out A-D)
  L.type[3] = 3;  // Mixer: terminals 12..15 (in A-D), 12 (out A)
  L.wire(0, 8);
  L.O[9] = 12;  // half-made: input 12 does not agree
  writeAll(d.file("half.lyo"), L.bytes());
  Lines out = loadLines(d.file("half.lyo"));
  ASSERT_GE(out.size(), 6u);
  EXPECT_EQ(out[4], "OTERM 9 -> ITERM 12:ITERM 12 -> OTERM -1");
  EXPECT_EQ(out[5], "Deleting mismatched wires");
  EXPECT_EQ(O_TERM_CONNECT[9], -1);
  EXPECT_EQ(I_TERM_CONNECT[8], 0);
  EXPECT_EQ(O_TERM_CONNECT[0], 8);
  EXPECT_EQ(wiringBreak(), "");
}

TEST(LayoutRepair, WireLeftHalfMadeByOnePassIsRemovedBeforeTheAudioSeesIt)
{
  bootGraph();
  scratchDir d;
  testLayout L;
  L.type[2] = 6;
  L.type[3] = 3;
  L.wire(8, 12);  // whole: Splitter A -> Mixer A
  L.O[10] = 12;   // Splitter C also claims Mixer A
  writeAll(d.file("claim.lyo"), L.bytes());
  Lines out = loadLines(d.file("claim.lyo"));
  // t = 10 finds input 12 fed by 8 and clears output 10 and input 12; output 8 now points at an
  // input that does not agree, but the pass is past 8: a second pass clears it.
  Lines repair(out.begin() + 4, out.begin() + 8);
  EXPECT_EQ(repair, (Lines{"OTERM 10 -> ITERM 12:ITERM 12 -> OTERM 8", "Deleting mismatched wires",
                           "OTERM 8 -> ITERM 12:ITERM 12 -> OTERM -1",
                           "Deleting mismatched wires"}));
  EXPECT_EQ(O_TERM_CONNECT[8], -1);
  EXPECT_EQ(O_TERM_CONNECT[10], -1);
  EXPECT_EQ(I_TERM_CONNECT[12], -1);
  EXPECT_EQ(wiringBreak(), "");
}

// ---------------------------------------------------------------------------------------------

TEST(LayoutAfterLoad, NoDialogIsOpenAndLoadedModulesCanBeUsed)
{
  bootGraph();
  installRecordingHooks();
  int a = addModule(2);
  int b = addModule(17);
  MOD_PARMBOX[a] = 1;
  MOD_PARMBOX_HANDLE[a] = (void *)0x1;
  MOD_PARMBOX[b] = 1;
  MOD_PARMBOX_HANDLE[b] = (void *)0x2;

  scratchDir d;
  testLayout L;
  L.type[2] = 9;   // XFader, wired
  L.type[3] = 11;  // recorder, unwired
  L.wire(0, 8);
  L.wire(1, 9);
  L.wire(8, 4);
  writeAll(d.file("after.lyo"), L.bytes());
  loadLines(d.file("after.lyo"));
  EXPECT_EQ(hooksSeen().dialogCloses, 1);
  EXPECT_EQ(hooksSeen().repaints, 1);
  for (int s = 0; s < MAX_MODULES; s++) {
    EXPECT_EQ(MOD_PARMBOX[s], 0) << s;
    EXPECT_EQ(MOD_PARMBOX_HANDLE[s], nullptr) << s;
  }
  std::set<int> loadedIds;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s]) loadedIds.insert(MOD[s]->ID);

  int recId = MOD[3]->ID;
  Lines out = command("R " + std::to_string(recId));
  EXPECT_EQ(MOD[3], nullptr) << (out.empty() ? "" : out[0]);
  out = command("R " + std::to_string(MOD[2]->ID));
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0], "Can't remove module# 2 as it is still connected.");

  int n = addModule(4);
  ASSERT_GE(n, 0);
  EXPECT_EQ(loadedIds.count(MOD[n]->ID), 0u);
  for (int id : loadedIds) EXPECT_GT(MOD[n]->ID, id);
}

TEST(LayoutAfterLoad, ChunksWaitingInReplacedModulesAreGivenBack)
{
  bootGraph();
  int a = addModule(2);
  GET_MODGRAPH_LOCK();
  for (int k = 0; k < 4; k++) MOD[a]->term[k] = newChunk();
  MOD[0]->term[1] = newChunk();
  RELEASE_MODGRAPH_LOCK();
  EXPECT_EQ(chunksInUse(), 5);
  scratchDir d;
  testLayout L;
  L.type[2] = 2;
  writeAll(d.file("p.lyo"), L.bytes());
  loadLines(d.file("p.lyo"));
  EXPECT_EQ(chunksInUse(), 0);
  for (int k = 0; k < 4; k++) EXPECT_EQ(MOD[2]->term[k], nullptr);
}

// ---------------------------------------------------------------------------------------------

// Under the graph lock, the patch is exactly one of the two layouts: same types in every slot and
// the same wires.
// Whether a graph (the editors' tables, or the one a pass runs) is the layout's patch.
static int graphIs(modRec *const *mod, const int *iTerm, const int *oTerm, const int *order,
                   int num, const testLayout &L)
{
  for (int s = 0; s < MAX_MODULES; s++)
    if ((mod[s] ? mod[s]->type : -1) != L.type[s]) return 0;
  for (int t = 0; t < TERMS_I_OR_O; t++)
    if (iTerm[t] != L.I[t] || oTerm[t] != L.O[t]) return 0;
  for (int p = 0; p < num; p++)
    if (!mod[order[p]]) return 0;
  return 1;
}

static int patchIs(const testLayout &L)
{
  return graphIs(MOD, I_TERM_CONNECT, O_TERM_CONNECT, MOD_EXEC_ORDER, MOD_EXEC_NUM, L);
}

// Pass thread, inside a pass.
static int passGraphIs(const testLayout &L)
{
  const runGraph *g = passGraph;
  return graphIs(g->mod, g->iTerm, g->oTerm, g->execOrder, g->execNum, L);
}

static testLayout chainA, chainB;
static std::atomic<bool> stopPasses;
static std::atomic<int> passes, mixtures;

static void *audioPasses(void *)
{
  while (!stopPasses) {
    beginGraphPass();
    if (!passGraphIs(chainA) && !passGraphIs(chainB)) mixtures++;
    pumpAllModules();
    endGraphPass();
    passes++;
  }
  return nullptr;
}

TEST(LayoutWhileAudioRuns, PassesSeeTheOldPatchOrTheNewOneNeverAMixture)
{
  bootGraph();
  buf = (char *)g_malloc0(sound_buffer_size);
  // A: Line In -> Distort -> Reverb -> Line Out; B: Line In -> Splitter -> Mixer -> Line Out
  chainA.type[2] = 4;
  chainA.type[3] = 5;
  chainA.wire(0, 8);
  chainA.wire(8, 12);
  chainA.wire(12, 4);
  chainB.type[2] = 6;
  chainB.type[3] = 3;
  chainB.type[10] = 16;
  chainB.wire(1, 8);
  chainB.wire(11, 13);
  chainB.wire(12, 5);
  scratchDir d;
  writeAll(d.file("a.lyo"), chainA.bytes());
  writeAll(d.file("b.lyo"), chainB.bytes());
  loadLines(d.file("a.lyo"));
  ASSERT_TRUE(patchIs(chainA));

  pthread_t th;
  ASSERT_EQ(pthread_create(&th, nullptr, audioPasses, nullptr), 0);
  beginCapture();
  for (int n = 0; n < 60; n++) {
    std::vector<char> name;
    std::string p = d.file(n % 2 ? "a.lyo" : "b.lyo");
    name.assign(p.begin(), p.end());
    name.push_back('\0');
    real_load(name.data());
    usleep(200);
  }
  endCapture();
  stopPasses = true;
  pthread_join(th, nullptr);
  EXPECT_GT(passes.load(), 0);
  EXPECT_EQ(mixtures.load(), 0);
  EXPECT_TRUE(patchIs(chainA));
  EXPECT_EQ(wiringBreak(), "");
}
