// The real program under the fake OSS device and a virtual X server, driven with xdotool: a
// Distort is put between Line In and Line Out by typed commands, its dialog is opened with a right
// click on its box, Drive is moved with the keyboard, and the output file shows the new gain from
// a chunk boundary on.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/devicetest.h"

// Runs a shell command line and returns its standard output without the final line end.
static std::string sh(const std::string &cmd)
{
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char b[256];
  while (fgets(b, sizeof b, p)) out += b;
  pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The first window whose name is exactly `name`, waiting up to ten seconds; "" if none.
static std::string findWindow(const std::string &name)
{
  for (int t = 0; t < 100; t++) {
    std::string id = sh("xdotool search --onlyvisible --name '^" + name + "$' 2>/dev/null | head -1");
    if (!id.empty()) return id;
    usleep(100000);
  }
  return "";
}

struct Geometry {
  int x = 0, y = 0, w = 0, h = 0;
};

static Geometry geometryOf(const std::string &win)
{
  Geometry g;
  std::string s = sh("xdotool getwindowgeometry --shell " + win);
  sscanf(s.c_str(), "WINDOW=%*d X=%d Y=%d WIDTH=%d HEIGHT=%d", &g.x, &g.y, &g.w, &g.h);
  return g;
}

// Distort with Sat 0 and Level 200 on a constant input of 1000: ((1000 * drive) / 16) clipped
// to 32767, then (x * 200) / 256, both divisions truncating.
static short distorted(int drive)
{
  int x = (1000 * drive) / 16;
  if (x > 32767) x = 32767;
  return (short)((x * 200) / 256);
}

TEST(ParmDialogEndToEnd, MovingDriveChangesTheGainFromTheNextChunkOn)
{
  FakeDevice dev;
  const int seconds = 10;  // ample time for the window, typing and key presses on a loaded machine
  std::vector<short> in(2 * 44100 * seconds);
  for (size_t i = 0; i < in.size(); i += 2) {
    in[i] = 1000;
    in[i + 1] = 0;
  }
  dev.input(framesToBytes(in));
  dev.set("FAKEDSP_PACE", "1");  // served at the sample rate, so the program runs for seconds
  std::string outPath = dev.dir + "/stdout";

  pid_t pid = fork();
  if (pid == 0) {
    setenv("LD_PRELOAD", FAKEDSP_LIBRARY, 1);
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(98);
    execl(QAF_BINARY, QAF_BINARY, (char *)nullptr);
    _exit(97);
  }

  std::string mainWin = findWindow("QAF");
  ASSERT_FALSE(mainWin.empty()) << "the main window did not appear";
  Geometry g = geometryOf(mainWin);
  // Focus the command entry (the window's bottom strip) and type the patch.
  sh("xdotool mousemove --sync " + std::to_string(g.x + g.w / 2) + " " +
     std::to_string(g.y + g.h - 8) + " click 1");
  for (const char *c : {"A4", "C 100-102aa", "C 102-101aa"}) {
    sh(std::string("xdotool type --delay 20 '") + c + "'");
    sh("xdotool key Return");
  }
  usleep(300000);
  // Line In, Distort and Line Out stand in three columns of one row each: the middle of the
  // canvas is inside the Distort's box.
  sh("xdotool mousemove --sync " + std::to_string(g.x + g.w / 2) + " " +
     std::to_string(g.y + g.h / 2) + " click 3");
  std::string dialog = findWindow("Distort ID: 102");
  ASSERT_FALSE(dialog.empty()) << "the right click opened no dialog";
  usleep(500000);  // let some chunks pass at the default Drive
  sh("xdotool windowfocus --sync " + dialog);
  sh("xdotool key --window " + dialog + " Page_Down");
  sh("xdotool key Page_Down");

  int st = 0;
  bool ended = false;
  for (int t = 0; t < 300 && !ended; t++) {
    if (waitpid(pid, &st, WNOHANG) == pid) ended = true;
    else usleep(100000);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
  }
  ASSERT_TRUE(ended) << "qaf did not end when its input was used up";
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);

  std::vector<std::string> lines = readLines(outPath);
  unlink(outPath.c_str());
  auto has = [&](const std::string &l) {
    for (const std::string &x : lines)
      if (x == l) return true;
    return false;
  };
  EXPECT_TRUE(has("Wiring module# 0 term 0 to module# 2 term 0"));
  EXPECT_TRUE(has("Wiring module# 2 term 0 to module# 1 term 0"));

  // The left channel of what was written, frame by frame (the right one stays silent).
  std::vector<short> out = bytesToSamples(dev.output());
  std::vector<short> left;
  for (size_t i = 0; i + 1 < out.size(); i += 2) {
    left.push_back(out[i]);
    EXPECT_EQ(out[i + 1], 0) << "frame " << i / 2;
    if (out[i + 1] != 0) break;
  }
  ASSERT_GT(left.size(), 44100u);
  // The values heard from the first sound on, in order, and where each one began.
  size_t first = 0;
  while (first < left.size() && left[first] == 0) first++;
  std::vector<short> values;
  std::vector<size_t> starts;
  for (size_t i = first; i < left.size(); i++)
    if (values.empty() || left[i] != values.back()) {
      values.push_back(left[i]);
      starts.push_back(i);
    }
  // The default Drive 50 gives 2441; each key press moves the scale by one page (8), so two
  // presses give Drive 58 then 66 (2832, 3222), or 42 then 34 the other way (2050, 1660).
  std::vector<short> up = {distorted(50), distorted(58), distorted(66)};
  std::vector<short> down = {distorted(50), distorted(42), distorted(34)};
  EXPECT_TRUE(values == up || values == down) << ::testing::PrintToString(values);
  // Every change lands on a chunk boundary (32 frames per 128-byte buffer): the new value holds
  // from the first sample of the next chunk on, never from inside one.
  for (size_t k = 0; k < starts.size(); k++) EXPECT_EQ(starts[k] % 32, 0u) << "change " << k;
  EXPECT_GT(starts.size() > 1 ? starts[1] - starts[0] : 0, 32u) << "the default was never heard";
}
