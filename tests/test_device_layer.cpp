// The device layer common to the back ends: reading -d values, how JACK periods map onto passes,
// the float <-> 16-bit conversion, and the statistics line printed at shutdown.
#include <gtest/gtest.h>
#include <math.h>

#include "tests/devtest.h"

TEST(DeviceChoice, EveryKindIsReadWithItsArgument)
{
  soundDeviceChoice c;
  ASSERT_TRUE(parseSoundDevice("oss", c));
  EXPECT_EQ(c.kind, DEV_OSS);
  EXPECT_EQ(c.path, "/dev/dsp");
  ASSERT_TRUE(parseSoundDevice("oss:/dev/dsp1", c));
  EXPECT_EQ(c.path, "/dev/dsp1");
  ASSERT_TRUE(parseSoundDevice("alsa", c));
  EXPECT_EQ(c.kind, DEV_ALSA);
  EXPECT_EQ(c.path, "default");
  // ALSA names have colons of their own.
  ASSERT_TRUE(parseSoundDevice("alsa:hw:1,0", c));
  EXPECT_EQ(c.path, "hw:1,0");
  ASSERT_TRUE(parseSoundDevice("jack", c));
  EXPECT_EQ(c.kind, DEV_JACK);
  ASSERT_TRUE(parseSoundDevice("file:in.wav:/tmp/out:take2.wav", c));
  EXPECT_EQ(c.kind, DEV_FILE);
  EXPECT_EQ(c.path, "in.wav");
  EXPECT_EQ(c.outPath, "/tmp/out:take2.wav");
  ASSERT_TRUE(parseSoundDevice("ALSA:pulse", c));
  EXPECT_EQ(c.kind, DEV_ALSA);
}

TEST(DeviceChoice, MalformedValuesAreRefusedAndChangeNothing)
{
  soundDeviceChoice c;
  ASSERT_TRUE(parseSoundDevice("alsa:front", c));
  for (const char *bad : {"", "pulse", "oss:", "alsa:", "jack:x", "file", "file:in.wav",
                          "file::out.wav", "file:in.wav:", "osss"}) {
    EXPECT_FALSE(parseSoundDevice(bad, c)) << bad;
    EXPECT_EQ(c.kind, DEV_ALSA) << bad;
    EXPECT_EQ(c.path, "front") << bad;
  }
  EXPECT_FALSE(parseSoundDevice(nullptr, c));
}

TEST(JackPeriods, PassSizeFollowsThePeriodWhenItCan)
{
  // The six pass sizes are 32..1024 frames. A period that is one of them is the pass; a period
  // that only some of them divide runs several passes of the largest; any other period runs the
  // -b size through the FIFO.
  struct Case { int period, bytes, pass, fifo; };
  for (Case c : {Case{32, 128, 32, 0}, Case{256, 128, 256, 0}, Case{1024, 4096, 1024, 0},
                 Case{2048, 128, 1024, 0}, Case{96, 512, 32, 0}, Case{4096, 256, 1024, 0},
                 Case{48, 256, 64, 1}, Case{1000, 128, 32, 1}, Case{16, 128, 32, 1}}) {
    jackPassPlan p = planJackPasses(c.period, c.bytes);
    EXPECT_EQ(p.passFrames, c.pass) << "period " << c.period;
    EXPECT_EQ(p.fifo, c.fifo) << "period " << c.period;
  }
}

TEST(JackConversion, FullScaleMapsOntoSixteenBitsAndClips)
{
  // 1/32768 is one step; +1.0 is one step beyond the largest sample and clips to 32767.
  EXPECT_EQ(floatToS16(0.0f), 0);
  EXPECT_EQ(floatToS16(1.0f / 32768), 1);
  EXPECT_EQ(floatToS16(-1.0f), -32768);
  EXPECT_EQ(floatToS16(1.0f), 32767);
  EXPECT_EQ(floatToS16(3.5f), 32767);
  EXPECT_EQ(floatToS16(-7.0f), -32768);
  EXPECT_EQ(floatToS16(0.5f), 16384);
  EXPECT_EQ(floatToS16(-0.25f), -8192);
  // Halfway between steps rounds to the even neighbour, not always down.
  EXPECT_EQ(floatToS16(2.5f / 32768), 2);
  EXPECT_EQ(floatToS16(3.5f / 32768), 4);
  EXPECT_EQ(floatToS16(-1.6f / 32768), -2);
  EXPECT_EQ(floatToS16(NAN), 0);
  EXPECT_EQ(floatToS16(INFINITY), 32767);
  EXPECT_EQ(floatToS16(-INFINITY), -32768);
  // Every 16-bit value survives the trip through float.
  for (int s = -32768; s <= 32767; s++) ASSERT_EQ(floatToS16(s16ToFloat((short)s)), s);
  EXPECT_EQ(s16ToFloat(-32768), -1.0f);
  EXPECT_EQ(s16ToFloat(16384), 0.5f);
}

TEST(DeviceStats, ShutdownLineNamesXrunsAndTheWorstPass)
{
  resetPassStats();
  EXPECT_EQ(deviceStatsLine(0), "Xruns: 0; no pass ran");
  // A 128-byte buffer is 32 frames: 32 / 44100 s = 725623 ns. Passes of 100 us and 290 us:
  // the worst is 290249 / 725623 = 40.0 %.
  notePassTime(100000, 725623);
  notePassTime(290249, 725623);
  notePassTime(50000, 725623);
  EXPECT_EQ(deviceStatsLine(3), "Xruns: 3; worst pass 40.0% of the period (290 us of 725 us)");
  // The worst is the largest share, not the longest time: 2 ms of a 23 ms period is less.
  notePassTime(2000000, 23219954);
  EXPECT_EQ(deviceStatsLine(-1),
            "Xruns: not reported by the device; worst pass 40.0% of the period (290 us of 725 us)");
  notePassTime(900000, 725623);
  EXPECT_EQ(deviceStatsLine(0), "Xruns: 0; worst pass 124.0% of the period (900 us of 725 us)");
}

TEST(DeviceStats, ThePassIsTimedFromTheReadToTheWrite)
{
  resetPassStats();
  buf_size = 128;
  markReadDone();
  usleep(2000);
  markWriteStart();
  // At least the 2 ms slept, against the 725 us period of 32 frames.
  EXPECT_GE(worstPassNs(), 2000000);
  EXPECT_EQ(worstPeriodNs(), 725623);
  EXPECT_GT(worstPassShare(), 2.7);
  // A write without a read before it (the first pass of a JACK run) counts nothing.
  resetPassStats();
  markWriteStart();
  EXPECT_EQ(worstPeriodNs(), 0);
}
