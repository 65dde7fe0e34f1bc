// The sound device under the fake OSS device: the set-up requests and their order, every failure
// and its message, and the whole-buffer reads and writes.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "audio/cardfeed.h"
#include "fakedsp.h"
#include "tests/devicetest.h"

using Lines = std::vector<std::string>;

static const Lines kFullSetUp = {"open O_RDWR", "SETFRAGMENT 0x00050007", "SETDUPLEX", "GETCAPS",
                                 "SETFMT 16", "STEREO 1", "SPEED 44100"};

TEST(DeviceSetUp, AsksForFiveFragmentsFullDuplexS16StereoAt44100InThatOrder)
{
  FakeDevice dev;
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  EXPECT_EQ(dev.logLines(), kFullSetUp);
  EXPECT_GE(fd, 0);
  EXPECT_NE(buf, nullptr);
  EXPECT_EQ(buf_size, 128);
  EXPECT_EQ(sound_opened, 1);
  EXPECT_TRUE(fakedsp_is_open());
}

// The low 16 bits are log2 of the buffer size, the high ones the number of fragments.
struct FragCase {
  int size;
  unsigned arg;
};
class FragmentRequest : public testing::TestWithParam<FragCase> {};

TEST_P(FragmentRequest, CarriesFragmentCountAndLog2OfBufferSize)
{
  FakeDevice dev;
  ASSERT_EQ(open_sound(44100, 16, 2, 5, GetParam().size), 0);
  char expect[64];
  snprintf(expect, sizeof expect, "SETFRAGMENT 0x%08X", GetParam().arg);
  Lines log = dev.logLines();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[1], expect);
  EXPECT_EQ(buf_size, GetParam().size);
}

INSTANTIATE_TEST_SUITE_P(EveryBufferSize, FragmentRequest,
                         testing::Values(FragCase{128, 0x00050007}, FragCase{256, 0x00050008},
                                         FragCase{512, 0x00050009}, FragCase{1024, 0x0005000A},
                                         FragCase{2048, 0x0005000B}, FragCase{4096, 0x0005000C}),
                         [](const testing::TestParamInfo<FragCase> &i) {
                           return "Bytes" + std::to_string(i.param.size);
                         });

TEST(DeviceSetUp, EightBitSamplesAskForUnsignedEightBitFormat)
{
  FakeDevice dev;
  ASSERT_EQ(open_sound(44100, 8, 2, 5, 128), 0);
  Lines log = dev.logLines();
  ASSERT_EQ(log.size(), kFullSetUp.size());
  EXPECT_EQ(log[4], "SETFMT 8");
}

TEST(DeviceSetUp, SecondOpenIsRefusedAndLeavesTheOpenDeviceAlone)
{
  FakeDevice dev;
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  int firstFd = fd;
  char *firstBuf = buf;
  testing::internal::CaptureStderr();
  EXPECT_EQ(open_sound(44100, 16, 2, 5, 1024), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Oops. Sound already opened, pal ! What the heck are ya doin' ?\n");
  EXPECT_EQ(dev.logLines(), kFullSetUp);
  EXPECT_EQ(fd, firstFd);
  EXPECT_EQ(buf, firstBuf);
  EXPECT_EQ(buf_size, 128);
  EXPECT_TRUE(fakedsp_is_open());
}

TEST(DeviceSetUp, DeviceWithoutFullDuplexIsRefusedAndClosed)
{
  FakeDevice dev;
  dev.set("FAKEDSP_CAPS", "0x3000");  // trigger and mmap, but no duplex bit
  testing::internal::CaptureStderr();
  EXPECT_EQ(open_sound(44100, 16, 2, 5, 128), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Sorry but your soundcard can't do full duplex\n");
  EXPECT_EQ(dev.logLines(), (Lines{"open O_RDWR", "SETFRAGMENT 0x00050007", "SETDUPLEX",
                                   "GETCAPS", "close"}));
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(sound_opened, 0);
  EXPECT_FALSE(fakedsp_is_open());
}

TEST(DeviceSetUp, NoDeviceReportsTheOpenFailure)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", "open");
  testing::internal::CaptureStderr();
  EXPECT_EQ(open_sound(44100, 16, 2, 5, 128), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("open audio: ") + strerror(ENOENT) + "\n");
  EXPECT_EQ(dev.logLines(), (Lines{"open O_RDWR"}));
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(sound_opened, 0);
}

// A failing request stops the set-up right there, reports it and closes the device.
struct StepCase {
  const char *step;
  const char *message;
  size_t requestsMade;  // log lines up to and including the failing request
};
class FailingStep : public testing::TestWithParam<StepCase> {};

TEST_P(FailingStep, IsReportedAndLeavesTheDeviceClosed)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", GetParam().step);
  testing::internal::CaptureStderr();
  EXPECT_EQ(open_sound(44100, 16, 2, 5, 128), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string(GetParam().message) + ": " + strerror(EINVAL) + "\n");
  Lines expect(kFullSetUp.begin(), kFullSetUp.begin() + GetParam().requestsMade);
  expect.push_back("close");
  EXPECT_EQ(dev.logLines(), expect);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(sound_opened, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachRequest, FailingStep,
    testing::Values(StepCase{"SETFRAGMENT", "audio: set fragments", 2},
                    StepCase{"SETDUPLEX", "setting duplex on audio", 3},
                    StepCase{"GETCAPS", "getting capabilities of audio card", 4},
                    StepCase{"SETFMT", "audio: set format", 5},
                    StepCase{"SPEED", "audio: set format", 7}),
    [](const testing::TestParamInfo<StepCase> &i) { return std::string(i.param.step); });

TEST(DeviceSetUpDeathTest, FailingChannelRequestEndsTheProgramWithStatusOne)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", "STEREO");
  EXPECT_EXIT(open_sound(44100, 16, 2, 5, 128), testing::ExitedWithCode(1),
              "audio: set format: Invalid argument");
  // The child closed the device before it ended.
  Lines expect(kFullSetUp.begin(), kFullSetUp.begin() + 6);
  expect.push_back("close");
  EXPECT_EQ(dev.logLines(), expect);
}

TEST(DeviceTransfer, ReadsAndWritesMoveWholeBuffersUnchanged)
{
  FakeDevice dev;
  std::string in = framesToBytes(testSignal(3 * 32));
  dev.input(in);
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  for (int pass = 0; pass < 3; pass++) {
    ASSERT_EQ(read_sound(), 0);
    EXPECT_EQ(std::string(buf, 128), in.substr((size_t)pass * 128, 128)) << "pass " << pass;
    ASSERT_EQ(write_sound(), 0);
  }
  EXPECT_EQ(dev.output(), in);
}

TEST(DeviceTransfer, ShortReadCountsAsAFailedRead)
{
  FakeDevice dev;
  // One and a half buffers: the second read gets only 64 bytes.
  dev.input(framesToBytes(testSignal(48)));
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  EXPECT_EQ(read_sound(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_sound(), -1);
  // A short transfer has no system error of its own: it is reported as an I/O error, never as
  // whatever the last call happened to leave behind (often "Success").
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("reading from audio card: ") + strerror(EIO) + "\n");
  EXPECT_EQ(fakedsp_reads(), 2);
}

TEST(DeviceTransfer, FailedWriteIsReported)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", "write");
  dev.input(framesToBytes(testSignal(32)));
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  ASSERT_EQ(read_sound(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_sound(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("writing to audio card: ") + strerror(EIO) + "\n");
}

TEST(DeviceTransfer, ShortWriteCountsAsAFailedWrite)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", "shortwrite");
  dev.input(framesToBytes(testSignal(32)));
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  ASSERT_EQ(read_sound(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(write_sound(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("writing to audio card: ") + strerror(EIO) + "\n");
  EXPECT_EQ(dev.output().size(), 64u);
}

TEST(DeviceTransfer, ReadAfterFailedOpenNeverTouchesAFileThatReusedTheNumber)
{
  FakeDevice dev;
  dev.set("FAKEDSP_CAPS", "0");
  testing::internal::CaptureStderr();
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), -1);
  testing::internal::GetCapturedStderr();
  // The lowest free number is the one the device had; a new file gets it.
  std::string path = dev.dir + "/other";
  writeFileBytes(path, std::string(512, 'x'));
  int other = open(path.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_sound(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("reading from audio card: ") + strerror(EBADF) + "\n");
  EXPECT_EQ(lseek(other, 0, SEEK_CUR), 0);
  close(other);
  unlink(path.c_str());
}

TEST(DeviceTransfer, CloseReleasesDeviceAndBufferAndTheDeviceMayOpenAgain)
{
  FakeDevice dev;
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 256), 0);
  close_sound();
  Lines expect = kFullSetUp;
  expect[1] = "SETFRAGMENT 0x00050008";
  expect.push_back("close");
  EXPECT_EQ(dev.logLines(), expect);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(sound_opened, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(read_sound(), -1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("reading from audio card: "),
            std::string::npos);
  // a second run in the same process opens it again
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 256), 0);
  close_sound();
}

static void noteSignal(int) {}

// A stray signal does not end the program; shutdown's interruption ends the read, quietly.
TEST(DeviceTransfer, InterruptedReadStartsAgainUnlessShutdownAskedItToGiveUp)
{
  FakeDevice dev;
  dev.set("FAKEDSP_STALL", "1");  // no input: the first read blocks
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = noteSignal;
  sigaction(SIGUSR1, &sa, nullptr);  // no SA_RESTART: the blocked read returns EINTR
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);

  std::atomic<int> result{1};
  testing::internal::CaptureStderr();
  std::thread reader([&] { result = read_sound(); });
  auto waitStalled = [] {
    for (int i = 0; i < 1000 && !fakedsp_stalled(); i++) usleep(2000);
    return fakedsp_stalled();
  };
  ASSERT_TRUE(waitStalled());
  pthread_kill(reader.native_handle(), SIGUSR1);
  usleep(20000);
  // Still blocked, in a new read, and nothing reported.
  EXPECT_TRUE(waitStalled());
  EXPECT_EQ(result.load(), 1);

  interrupt_sound();
  pthread_kill(reader.native_handle(), SIGUSR1);
  reader.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(fakedsp_reads(), 0);
}
