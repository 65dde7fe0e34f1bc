// Helpers for the sound device tests: WAV files made byte by byte, reading them back, a patch
// that changes the sound in a way no device does by itself (left and right swapped), and the
// audio thread's loop run by hand over one back end.
#ifndef QAF_DEVTEST_H
#define QAF_DEVTEST_H

#include <math.h>
#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "engine/audioThread.h"
#include "engine/soundNode.h"
#include "tests/testutil.h"

typedef std::vector<unsigned char> Bytes;

inline void addLE(Bytes &b, unsigned v, int n)
{
  for (int i = 0; i < n; i++) b.push_back((v >> (8 * i)) & 255);
}

inline void addTag(Bytes &b, const char *tag) { b.insert(b.end(), tag, tag + 4); }

struct WavSpec {
  unsigned rate = 44100;  // any 32 bits, as a crafted header may hold
  int bits = 16;
  int channels = 2;
  int formatTag = 1;
  Bytes before;           // whole chunks between "WAVE" and "fmt "
  Bytes after;            // whole chunks after the data chunk
  long declared = -1;     // the data chunk's size field; -1: the real size
};

inline Bytes makeWav(const WavSpec &w, const Bytes &data)
{
  Bytes b;
  addTag(b, "RIFF");
  addLE(b, (unsigned)(4 + w.before.size() + 24 + 8 + data.size() + w.after.size()), 4);
  addTag(b, "WAVE");
  b.insert(b.end(), w.before.begin(), w.before.end());
  addTag(b, "fmt ");
  addLE(b, 16, 4);
  addLE(b, (unsigned)w.formatTag, 2);
  addLE(b, (unsigned)w.channels, 2);
  addLE(b, w.rate, 4);
  addLE(b, w.rate * (unsigned)(w.channels * w.bits / 8), 4);
  addLE(b, (unsigned)(w.channels * w.bits / 8), 2);
  addLE(b, (unsigned)w.bits, 2);
  addTag(b, "data");
  addLE(b, (unsigned)(w.declared >= 0 ? w.declared : (long)data.size()), 4);
  b.insert(b.end(), data.begin(), data.end());
  b.insert(b.end(), w.after.begin(), w.after.end());
  return b;
}

inline Bytes s16Bytes(const std::vector<short> &v)
{
  Bytes b;
  for (short s : v) addLE(b, (unsigned short)s, 2);
  return b;
}

inline void writeFile(const std::string &path, const Bytes &b)
{
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(b.data(), 1, b.size(), f);
  fclose(f);
}

inline Bytes readFile(const std::string &path)
{
  Bytes b;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return b;
  int c;
  while ((c = fgetc(f)) != EOF) b.push_back((unsigned char)c);
  fclose(f);
  return b;
}

inline unsigned le32(const Bytes &b, size_t at)
{
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | ((unsigned)b[at + 3] << 24);
}

// Samples of a byte string of interleaved s16 frames.
inline std::vector<short> samplesOf(const Bytes &b, size_t from = 0)
{
  std::vector<short> v;
  for (size_t i = from; i + 1 < b.size(); i += 2) v.push_back((short)(b[i] | (b[i + 1] << 8)));
  return v;
}

// ---- Sound files through libsndfile --------------------------------------------------------------

// A sound file's header and its frames as floats (full scale 1.0), interleaved.
struct Sound {
  int rate = 0;
  int channels = 0;
  int format = 0;
  std::vector<float> x;
  long long frames() const { return channels ? (long long)x.size() / channels : 0; }
};

inline bool writeSound(const std::string &path, const Sound &s)
{
  SF_INFO info;
  memset(&info, 0, sizeof info);
  info.samplerate = s.rate;
  info.channels = s.channels;
  info.format = s.format;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) return false;
  bool ok = sf_writef_float(f, s.x.data(), s.frames()) == s.frames();
  return sf_close(f) == 0 && ok;
}

// The file as libsndfile reads it; channels 0 when it does not open.
inline Sound readSound(const std::string &path)
{
  Sound s;
  SF_INFO info;
  memset(&info, 0, sizeof info);
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return s;
  s.rate = info.samplerate;
  s.channels = info.channels;
  s.format = info.format;
  s.x.resize((size_t)(info.frames * info.channels));
  s.x.resize((size_t)(sf_readf_float(f, s.x.data(), info.frames) * info.channels));
  sf_close(f);
  return s;
}

// A FLAC file's header made to claim another rate or length (-1: as it was): the 20-bit rate and
// 36-bit frame count in its STREAMINFO block, which comes first.
inline void setFlacStreamInfo(Bytes &b, long long rate, long long frames)
{
  unsigned long long x = 0;
  for (int i = 18; i < 26; i++) x = x << 8 | b.at((size_t)i);
  unsigned long long keep = x & (0xFFull << 36);  // channels and bits
  if (rate < 0) rate = (long long)(x >> 44);
  if (frames < 0) frames = (long long)(x & ((1ull << 36) - 1));
  x = (unsigned long long)rate << 44 | keep | (unsigned long long)frames;
  for (int i = 25; i >= 18; i--, x >>= 8) b[(size_t)i] = (unsigned char)x;
}

// Seconds of a few sines per channel (different ones on the right), faded in and out over 20 ms
// so that the edges hold no click for a rate converter to ring on; peaks below half scale.
inline Sound sines(int rate, int channels, double seconds, int format)
{
  Sound s;
  s.rate = rate;
  s.channels = channels;
  s.format = format;
  long long n = (long long)(seconds * rate);
  double fade = 0.02 * rate;
  for (long long i = 0; i < n; i++) {
    double t = (double)i / rate;
    double g = i < fade ? 0.5 - 0.5 * cos(M_PI * i / fade)
                        : (n - i < fade ? 0.5 - 0.5 * cos(M_PI * (n - i) / fade) : 1.0);
    for (int c = 0; c < channels; c++) {
      double f1 = c ? 330.0 : 220.0, f2 = c ? 2017.0 : 1234.5, f3 = c ? 3900.0 : 5100.0;
      s.x.push_back((float)(g * (0.25 * sin(2 * M_PI * f1 * t) + 0.15 * sin(2 * M_PI * f2 * t) +
                                 0.08 * sin(2 * M_PI * f3 * t))));
    }
  }
  return s;
}

// A scratch directory of the test's own, removed with everything in it at the end.
struct TempDir {
  std::string path;
  TempDir()
  {
    char t[] = "/tmp/qaftestXXXXXX";
    path = mkdtemp(t) ? t : "/tmp";
  }
  ~TempDir() { std::string c = "rm -rf '" + path + "'"; (void)!system(c.c_str()); }
  std::string operator/(const std::string &name) const { return path + "/" + name; }
};

// An ALSA configuration in the scratch directory (the file to point ALSA_CONFIG_PATH at): PCM
// "qaftest" captures from in.raw there (raw S16_LE stereo; past its end the capture goes on with
// whatever the plugin gives; what it delivered is also written to captured.raw when the device
// closes) and plays into out.raw, through the `file` and `null` plugins joined with `asym`. With
// asDefault the same PCM is also "default". With onlyRate, each side is a `plug` over a slave at
// that rate: with ALSA's own resampling turned down, a device that takes that rate alone, as many
// a hw: device does.
inline std::string makeAlsaConfig(const TempDir &d, bool asDefault = false, unsigned onlyRate = 0)
{
  auto side = [&](const std::string &pcm) {
    return onlyRate ? "{ type plug slave { pcm \"" + pcm + "\" rate " + std::to_string(onlyRate) +
                          " } }"
                    : "\"" + pcm + "\"";
  };
  std::string both =
      "{ type asym playback.pcm " + side("qafplay") + " capture.pcm " + side("qafcap") + " }\n";
  std::string conf =
      "pcm.qafnull { type null }\n"
      "pcm.qafcap { type file slave.pcm \"qafnull\" file \"" + d / "captured.raw" + "\" infile \"" +
      d / "in.raw" + "\" format \"raw\" }\n"
      "pcm.qafplay { type file slave.pcm \"qafnull\" file \"" + d / "out.raw" +
      "\" format \"raw\" }\n"
      "pcm.qaftest " + both;
  if (asDefault) conf += "pcm.!default " + both;
  writeFile(d / "asound.conf", Bytes(conf.begin(), conf.end()));
  return d / "asound.conf";
}

// Line In's left output to Line Out's right input and its right to the left: the two channels
// come out swapped, which shows the sound went through the patch.
inline void bootSwapPatch()
{
  bootGraph();
  command("C 100-101 A B");
  command("C 100-101 B A");
}

// The audio thread's loop over a back end, by hand: read, one pass under the graph lock, write,
// until a read fails or maxPasses ran. The number of passes run.
inline long runPasses(const soundBackend &dev, long maxPasses = 1L << 40)
{
  long n = 0;
  while (n < maxPasses && dev.read() == 0) {
    pumpAllModules();
    dev.write();
    n++;
  }
  return n;
}

#endif
