// The WAV file back end: what it reads from every kind of WAV the sample loader takes, what it
// refuses, the output file it writes, and how the end of the input ends the run.
#include <gtest/gtest.h>

#include "tests/devtest.h"

using Lines = std::vector<std::string>;

static int openFile(const std::string &in, const std::string &out, int size = 128)
{
  wav_in_path = in;
  wav_out_path = out;
  return wavBackend.open(44100, 16, 2, 5, size);
}

// The frames one read put into the device buffer, as left/right pairs.
static std::vector<short> bufSamples(int frames)
{
  const short *s = (const short *)buf;
  return std::vector<short>(s, s + 2 * frames);
}

// ---- What the input becomes --------------------------------------------------------------------

TEST(WavInput, SixteenBitStereoAt44100PassesUnchanged)
{
  TempDir d;
  std::vector<short> v;
  for (int i = 0; i < 64; i++) v.push_back((short)(i % 2 ? -1000 * i : 1000 * i));
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(v)));
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  endCapture();
  ASSERT_EQ(wavBackend.read(), 0);
  EXPECT_EQ(bufSamples(32), v);
}

TEST(WavInput, EightBitMonoAt11025IsHeldFourFramesOnBothChannels)
{
  // Unsigned 8-bit b becomes (b - 128) * 256: 0 -> -32768, 128 -> 0, 255 -> 32512, 129 -> 256.
  // 11025 Hz is a quarter of 44100, so each input frame fills four output frames.
  TempDir d;
  WavSpec w;
  w.rate = 11025;
  w.bits = 8;
  w.channels = 1;
  Bytes data = {0, 128, 255, 129, 1, 2, 3, 4};
  writeFile(d / "in.wav", makeWav(w, data));
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  endCapture();
  ASSERT_EQ(wavBackend.read(), 0);
  std::vector<short> expect;
  const short val[8] = {-32768, 0, 32512, 256, -32512, -32256, -32000, -31744};
  for (int i = 0; i < 8; i++)
    for (int k = 0; k < 4; k++) {
      expect.push_back(val[i]);
      expect.push_back(val[i]);
    }
  EXPECT_EQ(bufSamples(32), expect);
}

TEST(WavInput, SixteenBitMonoAt22050IsHeldTwoFrames)
{
  TempDir d;
  WavSpec w;
  w.rate = 22050;
  w.channels = 1;
  std::vector<short> v;
  for (int i = 0; i < 16; i++) v.push_back((short)(300 * i - 2000));
  writeFile(d / "in.wav", makeWav(w, s16Bytes(v)));
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  endCapture();
  ASSERT_EQ(wavBackend.read(), 0);
  std::vector<short> got = bufSamples(32);
  for (int f = 0; f < 32; f++) {
    EXPECT_EQ(got[2 * f], v[f / 2]) << "frame " << f;
    EXPECT_EQ(got[2 * f + 1], v[f / 2]) << "frame " << f;
  }
}

TEST(WavInput, EightBitStereoKeepsItsTwoChannels)
{
  // Frames (L, R) = (200, 56): (72 * 256, -72 * 256) = (18432, -18432), held twice at 22050 Hz.
  TempDir d;
  WavSpec w;
  w.rate = 22050;
  w.bits = 8;
  Bytes data;
  for (int i = 0; i < 16; i++) {
    data.push_back(200);
    data.push_back(56);
  }
  writeFile(d / "in.wav", makeWav(w, data));
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  endCapture();
  ASSERT_EQ(wavBackend.read(), 0);
  std::vector<short> got = bufSamples(32);
  for (int f = 0; f < 32; f++) {
    EXPECT_EQ(got[2 * f], 18432);
    EXPECT_EQ(got[2 * f + 1], -18432);
  }
}

TEST(WavInput, ChunksBeforeFmtAreSkippedAndChunksAfterDataAreNotSound)
{
  // A JUNK chunk before "fmt " and a LIST chunk after the data: only the 32 data frames play,
  // then the run ends; the LIST bytes never reach the output.
  TempDir d;
  WavSpec w;
  addTag(w.before, "JUNK");
  addLE(w.before, 8, 4);
  for (int i = 0; i < 8; i++) w.before.push_back(0xEE);
  addTag(w.after, "LIST");
  addLE(w.after, 64, 4);
  for (int i = 0; i < 64; i++) w.after.push_back(0x7F);
  std::vector<short> v(64, 1234);
  writeFile(d / "in.wav", makeWav(w, s16Bytes(v)));
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  endCapture();
  testing::internal::CaptureStderr();
  long passes = runPasses(wavBackend);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(passes, 1);
  Bytes out = readFile(d / "out.wav");
  ASSERT_EQ(out.size(), 44u + 128u);
  EXPECT_EQ(samplesOf(out, 44), v);
  wavBackend.close();
}

TEST(WavInput, DataSizeOfZeroMeansTheSoundRunsToTheEndOfTheFile)
{
  // A recorder that never came back to fill in the size leaves 0 there.
  TempDir d;
  WavSpec w;
  w.declared = 0;
  std::vector<short> v(128, -77);
  writeFile(d / "in.wav", makeWav(w, s16Bytes(v)));
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  endCapture();
  testing::internal::CaptureStderr();
  EXPECT_EQ(runPasses(wavBackend), 2);
  testing::internal::GetCapturedStderr();
  wavBackend.close();
  Bytes out = readFile(d / "out.wav");
  EXPECT_EQ(out.size(), 44u + 256u);
}

// ---- What it refuses -----------------------------------------------------------------------------

struct Refusal {
  const char *what;
  WavSpec format;
  const char *message;  // the end of the error line, after "<path>: "
};

TEST(WavInput, FilesTheLoaderRefusesAreRefusedWithTheReason)
{
  TempDir d;
  std::vector<Refusal> cases;
  WavSpec w;
  w.formatTag = 3;
  cases.push_back({"float", w, "not a PCM wave file"});
  w = WavSpec();
  w.rate = 48000;
  cases.push_back({"48 kHz", w, "48000 Hz; QAF reads 11025, 22050 or 44100 Hz"});
  w = WavSpec();
  w.bits = 24;
  cases.push_back({"24-bit", w, "24 bits per sample; QAF reads 8 or 16"});
  w = WavSpec();
  w.channels = 3;
  cases.push_back({"3 channels", w, "3 channels; QAF reads mono or stereo"});
  for (const Refusal &c : cases) {
    writeFile(d / "in.wav", makeWav(c.format, Bytes(600, 1)));
    testing::internal::CaptureStderr();
    int r = openFile(d / "in.wav", d / "out.wav");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -1) << c.what;
    EXPECT_EQ(err, d / "in.wav" + ": " + c.message + "\n") << c.what;
    EXPECT_EQ(sound_opened, 0) << c.what;
  }
  Bytes notWav = makeWav(WavSpec(), Bytes(64, 0));
  memcpy(notWav.data(), "RIFX", 4);
  writeFile(d / "in.wav", notWav);
  testing::internal::CaptureStderr();
  EXPECT_EQ(openFile(d / "in.wav", d / "out.wav"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), d / "in.wav" + ": not a wave file\n");
  EXPECT_EQ(access((d / "out.wav").c_str(), F_OK), -1) << "no output file for a refused input";
}

TEST(WavInput, MissingInputFileNamesTheSystemReason)
{
  TempDir d;
  testing::internal::CaptureStderr();
  EXPECT_EQ(openFile(d / "none.wav", d / "out.wav"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "opening input file " + d / "none.wav" + ": No such file or directory\n");
}

TEST(WavOutput, RefusesToWriteOverItsOwnInput)
{
  TempDir d;
  Bytes in = makeWav(WavSpec(), s16Bytes(std::vector<short>(64, 5)));
  writeFile(d / "in.wav", in);
  testing::internal::CaptureStderr();
  EXPECT_EQ(openFile(d / "in.wav", d / "../" + d.path.substr(5) + "/in.wav"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            d / "../" + d.path.substr(5) + "/in.wav: the output file is the input file\n");
  EXPECT_EQ(readFile(d / "in.wav"), in) << "the input is untouched";
}

TEST(WavOutput, UnwritableOutputIsRefusedAtOpen)
{
  TempDir d;
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(std::vector<short>(64, 5))));
  testing::internal::CaptureStderr();
  EXPECT_EQ(openFile(d / "in.wav", d / "no/such/dir/out.wav"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "creating output file " + d / "no/such/dir/out.wav" + ": No such file or directory\n");
  EXPECT_EQ(sound_opened, 0);
}

// ---- A whole run -------------------------------------------------------------------------------

TEST(WavRender, PatchedOutputHasTheInputsLengthAndACompleteHeaderWhenTheInputEnds)
{
  // 1000 frames at 32 frames a pass: 31 whole passes and one of 8 frames. The swap patch puts
  // input frame (L, R) out as (R, L).
  TempDir d;
  std::vector<short> v;
  for (int f = 0; f < 1000; f++) {
    v.push_back((short)(f * 7));
    v.push_back((short)(-f * 3 - 1));
  }
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(v)));
  bootSwapPatch();
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  Lines log = endCapture();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "Rendering " + d / "in.wav" + " (44100 Hz, 16-bit, stereo, 0.0 s) to " +
                        d / "out.wav");
  testing::internal::CaptureStderr();
  EXPECT_EQ(runPasses(wavBackend), 32);
  std::string err = testing::internal::GetCapturedStderr();

  // The header is complete as soon as the failed read has returned, before any close.
  Bytes out = readFile(d / "out.wav");
  ASSERT_EQ(out.size(), 44u + 4000u);
  EXPECT_EQ(memcmp(out.data(), "RIFF", 4), 0);
  EXPECT_EQ(le32(out, 4), 36u + 4000u);
  EXPECT_EQ(memcmp(out.data() + 8, "WAVEfmt ", 8), 0);
  EXPECT_EQ(le32(out, 24), 44100u);
  EXPECT_EQ(out[22], 2);   // channels
  EXPECT_EQ(out[34], 16);  // bits
  EXPECT_EQ(memcmp(out.data() + 36, "data", 4), 0);
  EXPECT_EQ(le32(out, 40), 4000u);
  std::vector<short> got = samplesOf(out, 44);
  ASSERT_EQ(got.size(), v.size());
  for (int f = 0; f < 1000; f++) {
    ASSERT_EQ(got[2 * f], v[2 * f + 1]) << "frame " << f;
    ASSERT_EQ(got[2 * f + 1], v[2 * f]) << "frame " << f;
  }
  // The last thing on the error stream is the final speed.
  ASSERT_GE(err.size(), 2u);
  size_t last = err.rfind('\r');
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(err.substr(last + 1, 22), "Rendered 0.0 s of soun") << err;
  EXPECT_EQ(err.back(), '\n');
  wavBackend.close();
  EXPECT_EQ(readFile(d / "out.wav").size(), 44u + 4000u) << "closing afterwards changes nothing";
}

TEST(WavRender, StoppedBeforeTheEndLeavesAPlayableFileOfWhatWasRendered)
{
  TempDir d;
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(std::vector<short>(2 * 4410, 9))));
  bootSwapPatch();
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav", 1024), 0);
  endCapture();
  testing::internal::CaptureStderr();
  EXPECT_EQ(runPasses(wavBackend, 3), 3);
  wavBackend.close();
  testing::internal::GetCapturedStderr();
  Bytes out = readFile(d / "out.wav");
  ASSERT_EQ(out.size(), 44u + 3 * 1024u);
  EXPECT_EQ(le32(out, 4), 36u + 3 * 1024u);
  EXPECT_EQ(le32(out, 40), 3 * 1024u);
}

TEST(WavRender, ASecondOpenIsRefusedAndLeavesTheFirstAlone)
{
  TempDir d;
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(std::vector<short>(64, 3))));
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  endCapture();
  testing::internal::CaptureStderr();
  EXPECT_EQ(openFile(d / "in.wav", d / "other.wav"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Oops. Sound already opened, pal ! What the heck are ya doin' ?\n");
  EXPECT_EQ(access((d / "other.wav").c_str(), F_OK), -1);
  EXPECT_EQ(wavBackend.read(), 0);
  testing::internal::CaptureStderr();
  wavBackend.close();
  testing::internal::GetCapturedStderr();
}

TEST(WavRender, ShutdownsInterruptStopsTheRenderAndCloseCompletesTheFile)
{
  TempDir d;
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(std::vector<short>(2 * 1024, 9))));
  bootGraph();
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  endCapture();
  testing::internal::CaptureStderr();
  EXPECT_EQ(runPasses(wavBackend, 5), 5);
  wavBackend.interrupt();
  EXPECT_EQ(wavBackend.read(), -1);
  wavBackend.close();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("reading"), std::string::npos) << err;
  Bytes out = readFile(d / "out.wav");
  ASSERT_EQ(out.size(), 44u + 5 * 128u);
  EXPECT_EQ(le32(out, 40), 5 * 128u);
}
