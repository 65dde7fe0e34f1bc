// Plugin modules against the plugins' documented maths, through real passes: Debian's swh and
// x42 plugins, each test skipped (saying which package is missing) where its plugin is not
// installed.
#include <math.h>
#include <sndfile.h>
#include <unistd.h>

#include "control/control.h"
#include "lv2/lv2internal.h"
#include <lv2/atom/util.h>
#include "tests/effects_rig.h"
#include "tests/lv2need.h"

using Lines = std::vector<std::string>;

// Two plugins described but never built (their library does not exist): one with a CV port,
// one that needs a feature no host knows. LV2_PATH finds their bundle before the installed ones, set before lilv first reads
// it (each test runs in a process of its own).
struct TempDirForLv2 {
  std::string dir;
  TempDirForLv2()
  {
    char t[] = "/tmp/qaf-lv2test-XXXXXX";
    dir = mkdtemp(t);
    std::string b = dir + "/qaftest.lv2";
    g_mkdir_with_parents(b.c_str(), 0700);
    const char *ttl =
        "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
        "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
        "<urn:qaf:test:cv> a lv2:Plugin ; lv2:binary <none.so> ; doap:name \"CV Thing\" ;\n"
        "  lv2:port [ a lv2:CVPort , lv2:InputPort ; lv2:index 0 ; lv2:symbol \"cv\" ;"
        " lv2:name \"CV\" ] .\n"
        "<urn:qaf:test:feature> a lv2:Plugin ; lv2:binary <none.so> ; doap:name \"Needy\" ;\n"
        "  lv2:requiredFeature <urn:qaf:test:unheardOf> .\n";
    g_file_set_contents((b + "/manifest.ttl").c_str(), ttl, -1, nullptr);
    const char *old = getenv("LV2_PATH");
    setenv("LV2_PATH", (dir + ":" + (old ? old : "/usr/lib/lv2")).c_str(), 1);
  }
  ~TempDirForLv2()
  {
    std::string b = dir + "/qaftest.lv2";
    unlink((b + "/manifest.ttl").c_str());
    rmdir(b.c_str());
    rmdir(dir.c_str());
  }
};

#define NODELAY X42 "nodelay"
#define CONVO_MONO X42 "convoLV2#Mono"

// A plugin module made with "lv2 URI", its slot (-1 when refused).
static int addPlugin(const std::string &uri, Lines *out = nullptr)
{
  int before = sUID;
  Lines l = command("lv2 " + uri);
  if (out) *out = l;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->ID == before) return s;
  return -1;
}

static Samples sine(size_t n, double hz, double amp)
{
  Samples s(n);
  for (size_t i = 0; i < n; i++) s[i] = (short)lrint(amp * sin(2 * M_PI * hz * i / 44100.0));
  return s;
}

static std::string setParm(int slot, int parm, double v)
{
  Lines l = command("set " + std::to_string(MOD[slot]->ID) + " " + std::to_string(parm) + " " +
                    std::to_string(v));
  return l.empty() ? "" : l[0];
}

// Gain, negation and the mid/side matrix: each output sample is the documented function of the
// input samples, to within one step of 16 bits.
TEST(Lv2Plugins, SwhAmpInvAndMatrixFollowTheirMaths)
{
  NEED(SWH "amp", "swh-lv2");
  Rig r(128);
  lv2SetSynchronousWork(true);
  Lines made;
  int amp = addPlugin(SWH "amp", &made);
  ASSERT_GE(amp, 0);
  EXPECT_EQ(made.back(), "Plugin: Simple amplifier");
  EXPECT_EQ(setParm(amp, 0, 6), "Module " + std::to_string(MOD[amp]->ID) +
                                    " parameter 0 (Amps gain (dB)) set to 6");
  int inv = addPlugin(SWH "inv");
  int ms = addPlugin(SWH "matrixStMS");
  ASSERT_GE(inv, 0);
  ASSERT_GE(ms, 0);
  // Line In left -> amp -> Line Out left; Line In right -> inv -> Line Out right.
  r.wire(Rig::lineIn(), 0, amp, 0);
  r.wire(amp, 0, Rig::lineOut(), 0);
  r.wire(Rig::lineIn(), 1, inv, 0);
  r.wire(inv, 0, Rig::lineOut(), 1);
  takeNewestGraph();
  Samples left = sine(4096, 220, 16000), right = sine(4096, 330, 32767);
  right[100] = -32768;
  Samples oL, oR;
  r.stream(left, right, &oL, &oR);
  double g = pow(10.0, 6.0 / 20.0);
  for (size_t i = 0; i < left.size(); i++) {
    ASSERT_NEAR(oL[i], left[i] * g, 1.0) << "amp at " << i;
    ASSERT_EQ(oR[i], right[i] == -32768 ? 32767 : -right[i]) << "inv at " << i;
  }
  // The matrix: left and right in, mid (L+R)/2 and side (L-R)/2 out.
  command("D " + std::to_string(MOD[amp]->ID) + " A");
  command("D " + std::to_string(MOD[inv]->ID) + " A");
  command("D 100 A");
  command("D 100 B");
  r.wire(Rig::lineIn(), 0, ms, 0);
  r.wire(Rig::lineIn(), 1, ms, 1);
  r.wire(ms, 0, Rig::lineOut(), 0);
  r.wire(ms, 1, Rig::lineOut(), 1);
  takeNewestGraph();
  right = sine(4096, 330, 12000);
  r.stream(left, right, &oL, &oR);
  for (size_t i = 0; i < left.size(); i++) {
    ASSERT_NEAR(oL[i], (left[i] + right[i]) / 2.0, 1.0) << "mid at " << i;
    ASSERT_NEAR(oR[i], (left[i] - right[i]) / 2.0, 1.0) << "side at " << i;
  }
}

// x42 nodelay set to 100 frames reports a latency of 100 and delays by exactly that.
TEST(Lv2Plugins, NodelayReportsAndAppliesItsLatency)
{
  NEED(NODELAY, "x42-plugins");
  Rig r(256);
  lv2SetSynchronousWork(true);
  int d = addPlugin(NODELAY);
  ASSERT_GE(d, 0);
  r.wire(Rig::lineIn(), 0, d, 0);
  r.wire(d, 0, Rig::lineOut(), 0);
  setParm(d, 0, 100);
  takeNewestGraph();
  r.run(Samples(44100 / 2, 0));  // the delay settles
  EXPECT_TRUE(lv2ReportsLatency(MOD[d]));
  EXPECT_EQ(lv2Latency(MOD[d]), 100);
  Samples in(2048, 0);
  in[300] = 20000;
  Samples out = r.run(in);
  for (size_t i = 0; i < out.size(); i++) EXPECT_EQ(out[i], i == 400 ? 20000 : 0) << i;
  Lines status = command("status");
  ASSERT_GE(status.size(), 2u);
  EXPECT_EQ(status[1], "Module " + std::to_string(MOD[d]->ID) +
                           " (No Delay Line) reports a latency of 100 frames (2.3 ms)");
}

// A delta impulse response sent by patch:Set: the convolver's output is its input times the
// impulse's height and the gain the convolver gives every impulse (0.5, its default -6 dB).
// Served inside the pass (a file render) or by the worker thread while passes go on (live).
class Lv2Worker : public testing::TestWithParam<bool> {};

TEST_P(Lv2Worker, ConvolverLoadsADeltaImpulseSentAsAFile)
{
  NEED(CONVO_MONO, "x42-plugins");
  bool synchronous = GetParam();
  Rig r(256);  // 64-frame passes
  lv2SetSynchronousWork(synchronous);
  char dir[] = "/tmp/qaf-ir-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  std::string ir = std::string(dir) + "/delta.wav";
  SF_INFO info = {};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE *f = sf_open(ir.c_str(), SFM_WRITE, &info);
  ASSERT_TRUE(f);
  float delta[64] = {0.8f};
  sf_write_float(f, delta, 64);
  sf_close(f);
  int c = addPlugin(CONVO_MONO);
  ASSERT_GE(c, 0);
  ASSERT_EQ(lv2FileParms(MOD[c]).size(), 1u);
  r.wire(Rig::lineIn(), 0, c, 0);
  r.wire(c, 0, Rig::lineOut(), 0);
  Lines l = command("file " + std::to_string(MOD[c]->ID) + " 0 " + ir);
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0], "Module " + std::to_string(MOD[c]->ID) + " impulse: " + ir);
  EXPECT_EQ(lv2FilePath(MOD[c], 0), ir);
  takeNewestGraph();
  Samples in = sine(8192, 440, 20000), out;
  auto convolved = [&] {
    for (size_t i = 0; i < in.size(); i++)
      if (fabs(out[i] - in[i] * 0.8 * 0.5) > 1.0) return false;
    return true;
  };
  // Inside the pass the impulse is in place after the first pass; the worker thread takes a
  // few milliseconds, while passes go on (the plugin passes silence meanwhile).
  r.run(Samples(8192, 0));
  out = r.run(in);
  for (int tries = 0; !synchronous && !convolved() && tries < 300; tries++) {
    usleep(10000);
    out = r.run(in);
  }
  EXPECT_TRUE(convolved()) << (synchronous ? "served in the pass" : "served by the worker");
  unlink(ir.c_str());
  rmdir(dir);
}

INSTANTIATE_TEST_SUITE_P(Lv2Plugins, Lv2Worker, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &i) {
                           return i.param ? "InThePass" : "OnTheWorkerThread";
                         });

// Plugins that cannot be hosted are refused with one line naming them and why, before their
// library loads; commands on plugin modules check what they are given.
TEST(Lv2Plugins, RefusalsAndBadCommandsSayWhy)
{
  TempDirForLv2 d;
  NEED(SWH "amp", "swh-lv2");
  Rig r(128);
  Lines out;
  EXPECT_LT(addPlugin("urn:qaf:test:cv", &out), 0);
  EXPECT_EQ(out, (Lines{"Plugin refused: CV Thing (urn:qaf:test:cv) cannot be hosted: it has CV "
                        "ports"}));
  EXPECT_LT(addPlugin("urn:qaf:test:feature", &out), 0);
  EXPECT_EQ(out, (Lines{"Plugin refused: Needy (urn:qaf:test:feature) cannot be hosted: it needs "
                        "the feature urn:qaf:test:unheardOf, which QAF does not provide"}));
  addPlugin("urn:nothing:here", &out);
  EXPECT_EQ(out, (Lines{"Plugin refused: no plugin urn:nothing:here is installed"}));
  // The list: one line per plugin whose name or URI holds the word, any case.
  out = command("plugins SIMPLE AMPLIFIER");
  EXPECT_EQ(out, (Lines{SWH "amp\tSimple amplifier\tAmplifier"}));
  int amp = addPlugin(SWH "amp");
  std::string id = std::to_string(MOD[amp]->ID);
  EXPECT_EQ(command("file " + id + " 0 /etc/passwd"),
            (Lines{"file: module " + id + " has 0 file parameters"}));
  EXPECT_EQ(command("set " + id + " 1 0"),
            (Lines{"set: module " + id + " (Simple amplifier) has no parameter 1"}));
  // Out of range: clamped to the port's range.
  EXPECT_EQ(setParm(amp, 0, 1000),
            "Module " + id + " parameter 0 (Amps gain (dB)) set to 70");
  // "A 20" still makes no module: a plugin module needs its URI.
  EXPECT_EQ(command("A 20"), (Lines{"Error: Type 20 is out of range."}));
}

static std::string readAll(const std::string &path)
{
  gchar *data = nullptr;
  gsize len = 0;
  if (!g_file_get_contents(path.c_str(), &data, &len, nullptr)) return "";
  std::string s(data, len);
  g_free(data);
  return s;
}

// A layout with plugins (an amp, a delay, a convolver whose impulse lies beside the layout)
// saved and opened again renders the same samples; the impulse is found through a path
// relative to the layout's folder after the folder has moved; the count field keeps older
// readers out.
TEST(Lv2Layouts, SavedPluginsOpenAgainAndRenderTheSame)
{
  NEED(SWH "amp", "swh-lv2");
  NEED(CONVO_MONO, "x42-plugins");
  Rig r(256);
  lv2SetSynchronousWork(true);
  char tmpl[] = "/tmp/qaf-lv2lay-XXXXXX";
  std::string dir = mkdtemp(tmpl), moved = dir + "-moved";
  std::string ir = dir + "/cab.wav";
  SF_INFO info = {};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE *f = sf_open(ir.c_str(), SFM_WRITE, &info);
  float h[64] = {0.6f, 0.3f, -0.2f, 0.1f};
  sf_write_float(f, h, 64);
  sf_close(f);
  int amp = addPlugin(SWH "amp"), d = addPlugin(NODELAY), c = addPlugin(CONVO_MONO);
  ASSERT_GE(c, 0);
  r.wire(Rig::lineIn(), 0, amp, 0);
  r.wire(amp, 0, d, 0);
  r.wire(d, 0, c, 0);
  r.wire(c, 0, Rig::lineOut(), 0);
  setParm(amp, 0, -3.5);
  setParm(d, 0, 37);
  command("file " + std::to_string(MOD[c]->ID) + " 0 " + ir);
  takeNewestGraph();
  r.run(Samples(8192, 0));
  Samples in = sine(8192, 220, 12000);
  Samples before = r.run(in);
  command("save " + dir + "/rig.lyo");
  std::string bytes = readAll(dir + "/rig.lyo");
  ASSERT_GT(bytes.size(), 2447u);
  gint32 count;
  memcpy(&count, bytes.data() + 11, 4);
  EXPECT_GT(count, 64) << "an older reader must refuse it as another version";
  EXPECT_EQ(bytes.find(ir), std::string::npos) << "the impulse's path is relative";
  ASSERT_EQ(rename(dir.c_str(), moved.c_str()), 0);
  Lines l = command("load " + moved + "/rig.lyo");
  takeNewestGraph();
  int c2 = -1;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->type == LV2_TYPE && lv2Uri(MOD[s]) == CONVO_MONO) c2 = s;
  ASSERT_GE(c2, 0);
  EXPECT_EQ(lv2FilePath(MOD[c2], 0), moved + "/cab.wav");
  r.run(Samples(8192, 0));
  EXPECT_EQ(r.run(in), before);
  unlink((moved + "/cab.wav").c_str());
  unlink((moved + "/rig.lyo").c_str());
  rmdir(moved.c_str());
}

// A layout naming a plugin that is not installed still opens: the module keeps its place, wires,
// values and state, passes silence, one line names the URI, and saving again loses nothing.
TEST(Lv2Layouts, AMissingPluginLosesNothing)
{
  NEED(SWH "amp", "swh-lv2");
  Rig r(128);
  char tmpl[] = "/tmp/qaf-lv2miss-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  int amp = addPlugin(SWH "amp");
  r.wire(Rig::lineIn(), 0, amp, 0);
  r.wire(amp, 0, Rig::lineOut(), 0);
  setParm(amp, 0, 4.25);
  command("save " + dir + "/a.lyo");
  // The same layout, naming a plugin no one has (a URI of the same length).
  std::string bytes = readAll(dir + "/a.lyo");
  size_t at = bytes.find(SWH "amp");
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, strlen(SWH "amp"), SWH "zmp");
  ASSERT_TRUE(g_file_set_contents((dir + "/b.lyo").c_str(), bytes.data(), (gssize)bytes.size(),
                                  nullptr));
  Lines l = command("load " + dir + "/b.lyo");
  EXPECT_NE(std::find(l.begin(), l.end(),
                      "Plugin " SWH "zmp is missing (no plugin " SWH "zmp is installed): its module "
                      "keeps its place, wires and settings and passes silence"),
            l.end());
  takeNewestGraph();
  int s = -1;
  for (int k = 0; k < MAX_MODULES; k++)
    if (MOD[k] && MOD[k]->type == LV2_TYPE) s = k;
  ASSERT_GE(s, 0);
  EXPECT_TRUE(lv2IsMissing(MOD[s]));
  EXPECT_EQ(I_TERM_CONNECT[s * 4], 0);  // still wired from Line In
  EXPECT_EQ(r.run(sine(512, 440, 9000)), Samples(512, 0));
  command("save " + dir + "/c.lyo");
  EXPECT_TRUE(readAll(dir + "/c.lyo") == bytes) << "saved again, the layout differs";
  for (const char *n : {"/a.lyo", "/b.lyo", "/c.lyo"}) unlink((dir + n).c_str());
  rmdir(dir.c_str());
}

// The MIDI messages of a pass reach a plugin that takes MIDI as midi:MidiEvent atoms at the
// start of its block, once (a pass without messages hands it none).
TEST(Lv2Plugins, MidiMessagesReachAPluginOncePerPass)
{
  NEED("http://gareus.org/oss/lv2/fat1", "x42-plugins");
  Rig r(128);
  int a = addPlugin("http://gareus.org/oss/lv2/fat1");
  ASSERT_GE(a, 0);
  lv2Inst *p = (lv2Inst *)MOD[a]->Extra;
  ASSERT_GE(p->desc->midiPort, 0);
  takeNewestGraph();
  auto events = [&] {
    std::vector<std::vector<uint8_t>> got;
    const LV2_Atom_Sequence *seq = (const LV2_Atom_Sequence *)p->atomBuf[p->desc->midiPort];
    LV2_ATOM_SEQUENCE_FOREACH (seq, ev)
      if (ev->body.type == lv2U().midiEvent) {
        const uint8_t *b = (const uint8_t *)LV2_ATOM_BODY_CONST(&ev->body);
        got.emplace_back(b, b + ev->body.size);
      }
    return got;
  };
  const uint32_t msgs[] = {0x643C90, 0x0005C1};  // note on C4 velocity 100; program change 5
  lv2SetPassMidi(msgs, 2);
  r.pass(nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(events(), (std::vector<std::vector<uint8_t>>{{0x90, 0x3C, 0x64}, {0xC1, 0x05}}));
  r.pass(nullptr, nullptr, nullptr, nullptr);
  EXPECT_TRUE(events().empty());
}

// A controller mapped onto a plugin control spreads 0..127 over the port's range: evenly for a
// linear port, by equal ratios for a logarithmic one.
TEST(Lv2Plugins, MappedControllersFollowThePortsScale)
{
  NEED(SWH "amPitchshift", "swh-lv2");
  Rig r(128);
  struct {
    const char *uri;
    float at0, at64, at127;
  } cases[] = {
      {SWH "amPitchshift", 0.25f, 0.25f * powf(16.0f, 64 / 127.0f), 4.0f},  // 0.25..4, logarithmic
      {SWH "amp", -70.0f, -70.0f + 140.0f * 64 / 127, 70.0f},              // -70..70 dB, linear
  };
  int cc = 20;
  for (const auto &c : cases) {
    int s = addPlugin(c.uri);
    ASSERT_GE(s, 0) << c.uri;
    Lines l = command("map 1 " + std::to_string(cc) + " " + std::to_string(MOD[s]->ID) + " 0");
    ASSERT_FALSE(l.empty());
    const ctlMapping *m = nullptr;
    for (const ctlMapping &x : controlMappings())
      if (x.cc == cc) m = &x;
    ASSERT_TRUE(m) << l[0];
    float v;
    ASSERT_TRUE(mappedValue(*m, 0, false, 0, &v));
    EXPECT_NEAR(v, c.at0, 1e-4) << c.uri;
    ASSERT_TRUE(mappedValue(*m, 64, false, 0, &v));
    EXPECT_NEAR(v, c.at64, 1e-3) << c.uri;
    ASSERT_TRUE(mappedValue(*m, 127, false, 0, &v));
    EXPECT_NEAR(v, c.at127, 1e-3) << c.uri;
    cc++;
  }
}

// A plugin's log line written inside a pass waits in a ring and is printed on the UI thread,
// named after the plugin; outside a pass it is printed at once.
TEST(Lv2Plugins, LogLinesFromPassesArePrintedLater)
{
  NEED(SWH "amp", "swh-lv2");
  Rig r(128);
  int a = addPlugin(SWH "amp");
  ASSERT_GE(a, 0);
  lv2Inst *p = (lv2Inst *)MOD[a]->Extra;
  beginCapture();
  p->rt->inPass = true;
  lv2LogPrintf(p, 0, "level %d\n", 3);
  p->rt->inPass = false;
  Lines during = endCapture();
  beginCapture();
  lv2FlushLog();
  lv2LogPrintf(p, 0, "idle\n");
  Lines after = endCapture();
  EXPECT_TRUE(during.empty());
  EXPECT_EQ(after, (Lines{"Simple amplifier: level 3", "Simple amplifier: idle"}));
}
