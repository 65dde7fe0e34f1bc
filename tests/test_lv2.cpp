// Plugin modules against the plugins' documented maths, through real passes: Debian's swh and
// x42 plugins, each test skipped (saying which package is missing) where its plugin is not
// installed.
#include <math.h>
#include <sndfile.h>
#include <unistd.h>

#include "control/control.h"
#include "lv2/lv2host.h"
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
TEST(Lv2Plugins, ConvolverLoadsADeltaImpulseSentAsAFile)
{
  NEED(CONVO_MONO, "x42-plugins");
  Rig r(256);  // 64-frame passes
  lv2SetSynchronousWork(true);
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
  r.run(Samples(8192, 0));  // the message is taken and the impulse loaded
  Samples in = sine(8192, 440, 20000);
  Samples out = r.run(in);
  for (size_t i = 0; i < in.size(); i++) ASSERT_NEAR(out[i], in[i] * 0.8 * 0.5, 1.0) << i;
  unlink(ir.c_str());
  rmdir(dir);
}

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
