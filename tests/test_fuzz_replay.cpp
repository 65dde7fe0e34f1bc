// Replays the fuzzers' corpora and every kept crash input through the plain layout and sample
// bank loaders: none may crash, and after each one the graph and the sample slots must still
// keep their rules (an accepted layout never breaks the wiring).
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/filetest_util.h"
#include "tests/fuzz/fuzz_harness.h"
#include "tests/testutil.h"

static std::vector<std::string> inputsIn(const std::string &sub)
{
  std::vector<std::string> files;
  std::string dir = std::string(QAF_FUZZ_DIR) + "/" + sub;
  GDir *d = g_dir_open(dir.c_str(), 0, nullptr);
  if (!d) return files;
  while (const char *n = g_dir_read_name(d))
    if (n[0] != '.') files.push_back(dir + "/" + n);
  g_dir_close(d);
  std::sort(files.begin(), files.end());
  return files;
}

TEST(FuzzReplay, LayoutCorpusAndCrashInputsLoadSafely)
{
  beginCapture();
  fuzzBoot();
  endCapture();
  scratchDir tmp;
  std::string path = tmp.file("input.lyo");
  std::vector<std::string> inputs = inputsIn("corpus/layout");
  std::vector<std::string> crashes = inputsIn("crashes/layout");
  inputs.insert(inputs.end(), crashes.begin(), crashes.end());
  ASSERT_GE(inputs.size(), 5u);
  int accepted = 0;
  for (const std::string &in : inputs) {
    Bytes b = readAll(in);
    bool took = false;
    beginCapture();
    std::string fault = runLayoutInput(b.data(), b.size(), path.c_str(), &took);
    endCapture();
    EXPECT_EQ(fault, "") << in;
    accepted += took;
  }
  // the corpus holds layouts that load, so the wiring rules are checked on real swaps
  EXPECT_GE(accepted, 3) << "of " << inputs.size();
}

TEST(FuzzReplay, RecipeLayoutsKeepTheWiringRules)
{
  beginCapture();
  fuzzBoot();
  endCapture();
  scratchDir tmp;
  std::string path = tmp.file("input.lyo");
  std::vector<std::string> inputs = inputsIn("corpus/layout_recipe");
  std::vector<std::string> crashes = inputsIn("crashes/layout_recipe");
  inputs.insert(inputs.end(), crashes.begin(), crashes.end());
  ASSERT_GE(inputs.size(), 5u);
  int accepted = 0;
  for (const std::string &in : inputs) {
    Bytes recipe = readAll(in);
    std::vector<uint8_t> file = layoutFromRecipe(recipe.data(), recipe.size());
    bool took = false;
    beginCapture();
    std::string fault = runLayoutInput(file.data(), file.size(), path.c_str(), &took);
    endCapture();
    EXPECT_EQ(fault, "") << in;
    accepted += took;
  }
  EXPECT_GE(accepted, inputs.size() / 2) << "of " << inputs.size();
}

TEST(FuzzReplay, SampleBankCorpusAndCrashInputsLoadSafely)
{
  beginCapture();
  fuzzBoot();
  endCapture();
  scratchDir tmp;
  std::string path = tmp.file("input.sbk");
  std::vector<std::string> inputs = inputsIn("corpus/sbank");
  std::vector<std::string> crashes = inputsIn("crashes/sbank");
  inputs.insert(inputs.end(), crashes.begin(), crashes.end());
  ASSERT_GE(inputs.size(), 5u);
  int filling = 0;
  for (const std::string &in : inputs) {
    Bytes b = readAll(in);
    int changed = 0;
    beginCapture();
    std::string fault = runSbankInput(b.data(), b.size(), path.c_str(), &changed);
    endCapture();
    EXPECT_EQ(fault, "") << in;
    filling += changed > 0;
  }
  EXPECT_GE(filling, 3) << "of " << inputs.size();
}

// The checks themselves notice a broken graph and a broken store, so a clean replay means
// something.
TEST(FuzzReplay, TheChecksNoticeBrokenTables)
{
  beginCapture();
  fuzzBoot();
  endCapture();
  EXPECT_EQ(graphFault(), "");
  O_TERM_CONNECT[0] = 8;  // half a wire to an empty slot
  EXPECT_NE(graphFault(), "");
  O_TERM_CONNECT[0] = -1;
  I_TERM_CONNECT[4] = 0;
  O_TERM_CONNECT[0] = 4;
  EXPECT_EQ(graphFault(), "");
  I_TERM_CONNECT[4] = 1;  // tables disagree
  EXPECT_NE(graphFault(), "");
  I_TERM_CONNECT[4] = -1;
  O_TERM_CONNECT[0] = -1;
  EXPECT_EQ(slotFault(), "");
  lockLoop(3);
  EXPECT_NE(slotFault(), "");
  unlockLoop(3);
  short s[2] = {1, 2};
  putrawLoop(5, s, 2);
  loopLength[5] = 3;
  EXPECT_NE(slotFault(), "");
}
