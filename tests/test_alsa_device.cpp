// The ALSA back end, for real and without sound hardware: the test writes an ALSA configuration
// of its own (a `file` PCM that reads a raw input file for capture, another that writes a raw
// output file for playback, joined with `asym` over the `null` PCM) and points ALSA at it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/devtest.h"

using Lines = std::vector<std::string>;

// The configuration, with ALSA told to read it and nothing else.
static void writeAlsaConfig(const TempDir &d)
{
  setenv("ALSA_CONFIG_PATH", makeAlsaConfig(d).c_str(), 1);
}

TEST(AlsaDevice, CarriesAKnownInputThroughThePatchSampleExact)
{
  // The file and null PCMs cannot be linked, so the two streams are started one after the other.
  // 1024 input frames = 32 passes of 32 frames. The output file starts with the two buffers of
  // silence that prime the playback (64 frames), then every input frame with its channels
  // swapped by the patch.
  TempDir d;
  writeAlsaConfig(d);
  std::vector<short> v;
  for (int f = 0; f < 1024; f++) {
    v.push_back((short)(f * 31 + 1));
    v.push_back((short)(-f * 17 - 5));
  }
  writeFile(d / "in.raw", s16Bytes(v));
  bootSwapPatch();
  alsa_pcm_name = "qaftest";
  beginCapture();
  ASSERT_EQ(alsaBackend.open(44100, 16, 2, 5, 128), 0);
  Lines log = endCapture();
  EXPECT_EQ(log, (Lines{"ALSA \"qaftest\": period 32 frames, buffer 160 frames, 64 frames primed, "
                        "capture and playback started one after the other"}));
  EXPECT_EQ(sound_opened, 1);
  EXPECT_EQ(buf_size, 128);
  EXPECT_EQ(runPasses(alsaBackend, 32), 32);
  alsaBackend.close();

  std::vector<short> got = samplesOf(readFile(d / "out.raw"));
  ASSERT_GE(got.size(), (size_t)2 * (64 + 1024));
  for (int f = 0; f < 64; f++) {
    ASSERT_EQ(got[2 * f], 0) << "primed frame " << f;
    ASSERT_EQ(got[2 * f + 1], 0) << "primed frame " << f;
  }
  for (int f = 0; f < 1024; f++) {
    ASSERT_EQ(got[2 * (64 + f)], v[2 * f + 1]) << "frame " << f;
    ASSERT_EQ(got[2 * (64 + f) + 1], v[2 * f]) << "frame " << f;
  }
  EXPECT_EQ(alsaBackend.xruns(), 0);
}

TEST(AlsaDevice, LargerBuffersKeepTheirSize)
{
  // -b 3: 1024-byte buffers, 256 frames a pass; the same sound comes through.
  TempDir d;
  writeAlsaConfig(d);
  std::vector<short> v;
  for (int f = 0; f < 512; f++) {
    v.push_back((short)(f - 300));
    v.push_back((short)(f * 2));
  }
  writeFile(d / "in.raw", s16Bytes(v));
  bootSwapPatch();
  sound_buffer_size = 1024;
  sound_chunk_size = 512;
  alsa_pcm_name = "qaftest";
  beginCapture();
  ASSERT_EQ(alsaBackend.open(44100, 16, 2, 5, 1024), 0);
  Lines log = endCapture();
  EXPECT_EQ(log, (Lines{"ALSA \"qaftest\": period 256 frames, buffer 1280 frames, 512 frames primed, "
                        "capture and playback started one after the other"}));
  EXPECT_EQ(runPasses(alsaBackend, 2), 2);
  alsaBackend.close();
  std::vector<short> got = samplesOf(readFile(d / "out.raw"));
  ASSERT_GE(got.size(), (size_t)2 * (512 + 512));
  for (int f = 0; f < 512; f++) {
    ASSERT_EQ(got[2 * (512 + f)], v[2 * f + 1]) << "frame " << f;
    ASSERT_EQ(got[2 * (512 + f) + 1], v[2 * f]) << "frame " << f;
  }
}

TEST(AlsaDevice, UnknownPcmIsReportedAndNothingIsOpen)
{
  TempDir d;
  writeAlsaConfig(d);
  alsa_pcm_name = "nosuchpcm";
  testing::internal::CaptureStderr();
  EXPECT_EQ(alsaBackend.open(44100, 16, 2, 5, 128), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ALSA: cannot open \"nosuchpcm\" for capture: No such file or directory\n"), std::string::npos) << err;
  EXPECT_EQ(sound_opened, 0);
  // The audio thread's first read then fails, which ends the run.
  testing::internal::CaptureStderr();
  EXPECT_EQ(alsaBackend.read(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "reading from audio card: no ALSA device is open\n");
}

TEST(AlsaDevice, ASecondOpenIsRefused)
{
  TempDir d;
  writeAlsaConfig(d);
  writeFile(d / "in.raw", Bytes(4096, 0));
  alsa_pcm_name = "qaftest";
  beginCapture();
  ASSERT_EQ(alsaBackend.open(44100, 16, 2, 5, 128), 0);
  endCapture();
  testing::internal::CaptureStderr();
  EXPECT_EQ(alsaBackend.open(44100, 16, 2, 5, 128), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Oops. Sound already opened, pal ! What the heck are ya doin' ?\n");
  bootGraph();
  EXPECT_EQ(runPasses(alsaBackend, 4), 4) << "the first stays usable";
  alsaBackend.close();
}

TEST(AlsaDevice, AfterShutdownsInterruptNoReadStarts)
{
  TempDir d;
  writeAlsaConfig(d);
  writeFile(d / "in.raw", Bytes(4096, 0));
  alsa_pcm_name = "qaftest";
  beginCapture();
  ASSERT_EQ(alsaBackend.open(44100, 16, 2, 5, 128), 0);
  endCapture();
  bootGraph();
  EXPECT_EQ(runPasses(alsaBackend, 2), 2);
  alsaBackend.interrupt();
  testing::internal::CaptureStderr();
  EXPECT_EQ(alsaBackend.read(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a quiet end, not a device failure";
  alsaBackend.close();
}
