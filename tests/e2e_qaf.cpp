// End-to-end runs of the real program under the fake OSS device (preloaded), on the virtual X
// server this whole program runs under: the device requests, the start-up lines, the options,
// the sound of the start-up patch, device failures and both ways the program ends.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "tests/devicetest.h"

using Lines = std::vector<std::string>;

struct QafRun {
  int status = -1;  // exit status; -1 when the program did not end by exiting
  Lines out;
  std::string err;
};

// Runs build/qaf with the arguments, the fake device preloaded (unless told not to), while
// `during` (if any) acts on the running program.
static QafRun runQaf(FakeDevice &dev, const std::vector<std::string> &args,
                  const std::function<void(pid_t)> &during = nullptr, bool preload = true,
                  const std::function<void()> &inChild = nullptr)
{
  std::string outPath = dev.dir + "/stdout", errPath = dev.dir + "/stderr";
  pid_t pid = fork();
  if (pid == 0) {
    if (preload) setenv("LD_PRELOAD", FAKEDSP_LIBRARY, 1);
    if (inChild) inChild();
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(98);
    std::vector<char *> argv;
    argv.push_back((char *)QAF_BINARY);
    for (const std::string &a : args) argv.push_back((char *)a.c_str());
    argv.push_back(nullptr);
    execv(QAF_BINARY, argv.data());
    _exit(97);
  }
  if (during) during(pid);
  QafRun r;
  int st = 0;
  bool ended = false;
  for (int t = 0; t < 20000 && !ended; t += 5) {
    if (waitpid(pid, &st, WNOHANG) == pid) ended = true;
    else usleep(5000);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    ADD_FAILURE() << "qaf did not end";
  } else if (WIFEXITED(st)) {
    r.status = WEXITSTATUS(st);
  }
  r.out = readLines(outPath);
  r.err = readFileBytes(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  return r;
}

// Whether this machine grants the audio thread real-time scheduling, as the program asks it.
static bool realtimeGranted()
{
  bool ok = false;
  std::thread([&] {
    struct sched_param sp;
    memset(&sp, 0, sizeof sp);
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
    ok = sched_setscheduler(0, SCHED_FIFO, &sp) == 0;
  }).join();
  return ok;
}

static Lines startUpLines(int bufferBytes)
{
  Lines l = {"I compiled",
             "MOD_EXEC_NUM 2",
             "Module ID 100 executes 0",
             "Module ID 101 executes 1",
             "Creating mutex",
             "Creating loops and loop mutexes",
             "Sound buffer size: " + std::to_string(bufferBytes) + " bytes.",
             "audio thread started!"};
  if (!realtimeGranted()) l.push_back("Can't get realtime priority for audio thread.");
  return l;
}

static Lines plus(Lines l, const Lines &more)
{
  l.insert(l.end(), more.begin(), more.end());
  return l;
}

static bool has(const std::string &text, const std::string &part)
{
  return text.find(part) != std::string::npos;
}

static int count(const Lines &l, const std::string &s) { return (int)std::count(l.begin(), l.end(), s); }

static std::string silence(size_t n) { return std::string(n, '\0'); }

static const Lines kSetUp = {"open O_RDWR", "SETFRAGMENT 0x00050007", "SETDUPLEX", "GETCAPS",
                             "SETFMT 16", "STEREO 1", "SPEED 44100"};

TEST(StartUp, DefaultRunSetsTheDeviceUpInOrderAndPrintsEveryLineInOrder)
{
  FakeDevice dev;
  dev.input(framesToBytes(testSignal(10 * 32)));
  QafRun r = runQaf(dev, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, plus(startUpLines(128), {"Audio thread terminating!"}));
  EXPECT_EQ(dev.logLines(), plus(kSetUp, {"close"}));
  // Ten passes, then the read that finds the input used up.
  EXPECT_TRUE(has(r.err, std::string("reading from audio card: ") + strerror(EIO) + "\n")) << r.err;
}

TEST(StartUp, UnwiredStartUpPatchPlaysSilenceForEveryBufferRead)
{
  FakeDevice dev;
  dev.input(framesToBytes(testSignal(50 * 32)));
  QafRun r = runQaf(dev, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dev.output(), silence(50 * 128));
}

TEST(StartUp, BufferOptionThreeAsksForAndMovesKilobyteBuffers)
{
  FakeDevice dev;
  dev.set("FAKEDSP_LOG_IO", "1");
  dev.input(framesToBytes(testSignal(8 * 256)));
  QafRun r = runQaf(dev, {"-b", "3"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, plus(startUpLines(1024), {"Audio thread terminating!"}));
  Lines expect = kSetUp;
  expect[1] = "SETFRAGMENT 0x0005000A";
  for (int i = 0; i < 8; i++) {
    expect.push_back("read 1024");
    expect.push_back("write 1024");
  }
  expect.push_back("read 0");  // the input is used up
  expect.push_back("close");
  EXPECT_EQ(dev.logLines(), expect);
  EXPECT_EQ(dev.output(), silence(8 * 1024));
}

// Buffer bytes are fs[n] = 128 << n; the fragment request's low bits are log2 of that.
struct OptionCase {
  std::vector<std::string> args;
  int bytes;
  const char *fragment;
};
class BufferOption : public testing::TestWithParam<OptionCase> {};

TEST_P(BufferOption, SelectsTheBufferSizeOrIsIgnored)
{
  FakeDevice dev;
  QafRun r = runQaf(dev, GetParam().args);
  EXPECT_EQ(r.status, 0);
  ASSERT_GE(r.out.size(), 7u);
  EXPECT_EQ(r.out[6], "Sound buffer size: " + std::to_string(GetParam().bytes) + " bytes.");
  Lines log = dev.logLines();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[1], GetParam().fragment);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, BufferOption,
    testing::Values(OptionCase{{"-B", "5"}, 4096, "SETFRAGMENT 0x0005000C"},
                    OptionCase{{"-b", "0"}, 128, "SETFRAGMENT 0x00050007"},
                    OptionCase{{"-b", "6"}, 128, "SETFRAGMENT 0x00050007"},
                    OptionCase{{"-b", "-1"}, 128, "SETFRAGMENT 0x00050007"},
                    OptionCase{{"-b", "abc"}, 128, "SETFRAGMENT 0x00050007"},
                    OptionCase{{"-b", "2", "-b", "4"}, 2048, "SETFRAGMENT 0x0005000B"},
                    OptionCase{{"-b", "1", "-b", "9"}, 256, "SETFRAGMENT 0x00050008"},
                    OptionCase{{"-b4"}, 2048, "SETFRAGMENT 0x0005000B"}),
    [](const testing::TestParamInfo<OptionCase> &i) {
      std::string n;
      for (const std::string &a : i.param.args)
        for (char c : a) n += isalnum((unsigned char)c) ? c : (c == '-' ? '_' : 'x');
      return n;
    });

TEST(StartUp, UnknownOptionGetsTheParsersDiagnosticAndIsOtherwiseIgnored)
{
  FakeDevice dev;
  QafRun r = runQaf(dev, {"-x", "-b", "2"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.err, "invalid option -- 'x'")) << r.err;
  ASSERT_GE(r.out.size(), 7u);
  EXPECT_EQ(r.out[6], "Sound buffer size: 512 bytes.");
}

TEST(StartUp, BufferOptionWithoutAValueGetsTheParsersDiagnostic)
{
  FakeDevice dev;
  QafRun r = runQaf(dev, {"-b"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.err, "option requires an argument -- 'b'")) << r.err;
  ASSERT_GE(r.out.size(), 7u);
  EXPECT_EQ(r.out[6], "Sound buffer size: 128 bytes.");
}

// ---- Devices that cannot be used: the reason, then the audio thread's first read fails.

static void expectEndsThroughFailedFirstRead(const QafRun &r, const std::string &reason)
{
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, plus(startUpLines(128), {"Audio thread terminating!"}));
  size_t a = r.err.find(reason);
  size_t b = r.err.find(std::string("reading from audio card: ") + strerror(EBADF) + "\n");
  EXPECT_NE(a, std::string::npos) << r.err;
  EXPECT_NE(b, std::string::npos) << r.err;
  EXPECT_LT(a, b) << r.err;
}

TEST(BadDevice, DeviceWithoutFullDuplexEndsWithStatusZero)
{
  FakeDevice dev;
  dev.set("FAKEDSP_CAPS", "0");
  dev.input(framesToBytes(testSignal(32)));
  QafRun r = runQaf(dev, {});
  expectEndsThroughFailedFirstRead(r, "Sorry but your soundcard can't do full duplex\n");
  EXPECT_EQ(dev.logLines(), (Lines{"open O_RDWR", "SETFRAGMENT 0x00050007", "SETDUPLEX",
                                   "GETCAPS", "close"}));
}

TEST(BadDevice, RefusedFragmentRequestEndsWithStatusZero)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", "SETFRAGMENT");
  QafRun r = runQaf(dev, {});
  expectEndsThroughFailedFirstRead(r, std::string("audio: set fragments: ") + strerror(EINVAL) + "\n");
  EXPECT_EQ(dev.logLines(), (Lines{"open O_RDWR", "SETFRAGMENT 0x00050007", "close"}));
}

TEST(BadDevice, MissingDeviceEndsWithStatusZero)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", "open");
  QafRun r = runQaf(dev, {});
  expectEndsThroughFailedFirstRead(r, std::string("open audio: ") + strerror(ENOENT) + "\n");
}

TEST(BadDevice, MachineWithoutAnyOssDeviceEndsWithStatusZero)
{
  if (access("/dev/dsp", F_OK) == 0) GTEST_SKIP() << "this machine has /dev/dsp";
  FakeDevice dev;
  QafRun r = runQaf(dev, {}, nullptr, false);
  expectEndsThroughFailedFirstRead(r, std::string("open audio: ") + strerror(ENOENT) + "\n");
}

TEST(BadDevice, RefusedChannelRequestEndsWithStatusOneBeforeTheAudioThread)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", "STEREO");
  QafRun r = runQaf(dev, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, std::string("audio: set format: ") + strerror(EINVAL) + "\n")) << r.err;
  Lines expect = startUpLines(128);
  expect.resize(7);  // up to "Sound buffer size: ..."
  EXPECT_EQ(r.out, expect);
  EXPECT_EQ(dev.logLines(), (Lines{"open O_RDWR", "SETFRAGMENT 0x00050007", "SETDUPLEX",
                                   "GETCAPS", "SETFMT 16", "STEREO 1", "close"}));
}

TEST(BadDevice, FailedWritesAreReportedAndThePassesGoOn)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", "write");
  dev.set("FAKEDSP_LOG_IO", "1");
  dev.input(framesToBytes(testSignal(4 * 32)));
  QafRun r = runQaf(dev, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.back(), "Audio thread terminating!");
  std::string line = std::string("writing to audio card: ") + strerror(EIO) + "\n";
  int writesReported = 0;
  for (size_t p = r.err.find(line); p != std::string::npos; p = r.err.find(line, p + 1))
    writesReported++;
  EXPECT_EQ(writesReported, 4);
  EXPECT_EQ(count(dev.logLines(), "read 128"), 4);
}

// The fake device refuses the program's own thread (the window's toolkit keeps its threads).
TEST(BadDevice, AudioThreadThatCannotBeCreatedEndsWithStatusOneAfterClosingTheDevice)
{
  FakeDevice dev;
  dev.set("FAKEDSP_FAIL", "thread");
  QafRun r = runQaf(dev, {});
  EXPECT_EQ(r.status, 1);
  Lines expect = startUpLines(128);
  expect.resize(7);  // up to "Sound buffer size: ..."
  expect.push_back("Audio thread creation failed!");
  EXPECT_EQ(r.out, expect);
  EXPECT_EQ(dev.logLines(), plus(kSetUp, {"close"}));
}

// ---- The end of the program.

TEST(Ending, ShortReadEndsWithStatusZeroAfterTheTerminatingLine)
{
  FakeDevice dev;
  dev.set("FAKEDSP_LOG_IO", "1");
  dev.input(framesToBytes(testSignal(3 * 32)) + std::string(50, '\7'));
  QafRun r = runQaf(dev, {});
  EXPECT_EQ(r.status, 0);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), "Audio thread terminating!");
  Lines log = dev.logLines();
  EXPECT_EQ(count(log, "read 128"), 3);
  EXPECT_EQ(count(log, "read 50"), 1);
  EXPECT_EQ(count(log, "write 128"), 3);
  EXPECT_EQ(log.back(), "close");
}

static void waitForFileSize(const std::string &path, size_t size)
{
  for (int t = 0; t < 10000 && readFileBytes(path).size() < size; t += 5) usleep(5000);
}

// The audio thread waits in a read that never completes when the user asks the program to end.
TEST(Ending, TerminationRequestWhileTheDeviceIsSilentShutsDownCleanly)
{
  FakeDevice dev;
  dev.set("FAKEDSP_STALL", "1");
  dev.input(framesToBytes(testSignal(5 * 32)));
  QafRun r = runQaf(dev, {}, [&](pid_t pid) {
    waitForFileSize(dev.out, 5 * 128);
    usleep(100000);
    kill(pid, SIGTERM);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, plus(startUpLines(128), {"Destroying mutex", "Destroyed loop mutexes"}));
  EXPECT_EQ(dev.logLines(), plus(kSetUp, {"close"}));
  EXPECT_EQ(dev.output(), silence(5 * 128));
}

// A device running at its real pace, interrupted at some moment inside its passes.
TEST(Ending, TerminationRequestWhileSoundIsFlowingShutsDownCleanly)
{
  FakeDevice dev;
  dev.set("FAKEDSP_PACE", "1");
  std::string in = framesToBytes(testSignal(3 * 44100));  // three seconds
  dev.input(in);
  QafRun r = runQaf(dev, {}, [&](pid_t pid) {
    waitForFileSize(dev.out, 20 * 128);
    usleep(50000);
    kill(pid, SIGINT);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, plus(startUpLines(128), {"Destroying mutex", "Destroyed loop mutexes"}));
  std::string out = dev.output();
  EXPECT_GE(out.size(), 20u * 128);
  EXPECT_LT(out.size(), in.size());
  EXPECT_EQ(out.size() % 128, 0u);
  EXPECT_EQ(out, silence(out.size()));
  EXPECT_EQ(dev.logLines().back(), "close");
}
