// Plugin modules edited against running passes (the rig of edit_stress.h): swh's amp and inv and
// x42's nodelay made with "lv2 URI", wired, set with "set" and through a controller that moves
// all the while, then removed, or replaced by a layout that loads while the passes run; x42's
// convolver is sent an impulse response with "file", which its worker loads beside the passes.
// Built with RealtimeSanitizer it proves that nothing QAF does around a plugin in the pass blocks
// (the plugin's own run() is the one exemption); with ThreadSanitizer, that what the pass, the
// editors and the worker share is shared safely. Skipped, saying so, without swh-lv2.
#include <sndfile.h>

#include <thread>

#include "control/control.h"
#include "files/fileops.h"
#include "lv2/lv2host.h"
#include "tests/edit_stress.h"

#define SWH "http://plugin.org.uk/swh-plugins/"
#define NODELAY "http://gareus.org/oss/lv2/nodelay"
#define CONVO "http://gareus.org/oss/lv2/convoLV2#Mono"

// A plugin module made with "lv2 URI": its slot, -1 when it was refused.
static int makePlugin(const std::string &uri)
{
  int made = sUID;
  run("lv2 " + uri);
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->ID == made) return s;
  return -1;
}

static std::string id(int slot) { return std::to_string(MOD[slot]->ID); }

static void wire(int from, int k, int to, int j)
{
  run("C " + id(from) + "-" + id(to) + " " + char('A' + k) + " " + char('A' + j));
}

// A one-sample impulse of 0.8, then silence: 64 frames of float at 44100 Hz.
static bool writeDelta(const std::string &path)
{
  SF_INFO info = {};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  float delta[64] = {0.8f};
  bool ok = sf_write_float(f, delta, 64) == 64;
  return sf_close(f) == 0 && ok;
}

TEST_F(EditStress, PluginModulesMadeSetRemovedAndReplacedWhilePassesRun)
{
  if (!lv2FindPlugin(SWH "amp") || !lv2FindPlugin(SWH "inv"))
    GTEST_SKIP() << "swh-lv2 is not installed: the plugin storm needs its amp and inv "
                    "(scripts/deps.sh installs it)";
  // 64-frame passes: the convolver takes no shorter blocks.
  sound_buffer_size = buf_size = 256;
  sound_chunk_size = 128;
  g_free(buf);
  buf = (char *)g_malloc0(256);
  bool nodelay = lv2FindPlugin(NODELAY), convo = lv2FindPlugin(CONVO);
  std::string ir = path("delta.wav"), plain = path("plain.lyo"), withPlugins = path("plugins.lyo");
  ASSERT_TRUE(writeDelta(ir));
  // A layout of built-in modules, loaded over the plugins now and then: Line In through a
  // Passthrough to Line Out.
  quietly([&] {
    New_Mod(2);
    int p = newestSlot();
    wire(0, 0, p, 0);
    wire(p, 0, 1, 0);
    real_save((gchar *)plain.c_str());
  });
  startAudio();
  std::atomic<bool> sweeping{true};
  std::thread midi([&] {
    for (int v = 0; sweeping.load(); v = (v + 1) % 128) {
      midiReceive({0xB0, 7, (unsigned char)v});
      usleep(50);
    }
  });
  int made = 0;
  quietly([&] {
    for (int round = 0; round < stormRounds; round++) {
      std::vector<int> chain = {makePlugin(SWH "amp"), makePlugin(SWH "inv")};
      if (nodelay) chain.push_back(makePlugin(NODELAY));
      int cv = convo ? makePlugin(CONVO) : -1;
      for (int s : chain) made += s >= 0;
      made += cv >= 0;
      if (chain[0] < 0 || chain[1] < 0 || (nodelay && chain[2] < 0) || (convo && cv < 0)) break;
      // Line In left through the chain to Line Out left; the convolver on the right.
      int prev = 0;
      for (int s : chain) {
        wire(prev, 0, s, 0);
        prev = s;
      }
      wire(prev, 0, 1, 0);
      if (cv >= 0) {
        wire(0, 1, cv, 0);
        wire(cv, 0, 1, 1);
        run("file " + id(cv) + " 0 " + ir);
      }
      std::string why;
      controlMap(0, 7, MOD[chain[0]]->ID, 0, false, 0, 0, MAP_LINEAR, &why);
      for (int k = 0; k < 8; k++) {
        run("set " + id(chain[0]) + " 0 " + std::to_string((round * 7 + k) % 40 - 20));
        if (nodelay) run("set " + id(chain[2]) + " 0 " + std::to_string((round * 13 + k) % 300));
        waitPasses(4);
      }
      // Away by a layout that replaces them (faded or at once), or one by one.
      if (round % 3 != 2) {
        if (round % 3 == 0) {
          // Saved with their state and opened again: new instances built beside the passes.
          real_save((gchar *)withPlugins.c_str());
          loadLayoutFile(withPlugins.c_str(), true);
        }
        loadLayoutFile(plain.c_str(), round % 3 == 1);
      } else {
        for (int s : chain) run("D " + id(s) + " A");
        run("D " + id(0) + " A");
        if (cv >= 0) {
          run("D " + id(0) + " B");
          run("D " + id(cv) + " A");
          run("R " + id(cv));
        }
        for (int s : chain) run("R " + id(s));
      }
    }
  });
  sweeping = false;
  midi.join();
  waitPasses(20);  // the last fade ends
  stopAudio();
  EXPECT_EQ(made, stormRounds * (2 + nodelay + convo)) << "a plugin module was refused";
  for (int s = 2; s < MAX_MODULES; s++)
    EXPECT_TRUE(!MOD[s] || MOD[s]->type != LV2_TYPE) << "plugin module left in slot " << s;

  // The plugins really run in the passes: amp at -6.02 dB halves what Line In plays.
  quietly([&] {
    for (int s = 0; s < MAX_MODULES; s++)
      for (int k = 0; MOD[s] && k < 4; k++) run("D " + id(s) + " " + char('A' + k));
    for (int s = 2; s < MAX_MODULES; s++)
      if (MOD[s]) Remove_Mod(s);
    int amp = makePlugin(SWH "amp");
    wire(0, 0, amp, 0);
    wire(amp, 0, 1, 0);
    run("set " + id(amp) + " 0 -6.0206");
  });
  inputLevel = 16000;
  capturedFrames = 0;
  startAudio();
  waitPasses(40);
  stopAudio();
  inputLevel = 0;
  size_t n = capturedFrames.load();
  ASSERT_GT(n, 100u);
  EXPECT_NEAR(captured[n - 1], 8000, 1);
}
