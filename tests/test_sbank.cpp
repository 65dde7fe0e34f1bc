// Sample bank files: the name a bank is saved under, the bytes on disk (read back by offset with
// the tests' own reader), loading over slots that are already full, banks cut short, odd
// lengths, and banks whose slot numbers, names or lengths would reach outside the tables.
#include <gtest/gtest.h>
#include <unistd.h>

#include "files/fileops.h"
#include "samples/loopStore.h"
#include "tests/filetest_util.h"
#include "tests/testutil.h"

using Lines = std::vector<std::string>;
typedef std::vector<short> Samples;

static void bootLoops()
{
  beginCapture();
  initLoops();
  endCapture();
  installRecordingHooks();
}

static void fillSlot(int slot, const Samples &s, const std::string &name)
{
  lockLoop(slot);
  putrawLoop(slot, const_cast<short *>(s.data()), (int)s.size());
  unlockLoop(slot);
  setLoopName(slot, name.c_str());
}

static Samples held(int slot)
{
  if (!isLoopFull(slot)) return Samples();
  return Samples(loopData[slot], loopData[slot] + loopLength[slot] / 2);
}

static Lines saveBank(const std::string &name)
{
  std::vector<char> n(name.begin(), name.end());
  n.push_back('\0');
  beginCapture();
  real_savesbank(n.data());
  return endCapture();
}

static Lines loadBank(const std::string &name)
{
  std::vector<char> n(name.begin(), name.end());
  n.push_back('\0');
  beginCapture();
  real_loadsbank(n.data());
  return endCapture();
}

// One entry as the tests write it: its length field may say something else than its bytes.
struct entry {
  int slot;
  std::string name;
  Bytes raw;
  int32_t len;
};
static entry samplesEntry(int slot, const std::string &name, const Samples &s)
{
  entry e{slot, name, Bytes(), (int32_t)(s.size() * 2)};
  for (short v : s) {
    e.raw.push_back((uint8_t)((uint16_t)v & 0xff));
    e.raw.push_back((uint8_t)((uint16_t)v >> 8));
  }
  return e;
}
static Bytes bankBytes(const std::vector<entry> &es, int32_t count,
                       const std::string &magic = "QAF_SBANK\n")
{
  Bytes b;
  putText(b, magic);
  put32(b, count);
  for (const entry &e : es) {
    put32(b, e.slot);
    putText(b, e.name);
    b.push_back(0);
    put32(b, e.len);
    b.insert(b.end(), e.raw.begin(), e.raw.end());
  }
  return b;
}
static Bytes bankBytes(const std::vector<entry> &es) { return bankBytes(es, (int32_t)es.size()); }

// ---------------------------------------------------------------------------------------------

TEST(SbankSaveName, PlainNameGetsTheExtensionFolderGetsDefault)
{
  bootLoops();
  scratchDir d;
  EXPECT_TRUE(saveBank(d.file("drums")).empty());
  EXPECT_TRUE(fileExists(d.file("drums.sbk")));
  saveBank(d.file("KIT.SBK"));
  EXPECT_TRUE(fileExists(d.file("KIT.SBK")));
  EXPECT_FALSE(fileExists(d.file("KIT.SBK.sbk")));
  saveBank(d.file("song.lyo"));
  EXPECT_TRUE(fileExists(d.file("song.lyo.sbk")));
  saveBank(std::string(d.path) + "/");
  EXPECT_TRUE(fileExists(d.file("default.sbk")));
  std::string bad = d.file("missing/kit");
  EXPECT_EQ(saveBank(bad), (Lines{"Error opening file " + bad + ".sbk"}));
}

TEST(SbankBytes, EmptyBankIsMagicAndZeroAndLoadsAsNothing)
{
  bootLoops();
  scratchDir d;
  saveBank(d.file("empty"));
  Bytes b = readAll(d.file("empty.sbk"));
  ASSERT_EQ(b.size(), 14u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 10), "QAF_SBANK\n");
  EXPECT_EQ(le32(b, 10), 0);

  fillSlot(8, {5, 6, 7}, "kept.wav");
  hooksSeen().namesChanged.clear();
  EXPECT_TRUE(loadBank(d.file("empty.sbk")).empty());
  EXPECT_EQ(held(8), (Samples{5, 6, 7}));
  EXPECT_STREQ(getLoopName(8), "kept.wav");
  EXPECT_TRUE(hooksSeen().namesChanged.empty());
}

TEST(SbankBytes, WrittenBankMatchesTheSlotsFieldForField)
{
  bootLoops();
  fillSlot(17, {0x1234, -2}, "");
  fillSlot(3, {0, 1, -1, 32767, -32768}, "/home/me/kick.wav");
  // a slot of odd length (a 16-bit mono WAV with an odd number of data bytes gives one)
  lockLoop(40);
  loopData[40] = (short *)g_malloc(4);
  memcpy(loopData[40], "\x01\x02\x03", 3);
  loopLength[40] = 3;
  unlockLoop(40);
  setLoopName(40, "odd");

  scratchDir d;
  saveBank(d.file("three"));
  Bytes b = readAll(d.file("three.sbk"));
  // 14 + (4 + 17 + 1 + 4 + 10) + (4 + 0 + 1 + 4 + 4) + (4 + 3 + 1 + 4 + 3)
  ASSERT_EQ(b.size(), 14u + 36 + 13 + 15);
  EXPECT_EQ(le32(b, 10), 3);
  size_t off = 14;
  EXPECT_EQ(le32(b, off), 3);
  EXPECT_EQ(std::string((const char *)&b[off + 4]), "/home/me/kick.wav");
  off += 4 + 18;
  ASSERT_EQ(le32(b, off), 10);
  const short kick[5] = {0, 1, -1, 32767, -32768};
  for (int i = 0; i < 5; i++) EXPECT_EQ(le16(b, off + 4 + 2 * i), kick[i]);
  off += 4 + 10;
  EXPECT_EQ(le32(b, off), 17);
  EXPECT_EQ(b[off + 4], 0);  // the empty name is its NUL alone
  EXPECT_EQ(le32(b, off + 5), 4);
  EXPECT_EQ(b[off + 9], 0x34);
  EXPECT_EQ(b[off + 10], 0x12);
  EXPECT_EQ(le16(b, off + 11), -2);
  off += 13;
  EXPECT_EQ(le32(b, off), 40);
  EXPECT_EQ(std::string((const char *)&b[off + 4]), "odd");
  EXPECT_EQ(le32(b, off + 8), 3);
  EXPECT_EQ(Bytes(b.begin() + off + 12, b.end()), (Bytes{1, 2, 3}));
}

// ---------------------------------------------------------------------------------------------

TEST(SbankLoad, ListedSlotsAreFilledAndOthersKeepSoundAndName)
{
  bootLoops();
  fillSlot(3, {10, 20, 30}, "three.wav");
  fillSlot(17, {-7}, "Mod ID:104");
  scratchDir d;
  saveBank(d.file("kit"));

  lockLoop(3);
  deleteLoop(3);
  unlockLoop(3);
  fillSlot(17, {1, 1, 1, 1}, "other.wav");
  setLoopName(3, "");
  fillSlot(5, {99, 98}, "five.wav");
  short *fiveBuffer = loopData[5];
  hooksSeen().namesChanged.clear();

  EXPECT_TRUE(loadBank(d.file("kit.sbk")).empty());
  EXPECT_EQ(held(3), (Samples{10, 20, 30}));
  EXPECT_STREQ(getLoopName(3), "three.wav");
  EXPECT_EQ(held(17), (Samples{-7}));
  EXPECT_STREQ(getLoopName(17), "Mod ID:104");  // the name a recorder's Save Sample gave it
  EXPECT_EQ(loopData[5], fiveBuffer);
  EXPECT_EQ(held(5), (Samples{99, 98}));
  EXPECT_STREQ(getLoopName(5), "five.wav");
  EXPECT_EQ(hooksSeen().namesChanged, (std::vector<int>{3, 17}));
  for (int s = 0; s < NUM_LOOPS; s++) EXPECT_EQ(isLockLoop(s), 0) << s;
}

TEST(SbankLoad, MagicInLowerCaseLoadsForeignMagicAndMissingFileDoNot)
{
  bootLoops();
  scratchDir d;
  writeAll(d.file("lc.sbk"), bankBytes({samplesEntry(2, "x", {4})}, 1, "qaf_sbank\n"));
  EXPECT_TRUE(loadBank(d.file("lc.sbk")).empty());
  EXPECT_EQ(held(2), (Samples{4}));

  writeAll(d.file("lyo.sbk"), bankBytes({samplesEntry(6, "x", {4})}, 1, "QAF_LAYOUT"));
  EXPECT_EQ(loadBank(d.file("lyo.sbk")), (Lines{"Not a valid QAF Samplebank file!"}));
  EXPECT_FALSE(isLoopFull(6));
  EXPECT_EQ(loadBank(d.file("gone.sbk")), (Lines{"Error opening file " + d.file("gone.sbk")}));
}

TEST(SbankLoad, CountOfZeroOrLessLoadsNothingAndPrintsNothing)
{
  bootLoops();
  scratchDir d;
  writeAll(d.file("neg.sbk"), bankBytes({samplesEntry(2, "x", {4})}, -3));
  EXPECT_TRUE(loadBank(d.file("neg.sbk")).empty());
  EXPECT_FALSE(isLoopFull(2));
  EXPECT_TRUE(hooksSeen().namesChanged.empty());
}

TEST(SbankLoad, OddLengthLosesItsLastByte)
{
  bootLoops();
  scratchDir d;
  entry e = samplesEntry(9, "odd.wav", {100, -200, 300});
  e.raw.push_back(0x7f);  // 7 bytes: three samples and a stray byte
  e.len = 7;
  writeAll(d.file("odd.sbk"), bankBytes({e}));
  EXPECT_TRUE(loadBank(d.file("odd.sbk")).empty());
  EXPECT_EQ(loopLength[9], 6);
  EXPECT_EQ(held(9), (Samples{100, -200, 300}));
}

TEST(SbankLoad, SlotListedTwiceEndsWithTheLaterEntry)
{
  bootLoops();
  scratchDir d;
  writeAll(d.file("twice.sbk"),
           bankBytes({samplesEntry(4, "first", {1, 2}), samplesEntry(4, "second", {3})}));
  loadBank(d.file("twice.sbk"));
  EXPECT_EQ(held(4), (Samples{3}));
  EXPECT_STREQ(getLoopName(4), "second");
}

TEST(SbankLoad, LongNameIsCutToWhatTheReaderTakesWhenSaved)
{
  bootLoops();
  std::string longName(1500, 'n');
  fillSlot(1, {8}, longName);
  scratchDir d;
  saveBank(d.file("long"));
  setLoopName(1, "");
  EXPECT_TRUE(loadBank(d.file("long.sbk")).empty());
  EXPECT_EQ(std::string(getLoopName(1)), std::string(1023, 'n'));
  EXPECT_EQ(held(1), (Samples{8}));
}

// ---------------------------------------------------------------------------------------------

TEST(SbankCutShort, InsideTheSecondEntrysSamplesTheFirstLoadsAndTheSecondShowsItsName)
{
  bootLoops();
  fillSlot(6, {-1, -2, -3}, "old six");
  scratchDir d;
  Samples many(100);
  for (int i = 0; i < 100; i++) many[i] = (short)(i * 301 - 15000);
  Bytes b = bankBytes({samplesEntry(2, "two.wav", {11, 12, 13, 14}), samplesEntry(6, "six.wav", many)});
  // entry 1: 4 + 8 + 4 + 8 = 24 bytes from 14; entry 2's samples start at 38 + 4 + 8 + 4 = 54
  ASSERT_EQ(b.size(), 54u + 200);
  std::string path = d.file("cut.sbk");
  writeAll(path, b, 54 + 101);
  EXPECT_EQ(loadBank(path), (Lines{"Error reading file " + path}));
  EXPECT_EQ(held(2), (Samples{11, 12, 13, 14}));
  EXPECT_STREQ(getLoopName(2), "two.wav");
  EXPECT_STREQ(getLoopName(6), "six.wav");
  EXPECT_EQ(held(6), (Samples{-1, -2, -3}));
  EXPECT_EQ(isLockLoop(6), 0);
}

TEST(SbankCutShort, EveryShortenedBankLoadsWhatIsWholeAndSaysSo)
{
  bootLoops();
  fillSlot(2, {7}, "old two");
  fillSlot(6, {8}, "old six");
  Bytes b = bankBytes({samplesEntry(2, "a", {11, 12}), samplesEntry(6, "bb", {21, 22, 23})});
  // entry 1 runs from 14 to 28, its name read whole at 20; entry 2 from 28 to 45, name at 35
  const size_t name1End = 14 + 4 + 2, entry1End = name1End + 4 + 4;
  const size_t name2End = entry1End + 4 + 3, entry2End = name2End + 4 + 6;
  ASSERT_EQ(b.size(), entry2End);
  scratchDir d;
  std::string path = d.file("cut.sbk");
  for (size_t n = 0; n < b.size(); n++) {
    fillSlot(2, {7}, "old two");
    fillSlot(6, {8}, "old six");
    writeAll(path, b, n);
    ASSERT_EQ(loadBank(path), (Lines{"Error reading file " + path})) << n;
    ASSERT_EQ(held(2), (n >= entry1End ? Samples{11, 12} : Samples{7})) << n;
    ASSERT_STREQ(getLoopName(2), n >= name1End ? "a" : "old two") << n;
    ASSERT_EQ(held(6), (Samples{8})) << n;
    ASSERT_STREQ(getLoopName(6), n >= name2End ? "bb" : "old six") << n;
  }
}

TEST(SbankCutShort, LengthBeyondTheFileIsRefusedBeforeAnythingIsAllocated)
{
  bootLoops();
  fillSlot(12, {42}, "old");
  scratchDir d;
  entry e = samplesEntry(12, "huge", {1, 2, 3});
  e.len = 0x7fffffff;  // a 2 GB claim over 6 bytes of samples
  writeAll(d.file("huge.sbk"), bankBytes({e}));
  EXPECT_EQ(loadBank(d.file("huge.sbk")), (Lines{"Error reading file " + d.file("huge.sbk")}));
  EXPECT_EQ(held(12), (Samples{42}));

  // a count larger than the entries present ends at the first missing slot number
  writeAll(d.file("more.sbk"), bankBytes({samplesEntry(13, "m", {5})}, 40));
  EXPECT_EQ(loadBank(d.file("more.sbk")), (Lines{"Error reading file " + d.file("more.sbk")}));
  EXPECT_EQ(held(13), (Samples{5}));
}

// ---------------------------------------------------------------------------------------------

TEST(SbankBroken, SlotOutsideTheTableStopsTheLoadAfterTheEntriesBefore)
{
  bootLoops();
  scratchDir d;
  for (int bad : {64, -1, 1000000}) {
    std::string path = d.file("bad" + std::to_string(bad) + ".sbk");
    writeAll(path, bankBytes({samplesEntry(4, "four", {1}), samplesEntry(bad, "evil", {2}),
                              samplesEntry(5, "five", {3})}));
    hooksSeen().namesChanged.clear();
    EXPECT_EQ(loadBank(path), (Lines{"Not loading the rest of " + path + ": entry 2 is for slot " +
                                     std::to_string(bad) + ", outside 0 to 63."}));
    EXPECT_EQ(held(4), (Samples{1}));
    EXPECT_FALSE(isLoopFull(5));
    EXPECT_EQ(hooksSeen().namesChanged, (std::vector<int>{4}));
  }
}

TEST(SbankBroken, NameOf1023CharactersLoadsAndALongerOneIsRefused)
{
  bootLoops();
  scratchDir d;
  std::string fits(1023, 'f'), over(1024, 'o');
  writeAll(d.file("fits.sbk"), bankBytes({samplesEntry(7, fits, {9})}));
  EXPECT_TRUE(loadBank(d.file("fits.sbk")).empty());
  EXPECT_EQ(std::string(getLoopName(7)), fits);

  fillSlot(8, {3}, "eight");
  std::string path = d.file("over.sbk");
  writeAll(path, bankBytes({samplesEntry(8, over, {9})}));
  hooksSeen().namesChanged.clear();
  EXPECT_EQ(loadBank(path), (Lines{"Not loading the rest of " + path +
                                   ": the name in entry 1 is longer than 1023 characters."}));
  EXPECT_STREQ(getLoopName(8), "eight");
  EXPECT_EQ(held(8), (Samples{3}));
  EXPECT_TRUE(hooksSeen().namesChanged.empty());
}

TEST(SbankBroken, NegativeLengthIsRefused)
{
  bootLoops();
  fillSlot(10, {6}, "ten");
  scratchDir d;
  entry e = samplesEntry(10, "neg", {});
  e.len = -4;
  std::string path = d.file("neg.sbk");
  writeAll(path, bankBytes({e, samplesEntry(11, "after", {1})}));
  EXPECT_EQ(loadBank(path), (Lines{"Not loading the rest of " + path +
                                   ": entry 1 has a negative length -4."}));
  EXPECT_EQ(held(10), (Samples{6}));
  EXPECT_FALSE(isLoopFull(11));
}

TEST(SbankBroken, ZeroLengthEntryLeavesAFullSlotOfNoSamples)
{
  bootLoops();
  scratchDir d;
  writeAll(d.file("zero.sbk"), bankBytes({samplesEntry(20, "silent", {})}));
  EXPECT_TRUE(loadBank(d.file("zero.sbk")).empty());
  EXPECT_TRUE(isLoopFull(20));
  EXPECT_EQ(loopLength[20], 0);
}
