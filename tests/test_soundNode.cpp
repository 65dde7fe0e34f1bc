// The module table and graph: start-up state, creation and removal, tiers and execution order,
// the repair pass, and the graph lock around every change.
#include <gtest/gtest.h>

#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"
#include "tests/testutil.h"

using Lines = std::vector<std::string>;

TEST(StartUp, GraphHoldsLineInAndLineOutUnwired)
{
  beginCapture();
  Init_SoundNode_Data();
  Lines out = endCapture();
  EXPECT_EQ(out, (Lines{"MOD_EXEC_NUM 2", "Module ID 100 executes 0", "Module ID 101 executes 1",
                        "Creating mutex"}));
  ASSERT_NE(MOD[0], nullptr);
  ASSERT_NE(MOD[1], nullptr);
  EXPECT_EQ(MOD[0]->type, 0);
  EXPECT_EQ(MOD[0]->ID, 100);
  EXPECT_EQ(MOD[1]->type, 1);
  EXPECT_EQ(MOD[1]->ID, 101);
  for (int s = 2; s < MAX_MODULES; s++) EXPECT_EQ(MOD[s], nullptr);
  EXPECT_EQ(MAX_TIER, 0);
  EXPECT_EQ(MAX_NUM_IN_TIER, 2);
}
