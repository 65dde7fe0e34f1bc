// Writes the layout the render benchmark plays: on each channel, Line In -> Distort -> Tone ->
// Compressor -> Reverb -> Chorus/Flange -> Line Out, every module with settings that keep all of
// its work busy (slew limit, a gate, feedback in both delay lines).
// Usage: qaf_makechain OUT.lyo
#include <glib.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"
#include "files/fileops.h"

// The module types of the chain, in signal order, with their parameters.
struct stage {
  int type;
  int nparm;
  float parm[6];
};

static const stage chainStages[] = {
    {4, 3, {64.0f, 8.0f, 128.0f}},                    // Distort: Drive, Sat, Level
    {7, 3, {128.0f, 200.0f, 24.0f}},                  // Tone: Frequency, Bass, Treble
    {17, 3, {2.0f, 50.0f, 40.0f}},                    // Compressor: Threshold, Compression, Width
    {5, 4, {15.0f, 100.0f, 200.0f, 64.0f}},           // Reverb: Delay, Wet, Dry, Regen
    {16, 6, {50.0f, 5.0f, 0.0f, 100.0f, 200.0f, 32.0f}},  // Chorus/Flange
};

// The slot of the module created last.
static int newest()
{
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->ID == sUID - 1) return s;
  return -1;
}

static void wire(int from, int k, int to, int j)
{
  GET_MODGRAPH_LOCK();
  make_IO_WIRE(to * 4 + j, from * 4 + k);
  assignModuleTiers();
  RELEASE_MODGRAPH_LOCK();
}

int main(int argc, char **argv)
{
  if (argc != 2) {
    fprintf(stderr, "usage: %s OUT.lyo\n", argv[0]);
    return 2;
  }
  Init_SoundNode_Data();
  for (int ch = 0; ch < 2; ch++) {
    int prev = 0, prevOut = ch;  // Line In is slot 0, its output ch the channel
    for (const stage &st : chainStages) {
      New_Mod(st.type);
      int s = newest();
      if (s < 0) {
        fprintf(stderr, "could not create a module of type %d\n", st.type);
        return 1;
      }
      for (int i = 0; i < st.nparm; i++) MOD[s]->parm[i] = st.parm[i];
      wire(prev, prevOut, s, 0);
      prev = s;
      prevOut = 0;
    }
    wire(prev, 0, 1, ch);  // Line Out is slot 1
  }
  std::string path = argv[1];
  real_save(&path[0]);
  return access(argv[1], R_OK) == 0 ? 0 : 1;
}
