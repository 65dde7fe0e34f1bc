// Mixing and routing modules through real passes: Passthrough, Mixer, Splitter, XFader,
// Multiply and Panning Mixer. Expected samples are worked out by hand from each module's integer
// arithmetic (products truncated toward zero, then the clip); the note by each says how.
#include <math.h>

#include "tests/effects_rig.h"

enum { PASS = 2, MIXER = 3, SPLIT = 6, XFADE = 9, PAN = 15, MULT = 19 };

class Routing : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(BufferSizes, Routing, ::testing::ValuesIn(twoBufferSizes()));

// Line In left -> Splitter -> inputs 0..3 of the module, so that all four inputs carry the left
// signal; returns the module's slot.
static int fedFourTimes(Rig &r, int type)
{
  int sp = r.add(SPLIT);
  int m = r.add(type);
  r.wire(Rig::lineIn(), 0, sp, 0);
  for (int k = 0; k < 4; k++) r.wire(sp, k, m, k);
  return m;
}

// ---- defaults ---------------------------------------------------------------------------

TEST(RoutingDefaults, InitsSetTheDocumentedParameters)
{
  Rig r(128);
  int pass = r.add(PASS), mix = r.add(MIXER), pan = r.add(PAN), mult = r.add(MULT);
  int xf = r.add(XFADE), sp = r.add(SPLIT);
  for (int k = 0; k < 4; k++) {
    EXPECT_EQ(MOD[pass]->parm[k], 200.0f);
    EXPECT_EQ(MOD[mix]->parm[k], 200.0f);
    EXPECT_EQ(MOD[pan]->parm[k], 200.0f);
    EXPECT_EQ(MOD[pan]->parm[4 + k], 128.0f);
  }
  EXPECT_EQ(MOD[mult]->parm[0], 128.0f);
  EXPECT_EQ(MOD[mult]->parm[1], 64.0f);
  EXPECT_EQ(MOD[xf]->parm[0], 0.0f);
  for (int s : {pass, mix, pan, mult, xf, sp}) {
    EXPECT_EQ(MOD[s]->Extra, nullptr);
    EXPECT_EQ(MOD[s]->parm[8], 0.0f);
  }
}

// ---- Passthrough ------------------------------------------------------------------------

TEST_P(Routing, PassthroughScalesByVolumeOver256AndTruncatesTowardZero)
{
  Rig r(GetParam());
  int p = r.chain(PASS);
  // 1000 * 200 / 256 = 781.25 -> 781; -1000 -> -781; +-1 * 200 / 256 -> 0 (a shift would give -1)
  Samples in = {1000, -1000, 1, -1, 32767, -32768, 256, -256};
  Samples out = r.run(in);
  EXPECT_EQ(out, (Samples{781, -781, 0, 0, 25599, -25600, 200, -200}));

  // 300 acts as 256 (unity), below 0 as 0, NaN as 0
  r.setParm(p, 0, 300.0f);
  EXPECT_EQ(r.run(in), in);
  r.setParm(p, 0, -4.0f);
  EXPECT_EQ(r.run(in), Samples(in.size(), 0));
  r.setParm(p, 0, NAN);
  EXPECT_EQ(r.run(in), Samples(in.size(), 0));
  // fractions are truncated: 128.9 is 128, half gain; -1 * 128 / 256 = -0.5 -> 0
  r.setParm(p, 0, 128.9f);
  EXPECT_EQ(r.run(in), (Samples{500, -500, 0, 0, 16383, -16384, 128, -128}));
}

TEST_P(Routing, PassthroughKeepsItsFourStagesApart)
{
  Rig r(GetParam());
  int p = r.add(PASS);
  r.wire(Rig::lineIn(), 0, p, 0);
  r.wire(Rig::lineIn(), 1, p, 3);
  r.wire(p, 3, Rig::lineOut(), 0);
  r.wire(p, 0, Rig::lineOut(), 1);
  r.setParm(p, 0, 256.0f);
  r.setParm(p, 3, 64.0f);
  Samples L = {400, -400, 8}, R = {1000, -1000, 7}, oL, oR;
  r.stream(L, R, &oL, &oR);
  // input 3 (the right channel) at 64/256 goes out on output 3 -> left; input 0 unity -> right
  EXPECT_EQ(oL, (Samples{250, -250, 1}));
  EXPECT_EQ(oR, L);
}

TEST_P(Routing, PassthroughWithNothingWiredInStillSendsSilence)
{
  Rig r(GetParam());
  int p = r.add(PASS);
  r.wire(p, 2, Rig::lineOut(), 0);
  EXPECT_EQ(r.run(constant(3 * r.frames, 1234)), Samples(3 * r.frames, 0));
}

// ---- Mixer ------------------------------------------------------------------------------

TEST_P(Routing, MixerSumsFourInputsEachTruncatedFirst)
{
  Rig r(GetParam());
  int m = fedFourTimes(r, MIXER);
  r.wire(m, 0, Rig::lineOut(), 0);
  // 4 * (1000 * 200 / 256 = 781) = 3124; each of 3 * 200 / 256 = 2.34 -> 2, so 3 gives 8, not
  // the 9 of (4 * 600) / 256; -1 gives four zeros
  Samples in = {1000, -1000, 3, -1, 1};
  EXPECT_EQ(r.run(in), (Samples{3124, -3124, 8, 0, 0}));
}

TEST_P(Routing, MixerClipsAtPlus32767AndMinus32768)
{
  Rig r(GetParam());
  int m = fedFourTimes(r, MIXER);
  r.wire(m, 0, Rig::lineOut(), 0);
  for (int k = 0; k < 4; k++) r.setParm(m, k, 256.0f);
  // four full-scale inputs at unity: 131068 -> 32767 and -131072 -> -32768 (the Mixer's lower
  // bound is -32768); 10000 * 4 = 40000 -> 32767
  EXPECT_EQ(r.run({32767, -32768, 10000, -10000, 5}), (Samples{32767, -32768, 32767, -32768, 20}));
  // volumes of 300 from a layout file act as 256, -3 as 0
  for (int k = 0; k < 4; k++) r.setParm(m, k, k < 2 ? 300.0f : -3.0f);
  EXPECT_EQ(r.run({1000, -32768}), (Samples{2000, -32768}));
}

TEST_P(Routing, MixerWithOneInputWiredMixesSilenceForTheOthers)
{
  Rig r(GetParam());
  int m = r.chain(MIXER);
  r.setParm(m, 1, 256.0f);
  EXPECT_EQ(r.run({1000, 256}), (Samples{781, 200}));
}

// ---- Splitter ---------------------------------------------------------------------------

TEST_P(Routing, SplitterCopiesItsInputToEveryOutput)
{
  Rig r(GetParam());
  int s = r.add(SPLIT);
  r.wire(Rig::lineIn(), 0, s, 0);
  r.wire(s, 3, Rig::lineOut(), 0);
  r.wire(s, 1, Rig::lineOut(), 1);
  Samples in(2 * r.frames + 5);
  for (size_t i = 0; i < in.size(); i++) in[i] = (short)(i * 37 - 9000);
  Samples oL, oR;
  r.stream(in, Samples(), &oL, &oR);
  EXPECT_EQ(oL, in);
  EXPECT_EQ(oR, in);
}

TEST_P(Routing, SplitterOutputZeroIsTheVeryArrivingChunk)
{
  Rig r(GetParam());
  int s = r.add(SPLIT);
  int o = Rig::lineOut();
  r.wire(s, 0, o, 0);
  r.wire(s, 2, o, 1);
  int baseline = chunksInUse();
  beginGraphPass();
  short *arriving = newChunk();
  for (int j = 0; j < r.frames; j++) arriving[j] = (short)(j + 1);
  MOD[s]->term[0] = arriving;
  Pump_Module(s);
  // the same pointer now waits at Line Out's input 0; output 2 carries a separate copy
  EXPECT_EQ(MOD[o]->term[0], arriving);
  ASSERT_NE(MOD[o]->term[1], nullptr);
  EXPECT_NE(MOD[o]->term[1], arriving);
  EXPECT_EQ(memcmp(MOD[o]->term[1], arriving, (size_t)sound_chunk_size), 0);
  for (int k = 0; k < 4; k++) EXPECT_EQ(MOD[s]->term[k], nullptr);
  // outputs 1 and 3 are unwired: their copies were given back at once
  EXPECT_EQ(chunksInUse(), baseline + 2);
  endGraphPass();
}

// ---- XFader -----------------------------------------------------------------------------

TEST_P(Routing, XFaderEndsPassOneInputAndClipMinus32768)
{
  Rig r(GetParam());
  int x = r.add(XFADE);
  r.wire(Rig::lineIn(), 0, x, 0);
  r.wire(Rig::lineIn(), 1, x, 1);
  r.wire(x, 0, Rig::lineOut(), 0);
  Samples A = {1000, -32768, 32767, -1, 5}, B = {-7, 3, -32768, 9, 32767}, o;
  // Fade 0: A * 256 / 256 + B * 0 = A, but -32768 is clipped to -32767
  r.stream(A, B, &o, nullptr);
  EXPECT_EQ(o, (Samples{1000, -32767, 32767, -1, 5}));
  r.setParm(x, 0, 256.0f);
  r.stream(A, B, &o, nullptr);
  EXPECT_EQ(o, (Samples{-7, 3, -32767, 9, 32767}));
}

TEST_P(Routing, XFaderMidwayTruncatesEachWeightedTerm)
{
  Rig r(GetParam());
  int x = r.add(XFADE);
  r.wire(Rig::lineIn(), 0, x, 0);
  r.wire(Rig::lineIn(), 1, x, 1);
  r.wire(x, 0, Rig::lineOut(), 0);
  r.setParm(x, 0, 128.7f);  // truncated to 128
  Samples o;
  // 1001 * 128 / 256 = 500.5 -> 500, -3 * 128 / 256 = -1.5 -> -1: 499.
  // Fade 64: 1000 * 192 / 256 = 750, 1000 * 64 / 256 = 250.
  r.stream({1001, 32767}, {-3, 32767}, &o, nullptr);
  EXPECT_EQ(o, (Samples{499, 32766}));
  r.setParm(x, 0, 64.0f);
  r.stream({1000, -1000}, {1000, 0}, &o, nullptr);
  EXPECT_EQ(o, (Samples{1000, -750}));
}

TEST_P(Routing, XFaderWithHugeFadeFromAFileSaturatesInsteadOfWrapping)
{
  Rig r(GetParam());
  int x = r.add(XFADE);
  r.wire(Rig::lineIn(), 0, x, 0);
  r.wire(Rig::lineIn(), 1, x, 1);
  r.wire(x, 0, Rig::lineOut(), 0);
  Samples o;
  // Fade 1e9: A weighs 256 - 1e9, so 1000 * (256 - 1e9) / 256 is about -3.9e9 -> -32767; B = 1
  // alone gives 1e9 / 256 = 3906250 -> 32767; both 0 stay 0
  r.setParm(x, 0, 1e9f);
  r.stream({1000, 0, 0}, {0, 1, 0}, &o, nullptr);
  EXPECT_EQ(o, (Samples{-32767, 32767, 0}));
  // NaN reads as Fade 0: A passes
  r.setParm(x, 0, NAN);
  r.stream({1000, 0}, {0, 1}, &o, nullptr);
  EXPECT_EQ(o, (Samples{1000, 0}));
}

// ---- Multiply ---------------------------------------------------------------------------

TEST_P(Routing, MultiplyDefaultsGiveAQuarterOfAPlusTheProduct)
{
  Rig r(GetParam());
  int m = r.add(MULT);
  r.wire(Rig::lineIn(), 0, m, 0);
  r.wire(Rig::lineIn(), 1, m, 1);
  r.wire(m, 0, Rig::lineOut(), 0);
  Samples o;
  // m = 16384 * 64 / 256 + 128 * 64 = 4096 + 8192 = 12288; 12288 * 16384 / 32768 = 6144.
  // B = 0: m = 8192, so A / 4: -1000 -> -250; -3 -> -24576 / 32768 = -0.75 -> 0 (not -1).
  // B = -32768: m = -8192 + 8192 = 0 -> 0.
  r.stream({16384, -1000, -3, 32767}, {16384, 0, 0, -32768}, &o, nullptr);
  EXPECT_EQ(o, (Samples{6144, -250, 0, 0}));
}

TEST_P(Routing, MultiplyRingModulatesAndClipsAtMinus32767)
{
  Rig r(GetParam());
  int m = r.add(MULT);
  r.wire(Rig::lineIn(), 0, m, 0);
  r.wire(Rig::lineIn(), 1, m, 1);
  r.wire(m, 0, Rig::lineOut(), 0);
  Samples o;
  // Bias 0, Scale 256: m = B, out = A * B / 32768: 16384^2 / 32768 = 8192;
  // -32768 * -32768 / 32768 = 32768 -> 32767; -32768 * 32767 / 32768 = -32767
  r.setParm(m, 0, 0.0f);
  r.setParm(m, 1, 256.0f);
  r.stream({16384, -32768, -32768, 100}, {16384, -32768, 32767, -100}, &o, nullptr);
  EXPECT_EQ(o, (Samples{8192, 32767, -32767, 0}));
  // Bias 1024 (a layout value): m = 65536, out = 2 * A: -32768 -> -65536 -> -32767
  r.setParm(m, 0, 1024.0f);
  r.setParm(m, 1, 0.0f);
  r.stream({-32768, 32767, 1000}, {0, 0, 0}, &o, nullptr);
  EXPECT_EQ(o, (Samples{-32767, 32767, 2000}));
}

TEST_P(Routing, MultiplyWithHugeBiasOrScaleSaturates)
{
  Rig r(GetParam());
  int m = r.add(MULT);
  r.wire(Rig::lineIn(), 0, m, 0);
  r.wire(Rig::lineIn(), 1, m, 1);
  r.wire(m, 0, Rig::lineOut(), 0);
  Samples o;
  // Bias 1e9: bias * 64 = 6.4e10, far past 32 bits; A = 1 gives 6.4e10 / 32768 -> 32767
  r.setParm(m, 0, 1e9f);
  r.stream({1, -1, 0}, {0, 0, 0}, &o, nullptr);
  EXPECT_EQ(o, (Samples{32767, -32767, 0}));
  // Scale -1e12 saturates to the int range: B = 1 -> m = -2147483648 / 256 = -8388608
  // (+ bias 0); A = 1 -> -256; A = 200 -> -51200 -> -32767
  r.setParm(m, 0, 0.0f);
  r.setParm(m, 1, -1e12f);
  r.stream({1, 200}, {1, 1}, &o, nullptr);
  EXPECT_EQ(o, (Samples{-256, -32767}));
}

// ---- Panning Mixer ----------------------------------------------------------------------

TEST_P(Routing, PanningMixerSplitsOneInputByItsPan)
{
  Rig r(GetParam());
  int p = r.add(PAN);
  r.wire(Rig::lineIn(), 0, p, 0);
  r.wire(p, 0, Rig::lineOut(), 0);
  r.wire(p, 1, Rig::lineOut(), 1);
  Samples L, R;
  // VolA 200, PanA 64: G0 = 0.78125 * 65536 = 51200, G1 = 51200 * 64 / 128 = 25600.
  // 1000 * 51200 / 65536 = 781.25 -> 781, 1000 * 25600 / 65536 = 390.6 -> 390.
  r.setParm(p, 4, 64.0f);
  r.stream({1000, -1000}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{781, -781}));
  EXPECT_EQ(R, (Samples{390, -390}));
  // Pan 128 takes the second branch: gain0 = v * 128 / 128 = v, gain1 = v: both 781
  r.setParm(p, 4, 128.0f);
  r.stream({1000}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{781}));
  EXPECT_EQ(R, (Samples{781}));
  // Pan 127.5 takes the first: G1 = 51200 * 127.5 / 128 = 51000 -> 1000 * 51000 / 65536 = 778
  r.setParm(p, 4, 127.5f);
  r.stream({1000}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{781}));
  EXPECT_EQ(R, (Samples{778}));
  // Pan 128.5: G0 = 51200 * 127.5 / 128 = 51000 -> 778 on the left, 781 on the right
  r.setParm(p, 4, 128.5f);
  r.stream({1000}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{778}));
  EXPECT_EQ(R, (Samples{781}));
  // the edges: pan 0 all left, pan 256 all right (VolA 256: unity)
  r.setParm(p, 0, 256.0f);
  r.setParm(p, 4, 0.0f);
  r.stream({-32768, 5}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{-32767, 5}));
  EXPECT_EQ(R, (Samples{0, 0}));
  r.setParm(p, 4, 256.0f);
  r.stream({32767, 5}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{0, 0}));
  EXPECT_EQ(R, (Samples{32767, 5}));
}

TEST_P(Routing, PanningMixerSumsTermsTruncatedSeparatelyAndClips)
{
  Rig r(GetParam());
  int p = fedFourTimes(r, PAN);
  r.wire(p, 0, Rig::lineOut(), 0);
  r.wire(p, 1, Rig::lineOut(), 1);
  Samples L, R;
  // defaults: each 3 * 51200 / 65536 = 2.34 -> 2, four terms 8 on each side
  r.stream({3, 1000}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{8, 3124}));
  EXPECT_EQ(R, (Samples{8, 3124}));
  // unity volumes: four of -32768 give -131072 -> -32767 (not -32768)
  for (int k = 0; k < 4; k++) r.setParm(p, k, 256.0f);
  r.stream({-32768, 32767}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{-32767, 32767}));
  EXPECT_EQ(R, (Samples{-32767, 32767}));
}

TEST_P(Routing, PanningMixerWithWildLayoutValuesStaysInRange)
{
  Rig r(GetParam());
  int p = r.add(PAN);
  r.wire(Rig::lineIn(), 0, p, 0);
  r.wire(p, 0, Rig::lineOut(), 0);
  r.wire(p, 1, Rig::lineOut(), 1);
  Samples L, R;
  // volume 1e12: gains far past 32 bits saturate, any nonzero sample clips
  r.setParm(p, 0, 1e12f);
  r.stream({1, -1, 0}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{32767, -32767, 0}));
  EXPECT_EQ(R, (Samples{32767, -32767, 0}));
  // NaN volume: both gains NaN -> 0. NaN pan with VolA 200: NaN < 128 is false, so gain0 =
  // v * (256 - NaN) / 128 = NaN -> 0 and gain1 = v -> 781
  r.setParm(p, 0, NAN);
  r.stream({1000}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{0}));
  EXPECT_EQ(R, (Samples{0}));
  r.setParm(p, 0, 200.0f);
  r.setParm(p, 4, NAN);
  r.stream({1000}, {}, &L, &R);
  EXPECT_EQ(L, (Samples{0}));
  EXPECT_EQ(R, (Samples{781}));
}

// ---- chunk bookkeeping ------------------------------------------------------------------

TEST_P(Routing, EveryRoutingModuleGivesBackEveryChunk)
{
  Rig r(GetParam());
  // Line In -> Splitter -> Passthrough/Mixer/XFader/Multiply/Panning Mixer -> Line Out,
  // with some outputs left unwired so that SendOut has chunks to give back
  int sp = r.add(SPLIT), pass = r.add(PASS), mix = r.add(MIXER), xf = r.add(XFADE);
  int mu = r.add(MULT), pan = r.add(PAN);
  r.wire(Rig::lineIn(), 0, sp, 0);
  r.wire(sp, 0, pass, 0);
  r.wire(sp, 1, mix, 2);
  r.wire(sp, 2, xf, 1);
  r.wire(sp, 3, mu, 0);
  r.wire(pass, 0, pan, 0);
  r.wire(mix, 0, pan, 3);
  r.wire(xf, 0, pan, 1);
  r.wire(mu, 0, pan, 2);
  r.wire(pan, 1, Rig::lineOut(), 1);
  int baseline = chunksInUse();
  Samples in(10 * r.frames);
  for (size_t i = 0; i < in.size(); i++) in[i] = (short)((i * 7919) % 20000 - 10000);
  Samples L, R;
  r.stream(in, in, &L, &R);
  EXPECT_EQ(chunksInUse(), baseline);
  EXPECT_EQ(chunkPoolOverflows, 0);
}
