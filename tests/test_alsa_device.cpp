// The ALSA back end, for real and without sound hardware: the test writes an ALSA configuration
// of its own (a `file` PCM that reads a raw input file for capture, another that writes a raw
// output file for playback, joined with `asym` over the `null` PCM) and points ALSA at it.
#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>

#include <algorithm>

#include "audio/rateBridge.h"
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

// A device that takes one rate alone, not 44100 Hz (a plug over a slave at that rate, with ALSA's
// resampling turned down), opens at that rate and is converted both ways: 220 Hz on the left and
// 330 Hz on the right, captured at the device's rate, come back swapped by the patch, in tune
// (zero crossings, within 0.01 %), at full level, with no gap or repeated block (no step steeper
// than the sine's own, every period read written once), as late as the two lines tell.
class AlsaRates : public testing::TestWithParam<std::pair<unsigned, int>> {};  // rate, pass bytes

TEST_P(AlsaRates, ADeviceThatRefuses44100HzIsConvertedBothWays)
{
  const unsigned rate = GetParam().first;
  const int bytes = GetParam().second;
  TempDir d;
  setenv("ALSA_CONFIG_PATH", makeAlsaConfig(d, false, rate).c_str(), 1);
  const double hz[2] = {220.0, 330.0};
  std::vector<short> v;
  for (unsigned f = 0; f < 2 * rate; f++)
    for (double h : hz) v.push_back((short)lrint(16384 * sin(2 * M_PI * h * f / rate)));
  writeFile(d / "in.raw", s16Bytes(v));
  bootSwapPatch();
  sound_buffer_size = bytes;
  chooseSoundDevice(soundDeviceChoice{DEV_ALSA, "qaftest", ""});  // it tells the round trip
  beginCapture();
  ASSERT_EQ(alsaBackend.open(44100, 16, 2, 5, bytes), 0);
  Lines log = endCapture();
  ASSERT_EQ(log.size(), 2u);
  int added = 0, end = 0;
  double ms = 0;
  long period = 0, primed = 0;
  std::string line = "ALSA \"qaftest\" runs at " + std::to_string(rate) + " Hz: QAF runs at 44100 "
                     "Hz and converts both ways, adding %d frames (%lf ms) of latency%n";
  ASSERT_EQ(sscanf(log[0].c_str(), line.c_str(), &added, &ms, &end), 2) << log[0];
  EXPECT_EQ(end, (int)log[0].size()) << log[0];
  EXPECT_NEAR(ms, added * 1000.0 / rate, 0.005);
  ASSERT_EQ(sscanf(log[1].c_str(), "ALSA \"qaftest\": period %ld frames, buffer %*d frames, %ld",
                   &period, &primed), 2) << log[1];
  EXPECT_EQ(period, lround(bytes / 4 * rate / 44100.0)) << "a period as long as a pass";
  char rt[40];
  snprintf(rt, sizeof rt, " round trip %.1f ms", (primed + added) * 1000.0 / rate);
  Lines status = command("status");
  ASSERT_FALSE(status.empty());
  EXPECT_NE(status[0].find(rt), std::string::npos) << status[0];

  // A second and a half of passes. The last period read is written after its last pass: not
  // yet, while a whole pass waits.
  long passes = lround(1.5 * 44100 / (bytes / 4));
  ASSERT_EQ(runPasses(alsaBackend, passes), passes);
  long unwritten = rateBridgePassWaiting() ? period : 0;
  alsaBackend.close();
  std::vector<short> got = samplesOf(readFile(d / "out.raw"));
  long read = (long)readFile(d / "captured.raw").size() / 4;
  ASSERT_EQ((long)got.size(), 2 * (primed + read - unwritten)) << "a period lost or written twice";
  for (int ch = 0; ch < 2; ch++) {
    double want = hz[1 - ch], cycle = rate / want;
    std::vector<double> ups;  // rising zero crossings, placed between frames
    double steepest = 0, peak = 0;
    for (size_t i = rate / 10; 2 * i + 1 < got.size(); i++) {
      double a = got[2 * i - 2 + ch] / 32768.0, b = got[2 * i + ch] / 32768.0;
      if (a < 0 && b >= 0) ups.push_back((double)i - 1 + a / (a - b));
      steepest = std::max(steepest, fabs(b - a));
      peak = std::max(peak, fabs(b));
    }
    ASSERT_GT(ups.size(), 100u) << "channel " << ch;
    EXPECT_NEAR((ups.size() - 1) * (double)rate / (ups.back() - ups.front()), want, want * 1e-4);
    EXPECT_LT(steepest, 0.5 * 2 * M_PI / cycle * 1.05) << "a gap, channel " << ch;
    EXPECT_NEAR(peak, 0.5, 0.01) << "channel " << ch;
    // The input rises through zero at whole cycles from its first frame.
    double off = fabs(fmod(ups[0] - (double)(primed + added), cycle));
    EXPECT_LT(std::min(off, cycle - off), 2.0) << "channel " << ch << ", told " << primed + added;
  }
}

INSTANTIATE_TEST_SUITE_P(Devices, AlsaRates,
                         testing::Values(std::make_pair(48000u, 128), std::make_pair(48000u, 1024),
                                         std::make_pair(96000u, 128), std::make_pair(22050u, 256)),
                         [](const testing::TestParamInfo<std::pair<unsigned, int>> &i) {
                           return "At" + std::to_string(i.param.first) + "Pass" +
                                  std::to_string(i.param.second / 4);
                         });

// Refused, with nothing open: a device with no rate from 22050 to 192000 Hz, and one at a rate in
// no simple ratio to 44100 Hz.
TEST(AlsaDevice, ADeviceAtARateOutOfReachIsRefused)
{
  const std::pair<unsigned, std::string> cases[] = {
      {8000, "ALSA capture: cannot set a rate from 22050 to 192000 Hz: Invalid argument\n"},
      {44056, "ALSA \"qaftest\" runs at 44056 Hz: QAF cannot convert that rate\n"}};
  for (const auto &c : cases) {
    TempDir d;
    setenv("ALSA_CONFIG_PATH", makeAlsaConfig(d, false, c.first).c_str(), 1);
    writeFile(d / "in.raw", Bytes(4096, 0));
    alsa_pcm_name = "qaftest";
    testing::internal::CaptureStderr();
    beginCapture();
    EXPECT_EQ(alsaBackend.open(44100, 16, 2, 5, 128), -1);
    EXPECT_TRUE(endCapture().empty()) << c.first;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.second);
    EXPECT_EQ(sound_opened, 0);
  }
}
