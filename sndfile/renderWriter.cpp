// Sound files (sndfile/: the file render's reader, writer and device, and the sample slots' WAV
// loader). This file: the render's output. At open it chooses the format (OUT's extension, the
// input's sample width where the format has it) and creates the file without a name in OUT's
// folder (a hidden temporary name where the file system cannot do that); an encoder thread then
// takes the rendered sound from the output queue, converts it to the output rate (libsoxr) and
// writes it with libsndfile, a little behind the render. At the end the file is made exactly as
// long as it should be, flushed to the disk and given OUT's name, so OUT is either complete or not
// there; a render that fails or is abandoned leaves nothing behind.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "sndfile/renderFile.h"

// The encoder takes the render in steps of ENCODE_FRAMES (1.5 s), as QAF's writer always has:
// an encoder whose output depends on how its sound comes (Vorbis) makes the same file as ever.
// The queue holds four steps (6 s of sound, 6 ms at a thousand times real time: time enough for
// the encoder to be given a processor, while the queue stays in the cache). Being a whole number
// of steps, it never splits one at its end.
#define ENCODE_FRAMES 65536
#define OUTPUT_QUEUE_FRAMES (4 * ENCODE_FRAMES)
#define PAD_FRAMES 64  // frames of silence written at a time to make up the length

static std::string outName, tmpName;
static int outFd = -1;
static bool unnamed = false;  // outFd is a file with no name yet (O_TMPFILE)
static SNDFILE *outFile = nullptr;
static SF_INFO outInfo;
static soxr_t conv = nullptr;
static frameQueue queue;
static pthread_t encoder;
static bool encoderRunning = false;
// The encoder's buffers: converted frames, and frames narrowed to the output's width. (Plain
// memory: nothing is freed under an encoder that still runs while the program exits.)
static float *fout = nullptr;
static short *narrow = nullptr;
static size_t convertedCap = 0;  // frames the converter may give per call
static std::atomic<long long> written{0};  // frames in the file (encoder, then the closing thread)
static std::atomic<int> failed{0};
static char failure[1024];

frameQueue &renderOutputQueue() { return queue; }
const char *renderOutputFailure() { return failed.load() ? failure : nullptr; }
int renderOutputRate() { return outInfo.samplerate; }

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

int renderOutputFormat(const std::string &path)
{
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    std::string ext = path.substr(dot + 1);
    for (const outFormat &f : outFormats)
      if (strcasecmp(ext.c_str(), f.ext) == 0) return f.major;
  }
  fprintf(stderr, "%s: QAF writes .wav, .flac, .ogg, .aiff, .w64 or .caf files\n", path.c_str());
  return 0;
}

std::string widthName(int format)
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

// ---- The file -----------------------------------------------------------------------------------

static std::string folderOf(const std::string &path)
{
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

static std::string hiddenName(const std::string &path)
{
  size_t slash = path.rfind('/');
  return folderOf(path) + "." + (slash == std::string::npos ? path : path.substr(slash + 1)) +
         ".qaf-";
}

static std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Main thread. A new file in OUT's folder, with the permissions a new file gets: without a name
// where the file system allows (so that even a run killed outright leaves nothing behind), else
// under a hidden name no one else uses. Its descriptor, or -1 after saying why.
static int makeOutputFile(const std::string &out)
{
  std::string dir = folderOf(out);
  int fd = open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  struct stat st;
  if (fd >= 0 && stat(procPath(fd).c_str(), &st) == 0) {
    unnamed = true;  // it can be linked into the folder at the end
    return fd;
  }
  if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
    fprintf(stderr, "creating output file %s: %s\n", out.c_str(), strerror(errno));
    return -1;
  }
  if (fd >= 0) close(fd);
  unnamed = false;
  tmpName = hiddenName(out) + "XXXXXX";
  fd = mkostemp(&tmpName[0], O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "creating output file %s: %s\n", out.c_str(), strerror(errno));
    tmpName.clear();
    return -1;
  }
  mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  return fd;
}

// Either thread, at the end. Gives the flushed file OUT's name; false with errno set.
static bool nameOutputFile()
{
  if (unnamed) {
    // Linked in under a hidden name first: rename then puts it in place of any earlier OUT
    // at one stroke.
    for (int tries = 0;; tries++) {
      tmpName = hiddenName(outName) + std::to_string(getpid()) + "-" + std::to_string(tries);
      if (linkat(AT_FDCWD, procPath(outFd).c_str(), AT_FDCWD, tmpName.c_str(),
                 AT_SYMLINK_FOLLOW) == 0)
        break;
      if (errno != EEXIST || tries == 100) {
        tmpName.clear();
        return false;
      }
    }
  }
  if (rename(tmpName.c_str(), outName.c_str()) != 0) return false;
  tmpName.clear();
  return true;
}

static void closeOutputFile()
{
  if (outFile) sf_close(outFile);
  outFile = nullptr;
  if (outFd >= 0) close(outFd);
  outFd = -1;
  if (!tmpName.empty()) unlink(tmpName.c_str());
  tmpName.clear();
  if (conv) soxr_delete(conv);
  conv = nullptr;
  free(fout);
  free(narrow);
  fout = nullptr;
  narrow = nullptr;
}

bool openRenderOutput(const std::string &out, int major, const SF_INFO &in, int rate)
{
  outName = out;
  const char *op = out.c_str();
  memset(&outInfo, 0, sizeof outInfo);
  outInfo.samplerate = rate;
  outInfo.channels = 2;
  int sub = outputSubtype(major, in.format, rate);
  outInfo.format = major | sub;
  if (!sub || !canEncode(outInfo)) {
    fprintf(stderr, "%s: this format cannot hold stereo sound at %d Hz\n", op, rate);
    return false;
  }
  const char *err = nullptr;
  if (rate != PATCH_RATE && !(conv = makeConverter(PATCH_RATE, rate, 2, SOXR_INT16_I, &err))) {
    fprintf(stderr, "%s: cannot convert %d Hz to %d Hz: %s\n", op, PATCH_RATE, rate, err);
    return false;
  }
  outFd = makeOutputFile(out);
  if (outFd >= 0) {
    // libsndfile is given a descriptor of its own (it closes the one it gets when it refuses
    // it): the file stays open after libsndfile is done with it, to be flushed and named.
    int sfFd = fcntl(outFd, F_DUPFD_CLOEXEC, 0);
    outFile = sfFd >= 0 ? sf_open_fd(sfFd, SFM_WRITE, &outInfo, SF_TRUE) : nullptr;
    if (!outFile)
      fprintf(stderr, "creating output file %s: %s\n", op, sf_strerror(nullptr));
  }
  if (outFile) {
    // Integer formats clip what lies beyond full scale instead of wrapping it round.
    sf_command(outFile, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // The converter gives at most a step's worth at the new rate per call, plus what it holds.
    convertedCap = (size_t)((double)ENCODE_FRAMES * rate / PATCH_RATE) + 64;
    fout = (float *)calloc(convertedCap * 2, sizeof(float));
    narrow = (short *)calloc((convertedCap > ENCODE_FRAMES ? convertedCap : ENCODE_FRAMES) * 2,
                             sizeof(short));
    written = 0;
    failed = 0;
    if (fout && narrow && queue.make(OUTPUT_QUEUE_FRAMES)) return true;
    fprintf(stderr, "%s: not enough memory to write it\n", op);
  }
  closeOutputFile();
  queue.release();
  return false;
}

// ---- The encoder --------------------------------------------------------------------------------

// 8 or 16 when the output holds integers of that width, else 0 (wider, float, or a codec's).
static int outBits()
{
  int sub = outInfo.format & SF_FORMAT_SUBMASK;
  if (sub == SF_FORMAT_PCM_16) return 16;
  return sub == SF_FORMAT_PCM_S8 || sub == SF_FORMAT_PCM_U8 ? 8 : 0;
}

// A sample (full scale 1.0) rounded to the output's width, as a 16-bit value that libsndfile
// then stores unchanged: its own narrowing from float or 16 bits scales by 32767 or truncates,
// which costs a 16-bit render several dB of its noise floor.
static short toOutWidth(float x, int bits)
{
  float scale = bits == 8 ? 128.0f : 32768.0f;
  long q = lrintf(x * scale);
  if (!(x == x)) q = 0;
  if (q > (long)scale - 1) q = (long)scale - 1;
  if (q < -(long)scale) q = -(long)scale;
  return (short)(q * (long)(32768.0f / scale));
}

// Encoder thread, or the closing thread once the encoder has stopped. Writes frames at the
// output rate; false after keeping the reason.
static bool writeConverted(const float *x, size_t frames)
{
  int bits = outBits();
  bool ok;
  if (bits) {
    for (size_t i = 0; i < 2 * frames; i++) narrow[i] = toOutWidth(x[i], bits);
    ok = sf_writef_short(outFile, narrow, (sf_count_t)frames) == (sf_count_t)frames;
  } else {
    ok = sf_writef_float(outFile, x, (sf_count_t)frames) == (sf_count_t)frames;
  }
  written += (long long)frames;
  return ok;
}

// Encoder thread. Frames of the render (at 44100 Hz) into the file.
static bool writeRendered(const short *x, size_t frames)
{
  if (conv) {
    size_t used = 0;
    while (used < frames) {
      size_t idone = 0, odone = 0;
      soxr_process(conv, x + 2 * used, frames - used, &idone, fout, convertedCap, &odone);
      if (odone && !writeConverted(fout, odone)) return false;
      used += idone;
      if (idone == 0 && odone == 0) break;
    }
    return true;
  }
  if (outBits() == 8) {
    for (size_t i = 0; i < 2 * frames; i++) narrow[i] = toOutWidth(x[i] / 32768.0f, 8);
    x = narrow;
  }
  written += (long long)frames;
  return sf_writef_short(outFile, x, (sf_count_t)frames) == (sf_count_t)frames;
}

static void keepWriteFailure(const char *why)
{
  snprintf(failure, sizeof failure, "writing output file %s: %s", outName.c_str(), why);
  failed = 1;
}

// The encoder thread: writes the render a step at a time as it comes, and what is left once the
// render says it is over. A failed write stops it and the render with it.
static void *encoderMain(void *)
{
  for (;;) {
    size_t n = queue.waitForFrames(ENCODE_FRAMES);
    if (n == 0) break;
    if (n > ENCODE_FRAMES) n = ENCODE_FRAMES;
    size_t span;
    const short *x = queue.readSpan(&span);  // all n of them: steps never wrap round
    if (n > span) n = span;
    if (!writeRendered(x, n)) {
      keepWriteFailure(sf_strerror(outFile));
      queue.cancel();
      break;
    }
    queue.take(n);
    // The disk starts on what is written while the render goes on: the flush at the end then
    // waits for the last steps only.
    sync_file_range(outFd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  return nullptr;
}

bool startRenderOutput()
{
  encoderRunning = startRenderThread(&encoder, encoderMain);
  return encoderRunning;
}

static void stopEncoder()
{
  if (encoderRunning) pthread_join(encoder, nullptr);
  encoderRunning = false;
}

bool finishRenderOutput(long long target)
{
  queue.finish();
  stopEncoder();
  bool ok = !failed;
  // What the converter still holds, up to the length the file should have.
  while (ok && conv && written < target) {
    size_t odone = 0;
    soxr_process(conv, nullptr, 0, nullptr, fout, convertedCap, &odone);
    if (odone == 0) break;
    if ((long long)odone > target - written) odone = (size_t)(target - written);
    ok = writeConverted(fout, odone);
  }
  // The converter may come out a frame short of the length the input had.
  static const float zeros[2 * PAD_FRAMES] = {0};
  while (ok && written < target) {
    sf_count_t n = target - written < PAD_FRAMES ? target - written : PAD_FRAMES;
    ok = sf_writef_float(outFile, zeros, n) == n;
    written += n;
  }
  if (!failed && !ok) keepWriteFailure(sf_strerror(outFile));
  if (!failed) {
    // The header is complete once libsndfile closes; then everything goes to the disk before
    // the file takes OUT's name.
    int closed = sf_close(outFile);
    outFile = nullptr;
    if (closed != 0)
      keepWriteFailure(sf_error_number(closed));
    else if (fsync(outFd) != 0 || !nameOutputFile())
      keepWriteFailure(strerror(errno));
  }
  if (failed) {
    fprintf(stderr, "%s\n", failure);
    closeOutputFile();
    queue.release();
    return false;
  }
  closeOutputFile();
  queue.release();
  printf("Wrote %s (%d Hz, %s, stereo, %.1f s)\n", outName.c_str(), outInfo.samplerate,
         widthName(outInfo.format).c_str(), (double)target / outInfo.samplerate);
  return true;
}

void dropRenderOutput()
{
  queue.cancel();
  stopEncoder();
  closeOutputFile();
  queue.release();
}
