// The sample store: slots, locks and names, and the WAV reader on files the tests write
// themselves (and one written by sox). Expected samples are worked out from the conversion
// rules: 8-bit (b - 128) * 256, stereo (l + r) / 2 truncated toward zero, each frame written
// 44100 / rate times.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <atomic>
#include <thread>
#include <vector>

#include "samples/loopStore.h"
#include "base/hooks.h"
#include "tests/testutil.h"

using Lines = std::vector<std::string>;
using Bytes = std::string;

static void le16(Bytes &b, int v)
{
  b += char(v & 255);
  b += char((v >> 8) & 255);
}
static void le32(Bytes &b, uint32_t v)
{
  for (int i = 0; i < 4; i++) b += char((v >> (8 * i)) & 255);
}

// A canonical 44-byte header ("fmt " at 12, "data" at 36) followed by the data bytes.
static Bytes wav(int ch, uint32_t rate, int bits, const Bytes &data, int format = 1)
{
  Bytes b = "RIFF";
  le32(b, 36 + data.size());
  b += "WAVEfmt ";
  le32(b, 16);
  le16(b, format);
  le16(b, ch);
  le32(b, rate);
  le32(b, rate * ch * bits / 8);
  le16(b, ch * bits / 8);
  le16(b, bits);
  b += "data";
  le32(b, data.size());
  return b + data;
}

static Bytes samples16(std::initializer_list<int> v)
{
  Bytes b;
  for (int s : v) le16(b, s);
  return b;
}

class LoopStore : public testing::Test {
protected:
  void SetUp() override
  {
    beginCapture();
    initLoops();
    endCapture();
    char tmpl[] = "/tmp/qaf_wav_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override
  {
    for (auto &p : written) unlink(p.c_str());
    rmdir(dir.c_str());
  }
  std::string file(const std::string &name, const Bytes &bytes)
  {
    std::string p = dir + "/" + name;
    FILE *f = fopen(p.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    written.push_back(p);
    return p;
  }
  // Loads into slot 3 and returns the printed lines.
  Lines load(const std::string &path, int *ok = nullptr)
  {
    std::vector<char> p(path.begin(), path.end());
    p.push_back('\0');
    beginCapture();
    int r = loadLoop(3, p.data());
    Lines out = endCapture();
    if (ok) *ok = r;
    return out;
  }
  std::vector<short> stored(int slot = 3)
  {
    if (!loopData[slot]) return {};
    return std::vector<short>(loopData[slot], loopData[slot] + loopLength[slot] / 2);
  }
  void fillSlot3()
  {
    short s[2] = {9, 9};
    putrawLoop(3, s, 2);
  }
  std::string dir;
  std::vector<std::string> written;
};

// ---- Slots, locks, names ---------------------------------------------------------------------

TEST(LoopSlots, StartEmptyAndSayTheirStartAndShutdownLines)
{
  beginCapture();
  initLoops();
  Lines out = endCapture();
  EXPECT_EQ(out, Lines{"Creating loops and loop mutexes"});
  for (int s = 0; s < NUM_LOOPS; s++) {
    EXPECT_FALSE(isLoopFull(s));
    EXPECT_EQ(loopLength[s], 0);
    EXPECT_STREQ(getLoopName(s), "");
  }
  beginCapture();
  cleanLoops();
  EXPECT_EQ(endCapture(), Lines{"Destroyed loop mutexes"});
}

TEST(LoopSlots, PutrawCopiesAndReplacesAndDeleteKeepsTheOldLength)
{
  beginCapture();
  initLoops();
  endCapture();
  short a[3] = {1, -2, 32767};
  putrawLoop(7, a, 3);
  a[0] = 99;  // the slot holds its own copy
  ASSERT_TRUE(isLoopFull(7));
  EXPECT_EQ(loopLength[7], 6);
  EXPECT_EQ(loopData[7][0], 1);
  EXPECT_EQ(loopData[7][2], 32767);
  short b[1] = {-5};
  putrawLoop(7, b, 1);
  EXPECT_EQ(loopLength[7], 2);
  EXPECT_EQ(loopData[7][0], -5);
  deleteLoop(7);
  EXPECT_FALSE(isLoopFull(7));
  EXPECT_EQ(loopLength[7], 2);
  deleteLoop(7);  // emptying an empty slot does nothing
  EXPECT_FALSE(isLoopFull(7));
  putrawLoop(7, b, -4);  // a damaged count leaves the slot empty instead of a huge buffer
  EXPECT_FALSE(isLoopFull(7));
  EXPECT_FALSE(isLoopFull(6));
  EXPECT_FALSE(isLoopFull(8));
}

TEST(LoopSlots, IsLockLoopIsBusyWhileAnotherThreadRefillsAndFreeAfter)
{
  beginCapture();
  initLoops();
  endCapture();
  EXPECT_EQ(isLockLoop(4), 0);
  std::atomic<int> stage{0};
  std::thread ui([&] {
    lockLoop(4);
    stage = 1;
    while (stage != 2) std::this_thread::yield();
    short s[1] = {1};
    putrawLoop(4, s, 1);
    unlockLoop(4);
  });
  while (stage != 1) std::this_thread::yield();
  EXPECT_EQ(isLockLoop(4), 1);
  EXPECT_EQ(isLockLoop(5), 0);  // other slots stay free
  EXPECT_EQ(tryLockLoop(4), 0);
  stage = 2;
  ui.join();
  EXPECT_EQ(isLockLoop(4), 0);
  EXPECT_EQ(isLockLoop(4), 0);  // the test left it free
  // the lock is not recursive: busy also for the thread that holds it
  EXPECT_EQ(tryLockLoop(4), 1);
  EXPECT_EQ(isLockLoop(4), 1);
  unlockLoop(4);
  EXPECT_EQ(isLockLoop(4), 0);
}

static std::vector<int> renamed;
static void recordRename(int slot) { renamed.push_back(slot); }

TEST(LoopSlots, NamesAreKeptPerSlotAndEveryChangeIsAnnounced)
{
  renamed.clear();
  installHooks({nullptr, nullptr, recordRename});
  setLoopName(5, "/tmp/a.wav");
  setLoopName(9, "Mod ID:104");
  setLoopName(5, nullptr);
  EXPECT_STREQ(getLoopName(5), "");
  EXPECT_STREQ(getLoopName(9), "Mod ID:104");
  EXPECT_EQ(renamed, (std::vector<int>{5, 9, 5}));
  installHooks({nullptr, nullptr, nullptr});
}

// ---- WAV files that load ----------------------------------------------------------------------

TEST_F(LoopStore, Canonical16BitMonoLoadsItsSamplesUnchanged)
{
  int ok;
  Lines out = load(file("m.wav", wav(1, 44100, 16, samples16({0, 1, -1, 32767, -32768, 1234}))),
                   &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(out, (Lines{"Channels 1 Bits 16 HZ 44100", "WAV data copied"}));
  EXPECT_EQ(loopLength[3], 12);
  EXPECT_EQ(stored(), (std::vector<short>{0, 1, -1, 32767, -32768, 1234}));
}

TEST_F(LoopStore, EightBitMono11025IsOffsetAndRepeatedFourTimes)
{
  Bytes d(100, char(128));
  d[0] = char(128);
  d[1] = char(129);
  d[2] = char(255);
  d[3] = char(0);
  int ok;
  Lines out = load(file("e.wav", wav(1, 11025, 8, d)), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(out, (Lines{"Channels 1 Bits 8 HZ 11025", "WAV data copied"}));
  EXPECT_EQ(loopLength[3], 800);  // 100 bytes x 4 x 2
  std::vector<short> s = stored();
  const short first[4] = {0, 256, 32512, -32768};
  for (int i = 0; i < 16; i++) EXPECT_EQ(s[i], first[i / 4]) << i;
  for (int i = 16; i < 400; i++) EXPECT_EQ(s[i], 0) << i;
}

TEST_F(LoopStore, SixteenBitStereo22050AveragesTowardZeroAndRepeatsTwice)
{
  // 1000 frames; frame i is (3, -4) for even i, (-3, -4) for odd i, except frame 2: (1000, 3001)
  Bytes d;
  for (int i = 0; i < 1000; i++) {
    if (i == 2) {
      le16(d, 1000);
      le16(d, 3001);
    } else {
      le16(d, i % 2 ? -3 : 3);
      le16(d, -4);
    }
  }
  int ok;
  Lines out = load(file("s.wav", wav(2, 22050, 16, d)), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(out, (Lines{"Channels 2 Bits 16 HZ 22050", "WAV data copied"}));
  EXPECT_EQ(loopLength[3], 4000);  // (4000 / 2) x 2 x 1
  std::vector<short> s = stored();
  ASSERT_EQ(s.size(), 2000u);
  for (int i = 0; i < 2000; i++) {
    int frame = i / 2;
    short expect = frame == 2 ? 2000 : (frame % 2 ? -3 : 0);  // 4001/2 = 2000; -1/2 = 0; -7/2 = -3
    ASSERT_EQ(s[i], expect) << i;
  }
}

TEST_F(LoopStore, EightBitStereoAveragesOffsetSamples)
{
  // (0, 255) -> (-32768 + 32512) / 2 = -128; (255, 255) -> 32512
  int ok;
  load(file("e2.wav", wav(2, 44100, 8, Bytes("\x00\xff\xff\xff", 4))), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(stored(), (std::vector<short>{-128, 32512}));
}

TEST_F(LoopStore, ATrailingChunkAfterTheDataIsTakenAsSound)
{
  Bytes f = wav(1, 44100, 16, samples16({5, 6})) + "LIST" + Bytes("\x04\0\0\0", 4) + "abcd";
  int ok;
  load(file("t.wav", f), &ok);
  EXPECT_EQ(ok, 1);
  // 4 + 12 bytes: the two samples, then "LI" "ST" 4 0 "ab" "cd" as little-endian words
  EXPECT_EQ(stored(), (std::vector<short>{5, 6, 'L' | 'I' << 8, 'S' | 'T' << 8, 4, 0,
                                          'a' | 'b' << 8, 'c' | 'd' << 8}));
}

TEST_F(LoopStore, ChunksBeforeFmtAreSkippedBySearchingForTheTags)
{
  Bytes f = wav(1, 22050, 16, samples16({-7, 8}));
  f.insert(12, "junk" + Bytes("\x04\0\0\0", 4) + "wxyz");  // "fmt " now at 24, "data" at 48
  int ok;
  load(file("j.wav", f), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(stored(), (std::vector<short>{-7, -7, 8, 8}));
}

TEST_F(LoopStore, DataThatIsNotAWholeNumberOfFramesDropsThePartialFrame)
{
  int ok;
  // 7 bytes of 16-bit mono: 3 whole samples
  load(file("o1.wav", wav(1, 44100, 16, samples16({10, 20, 30}) + "\x01")), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(loopLength[3], 6);
  EXPECT_EQ(stored(), (std::vector<short>{10, 20, 30}));
  // 10 bytes of 16-bit stereo: 2 frames (and 2 bytes of a third)
  load(file("o2.wav", wav(2, 44100, 16, samples16({10, 20, 30, 40, 99}))), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(stored(), (std::vector<short>{15, 35}));
  // 3 bytes of 8-bit stereo at 22050: one frame, twice
  load(file("o3.wav", wav(2, 22050, 8, Bytes("\x80\x82\x90", 3))), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(stored(), (std::vector<short>{256, 256}));
  // a single byte of 16-bit sound holds no sample at all
  Lines out = load(file("o4.wav", wav(1, 44100, 16, "\x01")), &ok);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(out.back(), "File is missing data or corrupted: " + dir + "/o4.wav");
  EXPECT_FALSE(isLoopFull(3));
}

// The fields of "fmt " end 23 bytes after the tag: at 488 they end on the window's last byte.
TEST_F(LoopStore, AFmtTagWhoseFieldsLeaveTheHeaderWindowIsRefused)
{
  Bytes w(520, '\0');
  memcpy(&w[0], "RIFF", 4);
  memcpy(&w[8], "WAVE", 4);
  memcpy(&w[488], "fmt ", 4);
  w[496] = 1;                        // PCM
  w[498] = 1;                        // mono
  w[500] = char(0x44);               // 44100 = 0xAC44
  w[501] = char(0xAC);
  memcpy(&w[504], "data", 4);        // over the ignored byte rate: the sound starts at 512
  w[510] = 16;
  w[512] = 3;
  w[514] = 4;
  int ok;
  Lines out = load(file("f488.wav", w), &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_EQ(out, (Lines{"Channels 1 Bits 16 HZ 44100", "WAV data copied"}));
  EXPECT_EQ(stored(), (std::vector<short>{3, 4, 0, 0}));

  Bytes late(600, '\0');
  memcpy(&late[0], "RIFF", 4);
  memcpy(&late[8], "WAVE", 4);
  memcpy(&late[489], "fmt ", 4);
  fillSlot3();
  std::string p = file("f489.wav", late);
  out = load(p, &ok);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(out, Lines{"fmt chunk runs past the header in: " + p});
  EXPECT_FALSE(isLoopFull(3));
}

// ---- WAV files that are refused: the exact line, and the slot left empty -----------------------

TEST_F(LoopStore, RefusedFilesPrintTheirReasonAndLeaveTheSlotEmpty)
{
  struct Case {
    const char *name;
    Bytes bytes;
    Lines lines;  // "@" stands for the file's path
  };
  Bytes noData = wav(1, 44100, 16, samples16({1}));
  noData.replace(36, 4, "dat4");
  Bytes noFmt = wav(1, 44100, 16, samples16({1}));
  noFmt.replace(12, 4, "fmt_");
  const std::vector<Case> cases = {
      {"short.wav", "RIFF\0\0\0\0WAV", {"Not a wave file: @"}},
      {"empty.wav", "", {"Not a wave file: @"}},
      {"aiff.wav", "FORM" + Bytes(40, 'x'), {"Not a wave file: @"}},
      {"nofmt.wav", noFmt, {"fmt tag not found in: @"}},
      {"float.wav", wav(1, 44100, 16, samples16({1}), 3), {"Not a PCM wave file: @"}},
      {"48k.wav", wav(2, 48000, 16, samples16({1, 1})), {"Channels 2 Bits 16 HZ 48000", "Illegal HZ"}},
      {"3ch.wav", wav(3, 44100, 16, samples16({1, 1, 1})), {"Channels 3 Bits 16 HZ 44100", "Illegal Channels"}},
      {"24bit.wav", wav(1, 22050, 24, "abc"), {"Channels 1 Bits 24 HZ 22050", "Illegal Bits"}},
      // rate is tested first: a file wrong in all three says only "Illegal HZ"
      {"all.wav", wav(0, 8000, 12, "ab"), {"Channels 0 Bits 12 HZ 8000", "Illegal HZ"}},
      {"nodata.wav", noData, {"Channels 1 Bits 16 HZ 44100", "data tag not found in: @"}},
      {"hdronly.wav", wav(1, 44100, 16, ""), {"Channels 1 Bits 16 HZ 44100", "File is missing data or corrupted: @"}},
  };
  for (const Case &c : cases) {
    std::string p = file(c.name, c.bytes);
    Lines expect;
    for (std::string l : c.lines) {
      size_t at = l.find('@');
      if (at != std::string::npos) l.replace(at, 1, p);
      expect.push_back(l);
    }
    fillSlot3();
    int ok = 7;
    EXPECT_EQ(load(p, &ok), expect) << c.name;
    EXPECT_EQ(ok, 0) << c.name;
    EXPECT_FALSE(isLoopFull(3)) << c.name;
  }
}

TEST_F(LoopStore, AFileThatCannotBeOpenedSaysSoWithoutABlank)
{
  fillSlot3();
  int ok;
  Lines out = load(dir + "/missing.wav", &ok);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(out, Lines{"Error opening file:" + dir + "/missing.wav"});
  EXPECT_FALSE(isLoopFull(3));
}

// A named pipe would block the reader (and the whole user interface) forever; a folder, a pipe
// or a device has no length to go by.
TEST_F(LoopStore, APipeOrAFolderIsRefusedWithoutWaiting)
{
  std::string fifo = dir + "/pipe.wav";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  written.push_back(fifo);
  fillSlot3();
  int ok;
  EXPECT_EQ(load(fifo, &ok), Lines{"Error determining file length:" + fifo});
  EXPECT_EQ(ok, 0);
  EXPECT_FALSE(isLoopFull(3));
  EXPECT_EQ(load(dir + "/", &ok), Lines{"Error determining file length:" + dir + "/"});
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(load("/dev/zero", &ok), Lines{"Error determining file length:/dev/zero"});
}

// A file shorter than its length said when it was measured (it shrank while being read).
TEST_F(LoopStore, ADataReadThatComesUpShortFailsAndFreesEverything)
{
  Bytes f = wav(1, 44100, 16, Bytes(600, '\x11'));  // longer than the header window
  std::string p = file("shrunk.wav", f);
  FILE *s = fopen(p.c_str(), "rb");
  fillSlot3();
  beginCapture();
  int ok = loadLoopStream(3, s, (long long)f.size() + 100, p.c_str());
  Lines out = endCapture();
  fclose(s);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(out, (Lines{"Channels 1 Bits 16 HZ 44100", "Error reading data from file: " + p}));
  EXPECT_FALSE(isLoopFull(3));

  // and a header window that comes up short
  std::string q = file("tiny.wav", wav(1, 44100, 16, samples16({1, 2})));
  s = fopen(q.c_str(), "rb");
  beginCapture();
  ok = loadLoopStream(3, s, 100, q.c_str());
  out = endCapture();
  fclose(s);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(out, Lines{"Error reading header from file: " + q});
}

// 600 MB of 8-bit 11025 Hz sound would be 4.8 GB in the slot: refused before any allocation.
// The file is sparse, so it costs no disk space.
TEST_F(LoopStore, AFileTooLongForASlotIsRefusedBeforeAllocating)
{
  std::string p = file("huge.wav", wav(1, 11025, 8, ""));
  ASSERT_EQ(truncate(p.c_str(), 600LL * 1024 * 1024), 0);
  fillSlot3();
  int ok;
  Lines out = load(p, &ok);
  EXPECT_EQ(ok, 0);
  EXPECT_EQ(out, (Lines{"Channels 1 Bits 8 HZ 11025", "Sample too long for a slot: " + p}));
  EXPECT_FALSE(isLoopFull(3));
}

// ---- A file from a program no one here wrote ---------------------------------------------------

// sox writes the WAV; sox also writes the same sound as raw samples, which we convert by the
// rules above and compare with what the reader stored.
static bool runSox(const std::string &args)
{
  std::string cmd = "sox " + args + " 2>/dev/null";
  return system(cmd.c_str()) == 0;
}

TEST_F(LoopStore, WavFilesWrittenBySoxLoadAsSoxDecodesThem)
{
  std::string w16 = dir + "/sox16.wav", r16 = dir + "/sox16.raw";
  std::string w8 = dir + "/sox8.wav", r8 = dir + "/sox8.raw";
  written.insert(written.end(), {w16, r16, w8, r8});
  if (!runSox("-n -r 22050 -c 2 -b 16 -e signed-integer " + w16 +
              " synth 0.05 sine 440 sine 660 gain -2"))
    GTEST_SKIP() << "sox is not installed";
  ASSERT_TRUE(runSox(w16 + " -t raw -e signed-integer -b 16 -L " + r16));
  ASSERT_TRUE(runSox("-n -r 11025 -c 1 -b 8 -e unsigned-integer " + w8 + " synth 0.05 square 300"));
  ASSERT_TRUE(runSox(w8 + " -t raw -e unsigned-integer -b 8 " + r8));

  auto slurp = [](const std::string &p) {
    FILE *f = fopen(p.c_str(), "rb");
    Bytes b;
    char c[4096];
    size_t n;
    while (f && (n = fread(c, 1, sizeof c, f)) > 0) b.append(c, n);
    if (f) fclose(f);
    return b;
  };
  int ok;
  Lines out = load(w16, &ok);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(out.front(), "Channels 2 Bits 16 HZ 22050");
  Bytes raw = slurp(r16);
  size_t frames = raw.size() / 4;
  ASSERT_GT(frames, 1000u);  // 0.05 s at 22050 Hz is 1102 frames
  std::vector<short> s = stored();
  ASSERT_EQ(s.size(), frames * 2);
  int nonzero = 0;
  for (size_t i = 0; i < frames; i++) {
    short l = short((unsigned char)raw[4 * i] | (unsigned char)raw[4 * i + 1] << 8);
    short r = short((unsigned char)raw[4 * i + 2] | (unsigned char)raw[4 * i + 3] << 8);
    short v = short((l + r) / 2);
    ASSERT_EQ(s[2 * i], v) << i;
    ASSERT_EQ(s[2 * i + 1], v) << i;
    nonzero += v != 0;
  }
  EXPECT_GT(nonzero, 1000);

  out = load(w8, &ok);
  ASSERT_EQ(ok, 1);
  EXPECT_EQ(out.front(), "Channels 1 Bits 8 HZ 11025");
  raw = slurp(r8);
  ASSERT_GT(raw.size(), 500u);
  // sox pads an odd data chunk with one byte; everything after the data tag is sound, so the
  // pad byte (and anything else sox put behind the data) is stored too, four times
  Bytes file8 = slurp(w8);
  size_t extra = file8.size() - (file8.find("data") + 8) - raw.size();
  EXPECT_LE(extra, 1u);
  s = stored();
  ASSERT_EQ(s.size(), (raw.size() + extra) * 4);
  for (size_t i = 0; i < raw.size() * 4; i++)
    ASSERT_EQ(s[i], ((unsigned char)raw[i / 4] - 128) * 256) << i;
}
