// Layouts loaded while the audio runs, through the real device code and audio thread of this
// process under the fake OSS device at a real device's pace: every buffer read is played exactly
// once and in order, each one through either the old patch or the new one, never a mixture.
#include <gtest/gtest.h>
#include <unistd.h>

#include "audio/cardfeed.h"
#include "engine/audioThread.h"
#include "engine/soundNode.h"
#include "fakedsp.h"
#include "files/fileops.h"
#include "samples/loopStore.h"
#include "tests/devicetest.h"
#include "tests/filetest_util.h"
#include "tests/testutil.h"

typedef std::vector<short> Samples;

// Line In straight to Line Out (or with the channels crossed), nothing else.
static Bytes linesLayout(bool crossed)
{
  Bytes b;
  putText(b, "QAF_LAYOUT\n");
  put32(b, 64);
  put32(b, 0);
  for (int p = 0; p < 16; p++) put32(b, 0);
  put32(b, 1);
  for (int p = 0; p < 16; p++) put32(b, 0);
  for (int s = 2; s < 64; s++) put32(b, -1);
  // output 0 is Line In's left, 1 its right; input 4 is Line Out's left, 5 its right
  int feeds[2] = {crossed ? 5 : 4, crossed ? 4 : 5};
  for (int t = 0; t < 256; t++) {
    int fedBy = -1;
    if (t == feeds[0]) fedBy = 0;
    if (t == feeds[1]) fedBy = 1;
    put32(b, fedBy);
    put32(b, t < 2 ? feeds[t] : -1);
  }
  return b;
}

static int passesWanted = 0;
static bool allPassesDone()
{
  return fakedsp_stalled() && fakedsp_reads() == passesWanted && fakedsp_writes() == passesWanted;
}

TEST(LayoutLoadWhileAudioRuns, EveryBufferIsPlayedOnceThroughTheOldPatchOrTheNew)
{
  bootGraph();
  beginCapture();
  initLoops();
  endCapture();
  scratchDir d;
  std::string straight = d.file("straight.lyo"), crossed = d.file("crossed.lyo");
  writeAll(straight, linesLayout(false));
  writeAll(crossed, linesLayout(true));
  std::vector<char> names[2] = {std::vector<char>(straight.begin(), straight.end()),
                                std::vector<char>(crossed.begin(), crossed.end())};
  for (auto &n : names) n.push_back('\0');

  FakeDevice dev;
  dev.set("FAKEDSP_PACE", "1");   // 32 frames every 0.73 ms, as a real device delivers them
  dev.set("FAKEDSP_STALL", "1");  // then wait, so the test stops the thread itself
  const int frames = 32;
  passesWanted = 1400;  // about one second of sound
  Samples in = testSignal(frames * passesWanted);
  dev.input(framesToBytes(in));

  beginCapture();
  real_load(names[0].data());
  ASSERT_EQ(open_sound(44100, 16, 2, 5, 128), 0);
  ASSERT_EQ(audio_thread_launch(), 0);
  int loads = 0;
  while (fakedsp_reads() < passesWanted - 50) {
    real_load(names[(loads + 1) % 2].data());
    loads++;
    usleep(12000);  // time for the fade back in to finish: each swap is heard
  }
  for (int t = 0; t < 5000 && !allPassesDone(); t++) usleep(2000);
  bool done = allPassesDone();
  bool stopped = audio_thread_stop();
  close_sound();
  endCapture();
  ASSERT_TRUE(done) << "reads " << fakedsp_reads() << " writes " << fakedsp_writes();
  ASSERT_TRUE(stopped);
  ASSERT_GT(loads, 20);

  // No pass skipped or doubled: as many bytes out as in, and buffer n out comes from buffer n in.
  Samples out = bytesToSamples(dev.output());
  ASSERT_EQ(out.size(), in.size());
  // Around each swap the output fades out and back in: such a buffer is one patch's sound at a
  // lower level (each sample the input's times the same gain ramp, so never louder and never of
  // the other sign).
  auto under = [](short o, short x) { return o == 0 || ((o > 0) == (x > 0) && abs(o) <= abs(x)); };
  int changes = 0, last = -1, faded = 0;
  for (int p = 0; p < passesWanted; p++) {
    bool same = true, swapped = true, fadedSame = true, fadedSwapped = true;
    for (int f = 0; f < frames; f++) {
      size_t at = 2 * (size_t)(p * frames + f);
      same = same && out[at] == in[at] && out[at + 1] == in[at + 1];
      swapped = swapped && out[at] == in[at + 1] && out[at + 1] == in[at];
      fadedSame = fadedSame && under(out[at], in[at]) && under(out[at + 1], in[at + 1]);
      fadedSwapped = fadedSwapped && under(out[at], in[at + 1]) && under(out[at + 1], in[at]);
    }
    ASSERT_TRUE(same || swapped || fadedSame || fadedSwapped) << "buffer " << p << " is neither patch";
    if (!same && !swapped) {
      faded++;
      continue;
    }
    int now = same ? 0 : 1;
    if (last != -1 && now != last) changes++;
    last = now;
  }
  // the patch really changed under the running audio, many times, each time inside a fade of
  // about 5 ms each way (7 passes of 32 frames) with a few silent passes between
  EXPECT_GT(changes, 10);
  EXPECT_LE(faded, (loads + 1) * 24);
}
