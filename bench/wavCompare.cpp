// Compares two 16-bit sound files sample by sample: how far apart the two are at worst, in steps
// of 16 bits, once a fixed offset between them (a latency one side adds) is taken out. The
// offset is the one, within --max-offset frames either way, at which the first channel of the
// two agrees best over the first second. Prints one line; exits 1 when the files cannot be read,
// have other channel counts, overlap by less than nine tenths of the shorter one, or differ by
// more than --tolerance steps (when given).
//
//   qaf_wavcompare A B [--max-offset N] [--skip N] [--tolerance N]
//
// --skip leaves out the first N frames of A (and the frames of B opposite them).
#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

struct sound {
  std::vector<short> s;
  int channels = 0;
  long frames = 0;
};

static bool readSound(const char *path, sound &out)
{
  SF_INFO info;
  memset(&info, 0, sizeof info);
  SNDFILE *f = sf_open(path, SFM_READ, &info);
  if (!f) {
    fprintf(stderr, "%s: %s\n", path, sf_strerror(nullptr));
    return false;
  }
  out.channels = info.channels;
  out.s.resize((size_t)info.frames * info.channels);
  out.frames = (long)sf_readf_short(f, out.s.data(), info.frames);
  sf_close(f);
  return true;
}

// The sum of |a - b| over the first channel of up to `window` frames, B shifted by off frames.
static long long distance(const sound &a, const sound &b, long off, long window)
{
  long long sum = 0;
  for (long i = 0; i < window; i++) {
    long j = i + off;
    if (i >= a.frames || j < 0 || j >= b.frames) continue;
    sum += abs(a.s[(size_t)i * a.channels] - b.s[(size_t)j * b.channels]);
  }
  return sum;
}

int main(int argc, char **argv)
{
  const char *paths[2] = {nullptr, nullptr};
  long maxOffset = 4096, skip = 0, tolerance = -1;
  int named = 0;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if ((a == "--max-offset" || a == "--skip" || a == "--tolerance") && i + 1 < argc) {
      long v = strtol(argv[++i], nullptr, 10);
      (a == "--max-offset" ? maxOffset : a == "--skip" ? skip : tolerance) = v;
    } else if (named < 2 && a.rfind("--", 0) != 0) {
      paths[named++] = argv[i];
    } else {
      named = 3;
    }
  }
  if (named != 2) {
    fprintf(stderr, "usage: %s A B [--max-offset N] [--skip N] [--tolerance N]\n", argv[0]);
    return 2;
  }
  sound a, b;
  if (!readSound(paths[0], a) || !readSound(paths[1], b)) return 1;
  if (a.channels != b.channels) {
    fprintf(stderr, "%s has %d channels, %s %d\n", paths[0], a.channels, paths[1], b.channels);
    return 1;
  }
  long best = 0;
  long long bestSum = distance(a, b, 0, 44100);
  for (long off = -maxOffset; off <= maxOffset; off++) {
    long long d = distance(a, b, off, 44100);
    if (d < bestSum) {
      bestSum = d;
      best = off;
    }
  }
  int worst = 0;
  long differ = 0, compared = 0, worstAt = -1;
  for (long i = skip; i < a.frames; i++) {
    long j = i + best;
    if (j < 0 || j >= b.frames) continue;
    compared++;
    for (int c = 0; c < a.channels; c++) {
      int d = abs(a.s[(size_t)i * a.channels + c] - b.s[(size_t)j * b.channels + c]);
      differ += d != 0;
      if (d > worst) {
        worst = d;
        worstAt = i;
      }
    }
  }
  printf("offset %ld frames, %ld frames compared, max abs diff %d LSB (frame %ld), %ld of %ld "
         "samples differ\n",
         best, compared, worst, worstAt, differ, compared * a.channels);
  long shorter = (a.frames < b.frames ? a.frames : b.frames) - skip;
  if (compared < shorter * 9 / 10 || compared == 0) {
    fprintf(stderr, "the files overlap by %ld frames only\n", compared);
    return 1;
  }
  return tolerance >= 0 && worst > tolerance ? 1 : 0;
}
