// End to end: the real program under the fake OSS device on the virtual X server, driven with
// xdotool as a user would drive it. Two typed commands make a Distort and wire Line In's left
// output to Line Out; two clicks on the canvas wire the right channel; a screenshot shows the
// patch; Alt+F then x ends the program. Pixel positions come from the canvas grid (column =
// tier, row = place in the tier, margins a tenth of a cell, terminals at fifths of the box).
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>
#include <math.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/devicetest.h"

using Lines = std::vector<std::string>;

static std::string sh(const std::string &cmd)
{
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[256];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

static bool waitFor(const std::function<bool()> &cond, int ms = 10000)
{
  for (int t = 0; t < ms; t += 20) {
    if (cond()) return true;
    usleep(20000);
  }
  return cond();
}

static bool hasLine(const Lines &l, const std::string &s)
{
  for (auto &x : l)
    if (x == s) return true;
  return false;
}

// Whether want appears in got in order, other lines (the audio thread's) allowed between.
static bool inOrder(const Lines &got, const Lines &want, std::string *missing)
{
  size_t i = 0;
  for (const std::string &l : got)
    if (i < want.size() && l == want[i]) i++;
  if (i < want.size()) *missing = want[i];
  return i == want.size();
}

struct Shot {
  GdkPixbuf *pb = nullptr;
  explicit Shot(const std::string &path)
  {
    sh("import -window root " + path);
    pb = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
  }
  ~Shot()
  {
    if (pb) g_object_unref(pb);
  }
  guint32 at(int x, int y) const
  {
    if (!pb || x < 0 || y < 0 || x >= gdk_pixbuf_get_width(pb) || y >= gdk_pixbuf_get_height(pb))
      return 0xffffffff;
    const guchar *p = gdk_pixbuf_read_pixels(pb) + y * gdk_pixbuf_get_rowstride(pb) +
                      x * gdk_pixbuf_get_n_channels(pb);
    return (p[0] << 16) | (p[1] << 8) | p[2];
  }
};

static bool isDark(guint32 p) { return ((p >> 16) & 255) < 96 && ((p >> 8) & 255) < 96 && (p & 255) < 96; }

// A signal that is never zero, different on the two channels, so that "still silent" and "now
// the input" cannot be mistaken for each other on any frame.
static std::vector<short> lineSignal(int frames)
{
  std::vector<short> v(2 * (size_t)frames);
  for (int n = 0; n < frames; n++) {
    v[2 * n] = (short)(1000 + n % 20000);
    v[2 * n + 1] = (short)-(1000 + (n * 7) % 20000);
  }
  return v;
}

// The first frame from which channel ch of out equals the input, with only silence before it;
// -1 when the channel is not of that shape.
static long switchOnFrame(const std::vector<short> &in, const std::vector<short> &out, int ch)
{
  size_t frames = out.size() / 2;
  size_t n = 0;
  while (n < frames && out[2 * n + ch] == 0) n++;
  size_t m = n;
  while (m < frames && out[2 * m + ch] == in[2 * m + ch]) m++;
  // Quitting fades the output out (about 5 ms, whole buffers) before the device stops: never
  // louder than the input, never of the other sign, then silence.
  long faded = 0;
  for (; m < frames; m++) {
    short o = out[2 * m + ch], x = in[2 * m + ch];
    if (o != 0 && ((o > 0) != (x > 0) || abs(o) > abs(x))) return -1;
    faded += o != 0;
  }
  if (faded > 224) return -1;
  return n < frames ? (long)n : -1;
}

struct Grid {
  int x0, y0, colW, rowH, mX, mY, boxW, boxH, tW, tH, step;
  Grid(int x, int y, int W, int H, int maxTier, int maxInTier)
  {
    x0 = x;
    y0 = y;
    colW = W / (maxTier + 1);
    rowH = H / maxInTier;
    mX = colW / 10;
    mY = rowH / 10;
    boxW = colW - 2 * mX;
    boxH = rowH - 2 * mY;
    tW = mX / 2;
    tH = mY / 2;
    step = boxH / 5;
  }
  int cx(int col) const { return x0 + colW * col; }
  int cy(int row) const { return y0 + rowH * row; }
  // where the wires of terminal k end: on the box edge, a fifth of the box apart
  int inX(int col) const { return cx(col) + mX; }
  int outX(int col) const { return cx(col) + mX + boxW; }
  int wireY(int row, int k) const { return cy(row) + mY + step * (k + 1); }
  // a pixel inside terminal k's rectangle, above the wire that ends in it
  int termTop(int row, int k) const { return cy(row) + (3 * mY) / 4 + step * (k + 1) + 1; }
  int inTermX(int col) const { return cx(col) + (3 * mX) / 4 + 1; }
  int outTermX(int col) const { return cx(col) + (3 * mX) / 4 + boxW + tW - 2; }
};

TEST(EndToEnd, TypedCommandsAndTwoClicksPatchLineInThroughToLineOutAndAltFXQuits)
{
  FakeDevice dev;
  dev.set("FAKEDSP_PACE", "1");  // reads come at the sample rate, as from a real card
  const int frames = 44100 * 40;  // far longer than the run: File/Exit, not the input, ends it
  std::vector<short> in = lineSignal(frames);
  dev.input(framesToBytes(in));
  std::string outPath = dev.dir + "/stdout", errPath = dev.dir + "/stderr";

  pid_t pid = fork();
  if (pid == 0) {
    setenv("LD_PRELOAD", FAKEDSP_LIBRARY, 1);
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(98);
    execl(QAF_BINARY, QAF_BINARY, (char *)nullptr);
    _exit(97);
  }
  auto out = [&] { return readLines(outPath); };
  bool ended = false;
  int status = -1;
  auto finish = [&] {
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      ended = true;
    }
  };
  struct Guard {
    std::function<void()> f;
    ~Guard() { f(); }
  } guard{finish};

  ASSERT_TRUE(waitFor([&] { return hasLine(out(), "audio thread started!"); })) << readFileBytes(errPath);
  std::string wid = sh("xdotool search --sync --onlyvisible --name '^QAF$' | head -n 1");
  wid = wid.substr(0, wid.find('\n'));
  ASSERT_FALSE(wid.empty());
  int X = -1, Y = -1, W = -1, H = -1;
  std::string geo = sh("xdotool getwindowgeometry --shell " + wid);
  sscanf(strstr(geo.c_str(), "X="), "X=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &X, &Y, &W, &H);
  ASSERT_GE(W, 500);
  ASSERT_GE(H, 400);
  usleep(300000);

  // Find the canvas from the start-up patch: Line In and Line Out in one column of two rows, so
  // the boxes start a tenth of the width in, and their top edges are one row apart.
  std::string dir = BUILD_DIR;
  int canvasTop, rowH;
  {
    Shot s(dir + "/e2e_gui_start.png");
    ASSERT_NE(s.pb, nullptr);
    std::vector<int> edges;  // rows where a box's top or bottom edge runs
    int x = X + W / 10;
    for (int y = Y; y < Y + H; y++) {
      bool line = true;
      for (int dx = 5; dx <= 40 && line; dx++) line = s.at(x + dx, y) == 0;
      if (line) edges.push_back(y);
    }
    ASSERT_EQ(edges.size(), 4u);
    rowH = edges[2] - edges[0];
    canvasTop = edges[0] - rowH / 10;
    EXPECT_EQ(edges[1] - edges[0], rowH - 2 * (rowH / 10));  // the box height
    EXPECT_EQ(edges[3] - edges[2], rowH - 2 * (rowH / 10));
  }
  int canvasH = 2 * rowH;  // the canvas height, to the pixel the grid can tell (H / 2 rows)
  ASSERT_GE(canvasH, 400);

  // the entry below the canvas takes the typed lines
  sh("xdotool mousemove " + std::to_string(X + 100) + " " + std::to_string(Y + H - 10) + " click 1");
  sh("xdotool type --delay 30 'a4' && xdotool key Return");
  ASSERT_TRUE(waitFor([&] { return hasLine(out(), "Name of new module: Distort"); }));
  sh("xdotool type --delay 30 'c 100-101 a a' && xdotool key Return");
  ASSERT_TRUE(waitFor([&] { return hasLine(out(), "Wiring module# 0 term 0 to module# 1 term 0"); }));
  usleep(200000);

  // Now Line In (row 0) and the Distort (row 1) stand in column 0, Line Out in column 1.
  Grid g(X, canvasTop, W, canvasH, 1, 2);
  auto click = [&](int x, int y) {
    sh("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1");
    usleep(150000);
  };
  click(g.outX(0), g.wireY(0, 1));  // Line In's output 1
  click(g.inX(1), g.wireY(0, 1));   // Line Out's input 1
  ASSERT_TRUE(waitFor([&] { return hasLine(out(), "Wiring module# 0 term 1 to module# 1 term 1"); }));
  usleep(300000);

  {
    Shot s(dir + "/e2e_gui_patch.png");
    ASSERT_NE(s.pb, nullptr);
    // three boxes: Line In and the Distort in column 0, Line Out in column 1; nothing below it
    EXPECT_EQ(s.at(g.inX(0), g.cy(0) + g.mY + 3), 0u);
    EXPECT_EQ(s.at(g.inX(0), g.cy(1) + g.mY + 3), 0u);
    EXPECT_EQ(s.at(g.inX(1), g.cy(0) + g.mY + 3), 0u);
    EXPECT_NE(s.at(g.inX(1), g.cy(1) + g.mY + 3), 0u);
    // terminal colours by index: red 0, yellow 1
    EXPECT_EQ(s.at(g.outTermX(0), g.termTop(0, 0)), 0xff0000u);  // Line In out 0
    EXPECT_EQ(s.at(g.outTermX(0), g.termTop(0, 1)), 0xffff00u);  // Line In out 1
    EXPECT_EQ(s.at(g.inTermX(0), g.termTop(1, 0)), 0xff0000u);   // Distort in 0
    EXPECT_EQ(s.at(g.outTermX(0), g.termTop(1, 0)), 0xff0000u);  // Distort out 0
    EXPECT_EQ(s.at(g.inTermX(1), g.termTop(0, 0)), 0xff0000u);   // Line Out in 0
    EXPECT_EQ(s.at(g.inTermX(1), g.termTop(0, 1)), 0xffff00u);   // Line Out in 1
    EXPECT_NE(s.at(g.inTermX(0), g.termTop(0, 0)), 0xff0000u);   // Line In has no inputs
    // the two wires, black and straight across the gap between the columns
    for (int k = 0; k < 2; k++)
      for (int x = g.outX(0) + 1; x < g.inX(1); x += 5)
        EXPECT_EQ(s.at(x, g.wireY(0, k)), 0u) << "wire " << k << " at " << x;
    EXPECT_NE(s.at(g.outX(0) + 5, g.wireY(0, 0) - 2), 0u);
    // labels: dark text inside each box, clear of its edges and terminals
    auto labelPixels = [&](int col, int row) {
      int n = 0;
      for (int y = g.cy(row) + g.mY + 2; y < g.cy(row) + g.mY + g.boxH - 1; y++)
        for (int x = g.cx(col) + 2 * g.mX; x < g.cx(col) + g.boxW; x++) n += isDark(s.at(x, y));
      return n;
    };
    EXPECT_GT(labelPixels(0, 0), 50);
    EXPECT_GT(labelPixels(0, 1), 50);
    EXPECT_GT(labelPixels(1, 0), 50);
  }

  // File/Exit from the keyboard
  sh("xdotool key alt+f");
  usleep(400000);
  sh("xdotool key x");
  ASSERT_TRUE(waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
  ended = true;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // The lines of each step, in order. Orders: all three in tier 0 by slot; then Line Out one
  // tier down, after the Distort (tier 0, second in its tier).
  Lines order3 = {"MOD_EXEC_NUM 3", "Module ID 100 executes 0", "Module ID 101 executes 1",
                  "Module ID 102 executes 2"};
  Lines wired = {"MOD_EXEC_NUM 3", "Module ID 100 executes 0", "Module ID 102 executes 1",
                 "Module ID 101 executes 2"};
  Lines want = {"I compiled", "Sound buffer size: 128 bytes."};
  want.insert(want.end(), order3.begin(), order3.end());
  want.push_back("Created new module ID=102 Slot=2 Type=4");
  want.push_back("Name of new module: Distort");
  want.push_back("Wiring module# 0 term 0 to module# 1 term 0");
  want.insert(want.end(), wired.begin(), wired.end());
  want.push_back("Wiring module# 0 term 1 to module# 1 term 1");
  want.insert(want.end(), wired.begin(), wired.end());
  want.push_back("Destroying mutex");
  std::string missing;
  Lines got = out();
  EXPECT_TRUE(inOrder(got, want, &missing)) << "missing or out of order: " << missing;
  EXPECT_FALSE(hasLine(got, "Audio thread terminating!"));  // the input did not run out

  // The sound: silence until a wire exists, then the input itself, from a pass boundary on (32
  // frames a pass), the left channel before the right.
  std::vector<short> o = bytesToSamples(dev.output());
  ASSERT_GT(o.size(), 2u * 44100);  // about a second at least
  long left = switchOnFrame(in, o, 0), right = switchOnFrame(in, o, 1);
  ASSERT_GT(left, 0);
  ASSERT_GT(right, left);
  EXPECT_EQ(left % 32, 0);
  EXPECT_EQ(right % 32, 0);
  fprintf(stderr, "left from frame %ld, right from frame %ld of %zu\n", left, right, o.size() / 2);
}

// Sound through the fake device at its pace: a half-scale E2 on both channels of Line In, wired
// to Line Out. The status line's meters show it in and out, the typed "tuner" opens the Tuner
// window (and prints its reading), and the screenshot keeps both on screen.
TEST(EndToEnd, StatusLineMetersAndTunerWindowShowTheSoundFlowing)
{
  FakeDevice dev;
  dev.set("FAKEDSP_PACE", "1");
  const double e2 = 440.0 * pow(2.0, -29 / 12.0);
  std::vector<short> in;
  for (int n = 0; n < 44100 * 40; n++) {
    short v = (short)lround(16384.0 * sin(2 * M_PI * e2 * n / 44100.0));
    in.push_back(v);
    in.push_back(v);
  }
  dev.input(framesToBytes(in));
  std::string outPath = dev.dir + "/stdout", errPath = dev.dir + "/stderr";
  pid_t pid = fork();
  if (pid == 0) {
    setenv("LD_PRELOAD", FAKEDSP_LIBRARY, 1);
    if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(98);
    execl(QAF_BINARY, QAF_BINARY, (char *)nullptr);
    _exit(97);
  }
  auto out = [&] { return readLines(outPath); };
  bool ended = false;
  struct Guard {
    std::function<void()> f;
    ~Guard() { f(); }
  } guard{[&] {
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }};

  ASSERT_TRUE(waitFor([&] { return hasLine(out(), "audio thread started!"); })) << readFileBytes(errPath);
  std::string wid = sh("xdotool search --sync --onlyvisible --name '^QAF$' | head -n 1");
  wid = wid.substr(0, wid.find('\n'));
  ASSERT_FALSE(wid.empty());
  int X = -1, Y = -1, W = -1, H = -1;
  std::string geo = sh("xdotool getwindowgeometry --shell " + wid);
  sscanf(strstr(geo.c_str(), "X="), "X=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &X, &Y, &W, &H);
  usleep(300000);

  // the entry is the first line under the canvas, above the status line's two
  sh("xdotool mousemove " + std::to_string(X + 100) + " " + std::to_string(Y + 20) + " click 1");
  sh("xdotool type --delay 30 'c 100-101 a a' && xdotool key Return");
  sh("xdotool type --delay 30 'c 100-101 b b' && xdotool key Return");
  ASSERT_TRUE(waitFor([&] { return hasLine(out(), "Wiring module# 0 term 1 to module# 1 term 1"); }));
  sh("xdotool type --delay 30 'tuner' && xdotool key Return");
  std::string tid = sh("xdotool search --sync --onlyvisible --name '^Tuner$' | head -n 1");
  tid = tid.substr(0, tid.find('\n'));
  ASSERT_FALSE(tid.empty());
  EXPECT_TRUE(waitFor([&] { return hasLine(out(), "E2 +0 cents 82.41 Hz"); }));
  usleep(600000);

  int TX = -1, TY = -1, TW = -1, TH = -1;
  geo = sh("xdotool getwindowgeometry --shell " + tid);
  sscanf(strstr(geo.c_str(), "X="), "X=%d\nY=%d\nWIDTH=%d\nHEIGHT=%d", &TX, &TY, &TW, &TH);
  Shot s(std::string(BUILD_DIR) + "/e2e_gui_tuner.png");
  ASSERT_NE(s.pb, nullptr);
  // the meters' yellow band (-12 to -3 dBFS) under the entry, on In's half and on Out's
  auto count = [&](int x0, int x1, int y0, int y1, guint32 colour) {
    int n = 0;
    for (int y = y0; y < y1; y++)
      for (int x = x0; x < x1; x++) n += s.at(x, y) == colour;
    return n;
  };
  const guint32 METER_YELLOW = 0xe6cc19, IN_TUNE_BAND = 0x28b428;  // as QAF paints them
  int bottom = Y + H;
  EXPECT_GT(count(X, X + W / 2, bottom - 40, bottom, METER_YELLOW), 50);
  EXPECT_GT(count(X + W / 2, X + W, bottom - 40, bottom, METER_YELLOW), 50);
  // the Tuner window: the band around the needle's middle lit as in tune
  EXPECT_GT(count(TX, TX + TW, TY, TY + TH, IN_TUNE_BAND), 200);

  kill(pid, SIGTERM);
  int status = -1;
  ASSERT_TRUE(waitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
  ended = true;
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
