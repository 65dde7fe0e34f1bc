// The monitor: the tuner's readings of synthesized tones and of bad input, the peak meters and
// the status line, the load figure against the shutdown line's pass timing, and the commands.
#include <gtest/gtest.h>
#include <math.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "audio/devices.h"
#include "monitor/monitor.h"
#include "monitor/pitch.h"
#include "tests/testutil.h"

using Lines = std::vector<std::string>;

// One tone as a function of time in seconds, full scale 1.
using Tone = std::function<double(double)>;

static Tone sine(double hz, double amp) { return [=](double t) { return amp * sin(2 * M_PI * hz * t); }; }

// A plucked string: eight harmonics falling off as 1/k, the higher ones dying away faster.
static Tone plucked(double hz)
{
  return [=](double t) {
    double v = 0;
    for (int k = 1; k <= 8; k++) v += exp(-t * k / 1.5) / k * sin(2 * M_PI * k * hz * t + k);
    return 0.3 * v;
  };
}

static short toS16(double v)
{
  double s = lround(v * 32768.0);
  return (short)(s > 32767 ? 32767 : s < -32768 ? -32768 : s);
}

// Feeds Line In pass by pass (32 frames) as the audio thread does: `left` on the left channel,
// `right` on the right, `frames` frames (a whole number of passes) from time `t0` frames.
static void feed(const Tone &left, const Tone &right, long t0, long frames)
{
  short pass[64];
  for (long f = 0; f < frames; f += 32) {
    for (int i = 0; i < 32; i++) {
      double t = (t0 + f + i) / 44100.0;
      pass[2 * i] = toS16(left(t));
      pass[2 * i + 1] = toS16(right(t));
    }
    monitorLineIn(pass, 32);
  }
}

static Tone silent() { return [](double) { return 0.0; }; }

static double centsBetween(double hz, double truth) { return 1200.0 * log2(hz / truth); }

struct ToneCase {
  const char *what;
  double hz;
  Tone tone;
  const char *note;
  int cents;
};

// A tone after 100 ms of silence, read every 28 passes (20.3 ms, the worker's pace) by the same estimate the
// worker makes: from 140 ms after the onset on, every reading names the note and is within a cent.
TEST(Tuner, SynthesizedTonesReadWithinACentWithin150MsOfTheirOnset)
{
  const double e1 = 440.0 * pow(2.0, -41 / 12.0), e2 = 2 * e1, sharpA = 440.0 * pow(2.0, 7 / 1200.0);
  ToneCase cases[] = {
      {"E1", e1, sine(e1, 0.25), "E1", 0},
      {"E2", e2, sine(e2, 0.25), "E2", 0},
      {"A4", 440.0, sine(440.0, 0.25), "A4", 0},
      {"A4 7 cents sharp", sharpA, sine(sharpA, 0.25), "A4", 7},
      {"plucked E2", e2, plucked(e2), "E2", 0},
      {"plucked A2", 110.0, plucked(110.0), "A2", 0},
      {"E6", 4 * 440.0 * pow(2.0, -5 / 12.0), sine(4 * 440.0 * pow(2.0, -5 / 12.0), 0.25), "E6", 0},
  };
  for (auto &c : cases) {
    monitorReset();
    feed(silent(), silent(), 0, 4416);
    long onset = 4416;
    for (long at = 896; at <= 896 * 25; at += 896) {
      // the tone starts at the onset; its own clock starts there too
      feed([&](double t) { return c.tone(t - onset / 44100.0); }, silent(), onset + at - 896, 896);
      double ms = at / 44.1;
      pitchReading r = tunerReadNow();
      if (ms < 140) continue;
      ASSERT_TRUE(r.note) << c.what << " at " << ms << " ms";
      EXPECT_NEAR(centsBetween(r.hz, c.hz), 0.0, 1.0) << c.what << " at " << ms << " ms";
      EXPECT_EQ(noteName(r.midi), c.note) << c.what;
      EXPECT_EQ(lround(r.cents), c.cents) << c.what << " at " << ms << " ms";
    }
  }
}

TEST(Tuner, ReadsTheLouderChannelAndFollowsTheReference)
{
  monitorReset();
  feed(sine(110.0, 0.05), sine(440.0, 0.3), 0, 8832);
  pitchReading r = tunerReadNow();
  ASSERT_TRUE(r.note);
  EXPECT_EQ(describeReading(r), "A4 +0 cents 440.00 Hz");
  // A4 = 442: 440 Hz is 1200 * log2(440 / 442) = -7.85 cents flat
  setTunerReference(442.0);
  EXPECT_EQ(describeReading(tunerReadNow()), "A4 -8 cents 440.00 Hz");
  setTunerReference(400.0);
  EXPECT_EQ(tunerReference(), 430.0);
  setTunerReference(460.0);
  EXPECT_EQ(tunerReference(), 450.0);
  setTunerReference(440.0);
}

TEST(Tuner, BadInputGivesNoWildNote)
{
  std::mt19937 rng(7);
  std::normal_distribution<double> gauss(0.0, 0.2);
  const double e2 = 440.0 * pow(2.0, -29 / 12.0);
  struct {
    const char *what;
    Tone tone;
    const char *expect;  // nullptr: any note in range or none
  } cases[] = {
      {"silence", silent(), "no note"},
      {"white noise", [&](double) { return gauss(rng); }, "no note"},
      {"DC", [](double) { return 0.4; }, "no note"},
      {"quiet A4 under the floor", sine(440.0, 0.001), "no note"},
      {"clipped square A2", [](double t) { return 4.0 * sin(2 * M_PI * 110.0 * t); }, "A2"},
      {"E major chord", [=](double t) {
         return 0.2 * (sin(2 * M_PI * e2 * t) + sin(2 * M_PI * e2 * 1.4983 * t) +
                       sin(2 * M_PI * e2 * 2 * t) + sin(2 * M_PI * e2 * 2.5198 * t));
       }, nullptr},
  };
  for (auto &c : cases) {
    monitorReset();
    feed(c.tone, c.tone, 0, 8832);
    pitchReading r = tunerReadNow();
    std::string text = describeReading(r);
    if (c.expect && std::string(c.expect) == "no note") {
      EXPECT_EQ(text, "no note") << c.what;
    } else if (c.expect) {
      ASSERT_TRUE(r.note) << c.what;
      EXPECT_EQ(noteName(r.midi), c.expect) << c.what;
      EXPECT_NEAR(r.cents, 0.0, 3.0) << c.what;
    } else if (r.note) {
      EXPECT_GE(r.hz, TUNER_LOW_HZ) << c.what;
      EXPECT_LE(r.hz, TUNER_HIGH_HZ) << c.what;
    }
  }
}

TEST(Tuner, NoteNamesAndReadingLines)
{
  EXPECT_EQ(noteName(28) + noteName(61) + noteName(0), "E1C#4C-1");
  pitchReading r;
  r.note = true;
  r.hz = 82.55;  // 1200 * log2(82.55 / 82.4069) = +3.0 cents above E2
  placeNote(r, 440.0);
  EXPECT_EQ(describeReading(r), "E2 +3 cents 82.55 Hz");
  r.hz = 436.0;  // -15.8 cents
  placeNote(r, 440.0);
  EXPECT_EQ(describeReading(r), "A4 -16 cents 436.00 Hz");
}

// ---- meters and the status line ----

TEST(Meters, HalfScaleSineReadsMinusSixDbfsAndFullScaleClips)
{
  monitorReset();
  feed(sine(1000.0, 0.5), silent(), 0, 4416);
  short out[64];
  for (int i = 0; i < 64; i++) out[i] = i % 2 ? 16384 : -32768;
  monitorPass(out, 32);
  meterPeaks p = monitorTakePeaks(READER_WINDOW);
  EXPECT_NEAR(peakDbfs(p.in[0]), -6.02, 0.1);
  EXPECT_EQ(dbText(p.in[0]) + dbText(p.in[1]) + dbText(32768), "-6.0-inf0.0");
  EXPECT_TRUE(peakClipped(p.out[0]));
  EXPECT_FALSE(peakClipped(p.in[0]));
  // the status reader keeps its own peaks; the next status starts afresh
  EXPECT_EQ(statusLine(-1), "load -- xruns n/a in -6.0/-inf dBFS out 0.0/-6.0 dBFS");
  EXPECT_EQ(statusLine(3), "load -- xruns 3 in -inf/-inf dBFS out -inf/-inf dBFS");
  EXPECT_EQ(monitorTakePeaks(READER_WINDOW).in[0], 0);
  EXPECT_EQ(monitorPasses(), 1);
}

TEST(Meters, APeakIsFoundWhereverItFallsInABlockOfAnyLength)
{
  for (int n : {1, 7, 8, 9, 37, 2048}) {
    for (int at : {0, n / 2, n - 1}) {
      monitorReset();
      std::vector<short> out((size_t)n * 2, 5);
      out[(size_t)at * 2] = -32768;
      out[(size_t)at * 2 + 1] = 1000;
      monitorPass(out.data(), n, 3);
      meterPeaks p = monitorTakePeaks(READER_STATUS);
      EXPECT_EQ(p.out[0], 32768) << n << " frames, peak at " << at;
      EXPECT_EQ(p.out[1], 1000) << n << " frames, peak at " << at;
      EXPECT_EQ(monitorPasses(), 3);
    }
  }
}

// ---- load ----

// Passes go through notePassTime, as every device reports them, so the load and the shutdown
// line's worst pass come from the same timings. Period 725 us (32 frames).
TEST(Load, SmoothedFigureAgreesWithThePassTimesTheShutdownLineReports)
{
  monitorReset();
  resetPassStats();
  const long long P = 725000;
  auto round = [&](std::function<long long(int)> ns) {
    for (int i = 0; i < 32; i++) notePassTime(ns(i), P);
  };
  round([&](int) { return P / 10; });
  EXPECT_NEAR(monitorLoadPercent(), 10.0, 0.01);
  EXPECT_NEAR(worstPassShare(), 0.10, 0.001);
  // the next round's 30% averages half and half with the 10% before
  round([&](int) { return 3 * P / 10; });
  EXPECT_NEAR(monitorLoadPercent(), 20.0, 0.01);
  // one pass within 5% of the period: the round counts as that pass, not the mean
  round([&](int i) { return i == 7 ? 97 * P / 100 : P / 10; });
  EXPECT_NEAR(monitorLoadPercent(), (97.0 + 20.0) / 2, 0.01);
  EXPECT_NEAR(worstPassShare(), 0.97, 0.001);
  // a pass longer than the period: no spare time at all
  round([&](int i) { return i == 0 ? 2 * P : P / 10; });
  EXPECT_NEAR(monitorLoadPercent(), (100.0 + 58.5) / 2, 0.01);
  EXPECT_EQ(monitorPeriodNs(), P);
  EXPECT_EQ(monitorPeriodChanges(), 0);
  // a new period: no figure until a round at it has run, and the change is counted
  notePassTime(P / 5, 2 * P);
  EXPECT_EQ(monitorLoadPercent(), -1.0);
  EXPECT_EQ(monitorPeriodChanges(), 1);
  EXPECT_EQ(monitorPeriodNs(), 2 * P);
  for (int i = 0; i < 31; i++) notePassTime(P / 5, 2 * P);
  EXPECT_NEAR(monitorLoadPercent(), 10.0, 0.01);
}

// ---- commands ----

TEST(MonitorCommands, StatusAndTunerAreWordsInAnyCaseAndLeaveTheLetterCommandsAlone)
{
  bootGraph();
  monitorReset();
  EXPECT_EQ(command("status"), (Lines{"load -- xruns n/a in -inf/-inf dBFS out -inf/-inf dBFS"}));
  EXPECT_EQ(command("  STATUS \n"), (Lines{"load -- xruns n/a in -inf/-inf dBFS out -inf/-inf dBFS"}));
  EXPECT_EQ(command("Tuner"), (Lines{"no note"}));
  feed(sine(110.0, 0.25), silent(), 0, 8832);
  EXPECT_EQ(command("tuner"), (Lines{"A2 +0 cents 110.00 Hz"}));
  usleep(300000);  // sound that stopped flowing is no note
  EXPECT_EQ(command("tuner"), (Lines{"no note"}));
  EXPECT_EQ(command("statusx"), (Lines{"unrecognized command STATUSX"}));
  EXPECT_EQ(command("tuner 3"), (Lines{"unrecognized command TUNER 3"}));
  EXPECT_FALSE(monitorCommand("A 5"));
  static int opened = 0;
  setTunerOpener([] { opened++; });
  command("tuner");
  EXPECT_EQ(opened, 1);
  setTunerOpener(nullptr);
}
