// The WAV file back end: input from a WAV file, converted to 44100 Hz stereo signed 16-bit, and
// output to a new WAV file, as fast as the passes run. The end of the input ends the run the way
// a failed device read does, after the output file's header has been completed. A progress line
// (percent, seconds done, speed against real time) goes to the error stream from a thread of its
// own, at most ten times a second.
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "audio/cardfeed.h"
#include "audio/devices.h"

#define WAV_WINDOW 512   // the header window the tags are searched in, as the sample loader does
#define WAV_HEADER_BYTES 44

// The input: what the header said, and where its sound lies.
struct wavInput {
  int channels = 0;
  int bits = 0;
  int rate = 0;
  int repeat = 1;             // 44100 / rate: each input frame is held this many output frames
  long long dataStart = 0;
  long long dataBytes = 0;    // whole frames only
  long long framesLeft = 0;   // input frames not read yet
  long long totalOut = 0;     // output frames the whole input makes
};

static FILE *inFile = nullptr;
static FILE *outFile = nullptr;
static wavInput in;
static unsigned char *raw = nullptr;      // one buffer's worth of input bytes
static long long outBytes = 0;            // sound bytes written to the output file
static int tailFrames = -1;               // frames of the last, partial buffer (-1: none yet)
static bool ended = false;                // the input is used up
static bool writeFailed = false;
static std::atomic<int> interrupted{0};
static bool finished = false;             // output header completed, progress stopped
static std::string outName;              // the output file, as opened
static std::string inName;
static pthread_mutex_t finishLock = PTHREAD_MUTEX_INITIALIZER;

// Progress, shared with the reporting thread.
static std::atomic<long long> framesDone{0};
static std::atomic<long long> startedAt{0};
static pthread_t progressThread;
static bool progressRunning = false;
static pthread_mutex_t progressLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t progressWake = PTHREAD_COND_INITIALIZER;
static bool progressStop = false;

static unsigned get16(const unsigned char *p) { return p[0] | (p[1] << 8); }
static unsigned get32(const unsigned char *p)
{
  return p[0] | (p[1] << 8) | (p[2] << 16) | ((unsigned)p[3] << 24);
}
static void put16(unsigned char *p, unsigned v) { p[0] = v & 255; p[1] = (v >> 8) & 255; }
static void put32(unsigned char *p, unsigned v)
{
  put16(p, v & 0xffff);
  put16(p + 2, v >> 16);
}

static int findTag(const unsigned char *w, int from, const char *tag)
{
  for (int i = from; i <= WAV_WINDOW - 5; i++)
    if (memcmp(w + i, tag, 4) == 0) return i;
  return -1;
}

// Main thread. Reads the header the way the sample loader does, so that every file it takes is
// taken here too: "RIFF"/"WAVE", the first "fmt " tag in the 512-byte window, the format fields
// at fixed distances from it, the first "data" tag after it. Unlike the loader, the sound ends
// where the data chunk says it does when that size is believable, so a chunk that follows it
// (a LIST of tags) is not played as noise. False, after saying why, when the file cannot serve.
static bool readWavHeader(FILE *f, const char *path, wavInput &w)
{
  if (fseek(f, 0, SEEK_END) != 0) {
    fprintf(stderr, "%s: cannot determine its length: %s\n", path, strerror(errno));
    return false;
  }
  long long len = ftell(f);
  // The format fields of a tag found near the window's end lie beyond it: they read as zeros.
  unsigned char win[WAV_WINDOW + 32];
  memset(win, 0, sizeof win);
  size_t want = len < WAV_WINDOW ? (size_t)len : WAV_WINDOW;
  rewind(f);
  if (len < 0 || fread(win, 1, want, f) != want) {
    fprintf(stderr, "%s: cannot read its header\n", path);
    return false;
  }
  if (memcmp(win, "RIFF", 4) != 0 || memcmp(win + 8, "WAVE", 4) != 0) {
    fprintf(stderr, "%s: not a wave file\n", path);
    return false;
  }
  int fpos = findTag(win, 0, "fmt ");
  if (fpos < 0) {
    fprintf(stderr, "%s: no fmt tag in its header\n", path);
    return false;
  }
  unsigned tag = get16(win + fpos + 8);
  w.channels = (short)get16(win + fpos + 10);
  w.rate = (int)get32(win + fpos + 12);
  w.bits = (short)get16(win + fpos + 22);
  if (tag != 1) {
    fprintf(stderr, "%s: not a PCM wave file\n", path);
    return false;
  }
  if (w.rate != 11025 && w.rate != 22050 && w.rate != 44100) {
    fprintf(stderr, "%s: %d Hz; QAF reads 11025, 22050 or 44100 Hz\n", path, w.rate);
    return false;
  }
  if (w.channels != 1 && w.channels != 2) {
    fprintf(stderr, "%s: %d channels; QAF reads mono or stereo\n", path, w.channels);
    return false;
  }
  if (w.bits != 8 && w.bits != 16) {
    fprintf(stderr, "%s: %d bits per sample; QAF reads 8 or 16\n", path, w.bits);
    return false;
  }
  int dpos = findTag(win, fpos, "data");
  if (dpos < 0) {
    fprintf(stderr, "%s: no data tag in its header\n", path);
    return false;
  }
  w.dataStart = dpos + 8;
  if (w.dataStart >= len) {
    fprintf(stderr, "%s: the file is missing data or corrupted\n", path);
    return false;
  }
  long long avail = len - w.dataStart;
  long long declared = get32(win + dpos + 4);
  w.dataBytes = (declared > 0 && declared <= avail) ? declared : avail;
  int frameBytes = w.channels * w.bits / 8;
  w.dataBytes -= w.dataBytes % frameBytes;
  w.repeat = 44100 / w.rate;
  w.framesLeft = w.dataBytes / frameBytes;
  w.totalOut = w.framesLeft * w.repeat;
  return true;
}

// A 16-bit stereo 44100 Hz header for dataBytes of sound. RIFF sizes are 32 bits: a longer
// render keeps the largest size it can say.
static void makeHeader(unsigned char *h, long long dataBytes)
{
  unsigned long long d = (unsigned long long)dataBytes;
  if (d > 0xFFFFFFFFULL - 36) d = 0xFFFFFFFFULL - 36;
  memcpy(h, "RIFF", 4);
  put32(h + 4, (unsigned)(36 + d));
  memcpy(h + 8, "WAVEfmt ", 8);
  put32(h + 16, 16);
  put16(h + 20, 1);
  put16(h + 22, 2);
  put32(h + 24, 44100);
  put32(h + 28, 44100 * 4);
  put16(h + 32, 4);
  put16(h + 34, 16);
  memcpy(h + 36, "data", 4);
  put32(h + 40, (unsigned)d);
}

static double wallSeconds()
{
  long long s = startedAt.load();
  return s ? (double)(monoNs() - s) / 1e9 : 0.0;
}

static void *progressMain(void *)
{
  pthread_mutex_lock(&progressLock);
  while (!progressStop) {
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += 100000000L;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec++;
      until.tv_nsec -= 1000000000L;
    }
    pthread_cond_timedwait(&progressWake, &progressLock, &until);
    if (progressStop || !startedAt.load()) continue;
    double done = (double)framesDone.load() / 44100.0;
    double total = (double)in.totalOut / 44100.0;
    double wall = wallSeconds();
    int percent = in.totalOut ? (int)(framesDone.load() * 100 / in.totalOut) : 100;
    fprintf(stderr, "\rRendering: %3d%%, %.1f s of %.1f s, %.1fx real time  ", percent, done,
            total, wall > 0 ? done / wall : 0.0);
    fflush(stderr);
  }
  pthread_mutex_unlock(&progressLock);
  double done = (double)framesDone.load() / 44100.0;
  double wall = wallSeconds();
  if (wall > 0)
    fprintf(stderr, "\rRendered %.1f s of sound in %.2f s: %.1fx real time            \n", done,
            wall, done / wall);
  else
    fprintf(stderr, "\rRendered %.1f s of sound\n", done);
  fflush(stderr);
  return nullptr;
}

// Either thread, once: completes the output file's header, closes it, and stops the progress
// line with the final speed.
static void finishRender()
{
  pthread_mutex_lock(&finishLock);
  if (!finished) {
    finished = true;
    if (outFile) {
      unsigned char h[WAV_HEADER_BYTES];
      makeHeader(h, outBytes);
      if (fflush(outFile) != 0 || fseek(outFile, 0, SEEK_SET) != 0 ||
          fwrite(h, 1, sizeof h, outFile) != sizeof h || fclose(outFile) != 0)
        fprintf(stderr, "completing output file %s: %s\n", outName.c_str(), strerror(errno));
      outFile = nullptr;
    }
    if (progressRunning) {
      pthread_mutex_lock(&progressLock);
      progressStop = true;
      pthread_cond_signal(&progressWake);
      pthread_mutex_unlock(&progressLock);
      pthread_join(progressThread, nullptr);
      progressRunning = false;
    }
  }
  pthread_mutex_unlock(&finishLock);
}

// Main thread, once.
static int wavOpen(int, int, int, int, int size)
{
  if (sound_opened) {
    fprintf(stderr, "Oops. Sound already opened, pal ! What the heck are ya doin' ?\n");
    return -1;
  }
  inName = wav_in_path;
  outName = wav_out_path;
  const char *ip = inName.c_str();
  const char *op = outName.c_str();
  inFile = fopen(ip, "rb");
  if (!inFile) {
    fprintf(stderr, "opening input file %s: %s\n", ip, strerror(errno));
    return -1;
  }
  in = wavInput();
  if (!readWavHeader(inFile, ip, in) || fseek(inFile, in.dataStart, SEEK_SET) != 0) {
    fclose(inFile);
    inFile = nullptr;
    return -1;
  }
  // Writing over the input would destroy the sound being read.
  struct stat si, so;
  if (stat(op, &so) == 0 && fstat(fileno(inFile), &si) == 0 && si.st_dev == so.st_dev &&
      si.st_ino == so.st_ino) {
    fprintf(stderr, "%s: the output file is the input file\n", op);
    fclose(inFile);
    inFile = nullptr;
    return -1;
  }
  outFile = fopen(op, "wb");
  unsigned char h[WAV_HEADER_BYTES];
  makeHeader(h, 0);
  if (!outFile || fwrite(h, 1, sizeof h, outFile) != sizeof h) {
    fprintf(stderr, "creating output file %s: %s\n", op, strerror(errno));
    if (outFile) fclose(outFile);
    fclose(inFile);
    inFile = outFile = nullptr;
    return -1;
  }
  raw = (unsigned char *)malloc((size_t)size);
  buf = (char *)malloc((size_t)size);
  if (!raw || !buf) {
    perror("allocating buffer's memory");
    free(raw);
    free(buf);
    raw = nullptr;
    buf = nullptr;
    fclose(inFile);
    fclose(outFile);
    inFile = outFile = nullptr;
    return -1;
  }
  buf_size = size;
  outBytes = 0;
  tailFrames = -1;
  ended = writeFailed = finished = false;
  interrupted = 0;
  framesDone = 0;
  startedAt = 0;
  progressStop = false;
  progressRunning = pthread_create(&progressThread, nullptr, progressMain, nullptr) == 0;
  printf("Rendering %s (%d Hz, %d-bit, %s, %.1f s) to %s\n", ip, in.rate, in.bits,
         in.channels == 1 ? "mono" : "stereo", (double)in.totalOut / 44100.0, op);
  sound_opened = 1;
  return 0;
}

// Audio thread. One buffer of input; the last, partial one is filled up with silence and only
// its real frames are written out. The read after it ends the run.
static int wavRead()
{
  if (!inFile || !buf) {
    fprintf(stderr, "reading from audio card: no input file is open\n");
    return -1;
  }
  if (interrupted) return -1;  // shutdown completes the file
  if (!startedAt.load()) startedAt = monoNs();
  if (ended || writeFailed) {
    finishRender();
    return -1;
  }
  int outFrames = buf_size / 4;
  int inFrames = outFrames / in.repeat;  // passes are 32 frames or more: always whole
  int frameBytes = in.channels * in.bits / 8;
  long long want = inFrames < in.framesLeft ? inFrames : in.framesLeft;
  size_t got = want > 0 ? fread(raw, (size_t)frameBytes, (size_t)want, inFile) : 0;
  if (got == 0) {
    if (want > 0 && ferror(inFile))
      fprintf(stderr, "reading from input file %s: %s\n", inName.c_str(), strerror(errno));
    ended = true;
    finishRender();
    return -1;
  }
  in.framesLeft -= (long long)got;
  short *o = (short *)buf;
  int n = 0;
  for (size_t i = 0; i < got; i++) {
    const unsigned char *p = raw + i * frameBytes;
    int l, r;
    if (in.bits == 8) {
      l = ((int)p[0] - 128) * 256;
      r = in.channels == 2 ? ((int)p[1] - 128) * 256 : l;
    } else {
      l = (short)get16(p);
      r = in.channels == 2 ? (short)get16(p + 2) : l;
    }
    for (int k = 0; k < in.repeat; k++) {
      o[2 * n] = (short)l;
      o[2 * n + 1] = (short)r;
      n++;
    }
  }
  if (n < outFrames) {
    memset(o + 2 * n, 0, (size_t)(outFrames - n) * 4);
    tailFrames = n;
    ended = true;  // a short read only happens at the end of the data
  }
  return 0;
}

// Audio thread. The buffer to the output file (only the real frames of the last buffer).
static int wavWrite()
{
  if (!outFile || !buf) {
    fprintf(stderr, "writing to audio card: no output file is open\n");
    return -1;
  }
  int frames = tailFrames >= 0 ? tailFrames : buf_size / 4;
  size_t bytes = (size_t)frames * 4;
  if (fwrite(buf, 1, bytes, outFile) != bytes) {
    // Nothing after this would reach the file: the next read ends the run.
    if (!writeFailed)
      fprintf(stderr, "writing to output file %s: %s\n", outName.c_str(), strerror(errno));
    writeFailed = true;
    return -1;
  }
  outBytes += (long long)bytes;
  framesDone += frames;
  return 0;
}

// Main thread, at shutdown: a run stopped before the end of the input still leaves a complete
// WAV file of what was rendered.
static void wavClose()
{
  finishRender();
  if (inFile) fclose(inFile);
  inFile = nullptr;
  free(raw);
  free(buf);
  raw = nullptr;
  buf = nullptr;
}

static void wavInterrupt() { interrupted = 1; }

static long wavXruns() { return 0; }

const soundBackend wavBackend = {"file",       wavOpen,  wavRead, wavWrite,
                                 wavInterrupt, wavClose, wavXruns};
