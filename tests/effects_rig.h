// A patch driven through real passes without a sound device: the test owns the device buffer,
// builds the patch with text commands, fills the buffer, runs one pass under the graph lock and
// reads the buffer back. Shared by the effect module tests.
#ifndef QAF_EFFECTS_RIG_H
#define QAF_EFFECTS_RIG_H

#include <glib.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "audio/cardfeed.h"
#include "engine/audioThread.h"
#include "engine/soundNode.h"
#include "modules/pump.h"
#include "tests/testutil.h"

using Samples = std::vector<short>;

struct Rig {
  int frames;

  // Device buffer of bufBytes bytes (128 to 4096), fresh graph with Line In and Line Out.
  explicit Rig(int bufBytes)
  {
    sound_buffer_size = bufBytes;
    sound_chunk_size = bufBytes / 2;
    frames = bufBytes / 4;
    buf_size = bufBytes;
    buf = (char *)g_malloc0((gsize)bufBytes);
    bootGraph();
  }
  ~Rig()
  {
    g_free(buf);
    buf = nullptr;
  }

  static int lineIn() { return 0; }
  static int lineOut() { return 1; }

  // Creates a module of the type and returns its slot.
  int add(int type)
  {
    int before = sUID;
    command("A " + std::to_string(type));
    for (int s = 0; s < MAX_MODULES; s++)
      if (MOD[s] && MOD[s]->ID == before) return s;
    ADD_FAILURE() << "module of type " << type << " was not created";
    return -1;
  }

  // Wires output k of the module in slot `from` to input j of the module in slot `to`.
  void wire(int from, int k, int to, int j)
  {
    std::string c = "C " + std::to_string(MOD[from]->ID) + "-" + std::to_string(MOD[to]->ID) +
                    " " + char('A' + k) + " " + char('A' + j);
    std::vector<std::string> out = command(c);
    ASSERT_FALSE(out.empty());
    ASSERT_EQ(out[0].rfind("Wiring module# ", 0), 0u) << out[0];
  }

  // Line In left -> module input 0, module output 0 -> Line Out left: the usual one-in one-out
  // patch. Returns the module's slot.
  int chain(int type)
  {
    int s = add(type);
    wire(lineIn(), 0, s, 0);
    wire(s, 0, lineOut(), 0);
    return s;
  }

  void setParm(int slot, int i, float v) { MOD[slot]->parm[i] = v; }

  // One pass: the frames go in, what Line Out left in the buffer comes back.
  void pass(const short *left, const short *right, short *outL, short *outR)
  {
    short *f = (short *)buf;
    for (int i = 0; i < frames; i++) {
      f[2 * i] = left ? left[i] : 0;
      f[2 * i + 1] = right ? right[i] : 0;
    }
    pumpAllModules();
    for (int i = 0; i < frames; i++) {
      if (outL) outL[i] = f[2 * i];
      if (outR) outR[i] = f[2 * i + 1];
    }
  }

  // Streams whole signals through as many passes as they need (the tail padded with silence)
  // and returns the output streams, cut to the input's length.
  void stream(const Samples &left, const Samples &right, Samples *outL, Samples *outR)
  {
    size_t len = left.size() > right.size() ? left.size() : right.size();
    size_t passes = (len + frames - 1) / frames;
    Samples inL(passes * frames, 0), inR(passes * frames, 0);
    std::copy(left.begin(), left.end(), inL.begin());
    std::copy(right.begin(), right.end(), inR.begin());
    Samples oL(passes * frames), oR(passes * frames);
    for (size_t p = 0; p < passes; p++)
      pass(&inL[p * frames], &inR[p * frames], &oL[p * frames], &oR[p * frames]);
    oL.resize(len);
    oR.resize(len);
    if (outL) *outL = oL;
    if (outR) *outR = oR;
  }

  // The left output for a left input, right input silent.
  Samples run(const Samples &left)
  {
    Samples out;
    stream(left, Samples(), &out, nullptr);
    return out;
  }
};

// A signal of `len` samples, all `v`.
inline Samples constant(size_t len, short v) { return Samples(len, v); }

// The buffer sizes the real-pass tests run at: 32 frames (the default) and 256 frames, so that
// state carried from one chunk to the next is crossed at different sample positions.
inline std::vector<int> twoBufferSizes() { return {128, 1024}; }

// Buffer sizes whose chunks fall across the pumps' 32-sample working blocks in different ways:
// 16 frames (shorter than a block, as a JACK period may be), 48 (a block and a half) and 256.
inline std::vector<int> blockEdgeBufferSizes() { return {64, 192, 1024}; }

#endif
