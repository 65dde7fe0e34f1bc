// The sound-file back end: what it makes of WAV files of every width, what it refuses, the output
// file it writes, how the end of the input ends the run, and renders at other rates and in other
// formats that come back as they went in.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/devtest.h"

using Lines = std::vector<std::string>;

static int openFile(const std::string &in, const std::string &out, int size = 128)
{
  wav_in_path = in;
  wav_out_path = out;
  return wavBackend.open(44100, 16, 2, 5, size);
}

// Closes the render, its lines unseen.
static void closeQuietly()
{
  beginCapture();
  testing::internal::CaptureStderr();
  wavBackend.close();
  testing::internal::GetCapturedStderr();
  endCapture();
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
  closeQuietly();
}

TEST(WavInput, EightBitMonoIsWidenedExactlyOntoBothChannels)
{
  // Unsigned 8-bit b becomes (b - 128) * 256: 0 -> -32768, 128 -> 0, 255 -> 32512, 129 -> 256.
  TempDir d;
  WavSpec w;
  w.bits = 8;
  w.channels = 1;
  Bytes data = {0, 128, 255, 129, 1, 2, 3, 4};
  const short val[8] = {-32768, 0, 32512, 256, -32512, -32256, -32000, -31744};
  for (int i = 0; i < 24; i++) data.push_back(128);
  writeFile(d / "in.wav", makeWav(w, data));
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  endCapture();
  ASSERT_EQ(wavBackend.read(), 0);
  std::vector<short> expect;
  for (int i = 0; i < 32; i++) {
    expect.push_back(i < 8 ? val[i] : 0);
    expect.push_back(i < 8 ? val[i] : 0);
  }
  EXPECT_EQ(bufSamples(32), expect);
  closeQuietly();
}

TEST(WavInput, EightBitStereoKeepsItsTwoChannels)
{
  // Frames (L, R) = (200, 56): (72 * 256, -72 * 256) = (18432, -18432).
  TempDir d;
  WavSpec w;
  w.bits = 8;
  Bytes data;
  for (int i = 0; i < 32; i++) {
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
  closeQuietly();
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
  beginCapture();
  wavBackend.close();
  endCapture();
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(passes, 1);
  Bytes out = readFile(d / "out.wav");
  ASSERT_EQ(out.size(), 44u + 128u);
  EXPECT_EQ(samplesOf(out, 44), v);
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
  beginCapture();
  wavBackend.close();
  endCapture();
  testing::internal::GetCapturedStderr();
  Bytes out = readFile(d / "out.wav");
  EXPECT_EQ(out.size(), 44u + 256u);
}

// ---- What it refuses -----------------------------------------------------------------------------

// The names in the folder, but those of the inputs.
static std::vector<std::string> outputsIn(const TempDir &d)
{
  std::vector<std::string> names;
  std::string list = d / "";
  FILE *p = popen(("ls -A '" + list + "'").c_str(), "r");
  char line[512];
  while (p && fgets(line, sizeof line, p)) {
    std::string n(line, strcspn(line, "\n"));
    if (n.rfind("in.", 0) != 0) names.push_back(n);
  }
  if (p) pclose(p);
  return names;
}

struct Refusal {
  const char *what;
  std::string input;       // the input file's bytes
  const char *outName;
  const char *about;       // the file the line names
  const char *message;     // the start of the error line after "<path>: "
};

TEST(WavInput, BadInputsAndOutputNamesAreRefusedInOneLineAndLeaveNoFile)
{
  TempDir d;
  Bytes wav = makeWav(WavSpec(), s16Bytes(std::vector<short>(600, 1)));
  WavSpec three;
  three.channels = 3;
  Bytes threeCh = makeWav(three, Bytes(600, 1));
  Bytes empty = makeWav(WavSpec(), Bytes());
  // A FLAC file cut off in the middle of its sound.
  ASSERT_TRUE(writeSound(d / "whole.flac", sines(48000, 2, 1.0, SF_FORMAT_FLAC | SF_FORMAT_PCM_24)));
  Bytes flac = readFile(d / "whole.flac");
  unlink((d / "whole.flac").c_str());
  flac.resize(flac.size() / 2);
  std::vector<Refusal> cases = {
      {"3 channels", std::string(threeCh.begin(), threeCh.end()), "out.wav", "in",
       "3 channels; QAF reads mono or stereo\n"},
      {"not sound", std::string(100, 'x'), "out.wav", "in", "not a sound file QAF can read ("},
      {"no frames", std::string(empty.begin(), empty.end()), "out.wav", "in",
       "the file holds no sound\n"},
      {"cut-off FLAC", std::string(flac.begin(), flac.end()), "out.wav", "in", "damaged"},
      {"unknown output", std::string(wav.begin(), wav.end()), "out.mp4", "out",
       "QAF writes .wav, .flac, .ogg, .aiff, .w64 or .caf files\n"},
  };
  for (const Refusal &c : cases) {
    writeFile(d / "in.x", Bytes(c.input.begin(), c.input.end()));
    testing::internal::CaptureStderr();
    int r = openFile(d / "in.x", d / c.outName);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -1) << c.what;
    std::string named = std::string(c.about) == "in" ? d / "in.x" : d / c.outName;
    EXPECT_EQ(err.rfind(named + ": " + c.message, 0), 0u) << c.what << ": " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << c.what << ": " << err;
    EXPECT_EQ(sound_opened, 0) << c.what;
    EXPECT_EQ(outputsIn(d), std::vector<std::string>()) << c.what;
  }
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

TEST(WavRender, PatchedOutputHasTheInputsLengthAndAppearsCompleteAtClose)
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
  EXPECT_EQ(access((d / "out.wav").c_str(), F_OK), -1) << "nothing under the name until the end";
  beginCapture();
  wavBackend.close();
  log = endCapture();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log, Lines{"Wrote " + d / "out.wav" + " (44100 Hz, 16-bit, stereo, 0.0 s)"});

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
  EXPECT_EQ(outputsIn(d), Lines{"out.wav"}) << "no temporary file is left";
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

TEST(WavRender, ARunAbandonedBeforeItsFirstPassLeavesNoFile)
{
  TempDir d;
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(std::vector<short>(64, 3))));
  beginCapture();
  ASSERT_EQ(openFile(d / "in.wav", d / "out.wav"), 0);
  wavDiscardRender();
  wavBackend.close();
  Lines log = endCapture();
  EXPECT_EQ(log.size(), 1u) << "only the Rendering line";
  EXPECT_EQ(outputsIn(d), Lines{});
}

TEST(WavRender, AnInputDamagedPartWayFailsTheRunThereAndLeavesNoFile)
{
  // Its header and its end are sound, so it opens; the decoder, running ahead of the render,
  // meets the damage half-way: the render stops (by then, or as soon as it hears of it), and
  // close says why and writes nothing.
  TempDir d;
  ASSERT_TRUE(writeSound(d / "in.flac", sines(44100, 2, 4.0, SF_FORMAT_FLAC | SF_FORMAT_PCM_16)));
  Bytes flac = readFile(d / "in.flac");
  std::fill(flac.begin() + flac.size() / 2, flac.begin() + flac.size() / 2 + 200, 0x55);
  writeFile(d / "in.flac", flac);
  bootGraph();
  beginCapture();
  ASSERT_EQ(openFile(d / "in.flac", d / "out.wav", 4096), 0);
  testing::internal::CaptureStderr();
  long passes = runPasses(wavBackend);
  wavBackend.close();
  std::string err = testing::internal::GetCapturedStderr();
  endCapture();
  EXPECT_LT(passes, 4 * 44100 / 1024 * 3 / 4) << "not to the end";
  EXPECT_NE(err.find("\n" + d / "in.flac" + ": damaged"), std::string::npos) << err;
  EXPECT_EQ(sound_run_failed.load(), 1);
  EXPECT_EQ(outputsIn(d), Lines{});
  sound_run_failed = 0;
}

// ---- Other rates, widths and formats --------------------------------------------------------------

// Error energy against signal energy, in dB, of `got` channel gc against `ref` channel rc, with
// got read `lag` frames later than ref.
static double errorDb(const Sound &got, int gc, const Sound &ref, int rc, long long lag)
{
  double e = 0, s = 0;
  for (long long f = 0; f < ref.frames(); f++) {
    long long g = f + lag;
    double r = ref.x[(size_t)(f * ref.channels + rc)];
    double v = g >= 0 && g < got.frames() ? got.x[(size_t)(g * got.channels + gc)] : 0.0;
    e += (v - r) * (v - r);
    s += r * r;
  }
  return 10 * log10(e / s);
}

struct RoundTrip {
  const char *what;
  Sound in;
  const char *inName, *outName;
  int outSubtype;  // what the output is written as
};

TEST(FileRender, OtherRatesWidthsAndFormatsComeBackAsTheyWentIn)
{
  // Through Line In wired straight to Line Out: the output has the input's rate and length, and
  // its sound is the input's (as libsndfile decodes it) within -80 dB, with no delay. The sound
  // is converted to 44100 Hz 16-bit and back, so what is left is the 16-bit rounding (-87.5 dB
  // at these levels when this was written) and the converters' passband ripple; 8 bits at
  // 32 kHz came back exactly.
  std::vector<RoundTrip> cases = {
      {"48 kHz 24-bit FLAC", sines(48000, 2, 1.5, SF_FORMAT_FLAC | SF_FORMAT_PCM_24), "in.flac",
       "out.flac", SF_FORMAT_PCM_24},
      {"96 kHz float WAV", sines(96000, 2, 1.5, SF_FORMAT_WAV | SF_FORMAT_FLOAT), "in.wav",
       "out.wav", SF_FORMAT_FLOAT},
      {"22050 Hz mono Ogg Vorbis", sines(22050, 1, 1.5, SF_FORMAT_OGG | SF_FORMAT_VORBIS),
       "in.ogg", "out.wav", SF_FORMAT_PCM_16},
      {"32 kHz 8-bit AIFF", sines(32000, 2, 1.0, SF_FORMAT_AIFF | SF_FORMAT_PCM_S8), "in.aiff",
       "out.aiff", SF_FORMAT_PCM_S8},
  };
  for (RoundTrip &c : cases) {
    TempDir d;
    ASSERT_TRUE(writeSound(d / c.inName, c.in)) << c.what;
    Sound ref = readSound(d / c.inName);
    ASSERT_GT(ref.frames(), 0) << c.what;
    sUID = 100;  // Line In and Line Out are 100 and 101 again
    bootGraph();
    command("C 100-101 A A");
    command("C 100-101 B B");
    beginCapture();
    ASSERT_EQ(openFile(d / c.inName, d / c.outName), 0) << c.what;
    testing::internal::CaptureStderr();
    runPasses(wavBackend);
    wavBackend.close();
    testing::internal::GetCapturedStderr();
    endCapture();
    Sound out = readSound(d / c.outName);
    ASSERT_EQ(out.channels, 2) << c.what;
    EXPECT_EQ(out.rate, ref.rate) << c.what;
    EXPECT_EQ(out.frames(), ref.frames()) << c.what;
    EXPECT_EQ(out.format & SF_FORMAT_SUBMASK, c.outSubtype) << c.what;
    for (int ch = 0; ch < 2; ch++) {
      int rc = ref.channels == 1 ? 0 : ch;
      // The latency: the lag of least error within 64 frames either way.
      long long best = 0;
      for (long long lag = -64; lag <= 64; lag++)
        if (errorDb(out, ch, ref, rc, lag) < errorDb(out, ch, ref, rc, best)) best = lag;
      EXPECT_EQ(best, 0) << c.what << ", channel " << ch;
      EXPECT_LT(errorDb(out, ch, ref, rc, 0), -80.0) << c.what << ", channel " << ch;
    }
  }
}

TEST(FileRender, RateOptionSetsTheOutputRateAndTheLengthFollows)
{
  // 1.5 s at 44100 Hz is 66150 frames: at 48000 Hz 72000, at 22050 Hz 33075. A rate Vorbis
  // cannot encode is refused before anything is rendered.
  struct Case {
    int rate;
    const char *outName;
    long long frames;  // -1: refused
  };
  const Case cases[] = {{48000, "out.flac", 72000}, {22050, "out.wav", 33075},
                        {8000, "out.ogg", 12000}, {384000, "out.ogg", -1}};
  for (const Case &c : cases) {
    TempDir d;
    ASSERT_TRUE(writeSound(d / "in.wav", sines(44100, 2, 1.5, SF_FORMAT_WAV | SF_FORMAT_PCM_16)));
    sUID = 100;
    bootGraph();
    command("C 100-101 A A");
    wav_out_rate = c.rate;
    beginCapture();
    testing::internal::CaptureStderr();
    int r = openFile(d / "in.wav", d / c.outName);
    if (r == 0) {
      runPasses(wavBackend);
      wavBackend.close();
    }
    std::string err = testing::internal::GetCapturedStderr();
    endCapture();
    wav_out_rate = 0;
    if (c.frames < 0) {
      EXPECT_EQ(r, -1) << c.rate;
      EXPECT_EQ(err.rfind(d / c.outName + ": ", 0), 0u) << err;
      EXPECT_EQ(outputsIn(d), Lines{}) << c.rate;
      continue;
    }
    Sound out = readSound(d / c.outName);
    EXPECT_EQ(out.rate, c.rate);
    EXPECT_EQ(out.frames(), c.frames) << c.rate;
  }
}
