// Helpers shared by the unit tests.
#include "tests/testutil.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <sstream>

#include "command/cmdparse.h"
#include "engine/soundNode.h"

void beginCapture()
{
  fflush(stdout);
  testing::internal::CaptureStdout();
}

std::vector<std::string> endCapture()
{
  fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

void bootGraph()
{
  beginCapture();
  Init_SoundNode_Data();
  endCapture();
}

void takeNewestGraph()
{
  beginGraphPass();
  endGraphPass();
}

std::vector<std::string> command(const std::string &text)
{
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  beginCapture();
  cmdparse(copy.data());
  return endCapture();
}
