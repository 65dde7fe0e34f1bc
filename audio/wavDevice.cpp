// The sound-file back end (-d file:IN:OUT): renders a recording through the patch as fast as the
// passes run. At open, libsndfile decodes the whole input (any format it reads, mono or stereo,
// any rate) and libsoxr converts it to 44100 Hz stereo 16-bit in memory; the output is created
// under a temporary name beside OUT. The audio thread's read and write only copy one buffer from
// and to memory. At close the rendered sound is converted to the output rate, written in the
// format OUT's extension names, and renamed to OUT, so OUT is either complete or not there.
// A progress line goes to the error stream from a thread of its own, at most ten times a second.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <pthread.h>
#include <sched.h>
#include <sndfile.h>
#include <soxr.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <utility>
#include <vector>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "base/hugePages.h"

#define PATCH_RATE 44100
#define BLOCK_FRAMES 65536  // frames per step of decoding, converting and encoding

// The quality of both conversions: libsoxr's "high quality" recipe with its steep filter:
// 20-bit precision (beyond the patch's 16 bits), linear phase, flat to within 0.01 dB up to
// 98% of the lower rate's Nyquist frequency (10.8 kHz of a 22050 Hz recording, 21.7 kHz at
// 44100 Hz). The converter takes its own delay out, so a render keeps the input's timing sample
// for sample.
static const unsigned long CONVERT_QUALITY = SOXR_HQ | SOXR_STEEP_FILTER;

static std::string inName, outName, tmpName;
static SF_INFO inInfo;
// A whole recording's memory comes in huge pages.
template <class T>
struct recordingAllocator {
  typedef T value_type;
  recordingAllocator() = default;
  template <class U>
  recordingAllocator(const recordingAllocator<U> &)
  {
  }
  T *allocate(size_t n)
  {
    size_t bytes = n * sizeof(T);
    void *p = bytes < HUGE_PAGE_BYTES ? malloc(bytes) : allocHugePages(bytes);
    if (!p) throw std::bad_alloc();
    return (T *)p;
  }
  void deallocate(T *p, size_t) { free(p); }
  // Growing leaves new samples as they are: the decoder writes over them at once.
  template <class U>
  void construct(U *p) noexcept
  {
    ::new ((void *)p) U;
  }
  template <class U, class... A>
  void construct(U *p, A &&...a)
  {
    ::new ((void *)p) U(std::forward<A>(a)...);
  }
};
template <class T, class U>
bool operator==(const recordingAllocator<T> &, const recordingAllocator<U> &)
{
  return true;
}
template <class T, class U>
bool operator!=(const recordingAllocator<T> &, const recordingAllocator<U> &)
{
  return false;
}
typedef std::vector<short, recordingAllocator<short>> recording;

static recording inSound;   // the whole input, 44100 Hz stereo
// The render goes where its input was: each pass writes the frames it has just read, so the
// input ahead is never touched, and a render needs no second buffer as long as the input.
static recording &outSound = inSound;
static long long inFrames = 0;       // frames of inSound
static long long readPos = 0;        // frames handed to the patch
static long long outFrames = 0;      // frames rendered into outSound
static int tailFrames = -1;          // frames of the last, partial buffer (-1: none yet)
static SNDFILE *outFile = nullptr;   // open on tmpName
static SF_INFO outInfo;
static std::atomic<int> interrupted{0};
static bool finished = false;
static bool discard = false;
static pthread_mutex_t finishLock = PTHREAD_MUTEX_INITIALIZER;

// Progress, shared with the reporting thread.
static std::atomic<long long> framesDone{0};
static std::atomic<long long> startedAt{0};
static std::atomic<long long> endedAt{0};
static pthread_t progressThread;
static bool progressRunning = false;
static pthread_mutex_t progressLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t progressWake = PTHREAD_COND_INITIALIZER;
static bool progressStop = false;

// ---- Formats ------------------------------------------------------------------------------------

struct outFormat {
  const char *ext;
  int major;
};
static const outFormat outFormats[] = {
    {"wav", SF_FORMAT_WAV},   {"flac", SF_FORMAT_FLAC}, {"ogg", SF_FORMAT_OGG},
    {"oga", SF_FORMAT_OGG},   {"aiff", SF_FORMAT_AIFF}, {"aif", SF_FORMAT_AIFF},
    {"w64", SF_FORMAT_W64},   {"caf", SF_FORMAT_CAF},
};

// The major format the name's extension stands for; 0 when it names none QAF writes.
static int formatForName(const std::string &path)
{
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return 0;
  std::string ext = path.substr(dot + 1);
  for (const outFormat &f : outFormats)
    if (strcasecmp(ext.c_str(), f.ext) == 0) return f.major;
  return 0;
}

// How an input's samples are stored, in words: "16-bit", "32-bit float", or the codec's name.
static std::string widthName(int format)
{
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return "8-bit";
    case SF_FORMAT_PCM_16: return "16-bit";
    case SF_FORMAT_PCM_24: return "24-bit";
    case SF_FORMAT_PCM_32: return "32-bit";
    case SF_FORMAT_FLOAT: return "32-bit float";
    case SF_FORMAT_DOUBLE: return "64-bit float";
  }
  SF_FORMAT_INFO fi;
  fi.format = format & SF_FORMAT_SUBMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &fi, sizeof fi) == 0 && fi.name) return fi.name;
  return "encoded";
}

// The output's subtype: the input's sample width where the output format has it, else the
// nearest narrower one; 16 bits for inputs without a width (compressed codecs). Ogg is Vorbis.
static int outputSubtype(int major, int inFormat, int rate)
{
  std::vector<int> tries;
  switch (inFormat & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_U8: tries = {SF_FORMAT_PCM_U8, SF_FORMAT_PCM_S8}; break;
    case SF_FORMAT_PCM_S8: tries = {SF_FORMAT_PCM_S8, SF_FORMAT_PCM_U8}; break;
    case SF_FORMAT_PCM_24: tries = {SF_FORMAT_PCM_24}; break;
    case SF_FORMAT_PCM_32: tries = {SF_FORMAT_PCM_32, SF_FORMAT_PCM_24}; break;
    case SF_FORMAT_FLOAT: tries = {SF_FORMAT_FLOAT, SF_FORMAT_PCM_24}; break;
    case SF_FORMAT_DOUBLE: tries = {SF_FORMAT_DOUBLE, SF_FORMAT_FLOAT, SF_FORMAT_PCM_24}; break;
  }
  tries.push_back(SF_FORMAT_PCM_16);
  tries.push_back(SF_FORMAT_VORBIS);
  for (int sub : tries) {
    SF_INFO check;
    memset(&check, 0, sizeof check);
    check.samplerate = rate;
    check.channels = 2;
    check.format = major | sub;
    if (sf_format_check(&check)) return sub;
  }
  return 0;
}

// A sink that takes whatever an encoder writes and keeps only its length.
struct nullSink {
  sf_count_t pos = 0, len = 0;
};
static sf_count_t sinkLength(void *s) { return ((nullSink *)s)->len; }
static sf_count_t sinkSeek(sf_count_t off, int whence, void *s)
{
  nullSink *n = (nullSink *)s;
  n->pos = whence == SEEK_SET ? off : (whence == SEEK_CUR ? n->pos + off : n->len + off);
  return n->pos;
}
static sf_count_t sinkRead(void *, sf_count_t, void *) { return 0; }
static sf_count_t sinkWrite(const void *, sf_count_t count, void *s)
{
  nullSink *n = (nullSink *)s;
  n->pos += count;
  if (n->pos > n->len) n->len = n->pos;
  return count;
}
static sf_count_t sinkTell(void *s) { return ((nullSink *)s)->pos; }

// Main thread. Whether the format can really be written: some encoders (Vorbis) refuse a rate
// only when the first sound reaches them, which at the end of a long render would be too late.
static bool canEncode(const SF_INFO &format)
{
  SF_VIRTUAL_IO io = {sinkLength, sinkSeek, sinkRead, sinkWrite, sinkTell};
  nullSink sink;
  SF_INFO info = format;
  SNDFILE *f = sf_open_virtual(&io, SFM_WRITE, &info, &sink);
  if (!f) return false;
  float frame[2] = {0, 0};
  bool ok = sf_writef_float(f, frame, 1) == 1;
  return sf_close(f) == 0 && ok;
}

// ---- Reading the input at open ------------------------------------------------------------------

// A WAV file whose data chunk says it holds 0 bytes (a recorder that never came back to fill in
// the size) is read as running to the end of the file, as the size 0xFFFFFFFF of a streamed
// recording is: libsndfile reads it through these calls, which show it that size instead.
struct sizePatchedFile {
  int fd;
  sf_count_t pos, len;
  sf_count_t sizeAt;  // the data chunk's size field
};
static sf_count_t patchedLength(void *p) { return ((sizePatchedFile *)p)->len; }
static sf_count_t patchedSeek(sf_count_t off, int whence, void *p)
{
  sizePatchedFile *f = (sizePatchedFile *)p;
  f->pos = whence == SEEK_SET ? off : (whence == SEEK_CUR ? f->pos + off : f->len + off);
  return f->pos;
}
static sf_count_t patchedRead(void *to, sf_count_t count, void *p)
{
  sizePatchedFile *f = (sizePatchedFile *)p;
  ssize_t n = pread(f->fd, to, (size_t)count, f->pos);
  if (n <= 0) return 0;
  for (sf_count_t i = f->sizeAt; i < f->sizeAt + 4; i++)
    if (i >= f->pos && i < f->pos + n) ((unsigned char *)to)[i - f->pos] = 0xFF;
  f->pos += n;
  return n;
}
static sf_count_t patchedWrite(const void *, sf_count_t, void *) { return 0; }
static sf_count_t patchedTell(void *p) { return ((sizePatchedFile *)p)->pos; }

// The offset of a RIFF/WAVE file's data chunk size field when it says 0 and sound follows it,
// else -1.
static sf_count_t zeroDataSizeAt(int fdIn, sf_count_t len)
{
  unsigned char h[12];
  if (pread(fdIn, h, 12, 0) != 12 || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4) != 0)
    return -1;
  for (sf_count_t at = 12; at + 8 <= len;) {
    unsigned char c[8];
    if (pread(fdIn, c, 8, at) != 8) return -1;
    unsigned size = c[4] | (c[5] << 8) | (c[6] << 16) | ((unsigned)c[7] << 24);
    if (memcmp(c, "data", 4) == 0) return size == 0 && at + 8 < len ? at + 4 : -1;
    at += 8 + (sf_count_t)size + (size & 1);
  }
  return -1;
}

// Main thread. Appends frames (mono or stereo) to the input sound as stereo 16-bit.
static void appendFrames(const float *x, size_t frames, int channels)
{
  for (size_t f = 0; f < frames; f++) {
    short l = floatToS16(x[f * channels]);
    inSound.push_back(l);
    inSound.push_back(channels == 2 ? floatToS16(x[f * channels + 1]) : l);
  }
}

static void appendFrames(const short *x, size_t frames, int channels)
{
  if (channels == 2) {
    inSound.insert(inSound.end(), x, x + frames * 2);
    return;
  }
  for (size_t f = 0; f < frames; f++) {
    inSound.push_back(x[f * channels]);
    inSound.push_back(x[f * channels + (channels == 2 ? 1 : 0)]);
  }
}

static soxr_t makeConverter(double from, double to, soxr_datatype_t inType, const char **err)
{
  soxr_io_spec_t io = soxr_io_spec(inType, SOXR_FLOAT32_I);
  soxr_quality_spec_t q = soxr_quality_spec(CONVERT_QUALITY, 0);
  soxr_error_t e = nullptr;
  // The channels are converted side by side on two threads.
  soxr_runtime_spec_t rt = soxr_runtime_spec(2);
  soxr_t s = soxr_create(from, to, inType == SOXR_INT16_I ? 2 : (unsigned)inInfo.channels, &e,
                         &io, &q, &rt);
  *err = e;
  return e ? nullptr : s;
}

// Main thread. Decodes the whole input into inSound at 44100 Hz; false after saying why. 16-bit
// and 8-bit input at 44100 Hz is taken as it is, sample for sample; anything else is decoded as
// float, converted and rounded to 16 bits.
static bool readInput(SNDFILE *sf, const char *path)
{
  int ch = inInfo.channels;
  int rate = inInfo.samplerate;
  int sub = inInfo.format & SF_FORMAT_SUBMASK;
  bool asShorts = rate == PATCH_RATE && (sub == SF_FORMAT_PCM_16 || sub == SF_FORMAT_PCM_S8 ||
                                         sub == SF_FORMAT_PCM_U8);
  soxr_t conv = nullptr;
  if (rate != PATCH_RATE) {
    const char *err;
    conv = makeConverter(rate, PATCH_RATE, SOXR_FLOAT32_I, &err);
    if (!conv) {
      fprintf(stderr, "%s: cannot convert %d Hz to %d Hz: %s\n", path, rate, PATCH_RATE, err);
      return false;
    }
  }
  std::vector<float> fin((size_t)BLOCK_FRAMES * ch), fout;
  std::vector<short> sin((size_t)BLOCK_FRAMES * ch);
  // The converter gives at most a block's worth at the new rate per call, plus what it holds.
  size_t outCap = (size_t)((double)BLOCK_FRAMES * PATCH_RATE / rate) + 64;
  fout.resize(outCap * ch);
  inSound.clear();
  if (inInfo.frames > 0)
    inSound.reserve((size_t)((double)inInfo.frames * PATCH_RATE / rate + 64) * 2);
  long long got = 0;
  for (;;) {
    sf_count_t n;
    if (asShorts && ch == 2) {
      // Stereo 16-bit at the patch's rate is decoded straight into place, within the room
      // reserved for it as long as the file is no longer than it said.
      size_t room = inSound.capacity() / 2 - (size_t)got;
      sf_count_t ask = room > 0 && room < BLOCK_FRAMES ? (sf_count_t)room : BLOCK_FRAMES;
      if (inSound.size() < (size_t)(got + ask) * 2) inSound.resize((size_t)(got + ask) * 2);
      n = sf_readf_short(sf, &inSound[(size_t)got * 2], ask);
      if (n <= 0) break;
      got += n;
      continue;
    }
    n = asShorts ? sf_readf_short(sf, sin.data(), BLOCK_FRAMES)
                 : sf_readf_float(sf, fin.data(), BLOCK_FRAMES);
    if (n <= 0) break;
    got += n;
    if (asShorts) {
      appendFrames(sin.data(), (size_t)n, ch);
    } else if (!conv) {
      appendFrames(fin.data(), (size_t)n, ch);
    } else {
      size_t used = 0;
      while (used < (size_t)n) {
        size_t idone = 0, odone = 0;
        soxr_process(conv, fin.data() + used * ch, (size_t)n - used, &idone, fout.data(), outCap,
                     &odone);
        appendFrames(fout.data(), odone, ch);
        used += idone;
        if (idone == 0 && odone == 0) break;  // a converter that stalls loses the rest, not us
      }
    }
  }
  if (conv) {
    // End of input: what the converter still holds.
    for (;;) {
      size_t odone = 0;
      soxr_process(conv, nullptr, 0, nullptr, fout.data(), outCap, &odone);
      if (odone == 0) break;
      appendFrames(fout.data(), odone, ch);
    }
    soxr_delete(conv);
  }
  if (sf_error(sf) != SF_ERR_NO_ERROR) {
    fprintf(stderr, "%s: damaged after %.1f s: %s\n", path, (double)got / rate, sf_strerror(sf));
    return false;
  }
  if (inInfo.seekable && inInfo.frames > 0 && got < inInfo.frames) {
    fprintf(stderr, "%s: damaged: the sound breaks off after %.1f s of %.1f s\n", path,
            (double)got / rate, (double)inInfo.frames / rate);
    return false;
  }
  if (got == 0) {
    fprintf(stderr, "%s: the file holds no sound\n", path);
    return false;
  }
  inInfo.frames = got;
  // Exactly the input's length at the new rate: the converter may give a frame more or less.
  long long want = rate == PATCH_RATE ? got : llround((double)got * PATCH_RATE / rate);
  inSound.resize((size_t)want * 2, 0);
  inFrames = want;
  return true;
}

// ---- The output ---------------------------------------------------------------------------------

// Main thread. A new file in OUT's folder, under a name no one else uses, with the permissions a
// new file gets; its descriptor, or -1 after saying why.
static int makeTempOutput(const std::string &out)
{
  size_t slash = out.rfind('/');
  std::string dir = slash == std::string::npos ? "" : out.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? out : out.substr(slash + 1);
  tmpName = dir + "." + base + ".qaf-XXXXXX";
  int fdOut = mkstemp(&tmpName[0]);
  if (fdOut < 0) {
    fprintf(stderr, "creating output file %s: %s\n", out.c_str(), strerror(errno));
    tmpName.clear();
    return -1;
  }
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fdOut, 0666 & ~mask);
  return fdOut;
}

static void dropTempOutput()
{
  if (outFile) sf_close(outFile);
  outFile = nullptr;
  if (!tmpName.empty()) unlink(tmpName.c_str());
  tmpName.clear();
}

// 8 or 16 when the output holds integers of that width, else 0 (wider, float, or a codec's).
static int outBits = 0;

// Any thread. A sample (full scale 1.0) rounded to the output's width, as a 16-bit value that
// libsndfile then stores unchanged: its own narrowing from float or 16 bits scales by 32767
// or truncates, which costs a 16-bit render several dB of its noise floor.
static short toOutWidth(float x)
{
  float scale = outBits == 8 ? 128.0f : 32768.0f;
  long q = lrintf(x * scale);
  if (!(x == x)) q = 0;
  if (q > (long)scale - 1) q = (long)scale - 1;
  if (q < -(long)scale) q = -(long)scale;
  return (short)(q * (long)(32768.0f / scale));
}

// Either thread, at the end. Writes the frames rendered so far at the output rate into the
// temporary file and renames it to OUT. False after saying why (the temporary file is gone).
static bool writeOutput()
{
  const char *op = outName.c_str();
  int rate = outInfo.samplerate;
  // A complete render at the input's rate has exactly the input's length.
  long long target = outFrames == inFrames && rate == inInfo.samplerate
                         ? inInfo.frames
                         : llround((double)outFrames * rate / PATCH_RATE);
  long long written = 0;
  bool ok = true;
  if (rate == PATCH_RATE && outBits != 8) {
    for (long long f = 0; ok && f < outFrames; f += BLOCK_FRAMES) {
      sf_count_t n = outFrames - f < BLOCK_FRAMES ? outFrames - f : BLOCK_FRAMES;
      ok = sf_writef_short(outFile, &outSound[(size_t)f * 2], n) == n;
      written += n;
    }
  } else if (rate == PATCH_RATE) {
    std::vector<short> narrow((size_t)BLOCK_FRAMES * 2);
    for (long long f = 0; ok && f < outFrames; f += BLOCK_FRAMES) {
      sf_count_t n = outFrames - f < BLOCK_FRAMES ? outFrames - f : BLOCK_FRAMES;
      for (sf_count_t i = 0; i < 2 * n; i++)
        narrow[(size_t)i] = toOutWidth(outSound[(size_t)(f * 2 + i)] / 32768.0f);
      ok = sf_writef_short(outFile, narrow.data(), n) == n;
      written += n;
    }
  } else {
    const char *err;
    soxr_t conv = makeConverter(PATCH_RATE, rate, SOXR_INT16_I, &err);
    if (!conv) {
      fprintf(stderr, "%s: cannot convert %d Hz to %d Hz: %s\n", op, PATCH_RATE, rate, err);
      dropTempOutput();
      return false;
    }
    size_t cap = (size_t)((double)BLOCK_FRAMES * rate / PATCH_RATE) + 64;
    std::vector<float> fout(cap * 2);
    std::vector<short> narrow(cap * 2);
    long long fed = 0;
    bool flushing = false;
    while (ok && written < target) {
      size_t idone = 0, odone = 0;
      if (!flushing) {
        size_t n = outFrames - fed < BLOCK_FRAMES ? (size_t)(outFrames - fed) : BLOCK_FRAMES;
        soxr_process(conv, &outSound[(size_t)fed * 2], n, &idone, fout.data(), cap, &odone);
        fed += (long long)idone;
        flushing = fed == outFrames || (idone == 0 && odone == 0);
      } else {
        soxr_process(conv, nullptr, 0, nullptr, fout.data(), cap, &odone);
        if (odone == 0) break;
      }
      sf_count_t n = (sf_count_t)odone;
      if (written + n > target) n = target - written;
      if (outBits) {
        for (sf_count_t i = 0; i < 2 * n; i++) narrow[(size_t)i] = toOutWidth(fout[(size_t)i]);
        ok = sf_writef_short(outFile, narrow.data(), n) == n;
      } else {
        ok = sf_writef_float(outFile, fout.data(), n) == n;
      }
      written += n;
    }
    soxr_delete(conv);
  }
  // The converter may come out a frame short of the length the input had.
  std::vector<float> zeros(2 * 64, 0.0f);
  while (ok && written < target) {
    sf_count_t n = target - written < 64 ? target - written : 64;
    ok = sf_writef_float(outFile, zeros.data(), n) == n;
    written += n;
  }
  if (!ok) {
    fprintf(stderr, "writing output file %s: %s\n", op, sf_strerror(outFile));
    dropTempOutput();
    return false;
  }
  sf_write_sync(outFile);
  int closed = sf_close(outFile);
  outFile = nullptr;
  if (closed != 0) {
    fprintf(stderr, "writing output file %s: %s\n", op, sf_error_number(closed));
    dropTempOutput();
    return false;
  }
  if (rename(tmpName.c_str(), op) != 0) {
    fprintf(stderr, "writing output file %s: %s\n", op, strerror(errno));
    dropTempOutput();
    return false;
  }
  tmpName.clear();
  printf("Wrote %s (%d Hz, %s, stereo, %.1f s)\n", op, rate, widthName(outInfo.format).c_str(),
         (double)target / rate);
  return true;
}

// ---- Progress -----------------------------------------------------------------------------------

static double wallSeconds()
{
  long long s = startedAt.load();
  long long e = endedAt.load();
  return s ? (double)((e ? e : monoNs()) - s) / 1e9 : 0.0;
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
    double done = (double)framesDone.load() / PATCH_RATE;
    double total = (double)inFrames / PATCH_RATE;
    double wall = wallSeconds();
    int percent = inFrames ? (int)(framesDone.load() * 100 / inFrames) : 100;
    fprintf(stderr, "\rRendering: %3d%%, %.1f s of %.1f s, %.1fx real time  ", percent, done,
            total, wall > 0 ? done / wall : 0.0);
    fflush(stderr);
  }
  pthread_mutex_unlock(&progressLock);
  if (discard) return nullptr;  // nothing was rendered, nothing is written
  double done = (double)framesDone.load() / PATCH_RATE;
  double wall = wallSeconds();
  if (wall > 0)
    fprintf(stderr, "\rRendered %.1f s of sound in %.2f s: %.1fx real time            \n", done,
            wall, done / wall);
  else
    fprintf(stderr, "\rRendered %.1f s of sound\n", done);
  fflush(stderr);
  return nullptr;
}

static void stopProgress()
{
  if (!progressRunning) return;
  pthread_mutex_lock(&progressLock);
  progressStop = true;
  pthread_cond_signal(&progressWake);
  pthread_mutex_unlock(&progressLock);
  pthread_join(progressThread, nullptr);
  progressRunning = false;
}

// ---- The back end -------------------------------------------------------------------------------

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
  int major = formatForName(outName);
  if (!major) {
    fprintf(stderr, "%s: QAF writes .wav, .flac, .ogg, .aiff, .w64 or .caf files\n", op);
    return -1;
  }
  int fdIn = open(ip, O_RDONLY);
  if (fdIn < 0) {
    fprintf(stderr, "opening input file %s: %s\n", ip, strerror(errno));
    return -1;
  }
  // Writing over the input would destroy the sound being read.
  struct stat si, so;
  if (stat(op, &so) == 0 && fstat(fdIn, &si) == 0 && si.st_dev == so.st_dev &&
      si.st_ino == so.st_ino) {
    fprintf(stderr, "%s: the output file is the input file\n", op);
    close(fdIn);
    return -1;
  }
  memset(&inInfo, 0, sizeof inInfo);
  SNDFILE *sf = sf_open_fd(fdIn, SFM_READ, &inInfo, SF_FALSE);
  struct stat st;
  sizePatchedFile patched = {fdIn, 0, fstat(fdIn, &st) == 0 ? (sf_count_t)st.st_size : 0, -1};
  if (sf && inInfo.frames == 0 && (patched.sizeAt = zeroDataSizeAt(fdIn, patched.len)) >= 0) {
    sf_close(sf);
    SF_VIRTUAL_IO io = {patchedLength, patchedSeek, patchedRead, patchedWrite, patchedTell};
    memset(&inInfo, 0, sizeof inInfo);
    sf = sf_open_virtual(&io, SFM_READ, &inInfo, &patched);
  }
  if (!sf) {
    fprintf(stderr, "%s: not a sound file QAF can read (%s)\n", ip, sf_strerror(nullptr));
    close(fdIn);
    return -1;
  }
  if (inInfo.channels != 1 && inInfo.channels != 2) {
    fprintf(stderr, "%s: %d channels; QAF reads mono or stereo\n", ip, inInfo.channels);
    sf_close(sf);
    close(fdIn);
    return -1;
  }
  bool read;
  try {
    read = readInput(sf, ip);
  } catch (const std::bad_alloc &) {
    fprintf(stderr, "%s: %.0f s of sound is more than this machine's memory holds\n", ip,
            (double)inInfo.frames / inInfo.samplerate);
    read = false;
  }
  sf_close(sf);
  close(fdIn);
  if (!read) {
    recording().swap(inSound);
    return -1;
  }

  int rate = wav_out_rate > 0 ? wav_out_rate : inInfo.samplerate;
  memset(&outInfo, 0, sizeof outInfo);
  outInfo.samplerate = rate;
  outInfo.channels = 2;
  int sub = outputSubtype(major, inInfo.format, rate);
  outInfo.format = major | sub;
  bool encodable = sub && canEncode(outInfo);
  outBits = sub == SF_FORMAT_PCM_16 ? 16
            : (sub == SF_FORMAT_PCM_S8 || sub == SF_FORMAT_PCM_U8) ? 8 : 0;
  int fdOut = encodable ? makeTempOutput(outName) : -1;
  if (!encodable) fprintf(stderr, "%s: this format cannot hold stereo sound at %d Hz\n", op, rate);
  if (fdOut >= 0) {
    outFile = sf_open_fd(fdOut, SFM_WRITE, &outInfo, SF_TRUE);
    if (!outFile) {
      fprintf(stderr, "creating output file %s: %s\n", op, sf_strerror(nullptr));
      unlink(tmpName.c_str());
      tmpName.clear();
    }
  }
  buf = (char *)malloc((size_t)size);
  bool haveMemory = buf != nullptr;
  if (!outFile || !haveMemory) {
    if (outFile && !haveMemory)
      fprintf(stderr, "%s: %.0f s of sound is more than this machine's memory holds\n", op,
              (double)inInfo.frames / inInfo.samplerate);
    dropTempOutput();
    free(buf);
    buf = nullptr;
    recording().swap(inSound);
    return -1;
  }
  // Integer formats clip what lies beyond full scale instead of wrapping it round.
  sf_command(outFile, SFC_SET_CLIPPING, nullptr, SF_TRUE);

  buf_size = size;
  readPos = outFrames = 0;
  tailFrames = -1;
  finished = discard = false;
  interrupted = 0;
  framesDone = 0;
  startedAt = endedAt = 0;
  progressStop = false;
  progressRunning = pthread_create(&progressThread, nullptr, progressMain, nullptr) == 0;
  printf("Rendering %s (%d Hz, %s, %s, %.1f s) to %s\n", ip, inInfo.samplerate,
         widthName(inInfo.format).c_str(), inInfo.channels == 1 ? "mono" : "stereo",
         (double)inInfo.frames / inInfo.samplerate, op);
  sound_opened = 1;
  return 0;
}

// Audio thread. One buffer of the converted input; the last, partial one is filled up with
// silence and only its real frames are kept. The read after it ends the run.
static int wavRead()
{
  if (!buf || !outFile) {
    fprintf(stderr, "reading from audio card: no input file is open\n");
    return -1;
  }
  if (interrupted) return -1;  // shutdown completes the file
  if (!startedAt.load()) startedAt = monoNs();
  int frames = buf_size / 4;
  long long n = inFrames - readPos < frames ? inFrames - readPos : frames;
  if (n <= 0 || tailFrames >= 0) {
    if (!endedAt.load()) endedAt = monoNs();
    return -1;
  }
  memcpy(buf, &inSound[(size_t)readPos * 2], (size_t)n * 4);
  if (n < frames) {
    memset(buf + n * 4, 0, (size_t)(frames - n) * 4);
    tailFrames = (int)n;
  }
  readPos += n;
  return 0;
}

// Audio thread. The buffer's real frames into the render.
static int wavWrite()
{
  if (!buf || !outFile) {
    fprintf(stderr, "writing to audio card: no output file is open\n");
    return -1;
  }
  // The last, partial buffer keeps only its real frames. (Reads may run a block ahead of the
  // writes, so the count left, not the read's tail, says which buffer that is.)
  int frames = buf_size / 4;
  if (outFrames + frames > inFrames) frames = (int)(inFrames - outFrames);
  memcpy(&outSound[(size_t)outFrames * 2], buf, (size_t)frames * 4);
  outFrames += frames;
  framesDone += frames;
  return 0;
}

// Either thread, once, at the end of the run (the audio thread after its last read, or shutdown):
// stops the progress line and writes what was rendered to OUT. A run stopped before the end of
// the input still leaves a complete file of what was rendered, unless the run was abandoned
// before it started (wavDiscardRender). A file that cannot be written fails the run.
static void wavClose()
{
  pthread_mutex_lock(&finishLock);
  if (!finished && outFile) {
    finished = true;
    if (!endedAt.load() && startedAt.load()) endedAt = monoNs();
    stopProgress();
    // Converting and encoding a long render takes a while: not at the audio thread's real-time
    // priority, which would hold a core away from everything else meanwhile.
    struct sched_param normal;
    memset(&normal, 0, sizeof normal);
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    if (discard)
      dropTempOutput();
    else if (!writeOutput())
      sound_run_failed = 1;
  }
  stopProgress();
  pthread_mutex_unlock(&finishLock);
  recording().swap(inSound);
  free(buf);
  buf = nullptr;
  sound_opened = 0;
}

static void wavInterrupt() { interrupted = 1; }

static long wavXruns() { return 0; }

void wavDiscardRender() { discard = true; }

const soundBackend wavBackend = {"file",       wavOpen,  wavRead,  wavWrite,
                                 wavInterrupt, wavClose, wavXruns, true};
