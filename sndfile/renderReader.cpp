// Sound files (sndfile/: the file render's reader, writer and device, and the sample slots' WAV
// loader). This file: the render's input. At open, libsndfile opens IN (any format it reads,
// mono or stereo) and everything the header promises is checked; then a decoder thread reads the
// sound a block at a time, converts it to 44100 Hz stereo 16-bit (libsoxr for other rates) and
// puts it into the input queue, as far ahead of the render as the queue holds. No buffer depends
// on the input's length or on what its header claims.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "audio/devices.h"
#include "sndfile/renderFile.h"

// 6 s of converted sound ahead of the render: at a thousand times real time that is 6 ms, time
// enough for the decoder to be given a processor, while the queue (1 MB) stays in the cache. The
// decoder sleeps when it is full and wakes when a quarter of it is free.
#define INPUT_QUEUE_FRAMES (1 << 18)
#define DECODE_FRAMES 16384  // input frames decoded in one step, at most
#define PROBE_FRAMES 4096         // frames read at the end of the input to see that they are there

static std::string inName;
static SF_INFO inInfo;
static SNDFILE *inFile = nullptr;
static int inFd = -1;
static soxr_t conv = nullptr;
static frameQueue queue;
static pthread_t decoder;
static bool decoderRunning = false;

// The decoder's buffers, made at open: a block of input as floats or shorts, what the converter
// makes of it, and that as stereo 16-bit. (Plain memory: nothing is freed under a decoder that
// still runs while the program exits.)
static float *fin = nullptr, *fout = nullptr;
static short *shorts = nullptr, *stereo = nullptr;
static size_t convertedCap = 0;  // frames the converter may give per call

static std::atomic<long long> lengthAtPatchRate{0};
static std::atomic<int> complete{0};
static std::atomic<long long> decodedFrames{0};
static std::atomic<int> failed{0};
static char failure[1024];

const SF_INFO &renderInputInfo() { return inInfo; }
frameQueue &renderInputQueue() { return queue; }
long long renderInputLength() { return lengthAtPatchRate.load(); }
bool renderInputComplete() { return complete.load() != 0; }
long long renderInputDecodedFrames() { return decodedFrames.load(); }
const char *renderInputFailure() { return failed.load() ? failure : nullptr; }

// Frames the header promises, or -1 when it does not say (a stream cut off before the end that
// would give its length).
static long long promisedFrames()
{
  return inInfo.frames >= 0 && inInfo.frames < SF_COUNT_MAX ? (long long)inInfo.frames : -1;
}

// ---- Reading the header -------------------------------------------------------------------------

// A WAV file whose data chunk says it holds 0 bytes (a recorder that never came back to fill in
// the size) is read as running to the end of the file, as the size 0xFFFFFFFF of a streamed
// recording is: libsndfile reads it through these calls, which show it that size instead.
struct sizePatchedFile {
  int fd;
  sf_count_t pos, len;
  sf_count_t sizeAt;  // the data chunk's size field
};
static sizePatchedFile patched;
static bool throughPatch = false;  // the input is read through the calls below
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

// What QAF itself reads from a RIFF/WAVE header: the rate its fmt chunk gives (-1: none found)
// and the offset of the data chunk's size field when it says 0 and sound follows (else -1).
struct wavFacts {
  long long rate = -1;
  sf_count_t zeroSizeAt = -1;
};
static wavFacts inspectWav(int fd, sf_count_t len)
{
  wavFacts w;
  unsigned char h[12];
  if (pread(fd, h, 12, 0) != 12 || memcmp(h, "RIFF", 4) != 0 || memcmp(h + 8, "WAVE", 4) != 0)
    return w;
  for (sf_count_t at = 12; at + 8 <= len;) {
    unsigned char c[16];
    if (pread(fd, c, 8, at) != 8) return w;
    unsigned size = c[4] | (c[5] << 8) | (c[6] << 16) | ((unsigned)c[7] << 24);
    if (memcmp(c, "fmt ", 4) == 0 && size >= 8 && pread(fd, c + 8, 8, at + 8) == 8)
      w.rate = c[12] | (c[13] << 8) | (c[14] << 16) | ((long long)c[15] << 24);
    if (memcmp(c, "data", 4) == 0) {
      if (size == 0 && at + 8 < len) w.zeroSizeAt = at + 4;
      return w;
    }
    at += 8 + (sf_count_t)size + (size & 1);
  }
  return w;
}

// Whether `count` frames from frame `at` on can be read, on a fresh opening of the file (a
// decoder that lost its way once may stay lost).
static bool readableAt(sf_count_t at, sf_count_t count)
{
  SF_INFO info;
  memset(&info, 0, sizeof info);
  SNDFILE *f = sf_open(inName.c_str(), SFM_READ, &info);
  if (!f) return false;
  bool ok = sf_seek(f, at, SEEK_SET) == at;
  float x[2 * 256];
  while (ok && count > 0) {
    sf_count_t n = sf_readf_float(f, x, count < 256 ? count : 256);
    ok = n > 0 && sf_error(f) == SF_ERR_NO_ERROR;
    count -= n;
  }
  sf_close(f);
  return ok;
}

// Main thread. Where the sound of a file that cannot be read to the length its header gives
// breaks off (to a tenth of a second), or -1 when it can be read to the end. A decoder that
// seeks finds the end in a moment; one that cannot seek is taken at its word here, and the
// decoder finds out. (A WAV file read as running to its end is as long as the file.)
static long long breaksOffAt()
{
  long long frames = promisedFrames();
  if (frames <= 0 || !inInfo.seekable || throughPatch) return -1;
  sf_count_t tail = frames < PROBE_FRAMES ? frames : PROBE_FRAMES;
  if (readableAt(frames - tail, tail)) return -1;
  // A format that cannot seek at all says nothing about its length this way.
  if (frames > 1 && !readableAt(1, 1) && readableAt(0, 1)) return -1;
  long long good = 0, bad = frames - tail;
  if (!readableAt(0, 1)) return 0;
  while (bad - good > inInfo.samplerate / 10 + 1) {
    long long mid = good + (bad - good) / 2;
    if (readableAt(mid, 1))
      good = mid;
    else
      bad = mid;
  }
  return good;
}

// ---- Open ---------------------------------------------------------------------------------------

static void closeInputFile()
{
  if (inFile) sf_close(inFile);
  inFile = nullptr;
  if (inFd >= 0) close(inFd);
  inFd = -1;
  if (conv) soxr_delete(conv);
  conv = nullptr;
}

bool openRenderInput(const std::string &in, const std::string &out)
{
  inName = in;
  const char *ip = in.c_str();
  inFd = open(ip, O_RDONLY | O_CLOEXEC);
  if (inFd < 0) {
    fprintf(stderr, "opening input file %s: %s\n", ip, strerror(errno));
    return false;
  }
  // Writing over the input would destroy the sound being read.
  struct stat si, so;
  if (stat(out.c_str(), &so) == 0 && fstat(inFd, &si) == 0 && si.st_dev == so.st_dev &&
      si.st_ino == so.st_ino) {
    fprintf(stderr, "%s: the output file is the input file\n", out.c_str());
    closeInputFile();
    return false;
  }
  struct stat st;
  sf_count_t len = fstat(inFd, &st) == 0 ? (sf_count_t)st.st_size : 0;
  wavFacts wav = inspectWav(inFd, len);
  memset(&inInfo, 0, sizeof inInfo);
  throughPatch = false;
  // libsndfile is given a descriptor of its own: it closes the one it gets when it refuses it.
  int sfFd = fcntl(inFd, F_DUPFD_CLOEXEC, 0);
  inFile = sfFd >= 0 ? sf_open_fd(sfFd, SFM_READ, &inInfo, SF_TRUE) : nullptr;
  if (inFile && inInfo.frames == 0 && wav.zeroSizeAt >= 0) {
    sf_close(inFile);
    patched = {inFd, 0, len, wav.zeroSizeAt};
    throughPatch = true;
    SF_VIRTUAL_IO io = {patchedLength, patchedSeek, patchedRead, patchedWrite, patchedTell};
    memset(&inInfo, 0, sizeof inInfo);
    inFile = sf_open_virtual(&io, SFM_READ, &inInfo, &patched);
  }
  long long rate = inFile ? inInfo.samplerate : wav.rate;
  bool rateTaken = rate >= MIN_INPUT_RATE && rate <= MAX_INPUT_RATE;
  if (!inFile && (wav.rate < 0 || rateTaken)) {
    fprintf(stderr, "%s: not a sound file QAF can read (%s)\n", ip, sf_strerror(nullptr));
  } else if (inFile && inInfo.channels != 1 && inInfo.channels != 2) {
    fprintf(stderr, "%s: %d channels; QAF reads mono or stereo\n", ip, inInfo.channels);
  } else if (!rateTaken) {
    // libsndfile refuses a header of 0 Hz or more than 2^31 Hz without saying why: the WAV
    // header's own figure says it.
    fprintf(stderr, "%s: a rate of %lld Hz; QAF reads %d to %d Hz\n", ip, rate, MIN_INPUT_RATE,
            MAX_INPUT_RATE);
  } else if (inInfo.frames == 0) {
    fprintf(stderr, "%s: the file holds no sound\n", ip);
  } else {
    long long at = breaksOffAt();
    if (at >= 0)
      fprintf(stderr, "%s: damaged: the sound breaks off after %.1f s of %.1f s\n", ip,
              (double)at / inInfo.samplerate, (double)inInfo.frames / inInfo.samplerate);
    const char *err = nullptr;
    if (at < 0 && inInfo.samplerate != PATCH_RATE) {
      conv = makeConverter(inInfo.samplerate, PATCH_RATE, (unsigned)inInfo.channels,
                           SOXR_FLOAT32_I, &err);
      if (!conv)
        fprintf(stderr, "%s: cannot convert %d Hz to %d Hz: %s\n", ip, inInfo.samplerate,
                PATCH_RATE, err);
    }
    if (at < 0 && !err) {
      // A converter gives at most a block's worth at the new rate per call, plus what it holds.
      int ch = inInfo.channels;
      convertedCap = (size_t)((double)DECODE_FRAMES * PATCH_RATE / inInfo.samplerate) + 64;
      if (convertedCap > DECODE_FRAMES) convertedCap = DECODE_FRAMES;
      fin = (float *)calloc((size_t)DECODE_FRAMES * ch, sizeof(float));
      shorts = (short *)calloc((size_t)DECODE_FRAMES * ch, sizeof(short));
      fout = (float *)calloc(convertedCap * ch, sizeof(float));
      stereo = (short *)calloc(2 * DECODE_FRAMES, sizeof(short));
      if (fin && shorts && fout && stereo && queue.make(INPUT_QUEUE_FRAMES)) {
        long long frames = promisedFrames();
        lengthAtPatchRate = frames < 0 ? 0
                            : inInfo.samplerate == PATCH_RATE
                                ? frames
                                : llround((double)frames * PATCH_RATE / inInfo.samplerate);
        complete = failed = 0;
        decodedFrames = 0;
        return true;
      }
      fprintf(stderr, "%s: not enough memory to read it\n", ip);
    }
  }
  closeRenderInput();
  return false;
}

// ---- The decoder --------------------------------------------------------------------------------

// Decoder thread. Room for at least `frames` frames in the queue (at most DECODE_FRAMES),
// sleeping until a quarter of it is free when there is not; 0 once the render is over.
static size_t roomFor(size_t frames)
{
  size_t room = queue.space();
  if (room >= frames) return room;
  return queue.waitForSpace(INPUT_QUEUE_FRAMES / 4);
}

// Decoder thread. Puts frames into the queue as room comes; false once the render is over.
static bool putFrames(const short *x, size_t frames)
{
  while (frames > 0) {
    size_t room = roomFor(frames < DECODE_FRAMES ? frames : DECODE_FRAMES);
    if (!room) return false;
    size_t n = room < frames ? room : frames;
    queue.push(x, n);
    x += 2 * n;
    frames -= n;
  }
  return true;
}

// Decoder thread. Frames of float samples (mono or stereo) to the queue as stereo 16-bit.
static bool putFloats(const float *x, size_t frames, int channels)
{
  for (size_t f = 0; f < frames; f++) {
    short l = floatToS16(x[f * channels]);
    stereo[2 * f] = l;
    stereo[2 * f + 1] = channels == 2 ? floatToS16(x[f * channels + 1]) : l;
  }
  return putFrames(stereo, frames);
}

// Decoder thread. Keeps the line that says why the input could not be read, after its name.
static void fail(const char *format, ...)
{
  int n = snprintf(failure, sizeof failure, "%s: ", inName.c_str());
  va_list a;
  va_start(a, format);
  if (n >= 0 && (size_t)n < sizeof failure) vsnprintf(failure + n, sizeof failure - n, format, a);
  va_end(a);
  failed = 1;
}

// The decoder thread. 16-bit and 8-bit input at 44100 Hz is taken as it is, sample for sample
// (stereo 16-bit straight into the queue); anything else is decoded as float, converted and
// rounded to 16 bits.
static void *decoderMain(void *)
{
  int ch = inInfo.channels;
  int rate = inInfo.samplerate;
  int sub = inInfo.format & SF_FORMAT_SUBMASK;
  bool asShorts = rate == PATCH_RATE && (sub == SF_FORMAT_PCM_16 || sub == SF_FORMAT_PCM_S8 ||
                                         sub == SF_FORMAT_PCM_U8);
  long long got = 0, put = 0;
  bool going = true;
  while (going) {
    sf_count_t n;
    if (asShorts && ch == 2) {
      if (!roomFor(DECODE_FRAMES)) break;
      size_t span;
      short *to = queue.writeSpan(&span);
      n = sf_readf_short(inFile, to, (sf_count_t)(span < DECODE_FRAMES ? span : DECODE_FRAMES));
      if (n <= 0) break;
      queue.put((size_t)n);
      got += n;
      put += n;
      continue;
    }
    n = asShorts ? sf_readf_short(inFile, shorts, DECODE_FRAMES)
                 : sf_readf_float(inFile, fin, DECODE_FRAMES);
    if (n <= 0) break;
    got += n;
    if (asShorts) {
      for (sf_count_t f = 0; f < n; f++) stereo[2 * f] = stereo[2 * f + 1] = shorts[(size_t)f];
      going = putFrames(stereo, (size_t)n);
      put += n;
    } else if (!conv) {
      going = putFloats(fin, (size_t)n, ch);
      put += n;
    } else {
      size_t used = 0;
      while (going && used < (size_t)n) {
        size_t idone = 0, odone = 0;
        soxr_process(conv, fin + used * ch, (size_t)n - used, &idone, fout,
                     convertedCap, &odone);
        going = putFloats(fout, odone, ch);
        put += (long long)odone;
        used += idone;
        if (idone == 0 && odone == 0) break;  // a converter that stalls loses the rest, not us
      }
    }
  }
  if (queue.cancelled()) return nullptr;  // the render is over: nobody waits for the rest
  long long promised = promisedFrames();
  if (sf_error(inFile) != SF_ERR_NO_ERROR)
    fail("damaged after %.1f s: %s", (double)got / rate, sf_strerror(inFile));
  else if (inInfo.seekable && promised > 0 && got < promised)
    fail("damaged: the sound breaks off after %.1f s of %.1f s", (double)got / rate,
         (double)promised / rate);
  else if (got == 0)
    fail("the file holds no sound");
  // Exactly the input's length at the new rate: the converter may give a frame more or less.
  long long want = rate == PATCH_RATE ? got : llround((double)got * PATCH_RATE / rate);
  while (going && !failed && conv) {
    size_t odone = 0;
    soxr_process(conv, nullptr, 0, nullptr, fout, convertedCap, &odone);
    if (odone == 0) break;
    if ((long long)odone > want - put) odone = want > put ? (size_t)(want - put) : 0;
    going = putFloats(fout, odone, ch);
    put += (long long)odone;
  }
  memset(stereo, 0, 2 * DECODE_FRAMES * sizeof(short));
  while (going && !failed && put < want) {
    size_t n = want - put < DECODE_FRAMES ? (size_t)(want - put) : DECODE_FRAMES;
    going = putFrames(stereo, n);
    put += (long long)n;
  }
  decodedFrames = got;
  lengthAtPatchRate = want;
  complete = 1;
  queue.finish();
  return nullptr;
}

bool startRenderInput()
{
  decoderRunning = startRenderThread(&decoder, decoderMain);
  return decoderRunning;
}

void closeRenderInput()
{
  queue.cancel();
  if (decoderRunning) pthread_join(decoder, nullptr);
  decoderRunning = false;
  closeInputFile();
  queue.release();
  free(fin);
  free(fout);
  free(shorts);
  free(stereo);
  fin = fout = nullptr;
  shorts = stereo = nullptr;
}
