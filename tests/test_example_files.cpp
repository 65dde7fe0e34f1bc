// The example files the build makes (examples/make_examples.cpp), read back without running the
// program: the guitar cabinet's impulse response for a convolver plugin, and the plugin preset
// that loads it.
#include <gtest/gtest.h>
#include <math.h>
#include <sndfile.h>

#include <complex>
#include <vector>

#include "lv2/lv2host.h"
#include "tests/effects_rig.h"
#include "tests/lv2need.h"

using Lines = std::vector<std::string>;

// The power of x's spectrum at f Hz, in dB.
static double powerDb(const std::vector<float> &x, double f)
{
  std::complex<double> sum = 0;
  for (size_t k = 0; k < x.size(); k++)
    sum += (double)x[k] * std::polar(1.0, -2 * M_PI * f * (double)k / 44100);
  return 10 * log10(std::norm(sum) + 1e-30);
}

static double energy(const std::vector<float> &x, size_t from, size_t to)
{
  double e = 0;
  for (size_t i = from; i < to && i < x.size(); i++) e += (double)x[i] * x[i];
  return e;
}

// Mono 44100 Hz float, 20 to 40 ms long, sounding from its first millisecond (no gap before the
// speaker) and dying away by 40 dB over its length; unit energy; a cabinet's band: 1 to 3 kHz
// well above 30 Hz and far above 12 kHz.
TEST(ExampleFiles, CabinetImpulseIsAShortBandPassedDecay)
{
  SF_INFO info = {};
  SNDFILE *f = sf_open(QAF_EXAMPLES_DIR "/cab-4x12.wav", SFM_READ, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  std::vector<float> x((size_t)info.frames);
  EXPECT_EQ(sf_readf_float(f, x.data(), info.frames), info.frames);
  sf_close(f);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.samplerate, 44100);
  EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
  ASSERT_GE(x.size(), 882u);
  EXPECT_LE(x.size(), 1764u);
  const size_t ms = 44;
  EXPECT_GT(energy(x, 0, ms), 0.01);
  EXPECT_LT(energy(x, x.size() - 5 * ms, x.size()), 1e-4 * energy(x, 0, 5 * ms));
  EXPECT_NEAR(energy(x, 0, x.size()), 1.0, 1e-3);
  double mid = 0;
  for (double hz : {1000.0, 1500.0, 2000.0, 2500.0, 3000.0}) mid += powerDb(x, hz) / 5;
  EXPECT_GT(mid - powerDb(x, 30), 10) << "the box's low end is cut";
  EXPECT_GT(mid - powerDb(x, 12000), 30) << "the speakers' highs fall away";
}

// The plugin preset opens with both plugins built (at 64-frame passes, the convolver's least),
// the impulse found beside it, and plays: the drive and the cabinet pass a tone.
TEST(ExampleFiles, AmpCabPresetOpensWithItsPluginsAndPlays)
{
  NEED(SWH "foverdrive", "swh-lv2");
  NEED(X42 "convoLV2#Mono", "x42-plugins");
  Rig r(256);
  lv2SetSynchronousWork(true);
  Lines l = command("load " QAF_EXAMPLES_DIR "/amp-cab.lyo");
  takeNewestGraph();
  int plugins = 0;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->type == LV2_TYPE) {
      plugins++;
      EXPECT_FALSE(lv2IsMissing(MOD[s])) << lv2Uri(MOD[s]);
      if (lv2Uri(MOD[s]) == X42 "convoLV2#Mono") {
        EXPECT_EQ(lv2FilePath(MOD[s], 0), QAF_EXAMPLES_DIR "/cab-4x12.wav");
      }
    }
  EXPECT_EQ(plugins, 2);
  Samples in(8192);
  for (size_t i = 0; i < in.size(); i++) in[i] = (short)(8000 * sin(2 * M_PI * 196 * i / 44100.0));
  Samples out = r.run(in);
  double e = 0;
  for (size_t i = 4096; i < out.size(); i++) e += (double)out[i] * out[i];
  EXPECT_GT(sqrt(e / 4096), 500.0) << "the preset passes the tone";
}
