// End-to-end runs of the real program on every device it can drive without sound hardware:
// WAV files (an offline render through a saved layout, compared with the same patch on the fake
// OSS device), ALSA through an ALSA configuration of the test's own (also as the default when
// there is no /dev/dsp), OSS through alsa-oss's emulation over that configuration, and JACK on
// a jackd of the test's own. All of them headless (--no-gui, commands on standard input).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <math.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "control/setlist.h"
#include "files/fileops.h"
#include "tests/devtest.h"
#include "tests/fadeIn.h"
#include "tests/jackserver.h"

using Lines = std::vector<std::string>;

struct QafRun {
  int status = -1;  // exit status; -1 when the program did not end by exiting
  std::string out, err;
  double seconds = 0;
  long peakKb = 0;  // the program's peak resident memory
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
  struct rusage use;
  memset(&use, 0, sizeof use);
  for (int t = 0; t < timeoutMs && !ended; t += 5) {
    if (wait4(pid, &st, WNOHANG, &use) == pid)
      ended = true;
    else
      usleep(5000);
  }
  r.peakKb = use.ru_maxrss;
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
// The swapping patch's sound: after silentFrames, the input with its channels swapped; a live
// device's run fades it in from silence over its first buffers, a file renders it as it is.
enum runKind { RENDERED, LIVE };
static void expectSwapped(const std::vector<short> &got, const std::vector<short> &input,
                          int silentFrames, runKind kind)
{
  std::vector<short> in = kind == LIVE ? fadedIn(input, 32, 2) : input;
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

// Line In's left channel a half-scale A2 sine, wired to Line Out's left: "status" shows both at
// -6.0 dBFS and a load no higher than the worst pass the shutdown line reports; "tuner" names A2.
TEST(CommandLine, NoGuiStatusAndTunerReportLevelsLoadAndNote)
{
  TempDir d;
  std::vector<short> in;
  for (int f = 0; f < 3 * 44100; f++) {
    in.push_back((short)lround(16384.0 * sin(2 * M_PI * 110.0 * f / 44100.0)));
    in.push_back(0);
  }
  writeFile(d / "in.raw", s16Bytes(in));
  QafRun r = runQaf({"--no-gui"},
                    {{"LD_PRELOAD", FAKEDSP_LIBRARY},
                     {"FAKEDSP_IN", d / "in.raw"},
                     {"FAKEDSP_OUT", d / "out.raw"},
                     {"FAKEDSP_PACE", "1"}},
                    "c 100-101 a a\n", [&](pid_t, int stdinFd) {
                      waitForSize(d / "out.raw", 44100 * 4 / 2);
                      (void)!write(stdinFd, "status\ntuner\n", 13);
                      usleep(200000);
                      (void)!write(stdinFd, "STATUS\nquit\n", 12);
                    });
  EXPECT_EQ(r.status, 0);
  double load = -1, worst = -1;
  long xruns = -1;
  const char *line = strstr(r.out.c_str(), "load ");
  ASSERT_NE(line, nullptr) << r.out;
  ASSERT_EQ(sscanf(line, "load %lf%% xruns %ld", &load, &xruns), 2) << line;
  EXPECT_TRUE(has(line, " in -6.0/-inf dBFS out -6.0/-inf dBFS\nA2 +0 cents 110.00 Hz\n")) << line;
  // the second status: peaks since the first, the sound still flowing
  const char *second = strstr(line + 5, "load ");
  ASSERT_NE(second, nullptr) << r.out;
  EXPECT_TRUE(has(second, " in -6.0/-inf dBFS out -6.0/-inf dBFS\n")) << second;
  const char *shutdown = strstr(r.err.c_str(), "worst pass ");
  ASSERT_NE(shutdown, nullptr) << r.err;
  ASSERT_EQ(sscanf(shutdown, "worst pass %lf%%", &worst), 1);
  EXPECT_GE(load, 0.0);
  EXPECT_LE(load, worst + 0.1);
  fprintf(stderr, "load %.1f%%, worst pass %.1f%%\n", load, worst);
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
  // The same sound, but for the fade in from silence with which a live device starts.
  EXPECT_EQ(fadedIn(samplesOf(wav, 44), 32, 2), samplesOf(viaOss));
  // The right channel went straight through; both runs really ran the patch.
  std::vector<short> got = samplesOf(wav, 44);
  for (size_t f = 0; f < in.size() / 2; f++) ASSERT_EQ(got[2 * f + 1], in[2 * f + 1]) << f;
}

TEST(OfflineRender, SixtySecondsRenderWithAProgressLineAndTheFinalSpeed)
{
  // 60 s of 8-bit mono at 22050 Hz: converted to 44100 Hz stereo for the patch, and written back
  // at 22050 Hz, 8 bits, stereo.
  TempDir d;
  WavSpec w;
  w.rate = 22050;
  w.bits = 8;
  w.channels = 1;
  Bytes data(60 * 22050);
  for (size_t i = 0; i < data.size(); i++)
    data[i] = (unsigned char)lrint(128 + 100 * sin(2 * M_PI * 441.0 * (double)i / 22050));
  writeFile(d / "in.wav", makeWav(w, data));
  // Through the swap patch when layouts can be saved; else through the start-up patch, which
  // plays silence (the samples are then not checked).
  std::string lyo = swapLayout(d);
  bool patched = access(lyo.c_str(), R_OK) == 0;
  std::vector<std::string> args = {"--no-gui", "-d", "file:" + d / "in.wav" + ":" + d / "out.wav"};
  if (patched) args.insert(args.end(), {"--layout", lyo});
  QafRun r = runQaf(args, {}, "", nullptr, 120000);
  EXPECT_EQ(r.status, 0);
  Sound out = readSound(d / "out.wav");
  EXPECT_EQ(out.rate, 22050);
  EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
  ASSERT_EQ(out.frames(), 60 * 22050);
  // Input byte b comes back as b on both channels, give or take one step of 8 bits.
  for (size_t i = 0; patched && i < data.size(); i += 97) {
    double v = ((int)data[i] - 128) / 128.0;
    ASSERT_NEAR(out.x[2 * i], v, 1.01 / 128) << i;
    ASSERT_NEAR(out.x[2 * i + 1], v, 1.01 / 128) << i;
  }
  // Progress updates are separated by carriage returns; at most ten a second, then the speed.
  int updates = 0;
  for (size_t p = r.err.find("\rRendering: "); p != std::string::npos;
       p = r.err.find("\rRendering: ", p + 1))
    updates++;
  size_t fin = r.err.find("\rRendered 60.0 s of sound in ");
  ASSERT_NE(fin, std::string::npos) << r.err;
  EXPECT_TRUE(has(r.err.substr(fin), "x real time")) << r.err;
  // The passes' own time (reading and writing the files at either end is not part of it).
  double rendering = atof(r.err.c_str() + fin + strlen("\rRendered 60.0 s of sound in "));
  EXPECT_LE(updates, (int)(rendering * 10) + 1) << r.err;
  if (rendering > 0.35) {
    EXPECT_GE(updates, 1) << r.err;
  }
  EXPECT_TRUE(has(r.out, "Rendering " + d / "in.wav" + " (22050 Hz, 8-bit, mono, 60.0 s) to " +
                             d / "out.wav\n"))
      << r.out;
  EXPECT_TRUE(has(r.out, "Wrote " + d / "out.wav" + " (22050 Hz, 8-bit, stereo, 60.0 s)\n"))
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
  expectSwapped(samplesOf(readFile(d / "out.wav"), 44), in, 0, RENDERED);
}

// What a folder holds but the inputs a test put there.
static std::vector<std::string> leftIn(const TempDir &d)
{
  std::vector<std::string> names;
  FILE *p = popen(("ls -A '" + d.path + "'").c_str(), "r");
  char line[512];
  while (p && fgets(line, sizeof line, p)) {
    std::string n(line, strcspn(line, "\n"));
    if (n.rfind("in", 0) != 0 && n != "swap.lyo") names.push_back(n);
  }
  if (p) pclose(p);
  return names;
}

TEST(OfflineRender, BadFilesEndTheRunWithStatusOneAndNoOutputFile)
{
  // Each case: one line that names the file, status 1, and nothing left in the folder under the
  // output's name or a temporary one. Only the last case gets as far as rendering: its output
  // outgrows the file size limit the test sets, so the file cannot be written at the end.
  TempDir d;
  std::string lyo = swapLayout(d);
  NEED_LAYOUT(lyo);
  std::vector<short> sound = signalFrames(2 * 44100);
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(sound)));
  writeFile(d / "in-garbage.wav", Bytes(100, 'x'));
  WavSpec three;
  three.channels = 3;
  writeFile(d / "in-3ch.wav", makeWav(three, Bytes(600, 1)));
  writeFile(d / "in-bank.sbk", Bytes(30, 'x'));
  struct Case {
    const char *what;
    std::string in, out;
    std::vector<std::string> more;
    std::string line;  // the line that says why (on either stream)
    long sizeLimit;    // bytes a file may grow to, 0: no limit
  };
  std::vector<Case> cases = {
      {"missing input", d / "in-none.wav", d / "out.wav", {},
       "opening input file " + d / "in-none.wav" + ": No such file or directory\n", 0},
      {"not sound", d / "in-garbage.wav", d / "out.flac", {},
       d / "in-garbage.wav" + ": not a sound file QAF can read (", 0},
      {"3 channels", d / "in-3ch.wav", d / "out.wav", {},
       d / "in-3ch.wav" + ": 3 channels; QAF reads mono or stereo\n", 0},
      {"no such folder", d / "in.wav", d / "none/out.wav", {},
       "creating output file " + d / "none/out.wav" + ": No such file or directory\n", 0},
      {"mistyped layout", d / "in.wav", d / "out.wav", {"--layout", d / "sawp.lyo"},
       "Error opening file " + d / "sawp.lyo" + "\n", 0},
      {"bad bank", d / "in.wav", d / "out.wav", {"--bank", d / "in-bank.sbk", "--layout", lyo},
       "Not a valid QAF Samplebank file!\n", 0},
      {"disk full at the end", d / "in.wav", d / "out.wav", {"--layout", lyo},
       "writing output file " + d / "out.wav" + ": ", 100000},
  };
  signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
  for (const Case &c : cases) {
    std::vector<std::string> args = {"--no-gui", "-d", "file:" + c.in + ":" + c.out};
    args.insert(args.end(), c.more.begin(), c.more.end());
    struct rlimit old;
    getrlimit(RLIMIT_FSIZE, &old);
    if (c.sizeLimit) {
      struct rlimit lim = old;
      lim.rlim_cur = (rlim_t)c.sizeLimit;
      setrlimit(RLIMIT_FSIZE, &lim);
    }
    QafRun r = runQaf(args, {});
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out << r.err;
    EXPECT_TRUE(has(r.out + r.err, c.line)) << c.what << "\n" << r.out << r.err;
    EXPECT_EQ(has(r.err, "Rendered "), c.sizeLimit != 0) << c.what << ": " << r.err;
    EXPECT_EQ(leftIn(d), std::vector<std::string>()) << c.what;
  }
}

TEST(OfflineRender, CraftedHeadersAreRefusedAtOnceOrRenderedWholeInFlatMemory)
{
  // Headers that do not fit their data, as a damaged or crafted file has them. Each run either
  // is refused at open (before the "Rendering" line: nothing is decoded) with status 1, the line
  // that says why and nothing left behind, or renders exactly the second of sound that is there;
  // none takes 64 MB. (QAF once reserved memory for what a header claimed: the 1 Hz header below
  // asked for about 180 GB.)
  TempDir d;
  std::string lyo = swapLayout(d);
  NEED_LAYOUT(lyo);
  std::vector<short> second = signalFrames(44100);
  Bytes sound = s16Bytes(second), big = s16Bytes(signalFrames(512 * 1024));
  Bytes halfFrame = sound;
  halfFrame.insert(halfFrame.end(), {1, 2});
  auto wav = [](unsigned rate, long declared, const Bytes &data) {
    WavSpec w;
    w.rate = rate;
    w.declared = declared;
    return makeWav(w, data);
  };
  ASSERT_TRUE(
      writeSound(d / "in-whole.flac", sines(48000, 2, 1.0, SF_FORMAT_FLAC | SF_FORMAT_PCM_16)));
  Bytes flac = readFile(d / "in-whole.flac"), longer = flac, slow = flac, cut = flac;
  setFlacStreamInfo(longer, -1, 4 * 48000);
  setFlacStreamInfo(slow, 1, -1);
  cut.resize(cut.size() - 100);
  const std::string rates = " Hz; QAF reads 1000 to 768000 Hz\n";
  struct Case {
    const char *what;
    Bytes file;
    const char *ext;
    std::string line;  // after "<input>: "; empty: the second of sound renders
  };
  const std::vector<Case> cases = {
      {"1 Hz", wav(1, -1, big), "wav", "a rate of 1" + rates},
      {"0 Hz", wav(0, -1, big), "wav", "a rate of 0" + rates},
      {"4 GHz", wav(4000000000u, -1, big), "wav", "a rate of 4000000000" + rates},
      {"800 kHz", wav(800000, -1, big), "wav", "a rate of 800000" + rates},
      {"FLAC at 1 Hz", slow, "flac", "a rate of 1" + rates},
      {"FLAC claiming 4 s", longer, "flac", "damaged: the sound breaks off after 1.0 s of 4.0 s\n"},
      {"FLAC cut in its last block", cut, "flac", "damaged: the sound breaks off after 0."},
      {"data size beyond the file", wav(44100, 1L << 30, sound), "wav", ""},
      {"data size of a stream", wav(44100, 0xFFFFFFFFL, sound), "wav", ""},
      {"half a frame at the end", wav(44100, -1, halfFrame), "wav", ""},
  };
  for (const Case &c : cases) {
    std::string in = d / (std::string("in.") + c.ext);
    writeFile(in, c.file);
    QafRun r = runQaf({"--no-gui", "-d", "file:" + in + ":" + d / "out.wav", "--layout", lyo}, {});
    EXPECT_LT(r.peakKb, 64 * 1024) << c.what;
    if (c.line.empty()) {
      EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
      Bytes out = readFile(d / "out.wav");
      EXPECT_EQ(out.size(), 44 + sound.size()) << c.what;
      expectSwapped(samplesOf(out, 44), second, 0, RENDERED);
      unlink((d / "out.wav").c_str());
    } else {
      EXPECT_EQ(r.status, 1) << c.what << "\n" << r.err;
      EXPECT_FALSE(has(r.out, "Rendering ")) << c.what << "\n" << r.out;
      EXPECT_TRUE(has(r.err, in + ": " + c.line)) << c.what << "\n" << r.err;
      EXPECT_EQ(leftIn(d), std::vector<std::string>()) << c.what;
    }
    unlink(in.c_str());
  }
}

// Minutes of stereo 16-bit sound in a WAV file, written a second at a time.
static bool writeLongWav(const std::string &path, int minutes)
{
  SF_INFO info;
  memset(&info, 0, sizeof info);
  info.samplerate = 44100;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  std::vector<short> second = signalFrames(44100);
  bool ok = f != nullptr;
  for (int s = 0; ok && s < 60 * minutes; s++)
    ok = sf_writef_short(f, second.data(), 44100) == 44100;
  return f && sf_close(f) == 0 && ok;
}

TEST(OfflineRender, PeakMemoryStaysFlatWhateverTheLength)
{
  // One and ten minutes through the crunch preset: the same peak resident memory within 4 MB,
  // both under 64 MB. (Decoding the whole input first, as QAF once did, took 10 MB a minute.)
  long peak[2] = {0, 0};
  const int minutes[2] = {1, 10};
  for (int i = 0; i < 2; i++) {
    TempDir d;
    ASSERT_TRUE(writeLongWav(d / "in.wav", minutes[i]));
    QafRun r = runQaf({"--no-gui", "-d", "file:" + d / "in.wav" + ":" + d / "out.wav", "--layout",
                       std::string(QAF_EXAMPLES_DIR) + "/crunch.lyo"},
                      {}, "", nullptr, 120000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fileSize(d / "out.wav"), fileSize(d / "in.wav"));
    peak[i] = r.peakKb;
  }
  fprintf(stderr, "peak resident memory: %ld KB for one minute, %ld KB for ten\n", peak[0],
          peak[1]);
  EXPECT_LT(peak[1], 64 * 1024);
  EXPECT_LE(peak[1], peak[0] + 4 * 1024);
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
  EXPECT_TRUE(has(r.err, "Graph lock: longest holding ")) << r.err;
  expectSwapped(samplesOf(readStart(d / "out.raw", in.size() * 2 + 64 * 4)), in, 64, LIVE);
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
  expectSwapped(samplesOf(readStart(d / "out.raw", in.size() * 2 + 64 * 4)), in, 64, LIVE);
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
  expectSwapped(samplesOf(readStart(d / "out.raw", in.size() * 2)), in, 0, LIVE);
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
                      (void)!write(stdinFd, "status\n", 7);
                      usleep(100000);
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
  // status: the server counts xruns, and the callback's passes make the load
  const char *line = strstr(r.out.c_str(), "load ");
  ASSERT_NE(line, nullptr) << r.out;
  double load = -1;
  long xruns = -1;
  EXPECT_EQ(sscanf(line, "load %lf%% xruns %ld in ", &load, &xruns), 2) << line;
  EXPECT_GE(load, 0.0);
  EXPECT_GE(xruns, 0);
  EXPECT_TRUE(qafPorts(look).empty()) << "the client is gone";
  jack_client_close(look);
}

// ---- The examples -------------------------------------------------------------------------------

TEST(Examples, EveryPresetLoadsAndRendersTheDemo)
{
  // The presets the build made, each rendering the demo recording (the looper rig with its
  // bank): the layout loads with no refusal, the render runs to the end, and the sound that
  // comes out is the preset's: as long as the demo, neither silent nor clipped throughout, and
  // not the demo itself.
  const char *presets[] = {"clean-boost", "crunch",      "lead",
                           "ambient-wash", "octave-fuzz", "looper-rig"};
  std::string dir = QAF_EXAMPLES_DIR;
  Sound demo = readSound(dir + "/demo-riff.wav");
  ASSERT_EQ(demo.channels, 1);
  ASSERT_GE(demo.frames(), 4 * 44100) << "a few seconds";
  for (const char *p : presets) {
    TempDir d;
    QafRun r = runQaf({"--no-gui", "-d", "file:" + dir + "/demo-riff.wav:" + d / "out.wav",
                       "--bank", dir + "/looper-rig.sbk", "--layout", dir + "/" + p + ".lyo"},
                      {});
    EXPECT_EQ(r.status, 0) << p << "\n" << r.err;
    EXPECT_FALSE(has(r.out, "Not ") || has(r.out, "Error")) << p << "\n" << r.out;
    Sound out = readSound(d / "out.wav");
    ASSERT_EQ(out.frames(), demo.frames()) << p;
    double sum = 0, diff = 0, ref = 0;
    long clipped = 0;
    for (long long f = 0; f < out.frames(); f++) {
      float l = out.x[(size_t)(2 * f)];
      sum += l * l;
      diff += (l - demo.x[(size_t)f]) * (l - demo.x[(size_t)f]);
      ref += demo.x[(size_t)f] * demo.x[(size_t)f];
      clipped += fabsf(l) >= 32767.0f / 32768.0f;
    }
    EXPECT_GT(sqrt(sum / out.frames()), 0.02) << p << ": not silence";
    EXPECT_LT(clipped, out.frames() / 1000) << p << ": not clipped throughout";
    EXPECT_GT(diff, 0.01 * ref) << p << ": not the demo unchanged";
  }
}

TEST(Examples, PresetsCoverEveryModuleFamilyAndTheSetListNamesThemAll)
{
  // Routing, shaping, delay lines and sample modules, by type number as in the type table.
  const std::vector<std::vector<int>> families = {
      {2, 3, 6, 9, 15, 19}, {4, 7, 17}, {5, 10, 16}, {8, 11, 12, 13, 14, 18}};
  std::string dir = QAF_EXAMPLES_DIR;
  GKeyFile *set = g_key_file_new();
  ASSERT_TRUE(g_key_file_load_from_file(set, (dir + "/setlist.qset").c_str(), G_KEY_FILE_NONE,
                                        nullptr));
  gchar *bank = g_key_file_get_string(set, "Set List", "Bank", nullptr);
  ASSERT_NE(bank, nullptr);
  EXPECT_EQ(access((dir + "/" + bank).c_str(), R_OK), 0) << bank;
  g_free(bank);
  std::vector<bool> used(families.size(), false);
  for (int n = 0; n < 6; n++) {
    std::string group = "Preset " + std::to_string(n);
    gchar *name = g_key_file_get_string(set, group.c_str(), "Name", nullptr);
    gchar *layout = g_key_file_get_string(set, group.c_str(), "Layout", nullptr);
    ASSERT_TRUE(name && layout && *name) << group;
    bootGraph();
    beginCapture();
    EXPECT_TRUE(loadLayoutFile((dir + "/" + layout).c_str(), false)) << layout;
    endCapture();
    for (int s = 2; s < MAX_MODULES; s++)
      for (size_t f = 0; MOD[s] && f < families.size(); f++)
        for (int t : families[f]) used[f] = used[f] || MOD[s]->type == t;
    g_free(name);
    g_free(layout);
  }
  EXPECT_FALSE(g_key_file_has_group(set, "Preset 6"));
  g_key_file_free(set);
  EXPECT_EQ(used, std::vector<bool>(families.size(), true));
  // The set list itself opens, with its bank, on its lowest program.
  bootGraph();
  beginCapture();
  bool opened = openSetList((dir + "/setlist.qset").c_str(), false);
  std::vector<std::string> lines = endCapture();
  EXPECT_TRUE(opened);
  EXPECT_EQ(currentProgram(), 0);
  EXPECT_GE(MOD_EXEC_NUM, 3) << "the first preset's modules are in place";
}
