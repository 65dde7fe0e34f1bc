// The audio thread and the end of the program. The thread reads one device buffer (which paces
// it), runs one pass over the newest published graph, and writes the buffer back; it
// prints nothing, allocates nothing and waits on nothing else inside that loop. Either thread may
// end the program: the audio thread when the device fails, the UI thread when the main loop
// returns; whichever comes first does it, once, with status 0 (1 when a back end could not
// complete its output file).
#include "engine/audioThread.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "engine/blockRender.h"
#include "base/realtime.h"
#include "base/rtMemory.h"
#include "engine/soundNode.h"
#include "modules/pump.h"
#include "engine/taps.h"

pthread_t audio_thread;

static std::atomic<int> audioLaunched{0};
static std::atomic<int> stopRequested{0};
static std::atomic<int> programEnding{0};

// The signal that shutdown sends the audio thread to break a blocking device read. Its handler
// does nothing: the interrupted read is the whole point.
#define AUDIO_WAKE_SIGNAL SIGRTMIN
// Audio thread (a signal handler).
static void wakeHandler(int) {}

// Either thread. 1 for the first thread that asks, 0 for any later one.
static int claimProgramEnd()
{
  int expected = 0;
  return programEnding.compare_exchange_strong(expected, 1) ? 1 : 0;
}

// Audio thread, inside a pass.
static void pumpGraph() QAF_NONBLOCKING
{
  takeReturnedChunks();  // what records that left the patch held, back into the pool
  const runGraph *g = passGraph;
  for (int i = 0; i < g->execNum; i++) Pump_Module(g->execOrder[i]);
}

// Audio thread (tests call it alone, outside any pass).
void pumpAllModules() QAF_NONBLOCKING
{
  beginGraphPass();
  pumpGraph();
  endGraphPass();
}

// ---- The output stage ---------------------------------------------------------------------------
// One ramped gain between Line Out and the device serves every change of level: the fade around
// a swap of the patch, the tuner's mute, the fade in from silence when a live device starts and
// the fade out before it stops. The gain moves one step per frame, so nothing is ever a hard
// cut. A fade lasts about 5 ms, rounded up to whole passes, so that a fade out that starts with a
// pass ends with one: a swap then goes from the last faded frame of the old patch straight into
// the first frame of the new one's fade in. Editors set the reasons for silence; the audio thread
// alone moves the gain and says when the output has gone silent.
#define FADE_FRAMES 220  // 5 ms at 44100 Hz
enum { HOLD_STOP = 1 };
static std::atomic<int> outputHolds{0};
static std::atomic<int> outputSilent{0};
// Audio thread only: the gain is gainPos / fadeLen.
static int fadeLen = FADE_FRAMES;
static int gainPos = FADE_FRAMES;
static bool swapFade = false;
static std::atomic<long> passCount{0};

// Audio thread. The fade's length for passes of n frames; the gain keeps its level.
static void fitFade(int n) QAF_NONBLOCKING
{
  int len = n > 0 ? (FADE_FRAMES + n - 1) / n * n : FADE_FRAMES;
  if (len == fadeLen) return;
  gainPos = (int)((long long)gainPos * len / fadeLen);
  fadeLen = len;
}

// Audio thread, inside a pass. Ramps the gain over n frames of b.
static void applyOutputStage(short *b, int frames) QAF_NONBLOCKING
{
  fitFade(frames);
  bool quiet = swapFade || outputHolds.load(std::memory_order_acquire) != 0 ||
               (taps.muted && taps.muted());
  int target = quiet ? 0 : fadeLen;
  if (gainPos == target) {
    if (target == 0) {
      memset(b, 0, (size_t)frames * 4);
      outputSilent.store(1, std::memory_order_release);
    }
    return;
  }
  int step = target > gainPos ? 1 : -1;
  for (int i = 0; i < frames; i++) {
    if (gainPos != target) gainPos += step;
    b[2 * i] = (short)((int)b[2 * i] * gainPos / fadeLen);
    b[2 * i + 1] = (short)((int)b[2 * i + 1] * gainPos / fadeLen);
  }
  if (gainPos == 0) outputSilent.store(1, std::memory_order_release);
}

// Audio thread, as a pass starts.
bool outputFadedOut() QAF_NONBLOCKING { return gainPos == 0; }
void swapFadePending(bool pending) QAF_NONBLOCKING { swapFade = pending; }

// The gain is the audio side's own and starts afresh with every run; the reasons for silence are
// the editors' requests, each of which its editor takes back when done.
void resetOutputStage(bool fadeIn)
{
  swapFade = false;
  gainPos = fadeIn ? 0 : fadeLen;
}

// Audio thread, inside a pass. The end of a pass, after Line Out: the output stage, the output
// meters and the pass count.
static void finishGraphPass() QAF_NONBLOCKING
{
  applyOutputStage((short *)buf, buf_size / 4);
  if (taps.lineOut) taps.lineOut((short *)buf, buf_size / 4, 1);
  passCount.fetch_add(1, std::memory_order_relaxed);
}

// Audio thread, inside a block.
void fadeGraphOutput() QAF_NONBLOCKING { applyOutputStage((short *)buf, buf_size / 4); }

// Audio thread, inside a block.
void finishGraphBlock(short *frames, int passes) QAF_NONBLOCKING
{
  if (taps.lineOut) taps.lineOut(frames, passes * (buf_size / 4), passes);
  passCount.fetch_add(passes, std::memory_order_relaxed);
}

// Audio thread, inside a pass: the pass itself, between Line In's arrival in buf and Line Out's
// departure from it.
void runPassBody() QAF_NONBLOCKING
{
  if (taps.lineIn) taps.lineIn((const short *)buf, buf_size / 4);
  if (taps.beforePass) taps.beforePass();
  pumpGraph();
  finishGraphPass();
}

// Page faults of the threads that run passes, counted from each one's first pass: after it,
// every page a pass touches must already be there, even across a fork.
static std::atomic<long> passFaults{0};
static long faultBase = -1;  // the pass thread's; a run starts it again
static unsigned faultCheck = 0;

// Audio thread, after a pass. The count is read every 64 passes (and as the thread ends): a
// system call, but no I/O and no wait.
static void notePassFaults(bool now) QAF_NONBLOCKING
{
  if (faultBase < 0) {
    faultBase = rtThreadPageFaults();
    return;
  }
  if (!now && (++faultCheck & 63) != 0) return;
  long n = rtThreadPageFaults() - faultBase;
  if (n > passFaults.load(std::memory_order_relaxed)) passFaults.store(n, std::memory_order_relaxed);
}

long audioPageFaults() { return passFaults.load(std::memory_order_relaxed); }

// Audio thread (or a device's real-time callback).
void runGraphPass() QAF_NONBLOCKING
{
  beginGraphPass();
  runPassBody();
  endGraphPass();
  notePassFaults(false);
}

// Either thread, at the end of the run: the device's figures, then the engine's.
static void reportRunStats()
{
  if (!reportSoundStats()) return;
  // How long edits kept the editors' lock (a pass never waits for it).
  fprintf(stderr, "Graph lock: longest holding %.1f us, longest wait %.1f us\n",
          worstGraphHoldNs() / 1000.0, worstGraphWaitNs() / 1000.0);
  fprintf(stderr, "Audio thread: %ld page faults after its first pass\n", audioPageFaults());
}

long passesRun() { return passCount.load(std::memory_order_relaxed); }

// UI thread. Sets or clears a reason for silence and, when setting one, waits until the silence
// has gone out, as long as passes keep coming: a stalled or absent device holds nothing up.
static void holdOutput(int reason, bool on)
{
  if (!on) {
    outputHolds.fetch_and(~reason, std::memory_order_release);
    return;
  }
  outputSilent.store(0);
  outputHolds.fetch_or(reason, std::memory_order_release);
  // A pass that has not come within three periods (and at least 5 ms) is not coming.
  long long periodUs = (long long)(sound_buffer_size / 4) * 1000000 / 44100;
  long long stall = periodUs * 3 < 5000 ? 5000 : periodUs * 3;
  long seen = passesRun();
  long long lastProgress = g_get_monotonic_time();
  while (!outputSilent.load(std::memory_order_acquire)) {
    g_usleep(250);
    long now = passesRun();
    if (now != seen) {
      seen = now;
      lastProgress = g_get_monotonic_time();
    } else if (g_get_monotonic_time() - lastProgress > stall) {
      break;
    }
  }
}

void fadeOutputForStop() { holdOutput(HOLD_STOP, true); }

// Audio thread. One turn of the device loop: read, pass, write. All of it is real-time code;
// the device read and write are its deliberate blocking calls.
static int audioLoopOnce() QAF_NONBLOCKING
{
  int r;
  QAF_RT_EXEMPT_BEGIN
  r = read_sound();
  QAF_RT_EXEMPT_END
  if (r != 0) return -1;
  runGraphPass();
  QAF_RT_EXEMPT_BEGIN
  write_sound();
  QAF_RT_EXEMPT_END
  return 0;
}

// Audio thread. The device loop's turn for a device with no deadline (a sound file): reads a
// block of buffers, runs them through the patch as one pass of the graph, and writes
// them, in the same order and with the same sound as one turn per buffer. The block's time is
// shared out evenly among its passes for the run's statistics.
static char blockFrames[RENDER_BLOCK_FRAMES * 4];
static int audioLoopBlock() QAF_NONBLOCKING
{
  int bytes = buf_size;
  int passes = blockPasses();
  if ((size_t)passes * bytes > sizeof blockFrames) passes = (int)(sizeof blockFrames / bytes);
  int n = 0, r = 0;
  QAF_RT_EXEMPT_BEGIN
  while (n < passes && (r = readSoundUntimed()) == 0) {
    memcpy(blockFrames + (size_t)n * bytes, buf, (size_t)bytes);
    n++;
  }
  QAF_RT_EXEMPT_END
  if (n == 0) return -1;
  long long start = monoNs();
  runGraphBlock(blockFrames, n);
  noteBlockTime(monoNs() - start, n);
  QAF_RT_EXEMPT_BEGIN
  for (int p = 0; p < n; p++) {
    memcpy(buf, blockFrames + (size_t)p * bytes, (size_t)bytes);
    writeSoundUntimed();
  }
  QAF_RT_EXEMPT_END
  return r == 0 ? 0 : -1;
}

// Audio thread.
void *audio_thread_start(void *)
{
  printf("audio thread started!\n");
  bool blocks = soundDeviceIsOffline();
  // A file render has no deadline and waits on its second thread, which runs at normal
  // priority: at real-time priority it would only spin against it.
  if (!blocks) {
    struct sched_param sp;
    memset(&sp, 0, sizeof sp);
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
    if (sched_setscheduler(0, SCHED_FIFO, &sp) != 0)
      printf("Can't get realtime priority for audio thread.\n");
  }
  // Every run starts afresh: a live device fades in from silence, a file renders as it is.
  resetOutputStage(!blocks);
  for (;;) {
    if ((blocks ? audioLoopBlock() : audioLoopOnce()) != 0) {
      if (stopRequested.load()) break;
      // Shutdown got there first (it may be fading the output out): it will join this thread.
      if (!claimProgramEnd()) break;
      printf("Audio thread terminating!\n");
      // Closing lets a device back end finish what it writes. The UI thread may still be busy,
      // so the program ends without running exit handlers under its feet.
      notePassFaults(true);
      reportRunStats();
      close_sound();
      fflush(nullptr);
      _exit(sound_run_failed.load() ? 1 : 0);
    }
  }
  return nullptr;
}

// The audio thread's own stack: kept out of forks with the rest of its memory, locked, and
// written through before the thread starts.
#define AUDIO_STACK_BYTES (512 * 1024)

int audio_thread_launch(void *(*body)(void *))
{
  static void *stack = rtThreadStack(AUDIO_STACK_BYTES);
  passFaults.store(0);
  faultBase = -1;
  stopRequested.store(0);
  // A sound file is rendered in blocks; without the memory or the second thread for them, it
  // is rendered one pass at a time.
  if (soundDeviceIsOffline()) prepareBlockRender();
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = wakeHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: the blocking read must come back with EINTR
  sigaction(AUDIO_WAKE_SIGNAL, &sa, nullptr);

  // Signals from outside (Ctrl-C, a termination request) are the UI thread's to handle; the
  // audio thread, which inherits this mask, sees only shutdown's wake-up and its own faults.
  sigset_t blocked, old;
  sigfillset(&blocked);
  for (int s : {AUDIO_WAKE_SIGNAL, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP})
    sigdelset(&blocked, s);
  pthread_sigmask(SIG_BLOCK, &blocked, &old);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack) pthread_attr_setstack(&attr, stack, AUDIO_STACK_BYTES);
  // From now on a fork (by any library) leaves the audio thread's memory out of the child.
  rtKeepFromForks(true);
  int r = pthread_create(&audio_thread, &attr, body, nullptr);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (r != 0) {
    rtKeepFromForks(false);
    return -1;
  }
  audioLaunched.store(1);
  return 0;
}

bool audio_thread_stop()
{
  if (!audioLaunched.load()) return true;
  stopRequested.store(1);
  interrupt_sound();
  // The signal may land just before the thread enters its read, so it is sent again until
  // the thread has gone; a device that delivers data ends the read within one buffer anyway.
  for (int waited = 0; waited < 3000; waited += 10) {
    pthread_kill(audio_thread, AUDIO_WAKE_SIGNAL);
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    t.tv_nsec += 10 * 1000 * 1000;
    if (t.tv_nsec >= 1000000000L) {
      t.tv_sec++;
      t.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(audio_thread, nullptr, &t) == 0) {
      audioLaunched.store(0);
      rtKeepFromForks(false);
      return true;
    }
  }
  return false;
}

void shutdown_program()
{
  if (!claimProgramEnd()) {
    // The audio thread is closing the device and ending the program.
    for (;;) pause();
  }
  // A live device fades out rather than stopping on a hard cut; a file is rendered as it is.
  if (!soundDeviceIsOffline()) fadeOutputForStop();
  if (!audio_thread_stop()) {
    // It is stuck inside the device: leave everything it may still touch as it is.
    fprintf(stderr, "Audio thread did not stop; ending without closing the sound device.\n");
    fflush(nullptr);
    _exit(0);
  }
  stopBlockRender();
  reportRunStats();
  close_sound();
  Clean_SoundNode_Data();
  if (taps.cleanUp) taps.cleanUp();
  exit(sound_run_failed.load() ? 1 : 0);
}
