// Distort, Tone and Compressor through real passes. Spot values are worked out by hand from each
// module's arithmetic (the note by each says how); long streams are checked against a short
// per-sample model written from the algorithm's description, at two buffer sizes, so that the
// state carried from chunk to chunk is crossed at different places.
#include <math.h>
#include <stdint.h>

#include "modules/shaping.h"
#include "tests/effects_rig.h"

enum { DISTORT = 4, TONE = 7, COMP = 17 };

class Shaping : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(BufferSizes, Shaping, ::testing::ValuesIn(twoBufferSizes()));
// Long streams against the models, over many settings, at chunk sizes across the block edges.
class ShapingModels : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(BlockEdges, ShapingModels, ::testing::ValuesIn(blockEdgeBufferSizes()));

// A varied test signal: a slow sweep with full-scale spikes and runs of silence.
static Samples testSignal(size_t len)
{
  Samples s(len);
  for (size_t i = 0; i < len; i++) {
    long v = (long)(12000 * sin(i * 0.05) + 9000 * sin(i * 0.31));
    if (i % 97 == 13) v = 32767;
    if (i % 89 == 40) v = -32768;
    if ((i / 150) % 4 == 3) v = (i % 3) - 1;  // near-silence
    s[i] = (short)v;
  }
  return s;
}

// ---- Distort ----------------------------------------------------------------------------

TEST(DistortDefaults, DriveAndLevelSetSatLeftAtZeroAndNoBlockAllocated)
{
  Rig r(128);
  int d = r.add(DISTORT);
  EXPECT_EQ(MOD[d]->parm[0], 50.0f);
  EXPECT_EQ(MOD[d]->parm[1], 0.0f);
  EXPECT_EQ(MOD[d]->parm[2], 200.0f);
  EXPECT_EQ(MOD[d]->Extra, nullptr);  // the state word starts at 0
}

TEST_P(Shaping, DistortWithoutSatIsDriveClipAndLevel)
{
  Rig r(GetParam());
  r.chain(DISTORT);
  // 1000 * 50 / 16 = 3125, * 200 / 256 = 2441.4 -> 2441.
  // 20000 * 50 / 16 = 62500 -> 32767 -> 25599.2 -> 25599; negative likewise (toward zero).
  // -3 * 50 / 16 = -9.375 -> -9, * 200 / 256 = -7.03 -> -7 (shifts would give -10 and -8).
  Samples out = r.run({1000, 20000, -20000, -3, 0});
  EXPECT_EQ(out, (Samples{2441, 25599, -25599, -7, 0}));
}

TEST_P(Shaping, DistortClipsAtMinus32767)
{
  Rig r(GetParam());
  int d = r.chain(DISTORT);
  r.setParm(d, 0, 16.0f);   // drive 16: unity
  r.setParm(d, 2, 256.0f);  // level 256: unity
  EXPECT_EQ(r.run({-32768, 32767, -5}), (Samples{-32767, 32767, -5}));
}

TEST_P(Shaping, DistortSatLimitsTheSlewAndTheStateStaysBeyondFullScale)
{
  Rig r(GetParam());
  int d = r.chain(DISTORT);
  r.setParm(d, 1, 256.0f);  // limit 1048576 / 257 = 4080
  r.setParm(d, 2, 256.0f);
  // 40 full-scale samples, then silence. Driven: 32767 * 50 / 16 = 102396. The state climbs by
  // 4080 a sample (the output clips from the 9th, 36720), reaching 102396 at the 26th. Back in
  // silence it falls by 4080 a sample: 102396 - 4080 k is above 32767 up to k = 17, so the
  // output stays clipped for 17 silent samples, then 28956, 24876, ... 396, and 0.
  Samples in = constant(40, 32767);
  in.resize(80, 0);
  Samples want;
  for (int j = 0; j < 40; j++) want.push_back(j < 8 ? (short)((j + 1) * 4080) : 32767);
  for (int k = 1; k <= 40; k++) {
    long prev = 102396 - 4080L * k;
    if (prev < 0) prev = 0;
    want.push_back((short)(prev > 32767 ? 32767 : prev));
  }
  Samples out = r.run(in);
  EXPECT_EQ(out, want);
  for (size_t j = 1; j < 8; j++) EXPECT_LE(out[j] - out[j - 1], 4080);
}

TEST_P(Shaping, DistortWithHugeDriveFromAFileStaysDefined)
{
  Rig r(GetParam());
  int d = r.chain(DISTORT);
  r.setParm(d, 0, 1e12f);  // past the int range: read as 2147483647
  r.setParm(d, 2, 256.0f);
  // Full scale times that drive leaves 32 bits; the driven value is pinned to 2^30, so the state
  // climbs 2^20 a sample to 2^30 (1024 samples) and comes back the same way: after the swing to
  // -32768 it is 2^30 - k 2^20, still positive (clipped output) for k up to 1023, 0 at 1024,
  // -2^20 (clipped negative) after.
  Samples in = constant(1100, 32767);
  in.resize(2200, -32768);
  Samples out = r.run(in);
  for (int j = 0; j < 1100; j++) ASSERT_EQ(out[j], 32767) << j;
  for (int k = 1; k <= 1023; k++) ASSERT_EQ(out[1099 + k], 32767) << k;
  EXPECT_EQ(out[1099 + 1024], 0);
  for (int k = 1025; k <= 1100; k++) ASSERT_EQ(out[1099 + k], -32767) << k;
}

TEST_P(Shaping, DistortNegativeSatMeansNoLimitAndHugeLevelClips)
{
  Rig r(GetParam());
  int d = r.chain(DISTORT);
  // Sat -1 (the divisor would be 0) and -5 act as Sat 0: the step is taken at once
  for (float sat : {-1.0f, -5.0f, NAN}) {
    r.setParm(d, 1, sat);
    EXPECT_EQ(r.run({20000, 0, -20000}), (Samples{25599, 0, -25599})) << sat;
  }
  r.setParm(d, 1, 0.0f);
  // Level 1000: 3125 * 1000 / 256 = 12207; 32767 * 1000 / 256 would leave 16 bits -> 32767
  r.setParm(d, 2, 1000.0f);
  EXPECT_EQ(r.run({1000, 20000, -20000}), (Samples{12207, 32767, -32767}));
  // Level -256 inverts: 3125 -> -3125
  r.setParm(d, 2, -256.0f);
  EXPECT_EQ(r.run({1000}), (Samples{-3125}));
}

// ---- Tone -------------------------------------------------------------------------------

// Distort written out from its description: drive, strict slew limit on the unclipped state,
// clip, level, clip. prev is the state, carried in and out.
static Samples distortModel(const Samples &in, long drive, long sat, long level, long &prev)
{
  long limit = 1048576 / (sat + 1);
  Samples out;
  for (short xs : in) {
    long v = xs * drive / 16;
    if (v - prev > limit)
      v = prev + limit;
    else if (prev - v > limit)
      v = prev - limit;
    prev = v;
    v = v < -32767 ? -32767 : (v > 32767 ? 32767 : v);
    long o = v * level / 256;
    out.push_back((short)(o < -32767 ? -32767 : (o > 32767 ? 32767 : o)));
  }
  return out;
}

TEST_P(ShapingModels, DistortFollowsItsModelAtEverySetting)
{
  // no slew limit, a limit that bites on the spikes, one that bites all the time, a negative
  // drive, and a Level and Drive beyond the sliders (from a layout file)
  struct { float drive, sat, level; } cases[] = {{50, 0, 200},    {64, 8, 128},   {256, 200, 256},
                                                 {-30, 3, 100},   {16, 1, 300},   {40000, 2, 256},
                                                 {255.9f, 0.5f, 0}};
  for (auto c : cases) {
    Rig r(GetParam());
    int d = r.chain(DISTORT);
    r.setParm(d, 0, c.drive);
    r.setParm(d, 1, c.sat);
    r.setParm(d, 2, c.level);
    Samples in = testSignal(9 * r.frames + 5);
    long prev = 0;
    EXPECT_EQ(r.run(in), distortModel(in, (long)c.drive, (long)c.sat, (long)c.level, prev))
        << "Drive " << c.drive << " Sat " << c.sat << " Level " << c.level;
  }
}

TEST_P(ShapingModels, DistortStateFromALouderDriveSlewsDownAfterTheDriveIsLowered)
{
  // Drive 256 leaves the state near 32767 * 16 = 524288; at Drive 4 every new value is within
  // 8192 of 0, yet the state comes down by at most the limit (10381 at Sat 100) a sample, so
  // the output stays clipped for a while
  Rig r(GetParam());
  int d = r.chain(DISTORT);
  r.setParm(d, 0, 256.0f);
  r.setParm(d, 2, 256.0f);
  Samples loud = constant(3 * r.frames, 32767), after = testSignal(9 * r.frames);
  long prev = 0;
  EXPECT_EQ(r.run(loud), distortModel(loud, 256, 0, 256, prev));
  r.setParm(d, 0, 4.0f);
  r.setParm(d, 1, 100.0f);
  EXPECT_EQ(r.run(after), distortModel(after, 4, 100, 256, prev));
}

TEST(ToneCoefficients, MatchTheFourPoleLowPassAtThreeFrequencies)
{
  // p = (5000 (F/256)^2 + 30) / 22050; c = (1-p)^4, 4p, -6p^2, 4p^3, -p^4, each rounded to a
  // float, times 65536, truncated. F = 0: p = 0.00136; F = 128: p = 0.0580; F = 256: p = 0.2295.
  int64_t K[5];
  toneCoefficients(0.0f, K);
  EXPECT_EQ((std::vector<int64_t>(K, K + 5)), (std::vector<int64_t>{65180, 356, 0, 0, 0}));
  toneCoefficients(128.0f, K);
  EXPECT_EQ((std::vector<int64_t>(K, K + 5)), (std::vector<int64_t>{51593, 15217, -1325, 51, 0}));
  toneCoefficients(256.0f, K);
  EXPECT_EQ((std::vector<int64_t>(K, K + 5)),
            (std::vector<int64_t>{23263, 59799, -20462, 3111, -177}));
  // F = 284/1024: (1 - p)^4 * 65536 is 65179.9992 in double precision, but (1 - p)^4 as a float
  // is exactly 65180/65536: the float step first gives 65180, not 65179
  toneCoefficients(0.27734375f, K);
  EXPECT_EQ(K[0], 65180);
  EXPECT_EQ(K[1], 356);
  // a NaN Frequency gives NaN coefficients, read as 0; an infinite one saturates
  toneCoefficients(NAN, K);
  for (int i = 0; i < 5; i++) EXPECT_EQ(K[i], 0) << i;
  toneCoefficients(INFINITY, K);
  EXPECT_EQ(K[1], INT32_MAX);
  EXPECT_EQ(K[2], INT32_MIN);
}

TEST(ToneDefaults, AllThreeAt128WithAZeroedHistory)
{
  Rig r(128);
  int t = r.add(TONE);
  for (int i = 0; i < 3; i++) EXPECT_EQ(MOD[t]->parm[i], 128.0f);
  ASSERT_NE(MOD[t]->Extra, nullptr);
  const int32_t *h = (const int32_t *)MOD[t]->Extra;
  for (int i = 0; i < 4; i++) EXPECT_EQ(h[i], 0);
  command("R " + std::to_string(MOD[t]->ID));
  EXPECT_EQ(MOD[t], nullptr);
}

TEST_P(Shaping, ToneDefaultsOnAConstantGive2097Then732)
{
  Rig r(GetParam());
  r.chain(TONE);
  // K = 51593, 15217, -1325, 51, 0. Sample 1: low = 1000 * 51593 / 65536 = 787; out =
  // 787 * 128 / 256 + (1000 - 787) * 128 / 16 = 393 + 1704 = 2097.
  // Sample 2: low = 787 + 15217 * 787 / 65536 (182) = 969; out = 484 + 31 * 8 = 732.
  // Sample 3: low = 787 + 15217 * 969 / 65536 (224) - 1325 * 787 / 65536 (-15) = 996;
  // out = 498 + 4 * 8 = 530.
  Samples out = r.run(constant(3, 1000));
  EXPECT_EQ(out, (Samples{2097, 732, 530}));
}

TEST_P(Shaping, ToneAtFrequencyZeroLowBandOnlyIsNearlyTheInput)
{
  Rig r(GetParam());
  int t = r.chain(TONE);
  r.setParm(t, 0, 0.0f);
  r.setParm(t, 1, 256.0f);
  r.setParm(t, 2, 0.0f);
  // K0 = 65180, K1 = 356: low = 1000 * 65180 / 65536 = 994, then 994 + 356 * 994 / 65536 (5)
  // = 999, and 999 from then on (356 * 999 / 65536 = 5)
  Samples want = {994};
  want.resize(3 * r.frames, 999);
  EXPECT_EQ(r.run(constant(3 * r.frames, 1000)), want);
}

TEST_P(Shaping, ToneBass256Treble16IsTransparentAtAnyFrequency)
{
  Rig r(GetParam());
  int t = r.chain(TONE);
  r.setParm(t, 1, 256.0f);
  r.setParm(t, 2, 16.0f);
  // out = low * 256 / 256 + (x - low) * 16 / 16 = x, whatever the filter did; -32768 clips
  Samples in = testSignal(5 * r.frames);
  Samples want = in;
  for (short &v : want)
    if (v == -32768) v = -32767;
  for (float F : {0.0f, 77.5f, 128.0f, 256.0f}) {
    r.setParm(t, 0, F);
    EXPECT_EQ(r.run(in), want) << F;
  }
}

TEST_P(Shaping, ToneSaturatesAtFullScaleWithALargeTreble)
{
  Rig r(GetParam());
  int t = r.chain(TONE);
  r.setParm(t, 2, 256.0f);
  // low = 32767 * 51593 / 65536 = 25796, high = 6971 * 256 / 16 = 111536: clipped to 32767.
  // Then -32768: low = -25796 + 15217 * 25796 / 65536 (5989) = -19807, high = -12961 * 16:
  // clipped to -32767, not -32768
  EXPECT_EQ(r.run({32767, -32768}), (Samples{32767, -32767}));
}

// Tone written out from its description: five truncated terms, clip, shift, two bands, clip.
static Samples toneModel(const Samples &in, float F, int bass, int treble)
{
  int64_t K[5];
  toneCoefficients(F, K);
  long h[4] = {0, 0, 0, 0};
  Samples out;
  for (short xs : in) {
    long x = xs;
    long low = x * K[0] / 65536;
    for (int i = 0; i < 4; i++) low += K[i + 1] * h[i] / 65536;
    low = low < -32767 ? -32767 : (low > 32767 ? 32767 : low);
    h[3] = h[2], h[2] = h[1], h[1] = h[0], h[0] = low;
    long o = low * bass / 256 + (x - low) * treble / 16;
    out.push_back((short)(o < -32767 ? -32767 : (o > 32767 ? 32767 : o)));
  }
  return out;
}

TEST_P(ShapingModels, ToneFollowsItsModelAtEverySetting)
{
  // the low band clipping at full scale, a flat high band, a NaN Frequency (no filter at all),
  // and a Bass beyond 16 bits (from a layout file)
  struct { float F, bass, treble; } cases[] = {{256, 256, 256}, {0, 128, 0},   {37.5f, 10, 200},
                                               {128, 40000, 16}, {NAN, 128, 128}, {200, 0, 255}};
  for (auto c : cases) {
    Rig r(GetParam());
    int t = r.chain(TONE);
    r.setParm(t, 0, c.F);
    r.setParm(t, 1, c.bass);
    r.setParm(t, 2, c.treble);
    Samples in = testSignal(9 * r.frames + 5);
    EXPECT_EQ(r.run(in), toneModel(in, c.F, (int)c.bass, (int)c.treble))
        << "Frequency " << c.F << " Bass " << c.bass << " Treble " << c.treble;
  }
}

TEST_P(Shaping, ToneCarriesItsHistoryFromChunkToChunk)
{
  Rig r(GetParam());
  int t = r.chain(TONE);
  r.setParm(t, 0, 200.0f);
  r.setParm(t, 1, 180.0f);
  r.setParm(t, 2, 24.0f);
  Samples in = testSignal(6 * r.frames + 7);
  EXPECT_EQ(r.run(in), toneModel(in, 200.0f, 180, 24));
}

// ---- Compressor -------------------------------------------------------------------------

TEST(CompressorDefaults, ThresholdZeroCompressionTenGateWidthForty)
{
  Rig r(128);
  int c = r.add(COMP);
  EXPECT_EQ(MOD[c]->parm[0], 0.0f);
  EXPECT_EQ(MOD[c]->parm[1], 10.0f);
  EXPECT_EQ(MOD[c]->parm[2], 40.0f);
  ASSERT_NE(MOD[c]->Extra, nullptr);
  EXPECT_EQ(*(const int32_t *)MOD[c]->Extra, 0);
}

TEST_P(Shaping, CompressorFirstOutputsFromARestingEnvelope)
{
  Rig r(GetParam());
  r.chain(COMP);
  // E = (216 * 0 + 1000 * 40) / 256 = 156; g = 0.1 * 30000 / 156 + 0.9 = 20.1308 -> 20130.
  // E = (216 * 156 + 40000) / 256 = 287; g = 0.1 * 30000 / 287 + 0.9 = 11.35296 -> 11352.
  EXPECT_EQ(r.run({1000, 1000}), (Samples{20130, 11352}));
}

TEST_P(Shaping, CompressorAtZeroCompressionAndNoGateIsTransparent)
{
  Rig r(GetParam());
  int c = r.chain(COMP);
  r.setParm(c, 1, 0.0f);
  // g = 0 * 30000 / E + 1 = 1 while E > 0; the first sample is loud so E stays above 0;
  // -32768 clips to -32767
  Samples in = testSignal(4 * r.frames);
  in[0] = 20000;
  for (short &v : in)
    if (v > -2 && v < 2) v = 1000;  // no stretch quiet enough to bring E back to 0
  Samples want = in;
  for (short &v : want)
    if (v == -32768) v = -32767;
  EXPECT_EQ(r.run(in), want);
}

TEST_P(Shaping, CompressorThresholdOneDoesNotGateTwoGatesUpTo200)
{
  Rig r(GetParam());
  int c = r.chain(COMP);
  r.setParm(c, 1, 0.0f);    // unity gain
  r.setParm(c, 2, 256.0f);  // E = |x|
  Samples in = {100, -150, 300, 200, 201, -1};
  r.setParm(c, 0, 1.0f);
  EXPECT_EQ(r.run(in), in);
  // T = 2: samples with E <= 200 are scaled by E / 200: 100 * 0.5 = 50, -150 * 0.75 = -112.5
  // -> -112, 200 * 1.0 = 200, -1 * 0.005 -> 0
  r.setParm(c, 0, 2.0f);
  EXPECT_EQ(r.run(in), (Samples{50, -112, 300, 200, 201, 0}));
}

TEST_P(Shaping, CompressorAtFullCompressionLandsTheEnvelopeOn30000)
{
  Rig r(GetParam());
  int c = r.chain(COMP);
  r.setParm(c, 1, 100.0f);
  r.setParm(c, 2, 256.0f);
  // E = |x| and g = 30000 / E: 1000 * 30 = 30000, -3000 * 10 = -30000, 7500 * 4 = 30000
  EXPECT_EQ(r.run({1000, -3000, 7500}), (Samples{30000, -30000, 30000}));
}

TEST_P(Shaping, CompressorWithNoEnvelopePassesAtUnityOrGatesToSilence)
{
  Rig r(GetParam());
  int c = r.chain(COMP);
  // Gate Width 1: a constant 255 gives E = 255 / 256 = 0 for ever; with no envelope the gain is
  // taken as 1, so the samples pass unchanged (an infinite gain would blast them to full scale)
  r.setParm(c, 2, 1.0f);
  Samples quiet = constant(3 * r.frames, 255);
  EXPECT_EQ(r.run(quiet), quiet);
  EXPECT_EQ(r.run(constant(r.frames, 0)), constant(r.frames, 0));
  // with the gate active the gate factor is E / 200 = 0: silence
  r.setParm(c, 0, 2.0f);
  EXPECT_EQ(r.run(quiet), constant(quiet.size(), 0));
}

TEST_P(Shaping, CompressorGateWidthOutsideItsRangeActsAsTheNearestEnd)
{
  Rig r(GetParam());
  int c = r.chain(COMP);
  r.setParm(c, 0, 2.0f);
  r.setParm(c, 1, 0.0f);
  // Gate Width -50 acts as 1: E = 1000 / 256 = 3, gated by 3 / 200: 1000 * 0.015 = 15.
  // (Taken as it is, E would be -50000 / 256 = -195 and the sample inverted to -975.)
  r.setParm(c, 2, -50.0f);
  EXPECT_EQ(r.run({1000}), (Samples{15}));
  // 1000 acts as 256: E = |x| = 100, gated to 50 (taken as it is, E = 100000 / 256 = 390 on a
  // fresh module: no gating)
  int c2 = r.chain(COMP);
  r.setParm(c2, 0, 2.0f);
  r.setParm(c2, 1, 0.0f);
  r.setParm(c2, 2, 1000.0f);
  EXPECT_EQ(r.run({100, 100}), (Samples{50, 50}));
}

TEST_P(Shaping, CompressorWithHugeSettingsStaysInRange)
{
  Rig r(GetParam());
  int c = r.chain(COMP);
  // Compression 1e12: a gain in the tens of millions, clipped
  r.setParm(c, 1, 1e12f);
  EXPECT_EQ(r.run({1000, -1000}), (Samples{32767, -32767}));
  // Threshold 1e12 (gate level 100 * 2147483647): everything gated to nothing
  r.setParm(c, 0, 1e12f);
  r.setParm(c, 1, 0.0f);
  EXPECT_EQ(r.run({1000, -1000}), (Samples{0, 0}));
}

// The compressor written out from its description, with the unity gain at E = 0.
static Samples compModel(const Samples &in, int T, int pct, int W)
{
  long E = 0;
  double cf = pct / 100.0;
  Samples out;
  for (short xs : in) {
    long x = xs;
    E = ((256 - W) * E + labs(x) * W) / 256;
    double g = E == 0 ? 1.0 : cf * (30000.0 / E) + (1 - cf);
    double q = (T <= 1 || E > 100 * T) ? 1.0 : (double)E / (100 * T);
    double y = trunc((x * g) * q);
    out.push_back((short)(y > 32767 ? 32767 : (y < -32767 ? -32767 : y)));
  }
  return out;
}

TEST_P(Shaping, CompressorCarriesItsEnvelopeFromChunkToChunk)
{
  Rig r(GetParam());
  int c = r.chain(COMP);
  r.setParm(c, 0, 30.0f);
  r.setParm(c, 1, 60.0f);
  r.setParm(c, 2, 3.0f);
  Samples in = testSignal(6 * r.frames + 11);
  EXPECT_EQ(r.run(in), compModel(in, 30, 60, 3));
}

TEST_P(ShapingModels, CompressorFollowsItsModelAtEverySetting)
{
  // gated and not, from no compression to full, the slowest to the fastest envelope
  struct { int T, pct, W; } cases[] = {{0, 100, 256}, {2, 0, 1}, {256, 100, 40}, {1, 37, 128},
                                       {30, 60, 3}};
  for (auto c : cases) {
    Rig r(GetParam());
    int k = r.chain(COMP);
    r.setParm(k, 0, (float)c.T);
    r.setParm(k, 1, (float)c.pct);
    r.setParm(k, 2, (float)c.W);
    Samples in = testSignal(9 * r.frames + 5);
    EXPECT_EQ(r.run(in), compModel(in, c.T, c.pct, c.W))
        << "Threshold " << c.T << " Compression " << c.pct << " Width " << c.W;
  }
}

// ---- chunk bookkeeping ------------------------------------------------------------------

TEST_P(Shaping, ShapingChainGivesBackEveryChunk)
{
  Rig r(GetParam());
  int d = r.add(DISTORT), t = r.add(TONE), c = r.add(COMP);
  r.wire(Rig::lineIn(), 0, d, 0);
  r.wire(d, 0, t, 0);
  r.wire(t, 0, c, 0);
  r.wire(c, 0, Rig::lineOut(), 1);
  int baseline = chunksInUse();
  Samples out;
  r.stream(testSignal(8 * r.frames), Samples(), nullptr, &out);
  EXPECT_EQ(chunksInUse(), baseline);
  EXPECT_EQ(chunkPoolOverflows, 0);
}
