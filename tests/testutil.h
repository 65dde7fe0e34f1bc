// Helpers shared by the unit tests: capturing standard output as whole lines, and bringing up
// the graph data the way start-up does.
#ifndef QAF_TESTUTIL_H
#define QAF_TESTUTIL_H

#include <string>
#include <vector>

// Starts capturing standard output (fd 1).
void beginCapture();
// Stops capturing and returns what was printed, split into lines without their line ends.
std::vector<std::string> endCapture();

// Init_SoundNode_Data with its start-up lines swallowed.
void bootGraph();
// The test thread, with no pass running anywhere: makes the newest published graph the one that
// pumps called directly (outside a pass) work on.
void takeNewestGraph();
// Runs cmdparse on a copy of the text (it is changed in place) and returns the printed lines.
std::vector<std::string> command(const std::string &text);

#endif
