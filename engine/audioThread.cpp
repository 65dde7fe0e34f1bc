// The audio thread and the end of the program. The thread reads one device buffer (which paces
// it), runs one pass over the patch with the graph lock held, and writes the buffer back; it
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
#include "control/control.h"
#include "engine/blockRender.h"
#include "engine/realtime.h"
#include "engine/soundNode.h"
#include "monitor/monitor.h"
#include "samples/loopStore.h"

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

// Audio thread, graph lock held.
void pumpAllModules() QAF_NONBLOCKING
{
  for (int i = 0; i < MOD_EXEC_NUM; i++) Pump_Module(MOD_EXEC_ORDER[i]);
}

// The output fade of a preset switch. The UI thread asks (fadeWanted), the audio thread moves
// the gain one frame at a time and says when the output has gone silent.
#define FADE_FRAMES 220  // 5 ms at 44100 Hz
enum { FADE_NONE, FADE_OUT, FADE_IN };
static std::atomic<int> fadeWanted{FADE_NONE};
static std::atomic<int> fadeSilent{0};
static int fadeGain = FADE_FRAMES;  // audio thread only: frames of gain, FADE_FRAMES is unity
static std::atomic<long> passCount{0};

// Audio thread, graph lock held.
static void applyOutputFade() QAF_NONBLOCKING
{
  int want = fadeWanted.load(std::memory_order_acquire);
  if (want != FADE_OUT && fadeGain == FADE_FRAMES) return;
  short *b = (short *)buf;
  int frames = buf_size / 4;
  for (int i = 0; i < frames; i++) {
    if (want == FADE_OUT) {
      if (fadeGain > 0) fadeGain--;
    } else if (fadeGain < FADE_FRAMES) {
      fadeGain++;
    }
    b[2 * i] = (short)((int)b[2 * i] * fadeGain / FADE_FRAMES);
    b[2 * i + 1] = (short)((int)b[2 * i + 1] * fadeGain / FADE_FRAMES);
  }
  if (want == FADE_OUT && fadeGain == 0) fadeSilent.store(1, std::memory_order_release);
}

// Audio thread, graph lock held. The end of a pass, after Line Out: the output fade, the output
// meters and the pass count.
static void finishGraphPass() QAF_NONBLOCKING
{
  applyOutputFade();
  monitorPass((short *)buf, buf_size / 4);
  passCount.fetch_add(1, std::memory_order_relaxed);
}

// Audio thread, graph lock held.
void fadeGraphOutput() QAF_NONBLOCKING { applyOutputFade(); }

// Audio thread, graph lock held.
void finishGraphBlock(short *frames, int passes) QAF_NONBLOCKING
{
  monitorPass(frames, passes * (buf_size / 4), passes);
  passCount.fetch_add(passes, std::memory_order_relaxed);
}

// Audio thread, graph lock held.
void runGraphPass() QAF_NONBLOCKING
{
  monitorLineIn((const short *)buf, buf_size / 4);
  controlPass();
  pumpAllModules();
  finishGraphPass();
}

long passesRun() { return passCount.load(std::memory_order_relaxed); }

void fadeOutputForSwap()
{
  fadeSilent.store(0);
  fadeWanted.store(FADE_OUT, std::memory_order_release);
  // Waits for the silence, as long as passes keep coming; a stalled or absent device does not
  // hold the switch up.
  long seen = passesRun();
  long long lastProgress = g_get_monotonic_time();
  while (!fadeSilent.load(std::memory_order_acquire)) {
    g_usleep(500);
    long now = passesRun();
    if (now != seen) {
      seen = now;
      lastProgress = g_get_monotonic_time();
    } else if (g_get_monotonic_time() - lastProgress > 50000) {
      break;
    }
  }
}

void fadeOutputBackIn() { fadeWanted.store(FADE_IN, std::memory_order_release); }

// Audio thread. One turn of the device loop: read, pass, write. All of it is real-time code;
// the device read and write are its deliberate blocking calls (the graph lock's take and release
// are exempted where they are defined).
static int audioLoopOnce() QAF_NONBLOCKING
{
  int r;
  {
    QAF_RT_EXEMPT;
    r = read_sound();
  }
  if (r != 0) return -1;
  audioTakeGraphLock();
  runGraphPass();
  audioReleaseGraphLock();
  {
    QAF_RT_EXEMPT;
    write_sound();
  }
  return 0;
}

// Audio thread. The device loop's turn for a device with no deadline (a sound file): reads a
// block of buffers, runs them through the patch under one holding of the graph lock, and writes
// them, in the same order and with the same sound as one turn per buffer. The block's time is
// shared out evenly among its passes for the run's statistics.
static char blockFrames[RENDER_BLOCK_FRAMES * 4];
static int audioLoopBlock() QAF_NONBLOCKING
{
  int bytes = buf_size;
  int passes = blockPasses();
  if ((size_t)passes * bytes > sizeof blockFrames) passes = (int)(sizeof blockFrames / bytes);
  int n = 0, r = 0;
  {
    QAF_RT_EXEMPT;
    while (n < passes && (r = readSoundUntimed()) == 0) {
      memcpy(blockFrames + (size_t)n * bytes, buf, (size_t)bytes);
      n++;
    }
  }
  if (n == 0) return -1;
  long long start = monoNs();
  audioTakeGraphLock();
  runGraphBlock(blockFrames, n);
  audioReleaseGraphLock();
  noteBlockTime(monoNs() - start, n);
  {
    QAF_RT_EXEMPT;
    for (int p = 0; p < n; p++) {
      memcpy(buf, blockFrames + (size_t)p * bytes, (size_t)bytes);
      writeSoundUntimed();
    }
  }
  return r == 0 ? 0 : -1;
}

// Audio thread.
void *audio_thread_start(void *)
{
  printf("audio thread started!\n");
  struct sched_param sp;
  memset(&sp, 0, sizeof sp);
  sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
  if (sched_setscheduler(0, SCHED_FIFO, &sp) != 0)
    printf("Can't get realtime priority for audio thread.\n");

  bool blocks = soundDeviceIsOffline();
  for (;;) {
    if ((blocks ? audioLoopBlock() : audioLoopOnce()) != 0) {
      if (stopRequested.load()) break;
      printf("Audio thread terminating!\n");
      // Shutdown got there first: it is waiting to join this thread.
      if (!claimProgramEnd()) break;
      // Closing lets a device back end finish what it writes. The UI thread may still be busy,
      // so the program ends without running exit handlers under its feet.
      reportSoundStats();
      close_sound();
      fflush(nullptr);
      _exit(sound_run_failed.load() ? 1 : 0);
    }
  }
  return nullptr;
}

int audio_thread_launch(void *(*body)(void *))
{
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
  int r = pthread_create(&audio_thread, nullptr, body, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (r != 0) return -1;
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
  if (!audio_thread_stop()) {
    // It is stuck inside the device: leave everything it may still touch as it is.
    fprintf(stderr, "Audio thread did not stop; ending without closing the sound device.\n");
    fflush(nullptr);
    _exit(0);
  }
  stopBlockRender();
  reportSoundStats();
  close_sound();
  Clean_SoundNode_Data();
  cleanLoops();
  exit(sound_run_failed.load() ? 1 : 0);
}
