// Sound files (sndfile/: the file render's reader, writer and device, and the sample slots' WAV
// loader). This file: the sound-file back end (-d file:IN:OUT), which renders a recording
// through the patch as fast as the passes run. Open checks IN and OUT and starts the decoder and
// the encoder (renderReader.cpp, renderWriter.cpp); the audio thread's read takes one buffer of
// converted input from the input queue and its write puts the rendered buffer into the output
// queue: a copy each, with no lock and no allocation. They wait only when the decoder has not
// caught up or the encoder has fallen a whole queue behind (a render has no deadline). Close
// completes OUT. A progress line goes to the error stream from a thread of its own, at most ten
// times a second.
#include <math.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "sndfile/renderFile.h"

// The quality of both conversions: libsoxr's "high quality" recipe with its steep filter:
// 20-bit precision (beyond the patch's 16 bits), linear phase, flat to within 0.01 dB up to
// 98% of the lower rate's Nyquist frequency (10.8 kHz of a 22050 Hz recording, 21.7 kHz at
// 44100 Hz). The converter takes its own delay out, so a render keeps the input's timing sample
// for sample.
static const unsigned long CONVERT_QUALITY = SOXR_HQ | SOXR_STEEP_FILTER;

soxr_t makeConverter(double from, double to, unsigned channels, soxr_datatype_t inType,
                     const char **err)
{
  soxr_io_spec_t io = soxr_io_spec(inType, SOXR_FLOAT32_I);
  soxr_quality_spec_t q = soxr_quality_spec(CONVERT_QUALITY, 0);
  soxr_error_t e = nullptr;
  // The channels are converted side by side on two threads.
  soxr_runtime_spec_t rt = soxr_runtime_spec(2);
  soxr_t s = soxr_create(from, to, channels, &e, &io, &q, &rt);
  *err = e;
  return e ? nullptr : s;
}

bool startRenderThread(pthread_t *thread, void *(*body)(void *))
{
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  int r = pthread_create(thread, nullptr, body, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return r == 0;
}

static std::atomic<bool> opened{false};  // the files are open and the helper threads run
// The audio thread's count of frames handed to the patch and put into the output queue, and of
// the last, partial buffer (-1: none yet); the closing thread reads them once it has stopped.
static std::atomic<long long> readPos{0};
static std::atomic<long long> outFrames{0};
static std::atomic<int> tailFrames{-1};
static std::atomic<int> interrupted{0};
static bool finished = false;  // under finishLock
static std::atomic<bool> discard{false};
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
    long long done = framesDone.load(), total = renderInputLength();
    double wall = wallSeconds();
    double speed = wall > 0 ? (double)done / PATCH_RATE / wall : 0.0;
    if (total > 0)
      fprintf(stderr, "\rRendering: %3d%%, %.1f s of %.1f s, %.1fx real time  ",
              done < total ? (int)(done * 100 / total) : 100, (double)done / PATCH_RATE,
              (double)total / PATCH_RATE, speed);
    else
      fprintf(stderr, "\rRendering: %.1f s, %.1fx real time  ", (double)done / PATCH_RATE, speed);
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
  int major = renderOutputFormat(wav_out_path);
  if (!major || !openRenderInput(wav_in_path, wav_out_path)) return -1;
  const SF_INFO &in = renderInputInfo();
  int rate = wav_out_rate > 0 ? wav_out_rate : in.samplerate;
  if (!openRenderOutput(wav_out_path, major, in, rate)) {
    closeRenderInput();
    return -1;
  }
  buf = (char *)malloc((size_t)size);
  if (buf) memset(buf, 0, (size_t)size);  // no fresh page for the audio thread
  if (!buf || !startRenderInput() || !startRenderOutput()) {
    fprintf(stderr, "%s: not enough memory or threads to render it\n", wav_in_path.c_str());
    closeRenderInput();
    dropRenderOutput();
    free(buf);
    buf = nullptr;
    return -1;
  }
  buf_size = size;
  readPos = 0;
  outFrames = 0;
  tailFrames = -1;
  finished = false;
  discard = false;
  interrupted = 0;
  framesDone = 0;
  startedAt = endedAt = 0;
  progressStop = false;
  progressRunning = startRenderThread(&progressThread, progressMain);
  char length[64] = "";
  if (in.frames < SF_COUNT_MAX)
    snprintf(length, sizeof length, ", %.1f s", (double)in.frames / in.samplerate);
  printf("Rendering %s (%d Hz, %s, %s%s) to %s\n", wav_in_path.c_str(), in.samplerate,
         widthName(in.format).c_str(), in.channels == 1 ? "mono" : "stereo", length,
         wav_out_path.c_str());
  opened = true;
  sound_opened = 1;
  return 0;
}

// Audio thread. One buffer of the converted input, waiting for the decoder if it has not caught
// up; the last, partial one is filled up with silence and only its real frames are kept. The
// read after it ends the run, as does an input that cannot be read on or an output that cannot
// be written.
static int wavRead()
{
  if (!buf || !opened) {
    fprintf(stderr, "reading from audio card: no input file is open\n");
    return -1;
  }
  if (interrupted || renderInputFailure() || renderOutputFailure()) return -1;
  if (!startedAt.load()) startedAt = monoNs();
  int frames = buf_size / 4;
  frameQueue &q = renderInputQueue();
  size_t n = tailFrames.load(std::memory_order_relaxed) >= 0 ? 0 : q.waitForFrames((size_t)frames);
  if (n == 0 || interrupted || renderInputFailure()) {
    if (!endedAt.load()) endedAt = monoNs();
    return -1;
  }
  if (n > (size_t)frames) n = (size_t)frames;
  q.pop((short *)buf, n);
  if (n < (size_t)frames) {
    memset(buf + n * 4, 0, (size_t)(frames - (int)n) * 4);
    tailFrames = (int)n;
  }
  readPos.store(readPos.load(std::memory_order_relaxed) + (long long)n, std::memory_order_relaxed);
  return 0;
}

// Audio thread. The buffer's real frames into the output queue, waiting for room if the encoder
// has fallen that far behind. (Reads may run a block ahead of the writes, so the count read, not
// the read's tail, says which buffer is the last.)
static int wavWrite()
{
  if (!buf || !opened) {
    fprintf(stderr, "writing to audio card: no output file is open\n");
    return -1;
  }
  int frames = buf_size / 4;
  long long out = outFrames.load(std::memory_order_relaxed);
  long long in = readPos.load(std::memory_order_relaxed);
  if (out + frames > in) frames = (int)(in - out);
  frameQueue &q = renderOutputQueue();
  if (frames <= 0 || !q.waitForSpace((size_t)frames)) return 0;  // a failed encoder ends the run
  q.push((const short *)buf, (size_t)frames);
  outFrames.store(out + frames, std::memory_order_relaxed);
  framesDone.store(framesDone.load(std::memory_order_relaxed) + frames, std::memory_order_relaxed);
  return 0;
}

// Either thread, once, at the end of the run (the audio thread after its last read, or shutdown):
// stops the progress line and completes OUT with what was rendered. A run stopped before the end
// of the input still leaves a complete file of what was rendered, unless the run was abandoned
// before it started (wavDiscardRender); an input that could not be read to its end or an output
// that could not be written fails the run and leaves no file.
static void wavClose()
{
  pthread_mutex_lock(&finishLock);
  if (!finished && opened) {
    finished = true;
    if (!endedAt.load() && startedAt.load()) endedAt = monoNs();
    // The end of the output waits for the encoder and the disk: not at the audio thread's
    // real-time priority, which would hold a core away from everything else meanwhile.
    struct sched_param normal;
    memset(&normal, 0, sizeof normal);
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    closeRenderInput();
    bool complete = renderInputComplete() && outFrames == renderInputLength();
    const SF_INFO &in = renderInputInfo();
    stopProgress();
    const char *readFailure = renderInputFailure();
    if (discard) {
      dropRenderOutput();
    } else if (readFailure) {
      fprintf(stderr, "%s\n", readFailure);
      dropRenderOutput();
      sound_run_failed = 1;
    } else {
      // A complete render at the input's rate has exactly the input's length.
      int rate = renderOutputRate();
      long long target = complete && rate == in.samplerate
                             ? renderInputDecodedFrames()
                             : llround((double)outFrames * rate / PATCH_RATE);
      if (!finishRenderOutput(target)) sound_run_failed = 1;
    }
  }
  stopProgress();
  pthread_mutex_unlock(&finishLock);
  opened = false;
  free(buf);
  buf = nullptr;
  sound_opened = 0;
}

// Any thread, never blocks: a read waiting for the decoder gives up, and none starts again.
static void wavInterrupt()
{
  interrupted = 1;
  if (opened) renderInputQueue().cancel();
}

static long wavXruns() { return 0; }

void wavDiscardRender() { discard = true; }

const soundBackend wavBackend = {"file",       wavOpen,  wavRead,  wavWrite,
                                 wavInterrupt, wavClose, wavXruns, true};
