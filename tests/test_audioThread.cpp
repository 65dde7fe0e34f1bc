// The real device code and audio loop, in this process, under the fake OSS device: what a patch
// built with text commands does to the sound, the one-pass delays of feedback and late feeders,
// and the end of the program from either thread.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "engine/audioThread.h"
#include "engine/soundNode.h"
#include "fakedsp.h"
#include "modules/pump.h"
#include "samples/loopStore.h"
#include "tests/devicetest.h"
#include "tests/fadeIn.h"
#include "files/fileops.h"
#include "monitor/monitor.h"
#include "tests/testutil.h"
#include "command/cmdparse.h"

using Lines = std::vector<std::string>;
using Samples = std::vector<short>;

static bool waitFor(bool (*cond)(), int ms)
{
  for (int t = 0; t < ms; t += 2) {
    if (cond()) return true;
    usleep(2000);
  }
  return cond();
}

static int expectedPasses = 0;
static bool allPassesDone()
{
  return fakedsp_stalled() && fakedsp_reads() == expectedPasses &&
         fakedsp_writes() == expectedPasses;
}

// Runs the audio thread over the whole input and stops it once the device waits for more.
// Returns what the device was given to play.
static std::string runLoop(FakeDevice &dev, const std::string &input, int bufferBytes)
{
  dev.set("FAKEDSP_STALL", "1");
  dev.input(input);
  sound_buffer_size = bufferBytes;
  sound_chunk_size = bufferBytes / 2;
  EXPECT_EQ(open_sound(44100, 16, 2, 5, sound_buffer_size), 0);
  expectedPasses = (int)(input.size() / (size_t)bufferBytes);
  beginCapture();
  EXPECT_EQ(audio_thread_launch(), 0);
  bool done = waitFor(allPassesDone, 10000);
  bool stopped = audio_thread_stop();
  Lines out = endCapture();
  EXPECT_TRUE(done) << "reads " << fakedsp_reads() << " writes " << fakedsp_writes();
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(out.empty());
  if (!out.empty()) {
    EXPECT_EQ(out[0], "audio thread started!");
  }
  return dev.output();
}

static void unityGain(int id)
{
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->ID == id)
      for (int k = 0; k < 4; k++) MOD[s]->parm[k] = 256.0f;  // Passthrough at exact unity
}

static Samples channel(const Samples &frames, int ch)
{
  Samples v;
  for (size_t i = (size_t)ch; i < frames.size(); i += 2) v.push_back(frames[i]);
  return v;
}

// The channel as it comes out one buffer later: one buffer of silence first, the last one lost.
static Samples delayedByOneBuffer(const Samples &ch, int framesPerBuffer)
{
  Samples v((size_t)framesPerBuffer, 0);
  v.insert(v.end(), ch.begin(), ch.end() - framesPerBuffer);
  return v;
}

class AudioLoop : public testing::Test {
 protected:
  void SetUp() override
  {
    bootGraph();
    beginCapture();
    initLoops();
    endCapture();
  }
  FakeDevice dev;
};

TEST_F(AudioLoop, LineInWiredStraightToLineOutPlaysTheInputByteForByte)
{
  command("C 100-101AA");
  command("C 100-101BB");
  std::vector<short> frames = testSignal(40 * 32);
  EXPECT_EQ(runLoop(dev, framesToBytes(frames), 128), framesToBytes(fadedIn(frames, 32, 2)));
}

TEST_F(AudioLoop, LargerBuffersCarryTheSameSoundInFewerPasses)
{
  command("C 100-101AA");
  command("C 100-101BB");
  std::vector<short> frames = testSignal(12 * 256);  // twelve 1024-byte buffers
  EXPECT_EQ(runLoop(dev, framesToBytes(frames), 1024), framesToBytes(fadedIn(frames, 256, 2)));
  EXPECT_EQ(fakedsp_reads(), 12);
}

TEST_F(AudioLoop, UnwiredStartUpPatchPlaysSilence)
{
  std::string in = framesToBytes(testSignal(20 * 32));
  std::string out = runLoop(dev, in, 128);
  EXPECT_EQ(out, std::string(in.size(), '\0'));
}

TEST_F(AudioLoop, LeftInputToRightOutputOnlyLeavesTheLeftSilent)
{
  command("C 100-101AB");
  Samples inFrames = testSignal(30 * 32);
  Samples out = bytesToSamples(runLoop(dev, framesToBytes(inFrames), 128));
  ASSERT_EQ(out.size(), inFrames.size());
  EXPECT_EQ(channel(out, 0), Samples(inFrames.size() / 2, 0));
  EXPECT_EQ(channel(out, 1), fadedIn(channel(inFrames, 0), 32));
  // Line In's unwired right chunk went back to the pool; only nothing waits between passes.
  EXPECT_EQ(chunksInUse(), 0);
}

// Passthrough P: Line In left -> P input B; P output B -> P's own input A; P output A -> Line
// Out left. The chunk fed back from B to A waits in A's slot for P's next pump.
TEST_F(AudioLoop, OwnFeedbackWireToALowerTerminalDelaysByOnePass)
{
  command("A 2");  // ID 102
  unityGain(102);
  command("C 100-102AB");
  command("C 102-102BA");
  command("C 102-101AA");
  Samples inFrames = testSignal(25 * 32);
  Samples out = bytesToSamples(runLoop(dev, framesToBytes(inFrames), 128));
  ASSERT_EQ(out.size(), inFrames.size());
  EXPECT_EQ(channel(out, 0), fadedIn(delayedByOneBuffer(channel(inFrames, 0), 32), 32));
  EXPECT_EQ(channel(out, 1), Samples(inFrames.size() / 2, 0));
}

// Output A -> own input C: the same SendOut finds the chunk in slot C and sends it on at once.
TEST_F(AudioLoop, OwnFeedbackWireToAHigherTerminalPassesThroughInTheSamePass)
{
  command("A 2");
  unityGain(102);
  command("C 100-102AA");
  command("C 102-102AC");
  command("C 102-101CA");
  Samples inFrames = testSignal(25 * 32);
  Samples out = bytesToSamples(runLoop(dev, framesToBytes(inFrames), 128));
  ASSERT_EQ(out.size(), inFrames.size());
  EXPECT_EQ(channel(out, 0), fadedIn(channel(inFrames, 0), 32));
}

// Receiver R (ID 102, slot 2) and feeder F (ID 103, slot 3) are both in tier 1, so R runs
// first; F's chunk reaches R one pass late. R also passes Line In's right channel unchanged.
TEST_F(AudioLoop, FeederRunningAfterItsReceiverArrivesOnePassLate)
{
  command("A 2");
  command("A 2");
  unityGain(102);
  unityGain(103);
  command("C 100-102BB");
  command("C 100-103AA");
  command("C 103-102AA");
  command("C 102-101AA");
  command("C 102-101BB");
  ASSERT_EQ(MOD_EXEC_NUM, 4);
  ASSERT_EQ(MOD_EXEC_ORDER[1], 2);
  ASSERT_EQ(MOD_EXEC_ORDER[2], 3);
  Samples inFrames = testSignal(25 * 32);
  Samples out = bytesToSamples(runLoop(dev, framesToBytes(inFrames), 128));
  ASSERT_EQ(out.size(), inFrames.size());
  EXPECT_EQ(channel(out, 0), fadedIn(delayedByOneBuffer(channel(inFrames, 0), 32), 32));
  EXPECT_EQ(channel(out, 1), fadedIn(channel(inFrames, 1), 32));
}

TEST_F(AudioLoop, FailedWritesAreReportedAndTheLoopGoesOn)
{
  dev.set("FAKEDSP_FAIL", "write");
  dev.set("FAKEDSP_STALL", "1");
  std::string in = framesToBytes(testSignal(6 * 32));
  dev.input(in);
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  testing::internal::CaptureStderr();
  beginCapture();
  ASSERT_EQ(audio_thread_launch(), 0);
  bool done = waitFor([] { return fakedsp_stalled() && fakedsp_reads() == 6; }, 10000);
  EXPECT_TRUE(audio_thread_stop());
  endCapture();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(done);
  std::string line = "writing to audio card: Input/output error\n";
  std::string expect;
  for (int i = 0; i < 6; i++) expect += line;
  EXPECT_EQ(err, expect);
}

static void ignoreSignal(int) {}

// A signal for the whole process (Ctrl-C, say) is never taken by the audio thread: with every
// other thread refusing it too, it stays pending instead of interrupting the device read.
TEST_F(AudioLoop, SignalsFromOutsideLeaveTheAudioThreadsReadAlone)
{
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = ignoreSignal;
  sigaction(SIGUSR1, &sa, nullptr);
  dev.set("FAKEDSP_STALL", "1");
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  beginCapture();
  ASSERT_EQ(audio_thread_launch(), 0);
  bool blocked = waitFor([] { return fakedsp_stalled() != 0; }, 5000);
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);
  kill(getpid(), SIGUSR1);
  usleep(20000);
  sigset_t pending;
  sigpending(&pending);
  int interrupted = fakedsp_interrupted_reads();
  EXPECT_TRUE(audio_thread_stop());
  endCapture();
  EXPECT_TRUE(blocked);
  EXPECT_EQ(sigismember(&pending, SIGUSR1), 1);
  EXPECT_EQ(interrupted, 0);
  // Shutdown's own wake-up does reach it.
  EXPECT_EQ(fakedsp_interrupted_reads(), 1);
}

// ---- The end of the program. Each case runs the program's threads in a child process of its
// own, with its output in files, and looks at how it ended.

struct Ending {
  int status = -1;  // exit status, or -1 when it did not exit normally
  Lines out;
  std::string err;
};

static Ending runChild(FakeDevice &dev, void (*body)())
{
  std::string outPath = dev.dir + "/stdout", errPath = dev.dir + "/stderr";
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    freopen(outPath.c_str(), "w", stdout);
    freopen(errPath.c_str(), "w", stderr);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    body();
    _exit(99);  // the body must end the program itself
  }
  Ending e;
  int st = 0;
  for (int t = 0; t < 10000; t += 2) {
    if (waitpid(pid, &st, WNOHANG) == pid) {
      if (WIFEXITED(st)) e.status = WEXITSTATUS(st);
      e.out = readLines(outPath);
      e.err = readFileBytes(errPath);
      unlink(outPath.c_str());
      unlink(errPath.c_str());
      return e;
    }
    usleep(2000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &st, 0);
  ADD_FAILURE() << "the program did not end";
  return e;
}

static void startUp()
{
  Init_SoundNode_Data();
  initLoops();
  open_sound(44100, 16, 2, 5, sound_buffer_size);
  sound_chunk_size = sound_buffer_size / 2;
}

static bool contains(const Lines &l, const std::string &s)
{
  return std::find(l.begin(), l.end(), s) != l.end();
}

static int countOf(const Lines &l, const std::string &s)
{
  return (int)std::count(l.begin(), l.end(), s);
}

TEST(ProgramEnd, ShortReadEndsTheProgramWithStatusZeroAfterClosingTheDevice)
{
  FakeDevice dev;
  dev.set("FAKEDSP_LOG_IO", "1");
  dev.input(framesToBytes(testSignal(5 * 32)) + std::string(100, '\1'));
  Ending e = runChild(dev, [] {
    startUp();
    command("C 100-101AA");
    audio_thread_launch();
    for (;;) pause();  // the UI thread idles in its main loop
  });
  EXPECT_EQ(e.status, 0);
  ASSERT_FALSE(e.out.empty());
  EXPECT_EQ(e.out.back(), "Audio thread terminating!");
  EXPECT_TRUE(contains(e.out, "audio thread started!"));
  EXPECT_FALSE(contains(e.out, "Destroying mutex"));
  EXPECT_EQ(e.err, std::string("reading from audio card: ") + strerror(EIO) + "\n");
  Lines log = dev.logLines();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "close");
  EXPECT_EQ(countOf(log, "read 128"), 5);
  EXPECT_EQ(countOf(log, "read 100"), 1);
  EXPECT_EQ(countOf(log, "write 128"), 5);
  EXPECT_EQ(dev.output().size(), 5u * 128);
}

TEST(ProgramEnd, ShutdownWhileTheAudioThreadIsBlockedInAReadEndsCleanly)
{
  FakeDevice dev;
  dev.set("FAKEDSP_STALL", "1");
  dev.input(framesToBytes(testSignal(5 * 32)));
  Ending e = runChild(dev, [] {
    startUp();
    audio_thread_launch();
    waitFor([] { return fakedsp_stalled() != 0; }, 5000);
    shutdown_program();
  });
  EXPECT_EQ(e.status, 0);
  ASSERT_GE(e.out.size(), 2u);
  EXPECT_EQ(e.out[e.out.size() - 2], "Destroying mutex");
  EXPECT_EQ(e.out.back(), "Destroyed loop mutexes");
  EXPECT_FALSE(contains(e.out, "Audio thread terminating!"));
  EXPECT_EQ(e.err, "");
  Lines log = dev.logLines();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "close");
  EXPECT_EQ(dev.output().size(), 5u * 128);
}

// A pump that holds the audio thread inside its pass until the test lets it go.
static std::atomic<int> inPass{0}, letGo{0};
static void holdingPump(int slot)
{
  inPass = 1;
  while (!letGo.load()) {
    struct timespec ts = {0, 200 * 1000};
    nanosleep(&ts, nullptr);
  }
  SendOut(slot);
}

TEST(ProgramEnd, ShutdownDuringAPassLetsThePassFinishAndWriteFirst)
{
  FakeDevice dev;
  dev.set("FAKEDSP_STALL", "1");
  dev.set("FAKEDSP_LOG_IO", "1");
  dev.input(framesToBytes(testSignal(50 * 32)));
  Ending e = runChild(dev, [] {
    startUp();
    typeList[2].pump = holdingPump;
    command("A 2");
    command("C 100-102AA");
    command("C 102-101AA");
    audio_thread_launch();
    waitFor([] { return inPass.load() != 0; }, 5000);
    std::thread([] {
      usleep(30000);
      letGo = 1;
    }).detach();
    shutdown_program();  // returns only by ending the program
  });
  EXPECT_EQ(e.status, 0);
  ASSERT_FALSE(e.out.empty());
  EXPECT_EQ(e.out.back(), "Destroyed loop mutexes");
  EXPECT_FALSE(contains(e.out, "Audio thread terminating!"));
  Lines log = dev.logLines();
  // The held pass was the first: it was read, finished, written, and no read came after it.
  EXPECT_EQ(countOf(log, "read 128"), 1);
  EXPECT_EQ(countOf(log, "write 128"), 1);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "close");
}

// The device runs dry at about the moment the main loop returns: whichever thread gets there
// first ends the program, once, with status 0, and the device is closed exactly once.
static int raceDelayMicros = 0;
TEST(ProgramEnd, BothThreadsReachingTheEndTogetherEndTheProgramOnce)
{
  int audioFirst = 0, uiFirst = 0;
  // Which thread wins depends on the machine's load as well as the delay: rounds of the delays
  // go on (up to five) until both orders have been seen, every one of them checked.
  std::vector<int> delays;
  for (int round = 0; round < 5; round++)
    for (int d : {0, 50, 100, 200, 400, 700, 1000, 1500, 2500, 4000, 20000}) delays.push_back(d);
  for (size_t k = 0; k < delays.size() && !(audioFirst && uiFirst && k % 11 == 0); k++) {
    int delay = delays[k];
    FakeDevice dev;
    dev.set("FAKEDSP_PACE", "1");  // 32 frames = 0.73 ms a pass: runs dry after about 2 ms
    dev.input(framesToBytes(testSignal(3 * 32)));
    raceDelayMicros = delay;
    Ending e = runChild(dev, [] {
      startUp();
      audio_thread_launch();
      usleep((useconds_t)raceDelayMicros);
      shutdown_program();
    });
    EXPECT_EQ(e.status, 0) << "delay " << delay;
    bool audioEnded = contains(e.out, "Audio thread terminating!");
    bool uiEnded = contains(e.out, "Destroying mutex");
    EXPECT_NE(audioEnded, uiEnded) << "delay " << delay;
    if (uiEnded) {
      EXPECT_EQ(e.out.back(), "Destroyed loop mutexes");
    }
    Lines log = dev.logLines();
    EXPECT_EQ(countOf(log, "close"), 1) << "delay " << delay;
    audioFirst += audioEnded;
    uiFirst += uiEnded;
  }
  // Both orders happened (an early shutdown beats the 2 ms of input, a late one does not).
  EXPECT_GT(audioFirst, 0);
  EXPECT_GT(uiFirst, 0);
}

// A library that forks while sound runs (the file chooser autolaunching a session bus) must cost
// the passes nothing: the audio thread's memory is left out of the child, so its writes never
// meet a copy-on-write page. The thread's own page-fault count after its first pass stays 0, and
// no pass runs long, while another thread forks 200 times.
TEST(AudioThread, ForksWhileSoundRunsCostThePassesNoPageFault)
{
  FakeDevice dev;
  dev.set("FAKEDSP_PACE", "1");  // 128-byte buffers at the device's pace
  dev.input(framesToBytes(testSignal(32 * 4000)));
  Ending e = runChild(dev, [] {
    soundDeviceChoice oss;
    oss.kind = DEV_OSS;
    oss.path = "/dev/dsp";
    chooseSoundDevice(oss);  // as the program does: the run's figures are printed at its end
    startUp();
    initChunkPool();
    // Every kind of memory a pass writes: delay lines, a recorder's buffer, filter and
    // envelope state, the chunk pool, the device buffer and the meters' ring.
    for (int type : {5, 16, 13, 7, 17}) {
      char line[16];
      snprintf(line, sizeof line, "A %d", type);
      cmdparse(line);
    }
    // Line In -> slots 2..6 -> Line Out on the left; the right goes straight through.
    int chain[] = {0, 2, 3, 4, 5, 6, 1};
    for (int i = 0; i + 1 < 7; i++) {
      char line[32];
      snprintf(line, sizeof line, "C %d-%d A A", MOD[chain[i]]->ID, MOD[chain[i + 1]]->ID);
      cmdparse(line);
    }
    char line[32];
    snprintf(line, sizeof line, "C %d-%d B B", MOD[0]->ID, MOD[1]->ID);
    cmdparse(line);
    audio_thread_launch();
    usleep(50000);
    std::thread forker([] {
      for (int n = 0; n < 200; n++) {
        pid_t p = fork();
        if (p == 0) _exit(0);
        waitpid(p, nullptr, 0);
      }
    });
    forker.join();
    usleep(50000);
    shutdown_program();
  });
  EXPECT_EQ(e.status, 0) << e.err;
  EXPECT_NE(e.err.find("Audio thread: 0 page faults after its first pass\n"), std::string::npos)
      << e.err;
  size_t at = e.err.find("worst pass ");
  ASSERT_NE(at, std::string::npos) << e.err;
  EXPECT_LT(atof(e.err.c_str() + at + 11), 25.0) << e.err;
}

// The output stage carries nothing from one run into the next. The first run is muted (the
// tuner's mute) part-way: the level ramps down a step a frame to silence, with no hard cut; a
// preset switch asks for its fade, and the run is stopped in it. The next run starts from silence
// and fades in to full level, exactly.
TEST_F(AudioLoop, ARunStoppedInAFadeLeavesTheNextOneToFadeInToFullLevel)
{
  command("C 100-101AA");
  std::string lyo = dev.dir + "/through.lyo";
  beginCapture();
  real_save((gchar *)lyo.c_str());
  endCapture();
  std::vector<short> level(2 * 400 * 32);
  for (size_t i = 0; i < level.size(); i += 2) level[i] = 16000;
  dev.set("FAKEDSP_STALL", "1");
  dev.set("FAKEDSP_PACE", "1");
  dev.input(framesToBytes(level));
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  beginCapture();
  ASSERT_EQ(audio_thread_launch(), 0);
  ASSERT_TRUE(waitFor([] { return fakedsp_reads() >= 20; }, 5000));
  setOutputMuted(true);
  ASSERT_TRUE(waitFor([] { return fakedsp_reads() >= 40; }, 5000));
  ASSERT_TRUE(loadLayoutFile(lyo.c_str(), true));
  ASSERT_TRUE(audio_thread_stop());
  setOutputMuted(false);
  close_sound();
  endCapture();
  std::vector<short> first = channel(bytesToSamples(dev.output()), 0);
  ASSERT_GE(first.size(), 40u * 32);
  int biggestStep = 0;
  for (size_t i = 1; i < first.size(); i++)
    biggestStep = std::max(biggestStep, abs(first[i] - first[i - 1]));
  EXPECT_LE(biggestStep, 16000 / 224 + 1) << "a hard cut";
  EXPECT_EQ(first.back(), 0) << "the mute reached silence";

  FakeDevice again;
  std::vector<short> frames = testSignal(20 * 32);
  std::vector<short> out = bytesToSamples(runLoop(again, framesToBytes(frames), 128));
  std::vector<short> left = channel(out, 0);
  EXPECT_EQ(left, fadedIn(channel(frames, 0), 32));
  EXPECT_EQ(left.back(), channel(frames, 0).back()) << "full level once the fade-in is done";
}
