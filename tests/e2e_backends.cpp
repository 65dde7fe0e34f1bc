// End-to-end runs of the real program on every device it can drive without sound hardware:
// WAV files (an offline render through a saved layout, compared with the same patch on the fake
// OSS device), ALSA through an ALSA configuration of the test's own (also as the default when
// there is no /dev/dsp), OSS through alsa-oss's emulation over that configuration, and JACK on
// a jackd of the test's own. All of them headless (--no-gui, commands on standard input).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "files/fileops.h"
#include "tests/devtest.h"
#include "tests/jackserver.h"

using Lines = std::vector<std::string>;

struct QafRun {
  int status = -1;  // exit status; -1 when the program did not end by exiting
  std::string out, err;
  double seconds = 0;
};

// Runs build/qaf with the arguments and the extra environment. Standard input is a pipe that
// holds `input`; it is closed at once unless `during` is given, which then gets the running
// program and the pipe's write end (and closes it when it likes).
static QafRun runQaf(const std::vector<std::string> &args,
                     const std::vector<std::pair<std::string, std::string>> &env,
                     const std::string &input = "",
                     const std::function<void(pid_t, int)> &during = nullptr, int timeoutMs = 30000)
{
  signal(SIGPIPE, SIG_IGN);  // "quit" typed after the program ended by itself
  TempDir io;
  std::string outPath = io / "stdout", errPath = io / "stderr";
  int p[2];
  if (pipe(p) != 0) return QafRun();
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    for (auto &e : env) setenv(e.first.c_str(), e.second.c_str(), 1);
    dup2(p[0], 0);
    close(p[0]);
    close(p[1]);
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(98);
    std::vector<char *> argv;
    argv.push_back((char *)QAF_BINARY);
    for (const std::string &a : args) argv.push_back((char *)a.c_str());
    argv.push_back(nullptr);
    execv(QAF_BINARY, argv.data());
    _exit(97);
  }
  close(p[0]);
  (void)!write(p[1], input.data(), input.size());
  if (during)
    during(pid, p[1]);
  else
    close(p[1]);
  QafRun r;
  int st = 0;
  bool ended = false;
  for (int t = 0; t < timeoutMs && !ended; t += 5) {
    if (waitpid(pid, &st, WNOHANG) == pid)
      ended = true;
    else
      usleep(5000);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    ADD_FAILURE() << "qaf did not end";
  } else if (WIFEXITED(st)) {
    r.status = WEXITSTATUS(st);
  }
  if (during) close(p[1]);  // a second close of a closed number only fails
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  Bytes o = readFile(outPath), e = readFile(errPath);
  r.out.assign(o.begin(), o.end());
  r.err.assign(e.begin(), e.end());
  return r;
}

static bool has(const std::string &text, const std::string &part)
{
  return text.find(part) != std::string::npos;
}

static size_t fileSize(const std::string &path)
{
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (size_t)st.st_size : 0;
}

static bool waitForSize(const std::string &path, size_t size, int ms = 10000)
{
  for (int t = 0; t < ms; t += 2) {
    if (fileSize(path) >= size) return true;
    usleep(2000);
  }
  return false;
}

// The first bytes of a file (a device that runs unpaced writes a lot after what a test needs).
static Bytes readStart(const std::string &path, size_t n)
{
  Bytes b(n);
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return Bytes();
  b.resize(fread(b.data(), 1, n, f));
  fclose(f);
  return b;
}

// A signal that changes every frame and differs between the channels (never 0 on the right,
// so the start of the sound is plain to see).
static std::vector<short> signalFrames(int frames)
{
  std::vector<short> v;
  unsigned x = 2024;
  for (int f = 0; f < frames; f++) {
    x = x * 1103515245u + 12345u;
    v.push_back((short)(x >> 16));
    v.push_back((short)(f % 20000 + 1));
  }
  return v;
}

// Layouts saved by QAF's own saver: the patch built with text commands in this process.
static std::string saveLayout(const TempDir &d, const std::string &name,
                              const std::vector<std::string> &commands)
{
  sUID = 100;  // the IDs the commands name, also for a second layout in the same process
  bootGraph();
  for (const std::string &c : commands) command(c);
  std::string path = d / name;
  beginCapture();
  real_save(&path[0]);
  endCapture();
  return path;
}

// Until the layout saver is part of the build, a test that needs a layout says so and skips.
#define NEED_LAYOUT(path)                                                        \
  if (access((path).c_str(), R_OK) != 0)                                          \
    GTEST_SKIP() << "layout files cannot be saved in this build (" << (path) << ")";

// Left and right swapped: nothing but wires, so the expected sound is known exactly.
static std::string swapLayout(const TempDir &d)
{
  return saveLayout(d, "swap.lyo", {"C 100-101 A B", "C 100-101 B A"});
}

// The input's frames with their channels swapped, after `silentFrames` of silence.
static void expectSwapped(const std::vector<short> &got, const std::vector<short> &in,
                          int silentFrames)
{
  size_t frames = in.size() / 2;
  ASSERT_GE(got.size(), 2 * (silentFrames + frames));
  for (int f = 0; f < silentFrames; f++) {
    ASSERT_EQ(got[2 * f], 0) << "frame " << f;
    ASSERT_EQ(got[2 * f + 1], 0) << "frame " << f;
  }
  for (size_t f = 0; f < frames; f++) {
    ASSERT_EQ(got[2 * (silentFrames + f)], in[2 * f + 1]) << "frame " << f;
    ASSERT_EQ(got[2 * (silentFrames + f) + 1], in[2 * f]) << "frame " << f;
  }
}

// ---- The command line ---------------------------------------------------------------------------

TEST(CommandLine, HelpListsTheOptionsAndStops)
{
  QafRun r = runQaf({"--help"}, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: qaf [OPTION]...\n", 0), 0u) << r.out;
  EXPECT_TRUE(has(r.out, "-b, -B N"));
  EXPECT_TRUE(has(r.out, "-d, --device DEV"));
  EXPECT_TRUE(has(r.out, "qaf --no-gui -d file:in.wav:out.wav --layout song.lyo\n"));
  EXPECT_FALSE(has(r.out, "I compiled"));
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, DeviceThatNamesNothingEndsWithStatusOne)
{
  QafRun r = runQaf({"--no-gui", "-d", "pulse"}, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.err, "Unknown sound device \"pulse\"")) << r.err;
}

TEST(CommandLine, NoGuiQuitShutsDownCleanlyWithTheDeviceStatistics)
{
  // The fake OSS device at its real pace, three seconds of input; "quit" once sound flows.
  TempDir d;
  writeFile(d / "in.raw", s16Bytes(signalFrames(3 * 44100)));
  QafRun r = runQaf({"--no-gui", "-b", "1"},
                    {{"LD_PRELOAD", FAKEDSP_LIBRARY},
                     {"FAKEDSP_IN", d / "in.raw"},
                     {"FAKEDSP_OUT", d / "out.raw"},
                     {"FAKEDSP_LOG", d / "dsp.log"},
                     {"FAKEDSP_PACE", "1"}},
                    "A 2\n", [&](pid_t, int stdinFd) {
                      waitForSize(d / "out.raw", 20 * 256);
                      (void)!write(stdinFd, "quit\n", 5);
                    });
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.out, "Sound buffer size: 256 bytes.\n"));
  EXPECT_TRUE(has(r.out, "Destroying mutex\nDestroyed loop mutexes\n")) << "the ordinary shutdown";
  EXPECT_FALSE(has(r.out, "Audio thread terminating!")) << "not the end of the input";
  EXPECT_LT(fileSize(d / "out.raw"), 3u * 44100 * 4);
  // The OSS driver's own xrun count (the fake answers it) and the worst pass.
  EXPECT_TRUE(has(r.err, "Xruns: ")) << r.err;
  EXPECT_FALSE(has(r.err, "not reported")) << r.err;
  EXPECT_TRUE(has(r.err, "% of the period (")) << r.err;
  Bytes log = readFile(d / "dsp.log");
  std::string l(log.begin(), log.end());
  EXPECT_TRUE(has(l, "SPEED 44100\nGETERROR\nclose\n")) << l;
}

// ---- Offline rendering --------------------------------------------------------------------------

TEST(OfflineRender, SavedLayoutGivesTheSameSamplesAsOnTheFakeOssDevice)
{
  // A patch of effect modules on the left, a straight wire on the right. 300 buffers of input:
  // the fake device's last read is short when the input ends, the file device's never is, so a
  // whole number of buffers makes the two runs comparable sample for sample.
  TempDir d;
  std::string lyo = saveLayout(d, "song.lyo",
                               {"A 4", "A 5", "A 7", "A 16", "C 100-102 A A", "C 102-103 A A",
                                "C 103-104 A A", "C 104-105 A A", "C 105-101 A A",
                                "C 100-101 B B"});
  NEED_LAYOUT(lyo);
  std::vector<short> in = signalFrames(300 * 32);
  writeFile(d / "in.raw", s16Bytes(in));
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(in)));

  QafRun oss = runQaf({"--no-gui", "--layout", lyo},
                      {{"LD_PRELOAD", FAKEDSP_LIBRARY},
                       {"FAKEDSP_IN", d / "in.raw"},
                       {"FAKEDSP_OUT", d / "oss.raw"}},
                      "", [](pid_t, int) {});  // standard input stays open: the device ends it
  EXPECT_EQ(oss.status, 0) << oss.err;
  QafRun file = runQaf({"--no-gui", "-d", "file:" + d / "in.wav" + ":" + d / "out.wav",
                        "--layout", lyo},
                       {});
  EXPECT_EQ(file.status, 0) << file.err;
  EXPECT_TRUE(has(file.out, "Audio thread terminating!\n"));

  Bytes viaOss = readFile(d / "oss.raw");
  Bytes wav = readFile(d / "out.wav");
  ASSERT_EQ(viaOss.size(), in.size() * 2);
  ASSERT_EQ(wav.size(), 44 + in.size() * 2);
  EXPECT_EQ(Bytes(wav.begin() + 44, wav.end()), viaOss);
  // The right channel went straight through; both runs really ran the patch.
  std::vector<short> got = samplesOf(wav, 44);
  for (size_t f = 0; f < in.size() / 2; f++) ASSERT_EQ(got[2 * f + 1], in[2 * f + 1]) << f;
}

TEST(OfflineRender, SixtySecondsRenderWithAProgressLineAndTheFinalSpeed)
{
  // 60 s of 8-bit mono at 22050 Hz: the reader converts it to 44100 Hz stereo on the way.
  TempDir d;
  WavSpec w;
  w.rate = 22050;
  w.bits = 8;
  w.channels = 1;
  Bytes data(60 * 22050);
  for (size_t i = 0; i < data.size(); i++) data[i] = (unsigned char)(i * 7);
  writeFile(d / "in.wav", makeWav(w, data));
  // Through the swap patch when layouts can be saved; else through the start-up patch, which
  // plays silence (the samples are then not checked).
  std::string lyo = swapLayout(d);
  bool patched = access(lyo.c_str(), R_OK) == 0;
  std::vector<std::string> args = {"--no-gui", "-d", "file:" + d / "in.wav" + ":" + d / "out.wav"};
  if (patched) args.insert(args.end(), {"--layout", lyo});
  QafRun r = runQaf(args, {}, "", nullptr, 120000);
  EXPECT_EQ(r.status, 0);
  Bytes out = readFile(d / "out.wav");
  ASSERT_EQ(out.size(), 44u + 60u * 44100 * 4);
  EXPECT_EQ(le32(out, 40), 60u * 44100 * 4);
  // Input byte i lands on output frames 2i and 2i+1 as (b - 128) * 256 on both channels.
  std::vector<short> got = samplesOf(out, 44);
  for (size_t i = 0; patched && i < data.size(); i += 997) {
    short v = (short)(((int)data[i] - 128) * 256);
    ASSERT_EQ(got[4 * i], v);
    ASSERT_EQ(got[4 * i + 3], v);
  }
  // Progress updates are separated by carriage returns; at most ten a second, then the speed.
  int updates = 0;
  for (size_t p = r.err.find("\rRendering: "); p != std::string::npos;
       p = r.err.find("\rRendering: ", p + 1))
    updates++;
  EXPECT_LE(updates, (int)(r.seconds * 10) + 1) << r.err;
  if (r.seconds > 0.35) {
    EXPECT_GE(updates, 1) << r.err;
  }
  size_t fin = r.err.find("\rRendered 60.0 s of sound in ");
  ASSERT_NE(fin, std::string::npos) << r.err;
  EXPECT_TRUE(has(r.err.substr(fin), "x real time")) << r.err;
  EXPECT_TRUE(has(r.out, "Rendering " + d / "in.wav" + " (22050 Hz, 8-bit, mono, 60.0 s) to " +
                             d / "out.wav\n"))
      << r.out;
}

TEST(OfflineRender, SetListAtStartUpPlaysItsLowestPreset)
{
  TempDir d;
  std::string lyo = swapLayout(d);
  NEED_LAYOUT(lyo);
  std::string set = "[Set List]\nName=Gig\n[Preset 9]\nName=None\nLayout=nothing.lyo\n"
                    "[Preset 3]\nName=Swap\nLayout=swap.lyo\n";
  writeFile(d / "gig.qset", Bytes(set.begin(), set.end()));
  std::vector<short> in = signalFrames(64 * 32);
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(in)));
  QafRun r = runQaf({"--no-gui", "--midi", "jack", "--set", d / "gig.qset", "-d",
                     "file:" + d / "in.wav" + ":" + d / "out.wav"}, {});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "Opened set list " + d / "gig.qset" + ": \"Gig\", 2 presets\n")) << r.out;
  EXPECT_TRUE(has(r.out, "Program 3: preset \"Swap\" (" + lyo + ")\n")) << r.out;
  EXPECT_TRUE(has(r.err, "MIDI input is off: --midi jack needs -d jack\n")) << r.err;
  expectSwapped(samplesOf(readFile(d / "out.wav"), 44), in, 0);
}

TEST(OfflineRender, UnreadableInputIsReportedAndTheRunEndsAsWithoutADevice)
{
  TempDir d;
  writeFile(d / "in.wav", Bytes(100, 'x'));
  QafRun r = runQaf({"--no-gui", "-d", "file:" + d / "in.wav" + ":" + d / "out.wav"}, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.err, d / "in.wav: not a wave file\n")) << r.err;
  EXPECT_TRUE(has(r.out, "Audio thread terminating!\n"));
  EXPECT_EQ(access((d / "out.wav").c_str(), F_OK), -1);
}

// ---- ALSA, and OSS emulated over it -------------------------------------------------------------

// Runs QAF on an ALSA or OSS-over-ALSA set-up until `frames` of output are in out.raw, then
// types "quit". The `file` plugin may hold what it writes until the device closes (it does under
// the OSS emulation): then half a second, in which the unpaced device runs through the few
// thousand frames a test needs many times over.
static QafRun runUntilOutput(const TempDir &d, const std::vector<std::string> &args,
                             const std::vector<std::pair<std::string, std::string>> &env,
                             size_t frames)
{
  return runQaf(args, env, "", [&](pid_t, int stdinFd) {
    waitForSize(d / "out.raw", frames * 4, 500);
    (void)!write(stdinFd, "quit\n", 5);
  });
}

TEST(AlsaRun, KnownInputComesThroughTheSavedPatchSampleExact)
{
  TempDir d;
  std::string conf = makeAlsaConfig(d);
  std::vector<short> in = signalFrames(4096);
  writeFile(d / "in.raw", s16Bytes(in));
  std::string lyo = swapLayout(d);
  NEED_LAYOUT(lyo);
  // Two buffers of 32 frames prime the playback before the first pass.
  QafRun r = runUntilOutput(d, {"--no-gui", "-d", "alsa:qaftest", "--layout", lyo},
                            {{"ALSA_CONFIG_PATH", conf}}, 64 + 4096);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "ALSA \"qaftest\": period 32 frames, buffer 160 frames, 64 frames primed"))
      << r.out;
  EXPECT_TRUE(has(r.err, "Xruns: 0; worst pass ")) << r.err;
  expectSwapped(samplesOf(readStart(d / "out.raw", in.size() * 2 + 64 * 4)), in, 64);
}

TEST(AlsaRun, WithoutDevDspTheDefaultIsAlsa)
{
  if (access("/dev/dsp", F_OK) == 0) GTEST_SKIP() << "this machine has /dev/dsp";
  TempDir d;
  std::string conf = makeAlsaConfig(d, true);
  std::vector<short> in = signalFrames(2048);
  writeFile(d / "in.raw", s16Bytes(in));
  std::string lyo = swapLayout(d);
  NEED_LAYOUT(lyo);
  QafRun r = runUntilOutput(d, {"--no-gui", "--layout", lyo}, {{"ALSA_CONFIG_PATH", conf}},
                            64 + 2048);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.rfind("open audio: No such file or directory\n"
                        "No OSS device at /dev/dsp: trying ALSA \"default\"\n", 0),
            0u)
      << r.err;
  expectSwapped(samplesOf(readStart(d / "out.raw", in.size() * 2 + 64 * 4)), in, 64);
}

TEST(OssRun, AlsaOssEmulationCarriesTheSameSoundSampleExact)
{
  if (access(AOSS_LIBRARY, R_OK) != 0) GTEST_SKIP() << "alsa-oss is not installed";
  TempDir d;
  std::string conf = makeAlsaConfig(d);
  std::vector<short> in = signalFrames(4096);
  writeFile(d / "in.raw", s16Bytes(in));
  std::string lyo = swapLayout(d);
  NEED_LAYOUT(lyo);
  // The emulation turns QAF's unchanged OSS requests into ALSA calls on "qaftest"; it primes
  // nothing, so the sound starts with the first frame.
  QafRun r = runUntilOutput(d, {"--no-gui", "-d", "oss", "--layout", lyo},
                            {{"ALSA_CONFIG_PATH", conf},
                             {"ALSA_OSS_PCM_DEVICE", "qaftest"},
                             {"LD_PRELOAD", AOSS_LIBRARY}},
                            4096);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(has(r.out, "Sound buffer size: 128 bytes.\n")) << r.out;
  EXPECT_FALSE(has(r.out, "ALSA")) << "OSS requests only";
  expectSwapped(samplesOf(readStart(d / "out.raw", in.size() * 2)), in, 0);
}

// ---- JACK ---------------------------------------------------------------------------------------

static std::vector<std::string> qafPorts(jack_client_t *c)
{
  std::vector<std::string> names;
  const char **ports = jack_get_ports(c, "^qaf:", nullptr, 0);
  for (int i = 0; ports && ports[i]; i++) names.push_back(ports[i]);
  if (ports) jack_free(ports);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(JackRun, ClientShowsItsPortsRunsAndShutsDownCleanly)
{
  JackServer server(44100, 32);
  if (!server.up) GTEST_SKIP() << "JACK tests skipped: " << server.why;
  jack_status_t st;
  jack_client_t *look = jack_client_open("look", JackNoStartServer, &st);
  ASSERT_NE(look, nullptr);
  std::vector<std::string> seen;
  QafRun r = runQaf({"--no-gui", "-d", "jack", "-b", "3"},
                    {{"JACK_DEFAULT_SERVER", getenv("JACK_DEFAULT_SERVER")}}, "",
                    [&](pid_t, int stdinFd) {
                      for (int t = 0; t < 5000 && qafPorts(look).size() < 4; t += 10) usleep(10000);
                      usleep(300000);  // some hundreds of periods
                      seen = qafPorts(look);
                      (void)!write(stdinFd, "quit\n", 5);
                    });
  EXPECT_EQ(r.status, 0) << r.err;
  // With -d jack, MIDI input comes through the client's own MIDI port.
  EXPECT_EQ(seen, (std::vector<std::string>{"qaf:in_1", "qaf:in_2", "qaf:midi_in", "qaf:out_1",
                                            "qaf:out_2"}));
  EXPECT_TRUE(has(r.out, "Sound buffer size: 1024 bytes.\n"));
  EXPECT_TRUE(has(r.out, "JACK period is 32 frames: sound buffer size set to 128 bytes.\n"));
  EXPECT_TRUE(has(r.out, "JACK client \"qaf\" running: ports in_1, in_2, out_1, out_2; 32 frames "
                         "per pass\n"));
  EXPECT_TRUE(has(r.out, "Destroying mutex\n"));
  // The passes ran in JACK's callback: the statistics have a worst one.
  EXPECT_TRUE(has(r.err, "Xruns: ")) << r.err;
  EXPECT_TRUE(has(r.err, "; worst pass ")) << r.err;
  EXPECT_TRUE(qafPorts(look).empty()) << "the client is gone";
  jack_client_close(look);
}
