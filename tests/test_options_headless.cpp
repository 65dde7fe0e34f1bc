// The command line (-b as before, -d, --no-gui, --layout, --bank, --rate, --help) and headless use, where
// standard input stands in for the command entry.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "control/control.h"
#include "control/setlist.h"
#include "command/headless.h"
#include "engine/options.h"
#include "tests/devtest.h"

using Lines = std::vector<std::string>;

// Runs readOptions over the words as a command line ("qaf" first).
static bool parse(std::vector<std::string> words, qafOptions &o, std::string *err = nullptr)
{
  words.insert(words.begin(), "qaf");
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  testing::internal::CaptureStderr();
  bool ok = readOptions((int)words.size(), argv.data(), o);
  std::string e = testing::internal::GetCapturedStderr();
  if (err) *err = e;
  return ok;
}

static int bufferAfter(const std::vector<std::string> &words)
{
  sound_buffer_size = 128;
  sound_chunk_size = 64;
  qafOptions o;
  parse(words, o);
  EXPECT_EQ(sound_chunk_size, sound_buffer_size / 2);
  return sound_buffer_size;
}

TEST(BufferOption, KeepsItsMeaningAmongTheNewOptions)
{
  EXPECT_EQ(bufferAfter({}), 128);
  EXPECT_EQ(bufferAfter({"-b", "3"}), 1024);
  EXPECT_EQ(bufferAfter({"-B", "5"}), 4096);
  EXPECT_EQ(bufferAfter({"-b", "6"}), 128);
  EXPECT_EQ(bufferAfter({"-b", "-1"}), 128);
  EXPECT_EQ(bufferAfter({"-b", "abc"}), 128);  // not a number: index 0
  EXPECT_EQ(bufferAfter({"-b", "2", "-b", "4"}), 2048);
  EXPECT_EQ(bufferAfter({"-b", "4", "-b", "9"}), 2048);
  EXPECT_EQ(bufferAfter({"-b1"}), 256);
  EXPECT_EQ(bufferAfter({"--no-gui", "-d", "jack", "-b", "2", "--layout", "x.lyo"}), 512);
}

TEST(BufferOption, UnknownOptionsGetTheParsersDiagnosticAndAreIgnored)
{
  qafOptions o;
  std::string err;
  sound_buffer_size = 128;
  EXPECT_TRUE(parse({"-x", "-b", "1"}, o, &err));
  EXPECT_NE(err.find("invalid option -- 'x'"), std::string::npos) << err;
  EXPECT_EQ(sound_buffer_size, 256);
  EXPECT_TRUE(parse({"-b"}, o, &err));
  EXPECT_NE(err.find("option requires an argument -- 'b'"), std::string::npos) << err;
}

TEST(DeviceOption, ShortAndLongFormsChooseTheDevice)
{
  qafOptions o;
  EXPECT_EQ(o.device.kind, DEV_AUTO);
  ASSERT_TRUE(parse({"-d", "alsa:hw:0"}, o));
  EXPECT_EQ(o.device.kind, DEV_ALSA);
  EXPECT_EQ(o.device.path, "hw:0");
  ASSERT_TRUE(parse({"--device", "file:a.wav:b.wav"}, o));
  EXPECT_EQ(o.device.kind, DEV_FILE);
  EXPECT_EQ(o.device.path, "a.wav");
  EXPECT_EQ(o.device.outPath, "b.wav");
  ASSERT_TRUE(parse({"--device=jack"}, o));
  EXPECT_EQ(o.device.kind, DEV_JACK);
}

TEST(DeviceOption, AValueThatNamesNoDeviceIsAnErrorThatSaysWhatIsAccepted)
{
  qafOptions o;
  std::string err;
  EXPECT_FALSE(parse({"-d", "pulse"}, o, &err));
  EXPECT_EQ(err, "Unknown sound device \"pulse\": -d takes oss[:PATH], alsa[:PCM], jack or "
                 "file:IN:OUT\n");
  EXPECT_EQ(o.device.kind, DEV_AUTO);
}

TEST(HeadlessOptions, LayoutBankCommandsAndNoGuiAreRead)
{
  qafOptions o;
  ASSERT_TRUE(parse({"--no-gui", "--layout", "song.lyo", "--bank=drums.sbk", "--commands",
                     "patch.txt"}, o));
  EXPECT_TRUE(o.noGui);
  EXPECT_EQ(o.layout, "song.lyo");
  EXPECT_EQ(o.bank, "drums.sbk");
  EXPECT_EQ(o.commands, "patch.txt");
  EXPECT_FALSE(o.help);
}

TEST(HeadlessOptions, RateTakesWholeHertzFrom8000To384000)
{
  struct Case {
    const char *value;
    int rate;  // 0: refused
  };
  const Case cases[] = {{"48000", 48000}, {"8000", 8000}, {"384000", 384000}, {"7999", 0},
                        {"384001", 0},    {"44.1k", 0},   {"", 0},          {"-96000", 0}};
  for (const Case &c : cases) {
    qafOptions o;
    std::string err;
    bool ok = parse({"--rate", c.value}, o, &err);
    EXPECT_EQ(ok, c.rate != 0) << c.value;
    EXPECT_EQ(o.rate, c.rate) << c.value;
    if (!c.rate) {
      EXPECT_EQ(err, std::string("--rate takes a sample rate from 8000 to 384000 Hz, not \"") +
                         c.value + "\"\n");
    }
  }
}

TEST(HeadlessOptions, MidiInputAndSetListAreRead)
{
  struct Case {
    std::vector<std::string> words;
    bool ok;
    std::string midi, set, err;
  } cases[] = {
      {{"--midi", "alsa", "--set", "gig.qset"}, true, "alsa", "gig.qset", ""},
      {{"--midi=none"}, true, "none", "", ""},
      {{"--midi", "jack", "-d", "jack"}, true, "jack", "", ""},
      {{"--midi", "usb"}, false, "usb", "",
       "Unknown MIDI input \"usb\": --midi takes none, alsa or jack\n"},
  };
  for (const Case &c : cases) {
    qafOptions o;
    std::string err;
    EXPECT_EQ(parse(c.words, o, &err), c.ok) << c.words[0];
    EXPECT_EQ(o.midi, c.midi);
    EXPECT_EQ(o.setList, c.set);
    EXPECT_EQ(err, c.err);
  }
  // A set list so named is no option.
  std::vector<std::string> words = {"qaf", "--set", "--no-gui", "--midi", "--help"};
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(&w[0]);
  qafOptions pre;
  prescanOptions((int)argv.size(), argv.data(), pre);
  EXPECT_FALSE(pre.noGui);
  EXPECT_FALSE(pre.help);
  char help[8192] = {0};
  FILE *f = fmemopen(help, sizeof help - 1, "w");
  printHelp(f);
  fclose(f);
  for (const char *part : {"--midi IN", "--set FILE", "map CH CC ID PARM", "unmap CH CC", "maps",
                           "program N", "set ID PARM VALUE", "load FILE", "bank FILE", "midi "})
    EXPECT_NE(std::string(help).find(part), std::string::npos) << part;
}

TEST(HeadlessOptions, PrescanFindsNoGuiAndHelpButNotInOptionValues)
{
  auto pre = [](std::vector<std::string> words) {
    words.insert(words.begin(), "qaf");
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    qafOptions o;
    prescanOptions((int)argv.size(), argv.data(), o);
    return std::make_pair(o.noGui, o.help);
  };
  EXPECT_EQ(pre({}), std::make_pair(false, false));
  EXPECT_EQ(pre({"-b", "2", "--no-gui"}), std::make_pair(true, false));
  EXPECT_EQ(pre({"--help"}), std::make_pair(false, true));
  EXPECT_EQ(pre({"--layout", "--no-gui"}), std::make_pair(false, false));  // a file so named
  EXPECT_EQ(pre({"--rate", "--help"}), std::make_pair(false, false));
  EXPECT_EQ(pre({"--commands", "--no-gui"}), std::make_pair(false, false));
  EXPECT_EQ(pre({"--", "--no-gui"}), std::make_pair(false, false));
}

TEST(HeadlessOptions, HelpListsEveryOptionAndTheRenderRecipe)
{
  char *text = nullptr;
  size_t len = 0;
  FILE *f = open_memstream(&text, &len);
  printHelp(f);
  fclose(f);
  std::string h(text, len);
  free(text);
  for (const char *part : {"-b, -B N", "-d, --device DEV", "oss[:PATH]", "alsa[:PCM]", "jack",
                           "file:IN:OUT", "--no-gui", "--layout FILE", "--bank FILE",
                           "--commands FILE", "--rate N", "--help",
                           "qaf --no-gui -d file:in.wav:out.wav --layout song.lyo\n",
                           "qaf --no-gui -d file:in.wav:out.wav --commands patch.txt\n"})
    EXPECT_NE(h.find(part), std::string::npos) << part;
}

// ---- Commands from standard input ---------------------------------------------------------------

// Standard input replaced by a pipe holding the text; the write end is closed (end of input)
// unless keepOpen.
struct StdinFeed {
  int saved = -1;
  int writeEnd = -1;
  StdinFeed(const std::string &text, bool keepOpen = false)
  {
    int p[2];
    if (pipe(p) != 0) return;
    (void)!write(p[1], text.data(), text.size());
    saved = dup(0);
    dup2(p[0], 0);
    close(p[0]);
    if (keepOpen)
      writeEnd = p[1];
    else
      close(p[1]);
  }
  ~StdinFeed()
  {
    if (writeEnd >= 0) close(writeEnd);
    dup2(saved, 0);
    close(saved);
  }
};

TEST(Headless, CommandsRunLineByLineUntilQuit)
{
  bootGraph();
  StdinFeed in("A 2\nc 100-102 a a\r\n\n  quit  \nA 3\n");
  beginCapture();
  runHeadless(false);
  Lines out = endCapture();
  ASSERT_NE(MOD[2], nullptr);
  EXPECT_EQ(MOD[2]->type, 2);
  EXPECT_EQ(I_TERM_CONNECT[2 * 4], 0) << "Line In's output A feeds the Passthrough";
  EXPECT_EQ(MOD[3], nullptr) << "nothing after quit runs";
  bool wired = false;
  for (const std::string &l : out) wired = wired || l.rfind("Wiring module# ", 0) == 0;
  EXPECT_TRUE(wired);
}

TEST(Headless, EndOfInputStopsLikeQuit)
{
  bootGraph();
  StdinFeed in("A 6\nA 9");  // the last line has no line end
  beginCapture();
  runHeadless(false);
  endCapture();
  ASSERT_NE(MOD[3], nullptr);
  EXPECT_EQ(MOD[3]->type, 9);
}

TEST(Headless, QuitIsAWholeWordOnly)
{
  bootGraph();
  StdinFeed in("quitting\nA 2\nquit now\nA 3\n");
  beginCapture();
  runHeadless(false);
  Lines out = endCapture();
  EXPECT_NE(MOD[2], nullptr);
  EXPECT_NE(MOD[3], nullptr);
  EXPECT_EQ(out.front(), "unrecognized command QUITTING");
}

TEST(Headless, FileRenderOutlivesTheEndOfInputUntilASignal)
{
  bootGraph();
  StdinFeed in("A 2\n");
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(getpid(), SIGTERM);
  });
  auto t0 = std::chrono::steady_clock::now();
  beginCapture();
  runHeadless(true);
  endCapture();
  auto waited = std::chrono::steady_clock::now() - t0;
  stopper.join();
  EXPECT_GE(waited, std::chrono::milliseconds(250));
  EXPECT_NE(MOD[2], nullptr);
}

TEST(Headless, WordCommandsAndProgramChangesRunFromStandardInput)
{
  bootGraph();
  TempDir d;
  command("A 2");
  command("save " + d / "a.lyo");
  std::string set = "[Set List]\nName=Gig\n[Preset 0]\nName=A\nLayout=a.lyo\n"
                    "[Preset 1]\nName=B\nLayout=a.lyo\nMap1=* 7 2 3 0 10 switch\n";
  writeFile(d / "gig.qset", Bytes(set.begin(), set.end()));
  controlStart();  // the tick that takes program changes, in the headless main loop
  StdinFeed in("setlist " + d / "gig.qset" + "\n", true);
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    midiReceive({0xC5, 1, 0});
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    std::string rest = "maps\nquit\n";
    (void)!write(in.writeEnd, rest.data(), rest.size());
  });
  beginCapture();
  runHeadless(false);
  Lines out = endCapture();
  later.join();
  EXPECT_EQ(currentProgram(), 1);
  EXPECT_EQ(out.back(), "CC 7 any ch -> module " + std::to_string(MOD[2]->ID) +
                            " parameter 3 (VolumeD) 0..10 switch");
}

// A file of commands at start-up: every line runs as standard input would run it, blank lines and
// comments aside; the first command that fails stops the file and is named on the error stream.
TEST(Headless, CommandFileRunsUntilTheFirstCommandThatFails)
{
  bootGraph();
  TempDir d;
  // The Passthrough made first gets the next ID.
  std::string wire = "c " + std::to_string(MOD[0]->ID) + "-" + std::to_string(sUID) + " a a";
  std::string text = "A 2\n\n  # a comment\n" + wire + "\r\nA 99\nA 3\n";
  writeFile(d / "patch.txt", Bytes(text.begin(), text.end()));
  beginCapture();
  testing::internal::CaptureStderr();
  bool ok = runCommandFile((d / "patch.txt").c_str());
  std::string err = testing::internal::GetCapturedStderr();
  Lines out = endCapture();
  EXPECT_FALSE(ok);
  ASSERT_NE(MOD[2], nullptr);
  EXPECT_EQ(MOD[2]->type, 2);
  EXPECT_EQ(I_TERM_CONNECT[2 * 4], 0) << "Line In's output A feeds the Passthrough";
  EXPECT_EQ(MOD[3], nullptr) << "nothing after the failed line runs";
  EXPECT_EQ(out.back(), "Error: Type 99 is out of range.");
  EXPECT_EQ(err, d / "patch.txt" + ":5: the command failed: A 99\n");

  // Without a failure the whole file runs; a file that cannot be read runs nothing.
  text = "A 3\n";
  writeFile(d / "more.txt", Bytes(text.begin(), text.end()));
  beginCapture();
  EXPECT_TRUE(runCommandFile((d / "more.txt").c_str()));
  endCapture();
  ASSERT_NE(MOD[3], nullptr);
  EXPECT_EQ(MOD[3]->type, 3);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(runCommandFile((d / "none.txt").c_str()));
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Cannot read the commands: ", 0), 0u) << err;
  EXPECT_NE(err.find("none.txt"), std::string::npos) << err;
}
