// The delay-line modules (Reverb, Chorus/Flange, Octave Down), their ring buffers and the sine
// table. Expected samples are worked out by hand from the algorithms (the note by each says how);
// the real-pass cases run at two buffer sizes so that the rings and phases carried from chunk to
// chunk are crossed at different places.
#include <math.h>

#include <algorithm>

#include "modules/backbuf.h"
#include "tests/effects_rig.h"

enum { REVERB = 5, OCTAVE = 10, CHORUS = 16 };

class Delay : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(BufferSizes, Delay, ::testing::ValuesIn(twoBufferSizes()));
// Long streams against the models, over many settings, at chunk sizes across the block edges.
class DelayModels : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(BlockEdges, DelayModels, ::testing::ValuesIn(blockEdgeBufferSizes()));

// A varied signal: two tones, full-scale spikes and stretches of near-silence.
static Samples variedSignal(size_t len)
{
  Samples s(len);
  for (size_t i = 0; i < len; i++) {
    long v = (long)(14000 * sin(i * 0.021) + 9000 * sin(i * 0.37));
    if (i % 101 == 7) v = 32767;
    if (i % 83 == 50) v = -32768;
    if ((i / 700) % 5 == 4) v = (long)(i % 5) - 2;
    s[i] = (short)v;
  }
  return s;
}

static short clip16(long v) { return (short)(v < -32767 ? -32767 : (v > 32767 ? 32767 : v)); }

static reverbBuffer *ringOf(int slot) { return (reverbBuffer *)MOD[slot]->Extra; }

// An impulse of height v at sample `at` in a signal of len samples.
static Samples impulse(size_t len, size_t at, short v)
{
  Samples s(len, 0);
  s[at] = v;
  return s;
}

// Where the nonzero samples of a signal are.
static std::vector<size_t> nonzeroAt(const Samples &s)
{
  std::vector<size_t> at;
  for (size_t i = 0; i < s.size(); i++)
    if (s[i]) at.push_back(i);
  return at;
}

// ---- backBuf ----------------------------------------------------------------------------

TEST(BackBuf, NewestIsGetZeroAndAShortRingWraps)
{
  backBuf b(3);  // four places
  EXPECT_EQ(b.length(), 4u);
  for (short v : {11, 12, 13, 14}) b.add(v);
  EXPECT_EQ(b.get(0), 14);
  EXPECT_EQ(b.get(1), 13);
  EXPECT_EQ(b.get(3), 11);
  b.add(15);
  EXPECT_EQ(b.get(0), 15);
  EXPECT_EQ(b.get(3), 12);
}

TEST(BackBuf, OneSecondLineRemembers44101Samples)
{
  backBuf b(44100);
  // value of the i-th addition (from 0): never 0, so an unwritten place shows as 0
  auto v = [](long i) { return (short)(i % 30000 + 1); };
  for (long i = 0; i < 44100; i++) b.add(v(i));
  EXPECT_EQ(b.get(44100), 0);  // 44100 additions: the oldest place is still the starting zero
  EXPECT_EQ(b.get(44099), v(0));
  b.add(v(44100));
  EXPECT_EQ(b.get(0), v(44100));
  EXPECT_EQ(b.get(44100), v(0));  // 44100 additions before the newest
  b.add(v(44101));
  EXPECT_EQ(b.get(44100), v(1));
  EXPECT_EQ(b.get(1), v(44100));
}

TEST(BackBufDeathTest, ReadingPastTheRingIsAFatalCheck)
{
  backBuf b(10);
  EXPECT_DEATH(b.get(11), "backbuf.cpp: line [0-9]+ "
                          "\\(short int backBuf::get\\(unsigned int\\)\\): "
                          "assertion failed: \\(Delay < nstor\\)");
}

// ---- reverbBuffer -----------------------------------------------------------------------

TEST(ReverbBuffer, GetChunkOneIsTheNewestAndCopiesIntoAPoolChunk)
{
  Rig r(128);
  reverbBuffer rb(4);
  EXPECT_EQ(rb.numChunks(), 4);
  int baseline = chunksInUse();
  short in[32];
  for (short v = 1; v <= 3; v++) {
    for (int j = 0; j < 32; j++) in[j] = (short)(v * 100 + j);
    rb.addChunk((char *)in);
  }
  GET_MODGRAPH_LOCK();
  short *c1 = (short *)rb.getChunk(1);
  short *c3 = (short *)rb.getChunk(3);
  short *c0 = (short *)rb.getChunk(0);  // the slot written next: still silence after 3 of 4
  EXPECT_EQ(chunksInUse(), baseline + 3);
  EXPECT_EQ(c1[0], 300);
  EXPECT_EQ(c1[31], 331);
  EXPECT_EQ(c3[5], 105);
  EXPECT_EQ(c0[7], 0);
  freeChunk((short *)c1);
  freeChunk((short *)c3);
  freeChunk((short *)c0);
  for (int j = 0; j < 32; j++) in[j] = 400;
  rb.addChunk((char *)in);
  short *c4 = (short *)rb.getChunk(4 - 4);  // after four additions slot 0 is the oldest again
  EXPECT_EQ(c4[0], 100);
  freeChunk(c4);
  EXPECT_EQ(chunksInUse(), baseline);
  RELEASE_MODGRAPH_LOCK();
}

TEST(ReverbBufferDeathTest, DelayOutsideTheRingIsAFatalCheck)
{
  Rig r(128);
  reverbBuffer rb(5);
  EXPECT_DEATH(rb.getChunk(5), "delay.cpp: line [0-9]+ .*reverbBuffer::getChunk\\(int\\).*: "
                               "assertion failed: \\(\\(delay >= 0\\) && \\(delay < nChunks\\)\\)");
  EXPECT_DEATH(rb.getChunk(-1), "assertion failed");
}

// ---- sine table -------------------------------------------------------------------------

TEST(SineTable, BuiltOnceByTheFirstChorusWithFloatRounding)
{
  Rig r(128);
  const std::string announce = "Initializing sin lookup table";
  EXPECT_EQ(isSinLookUp, 0);
  std::vector<std::string> first = command("A 16");
  EXPECT_EQ(std::count(first.begin(), first.end(), announce), 1);
  EXPECT_EQ(isSinLookUp, 1);
  std::vector<std::string> second = command("A 16");
  EXPECT_EQ(std::count(second.begin(), second.end(), announce), 0);
  EXPECT_EQ(second.back(), "Name of new module: Chorus/Flange");
  // 1024 sin(1 deg) = 17.87; sin 30 with the float pi is a hair above 0.5 -> 512; sin 90 and
  // 270 round to +-1.0 as floats -> +-1024 (unrounded they would truncate to +-1023)
  EXPECT_EQ(sinLookUp[0], 0);
  EXPECT_EQ(sinLookUp[1], 17);
  EXPECT_EQ(sinLookUp[30], 512);
  EXPECT_EQ(sinLookUp[90], 1024);
  EXPECT_EQ(sinLookUp[180], 0);
  EXPECT_EQ(sinLookUp[270], -1024);
  EXPECT_EQ(sinLookUp[359], -17);
  for (int i = 0; i < 360; i++) EXPECT_NEAR(sinLookUp[i], 1024 * sin(M_PI * i / 180), 1.001) << i;
}

// ---- Reverb -----------------------------------------------------------------------------

TEST(ReverbRing, AQuarterSecondPlusOneChunkAtEverySize)
{
  // (88200 / chunk bytes) / 4 + 1 for chunks of 64 .. 2048 bytes
  const int want[6] = {345, 173, 87, 44, 22, 11};
  for (int i = 0; i < 6; i++) {
    Rig r(fs[i]);
    int s = r.add(REVERB);
    EXPECT_EQ(ringOf(s)->numChunks(), want[i]) << fs[i];
  }
}

// The chunk in which an impulse at sample 0 comes back, heard through Wet alone.
static int echoChunk(Rig &r, int s, float delayParm)
{
  r.setParm(s, 0, delayParm);
  int n = ringOf(s)->numChunks();
  Samples out = r.run(impulse((size_t)(n + 1) * r.frames, 0, 20000));
  std::vector<size_t> at = nonzeroAt(out);
  if (at.size() != 1 || at[0] % r.frames != 0) return -1;
  return (int)(at[0] / r.frames);
}

TEST_P(Delay, ReverbDelayIsWholeChunksAtLeastOneAndBelowTheRing)
{
  Rig r(GetParam());
  int n = r.frames == 32 ? 345 : 44;
  // d = trunc(Delay / 256 * n): 15 / 256 * 345 = 20.2 -> 20; 15 / 256 * 44 = 2.6 -> 2;
  // 100.5 / 256 * 345 = 135.4 -> 135, * 44 = 17.3 -> 17; Delay 0 -> 1; 256 -> n - 1
  int want15 = n == 345 ? 20 : 2, want100 = n == 345 ? 135 : 17;
  // each run starts with a fresh module, so the ring holds nothing of the run before
  for (auto c : std::vector<std::pair<float, int>>{{0.0f, 1}, {15.0f, want15}, {100.5f, want100},
                                                   {256.0f, n - 1}, {-5.0f, 1}, {NAN, 1},
                                                   {1e30f, n - 1}}) {
    int s = r.chain(REVERB);
    r.setParm(s, 1, 256.0f);
    r.setParm(s, 2, 0.0f);
    EXPECT_EQ(echoChunk(r, s, c.first), c.second) << "Delay " << c.first;
    command("D " + std::to_string(MOD[s]->ID) + " A");
    command("D " + std::to_string(MOD[Rig::lineIn()]->ID) + " A");
    command("R " + std::to_string(MOD[s]->ID));
  }
}

TEST_P(Delay, ReverbDefaultsOnAConstantGive781Then1281)
{
  Rig r(GetParam());
  r.chain(REVERB);
  // Dry 200: 1000 * 200 / 256 = 781; the echo (Wet 128) adds 1000 * 128 / 256 = 500 once the
  // ring has gone round d chunks: d = 20 of 32 samples or 2 of 256
  size_t first = r.frames == 32 ? 20 * 32 : 2 * 256;
  Samples out = r.run(constant(first + 3 * r.frames, 1000));
  for (size_t i = 0; i < out.size(); i++) ASSERT_EQ(out[i], i < first ? 781 : 1281) << i;
}

TEST_P(Delay, ReverbWetZeroDryFullIsTheInputButMinus32768)
{
  Rig r(GetParam());
  int s = r.chain(REVERB);
  r.setParm(s, 1, 0.0f);
  r.setParm(s, 2, 256.0f);
  Samples in = impulse(4 * r.frames, 3, -32768);
  for (size_t i = 5; i < in.size(); i++) in[i] = (short)(i * 251 % 60000 - 30000);
  Samples want = in;
  want[3] = -32767;
  EXPECT_EQ(r.run(in), want);
}

TEST_P(Delay, ReverbRegenRepeatsTheEchoScaled)
{
  Rig r(GetParam());
  int s = r.chain(REVERB);
  r.setParm(s, 0, 0.0f);  // d = 1
  r.setParm(s, 1, 256.0f);
  r.setParm(s, 2, 256.0f);
  r.setParm(s, 3, 128.0f);
  // chunk 0: y = 10000, ring gets 10000 * 128 / 256 + 10000 = 15000; chunk 1: y = 15000, ring
  // gets 7500; then each echo is half the one before, truncated
  const short want[] = {10000, 15000, 7500, 3750, 1875, 937, 468, 234, 117, 58, 29, 14, 7, 3, 1, 0};
  Samples out = r.run(impulse(16 * r.frames, 0, 10000));
  for (int c = 0; c < 16; c++) {
    EXPECT_EQ(out[(size_t)c * r.frames], want[c]) << c;
    for (int j = 1; j < r.frames; j++) ASSERT_EQ(out[(size_t)c * r.frames + j], 0);
  }
}

TEST_P(Delay, ReverbWithHugeLevelsClipsBothOutputAndFeedback)
{
  Rig r(GetParam());
  int s = r.chain(REVERB);
  r.setParm(s, 0, 0.0f);
  r.setParm(s, 1, 1e12f);  // wet: read as 2147483647
  r.setParm(s, 2, 1e12f);
  r.setParm(s, 3, -1e12f);
  // chunk 0: y = 1 * 2147483647 / 256 -> 32767; feedback 32767 * -2^31 / 256 + 1 -> -32767;
  // chunk 1: y = 0 * dry + (-32767) * wet / 256 -> -32767
  Samples out = r.run(impulse(2 * r.frames, 0, 1));
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[r.frames], -32767);
}

// Reverb written out from its description, chunk by chunk, with a ring of n silent chunks and
// the delay d in chunks.
static Samples reverbModel(const Samples &in, int frames, int n, int d, long dry, long wet,
                           long regen)
{
  std::vector<Samples> ring(n, Samples(frames, 0));
  int pos = 0;
  Samples out;
  for (size_t c = 0; c * frames < in.size(); c++) {
    const Samples &echo = ring[(pos - d + n) % n];
    Samples fb(frames);
    for (int j = 0; j < frames; j++) {
      long x = c * frames + j < in.size() ? in[c * frames + j] : 0;
      short y = clip16(x * dry / 256 + echo[j] * wet / 256);
      fb[j] = clip16(y * regen / 256 + x);
      out.push_back(y);
    }
    ring[pos] = fb;
    pos = (pos + 1) % n;
  }
  out.resize(in.size());
  return out;
}

TEST_P(DelayModels, ReverbFollowsItsModelAtEverySetting)
{
  // echoes fed back at several strengths, a negative Regen, and levels beyond 16 bits (from a
  // layout file); Delay 0.5 gives the shortest delay, one chunk
  // (Delay, Wet, Dry, Regen)
  float cases[][4] = {{15, 128, 200, 0},      {0.5f, 256, 256, 255}, {100.5f, 90, 180, 200},
                      {40, 200, 100, -150},   {10, 70000, 100, 64}};
  for (auto &c : cases) {
    Rig r(GetParam());
    int s = r.chain(REVERB);
    for (int i = 0; i < 4; i++) r.setParm(s, i, c[i]);
    int n = ringOf(s)->numChunks();
    int d = std::max(1, std::min(n - 1, (int)(c[0] / 256.0f * n)));
    Samples in = variedSignal((size_t)(3 * d + 5) * r.frames + 7);
    EXPECT_EQ(r.run(in), reverbModel(in, r.frames, n, d, (long)c[2], (long)c[1], (long)c[3]))
        << "Delay " << c[0] << " Wet " << c[1] << " Dry " << c[2] << " Regen " << c[3];
  }
}

// ---- Chorus/Flange ----------------------------------------------------------------------

TEST(DelayDefaults, InitsSetTheDocumentedParametersAndState)
{
  Rig r(128);
  int rv = r.add(REVERB), ch = r.add(CHORUS), oc = r.add(OCTAVE);
  const float reverb[4] = {15, 128, 200, 0}, chorus[6] = {50, 5, 0, 100, 200, 0};
  for (int i = 0; i < 4; i++) EXPECT_EQ(MOD[rv]->parm[i], reverb[i]) << i;
  for (int i = 0; i < 6; i++) EXPECT_EQ(MOD[ch]->parm[i], chorus[i]) << i;
  for (int s : {rv, ch, oc}) EXPECT_NE(MOD[s]->Extra, nullptr);
  EXPECT_EQ(((const int32_t *)MOD[oc]->Extra)[0], 0);  // prev
  EXPECT_EQ(((const int32_t *)MOD[oc]->Extra)[1], 0);  // flip
}

// A chorus heard through its wet part alone: Wet 256, Dry 0.
static int wetChorus(Rig &r, float depth, float speed, float mode)
{
  int s = r.chain(CHORUS);
  r.setParm(s, 0, depth);
  r.setParm(s, 1, speed);
  r.setParm(s, 2, mode);
  r.setParm(s, 3, 256.0f);
  r.setParm(s, 4, 0.0f);
  return s;
}

TEST_P(Delay, ChorusDepthZeroDelaysTheWetPartByOneSample)
{
  Rig r(GetParam());
  int s = wetChorus(r, 0.0f, 5.0f, 0.0f);
  Samples in(3 * r.frames + 4);
  for (size_t i = 0; i < in.size(); i++) in[i] = (short)(i * 97 % 20000 - 10000);
  Samples want(in.size(), 0);
  for (size_t i = 1; i < in.size(); i++) want[i] = in[i - 1];
  EXPECT_EQ(r.run(in), want);
  // a fresh one with the default mix: 1000 * 200 / 256 = 781 dry, plus 1000 * 100 / 256 = 390
  // wet from the second sample on
  int s2 = r.add(CHORUS);
  r.setParm(s2, 0, 0.0f);
  command("D " + std::to_string(MOD[s]->ID) + " A");
  r.wire(Rig::lineIn(), 0, s2, 0);
  r.wire(s2, 0, Rig::lineOut(), 0);
  EXPECT_EQ(r.run(constant(3, 1000)), (Samples{781, 1171, 1171}));
}

TEST_P(Delay, ChorusSpeedZeroHoldsTheTapAtTheMiddleOfItsSweep)
{
  Rig r(GetParam());
  // mode 0 at phase 0 (s = 0): off = 80 * 1024 / 2048 = 40, a delay of 41 samples;
  wetChorus(r, 10.0f, 0.0f, 0.0f);
  EXPECT_EQ(nonzeroAt(r.run(impulse(3000, 0, 5000))), (std::vector<size_t>{41}));
  EXPECT_EQ(nonzeroAt(r.run(impulse(3000, 2000, 5000))), (std::vector<size_t>{2041}));
}

TEST_P(Delay, ChorusLongModeCentresOn64TimesDepth)
{
  Rig r(GetParam());
  // mode 1 at s = 0: off = 80 * (16 * 0 + 16384) / 2048 = 640, a delay of 641 samples
  wetChorus(r, 10.0f, 0.0f, 1.0f);
  EXPECT_EQ(nonzeroAt(r.run(impulse(2000, 5, 5000))), (std::vector<size_t>{646}));
}

TEST_P(Delay, ChorusTapFollowsTheSineAndItsPhaseRestartsAtExactlyZero)
{
  Rig r(GetParam());
  wetChorus(r, 100.0f, 100.0f, 0.0f);
  // Input sample i is i + 1, so a wet output of v means the tap read sample v - 1: a delay of
  // j - v + 1 samples, one more than the offset.
  const size_t len = 7600;  // a little over two LFO cycles of about 3590 samples
  Samples in(len);
  for (size_t i = 0; i < len; i++) in[i] = (short)(i + 1);
  Samples out = r.run(in);
  // The phase as a float sum of 0.1f (Speed 100 / 1000), restarting at 0.0 when it reaches 359;
  // offset (800 * (s + 1024)) / 2048, from 0 at s = -1024 to 800 at s = 1024, 400 at s = 0.
  float phase = 0.0f;
  const float inc = 100.0f / 1000;
  std::vector<size_t> resets;
  for (size_t j = 0; j < len; j++) {
    long off = (800L * (sinLookUp[(int)phase] + 1024)) / 2048;
    if ((long)j >= off + 1)
      ASSERT_EQ((long)j - out[j], off) << "sample " << j << " phase " << phase;
    else
      ASSERT_EQ(out[j], 0) << "sample " << j << " reads before the first input";
    phase = phase + inc;
    if (phase >= 359.0f) {
      phase = 0.0f;
      resets.push_back(j + 1);
    }
  }
  ASSERT_EQ(resets.size(), 2u);
  EXPECT_NEAR((double)resets[0], 3590.0, 40.0);
  // right after a restart the tap is back at the middle (phase 0: offset 400)
  EXPECT_EQ((long)resets[0] - out[resets[0]], 400);
  EXPECT_EQ((long)resets[1] - out[resets[1]], 400);
  // a quarter cycle in (phase 90.5, sine 1024) the tap is at its longest, 800
  EXPECT_EQ(905 - out[905], 800);
}

TEST_P(Delay, ChorusRegenFeedsTheTapBackIntoTheLine)
{
  Rig r(GetParam());
  int s = wetChorus(r, 0.0f, 0.0f, 0.0f);
  r.setParm(s, 5, 128.0f);
  // the line holds x + w * 128 / 256: the impulse, then half of each tap read
  Samples want = {0, 1000, 500, 250, 125, 62, 31, 15, 7, 3, 1, 0, 0};
  EXPECT_EQ(r.run(impulse(want.size(), 0, 1000)), want);
}

TEST_P(Delay, ChorusWithLayoutValuesOutsideTheSlidersNeverReadsPastItsLine)
{
  Rig r(GetParam());
  // Depth 1000 in the long mode: offset 8000 * 16384 / 2048 = 64000, past the 44101-sample
  // line; the tap stops at its oldest sample, 44100 back: a delay of 44101
  wetChorus(r, 1000.0f, 0.0f, 1.0f);
  EXPECT_EQ(nonzeroAt(r.run(impulse(44200, 0, 5000))), (std::vector<size_t>{44101}));
}

// Chorus/Flange written out from its description, on a line of its own.
static Samples chorusModel(const Samples &in, long depth, float speed, float mode, long wet,
                           long dry, long regen)
{
  backBuf line(44100);
  float phase = 0.0f, inc = speed / 1000;
  Samples out;
  for (short x : in) {
    long s = sinLookUp[(int)phase];
    long off = mode > 0.1f ? depth * 8 * (16 * (s / 16) + 16384) / 2048
                           : depth * 8 * (s + 1024) / 2048;
    phase = phase + inc;
    if (!(phase >= 0.0f && phase < 359.0f)) phase = 0.0f;
    long w = line.get((unsigned)std::max(0L, std::min(44100L, off)));
    out.push_back(clip16(w * wet / 256 + x * dry / 256));
    line.add(clip16(x + w * regen / 256));
  }
  return out;
}

TEST_P(DelayModels, ChorusFollowsItsModelAtEverySettingPastTheLinesEnd)
{
  // the default sweep, the long mode at full speed, a tap always within a block of the newest
  // sample, a Depth past the line in the long mode and a Wet beyond 16 bits (from a layout file)
  // (Depth, Speed, Mode, Wet, Dry, Regen)
  float cases[][6] = {{50, 5, 0, 100, 200, 32}, {100, 100, 1, 256, 128, 200},
                      {3, 40, 0, 256, 0, 250},  {700, 7, 1, 200, 200, 0},
                      {50, 60, 0, 40000, 200, 10}};
  // long enough for the line (44101 samples) to wrap
  Samples in = variedSignal(46000);
  for (auto &c : cases) {
    Rig r(GetParam());
    int s = r.chain(CHORUS);
    for (int i = 0; i < 6; i++) r.setParm(s, i, c[i]);
    Samples want = chorusModel(in, (long)c[0], c[1], c[2], (long)c[3], (long)c[4], (long)c[5]);
    EXPECT_EQ(r.run(in), want)
        << "Depth " << c[0] << " Speed " << c[1] << " Mode " << c[2] << " Wet " << c[3];
  }
}

TEST_P(Delay, ChorusWithNegativeOrNaNSpeedHoldsStill)
{
  Rig r(GetParam());
  // a phase that would go below 0 (or turn NaN) restarts at 0 every sample: the tap stays at
  // 40, as with Speed 0; a negative Depth gives offsets below 0, taken as 0
  for (float speed : {-50.0f, NAN}) {
    int s = wetChorus(r, 10.0f, speed, 0.0f);
    Samples in = impulse(6000, 0, 5000);
    in[5000] = 7000;
    EXPECT_EQ(nonzeroAt(r.run(in)), (std::vector<size_t>{41, 5041})) << speed;
    r.setParm(s, 0, -10.0f);
    EXPECT_EQ(nonzeroAt(r.run(impulse(100, 0, 5000))), (std::vector<size_t>{1})) << speed;
    command("D " + std::to_string(MOD[s]->ID) + " A");
    command("D " + std::to_string(MOD[Rig::lineIn()]->ID) + " A");
  }
}

// ---- Octave Down ------------------------------------------------------------------------

TEST_P(Delay, OctaveDownFlipsAtEveryRisingZeroCrossing)
{
  Rig r(GetParam());
  r.chain(OCTAVE);
  // -5: no crossing (prev 0 is not below 0); 5: crossing, flip on, -5; 5: -5; -5: 5; 5:
  // crossing, flip off, 5
  EXPECT_EQ(r.run({-5, 5, 5, -5, 5}), (Samples{-5, -5, -5, 5, 5}));
}

TEST_P(Delay, OctaveDownLeavesMinus32768AndConstantNegativesAlone)
{
  Rig r(GetParam());
  r.chain(OCTAVE);
  // a constant negative never rises through zero
  EXPECT_EQ(r.run(constant(2 * r.frames, -100)), constant(2 * r.frames, -100));
  // -100 then 0 is a crossing (0 counts as >= 0): flip on; -(-32768) stays -32768 in 16 bits;
  // 5 after -32768 crosses again: flip off
  EXPECT_EQ(r.run({0, -32768, 5}), (Samples{0, -32768, 5}));
}

TEST_P(Delay, OctaveDownHalvesASquareWaveAcrossChunks)
{
  Rig r(GetParam());
  r.chain(OCTAVE);
  // blocks of 13 samples, +100 then -100; every + block after the first starts with a rising
  // crossing, so the sign flip changes every second block: the output blocks go
  // +, -, -, +, +, -, -, + ... (a square wave at half the frequency)
  const int P = 13, blocks = 48;
  Samples in, want;
  for (int b = 0; b < blocks; b++) {
    short v = b % 2 == 0 ? 100 : -100;
    short o = (b % 4 == 0 || b % 4 == 3) ? 100 : -100;
    for (int i = 0; i < P; i++) {
      in.push_back(v);
      want.push_back(o);
    }
  }
  EXPECT_EQ(r.run(in), want);
}

// ---- chunk bookkeeping ------------------------------------------------------------------

TEST_P(Delay, DelayChainGivesBackEveryChunkAndRemovalReleasesState)
{
  Rig r(GetParam());
  int rv = r.add(REVERB), ch = r.add(CHORUS), oc = r.add(OCTAVE);
  r.wire(Rig::lineIn(), 0, rv, 0);
  r.wire(rv, 0, ch, 0);
  r.wire(ch, 0, oc, 0);
  r.wire(oc, 0, Rig::lineOut(), 0);
  int baseline = chunksInUse();
  Samples in(12 * r.frames);
  for (size_t i = 0; i < in.size(); i++) in[i] = (short)(10000 * sin(i * 0.07));
  r.run(in);
  EXPECT_EQ(chunksInUse(), baseline);
  EXPECT_EQ(chunkPoolOverflows, 0);
  for (int s : {rv, ch, oc}) {
    int id = MOD[s]->ID;
    for (int k = 0; k < 4; k++) command("D " + std::to_string(MOD[s]->ID) + " " + char('A' + k));
    command("D " + std::to_string(MOD[Rig::lineIn()]->ID) + " A");
    std::vector<std::string> said = command("R " + std::to_string(id));
    EXPECT_EQ(MOD[s], nullptr) << id << ": " << (said.empty() ? "" : said[0]);
  }
}
