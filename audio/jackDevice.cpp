// The JACK back end: a client "qaf" with ports in_1, in_2, out_1, out_2. JACK drives the passes:
// its process callback converts the two input ports into the device buffer, runs one pass (the
// period call installed above it, see period.h) and converts the buffer back out. The audio thread only activates the client and then waits in its
// read until the client is closed or the server goes away; that read then fails and ends the run.
#include <jack/jack.h>
#include <jack/midiport.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "audio/cardfeed.h"
#include "base/rtMemory.h"
#include "audio/devices.h"
#include "audio/period.h"
#include "audio/rateBridge.h"

// The longest server period the FIFO can take (JACK's own limit is 8192 frames).
#define QAF_JACK_MAX_FRAMES 8192
#define FIFO_FRAMES (QAF_JACK_MAX_FRAMES + 3 * 1024)

std::atomic<long> jackCallbacks{0};

static jack_client_t *client = nullptr;
static jack_port_t *inPort[2];
static jack_port_t *outPort[2];
static jack_port_t *midiPort = nullptr;  // "midi_in", when MIDI input comes through JACK
static jack_nframes_t serverRate = 44100;
static int passFrames = 32;
static std::atomic<unsigned> announcedFrames{0};  // the server period last reported
static std::atomic<long> xrunCount{0};
static std::atomic<int> serverGone{0};
static std::atomic<int> interrupted{0};
static sem_t endOfRun;
static bool semReady = false;
static bool activated = false;
static pthread_mutex_t lifeLock = PTHREAD_MUTEX_INITIALIZER;  // activation against close

// The callback's own state (JACK's real-time thread only).
enum { MODE_DIRECT, MODE_FIFO, MODE_SILENT };
static unsigned planFrames = 0;  // the period the mode was worked out for
static int mode = MODE_DIRECT;
static short *fifoIn = nullptr;  // interleaved frames waiting for a whole pass
static short *fifoOut = nullptr; // interleaved frames processed, waiting to go out
static int inLevel = 0;
static int outLevel = 0;
static bool converting = false;  // the server runs at another rate than the passes

jackPassPlan planJackPasses(int nframes, int bufferBytes)
{
  for (int i = 5; i >= 0; i--) {
    int f = fs[i] / 4;
    if (f <= nframes && nframes % f == 0) return {f, 0};
  }
  return {bufferBytes / 4, 1};
}

// Real-time thread. A period of another size than before: work out how passes fit into it.
// Nothing is allocated; the FIFO was made for the longest period at open.
static void replan(unsigned n)
{
  planFrames = n;
  if (n % (unsigned)passFrames == 0)
    mode = MODE_DIRECT;
  else if (n <= QAF_JACK_MAX_FRAMES)
    mode = MODE_FIFO;
  else
    mode = MODE_SILENT;
  // The output side starts one pass ahead: every period then finds enough frames to send.
  inLevel = 0;
  outLevel = passFrames;
  if (fifoOut) memset(fifoOut, 0, (size_t)passFrames * 4);
}

// Real-time thread. One pass over the device buffer: the graph is never locked, so every
// period is processed.
static void runPass() QAF_NONBLOCKING
{
  if (periodCalls.pass) periodCalls.pass();
}

// Real-time thread. The period's MIDI events, in order, before its first pass: control changes
// are latched for that pass, so each lands on a pass boundary.
static void takeMidi(unsigned nframes) QAF_NONBLOCKING
{
  // JACK's port and event calls are made for the process callback: they neither block nor
  // allocate.
  QAF_FX_OFF
  void *mb = jack_port_get_buffer(midiPort, nframes);
  uint32_t n = jack_midi_get_event_count(mb);
  QAF_FX_ON
  for (uint32_t e = 0; e < n; e++) {
    jack_midi_event_t ev;
    QAF_FX_OFF
    int got = jack_midi_event_get(&ev, mb, e);
    QAF_FX_ON
    if (got != 0) continue;
    if (periodCalls.midi) periodCalls.midi(ev.buffer, (int)ev.size);
  }
}

// Real-time thread (JACK's process callback): no allocation, no lock.
int jackProcess(unsigned nframes, void *) QAF_NONBLOCKING
{
  long long t0 = monoNs();
  jackCallbacks++;
  if (midiPort) takeMidi(nframes);
  QAF_FX_OFF
  const float *i1 = (const float *)jack_port_get_buffer(inPort[0], nframes);
  const float *i2 = (const float *)jack_port_get_buffer(inPort[1], nframes);
  float *o1 = (float *)jack_port_get_buffer(outPort[0], nframes);
  float *o2 = (float *)jack_port_get_buffer(outPort[1], nframes);
  QAF_FX_ON
  if (nframes != planFrames) replan(nframes);
  short *b = (short *)buf;

  if (converting && nframes <= QAF_JACK_MAX_FRAMES) {
    rateBridgePeriod(i1, i2, o1, o2, nframes, runPass);
  } else if (converting) {
    memset(o1, 0, nframes * sizeof(float));
    memset(o2, 0, nframes * sizeof(float));
  } else if (mode == MODE_DIRECT) {
    for (unsigned off = 0; off < nframes; off += (unsigned)passFrames) {
      for (int i = 0; i < passFrames; i++) {
        b[2 * i] = floatToS16(i1[off + i]);
        b[2 * i + 1] = floatToS16(i2[off + i]);
      }
      runPass();
      for (int i = 0; i < passFrames; i++) {
        o1[off + i] = s16ToFloat(b[2 * i]);
        o2[off + i] = s16ToFloat(b[2 * i + 1]);
      }
    }
  } else if (mode == MODE_FIFO) {
    for (unsigned i = 0; i < nframes; i++) {
      fifoIn[2 * (inLevel + i)] = floatToS16(i1[i]);
      fifoIn[2 * (inLevel + i) + 1] = floatToS16(i2[i]);
    }
    inLevel += (int)nframes;
    int used = 0;
    while (inLevel - used >= passFrames) {
      memcpy(b, fifoIn + 2 * used, (size_t)passFrames * 4);
      runPass();
      memcpy(fifoOut + 2 * outLevel, b, (size_t)passFrames * 4);
      outLevel += passFrames;
      used += passFrames;
    }
    memmove(fifoIn, fifoIn + 2 * used, (size_t)(inLevel - used) * 4);
    inLevel -= used;
    // outLevel >= nframes here: the FIFO started a pass ahead and each pass adds what it takes.
    for (unsigned i = 0; i < nframes; i++) {
      o1[i] = s16ToFloat(fifoOut[2 * i]);
      o2[i] = s16ToFloat(fifoOut[2 * i + 1]);
    }
    memmove(fifoOut, fifoOut + 2 * nframes, (size_t)(outLevel - (int)nframes) * 4);
    outLevel -= (int)nframes;
  } else {
    memset(o1, 0, nframes * sizeof(float));
    memset(o2, 0, nframes * sizeof(float));
  }
  notePassTime(monoNs() - t0, (long long)nframes * 1000000000LL / serverRate);
  return 0;
}

static int onXrun(void *)
{
  xrunCount++;
  return 0;
}

// Called by JACK as an asynchronous signal would be: only a flag and a semaphore post.
static void onShutdown(void *)
{
  serverGone = 1;
  sem_post(&endOfRun);
}

// The latency the client adds between its inputs and its outputs, in server frames: the rate
// bridge's, or a FIFO pass where the period is no multiple of the pass.
static int addedLatency()
{
  if (converting) return rateBridgeLatency();
  unsigned n = announcedFrames.load();  // the callback's own mode is the callback's
  return n % (unsigned)passFrames != 0 && n <= QAF_JACK_MAX_FRAMES ? passFrames : 0;
}

// JACK's notification thread: the latency of the signal through QAF, told along the graph.
static void onLatency(jack_latency_callback_mode_t m, void *)
{
  int add = addedLatency();
  for (int k = 0; k < 2; k++) {
    jack_latency_range_t r;
    if (m == JackCaptureLatency) {
      jack_port_get_latency_range(inPort[k], JackCaptureLatency, &r);
      r.min += add;
      r.max += add;
      jack_port_set_latency_range(outPort[k], JackCaptureLatency, &r);
    } else {
      jack_port_get_latency_range(outPort[k], JackPlaybackLatency, &r);
      r.min += add;
      r.max += add;
      jack_port_set_latency_range(inPort[k], JackPlaybackLatency, &r);
    }
  }
}

// JACK's notification thread, while the process callback is held: say what the new period does.
static int onBufferSize(jack_nframes_t n, void *)
{
  if (n == announcedFrames.exchange(n)) return 0;  // JACK also calls this at activation
  if (converting) {
    // The callback is held meanwhile: the bridge is made again for the new period (its FIFO
    // holds a period's worth), with the same passes.
    rateBridgeSetup(serverRate, passFrames, QAF_JACK_MAX_FRAMES, (int)n);  // rate accepted at open
    printf("JACK period now %u frames: converted into passes of %d frames at 44100 Hz, %d frames "
           "of added latency\n", n, passFrames, rateBridgeLatency());
  }
  else if (n == (unsigned)passFrames)
    printf("JACK period now %u frames: one pass per period\n", n);
  else if (n % (unsigned)passFrames == 0)
    printf("JACK period now %u frames: %u passes of %d frames per period\n", n,
           n / (unsigned)passFrames, passFrames);
  else if (n <= QAF_JACK_MAX_FRAMES)
    printf("JACK period now %u frames: passes of %d frames run through a FIFO (%d frames of "
           "added latency)\n", n, passFrames, passFrames);
  else
    printf("JACK period now %u frames, more than QAF can take (%d): QAF plays silence\n", n,
           QAF_JACK_MAX_FRAMES);
  fflush(stdout);
  return 0;
}

static void dropClient()
{
  if (client) jack_client_close(client);
  client = nullptr;
  midiPort = nullptr;
}

// The client's name: "qaf", or the one a session manager gives.
static std::string clientName = "qaf";
void setJackClientName(const char *name) { clientName = name; }

// Main thread, once. The pass size follows the server's period when it can.
static int jackOpen(int rate, int, int, int, int size)
{
  if (sound_opened) {
    fprintf(stderr, "Oops. Sound already opened, pal ! What the heck are ya doin' ?\n");
    return -1;
  }
  jack_status_t status;
  client = jack_client_open(clientName.c_str(), JackNoStartServer, &status);
  if (!client) {
    fprintf(stderr, "JACK: cannot connect to a JACK server (status 0x%x); is one running?\n",
            (unsigned)status);
    return -1;
  }
  const char *names[4] = {"in_1", "in_2", "out_1", "out_2"};
  for (int k = 0; k < 4; k++) {
    jack_port_t *p = jack_port_register(client, names[k], JACK_DEFAULT_AUDIO_TYPE,
                                        k < 2 ? JackPortIsInput : JackPortIsOutput, 0);
    if (!p) {
      fprintf(stderr, "JACK: cannot register port %s\n", names[k]);
      dropClient();
      return -1;
    }
    if (k < 2)
      inPort[k] = p;
    else
      outPort[k - 2] = p;
  }
  midiPort = nullptr;
  if (periodCalls.wantsDeviceMidi) {
    midiPort = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    if (!midiPort) fprintf(stderr, "MIDI input is off: JACK would not register the port midi_in\n");
  }
  serverRate = jack_get_sample_rate(client);
  int n = (int)jack_get_buffer_size(client);
  converting = serverRate != (jack_nframes_t)rate;
  if (converting) {
    // The passes stay at 44100 Hz, in buffers of the size asked for; the bridge converts.
    passFrames = size / 4;
    if (!rateBridgeSetup(serverRate, passFrames, QAF_JACK_MAX_FRAMES, n)) {
      fprintf(stderr, "JACK server runs at %u Hz: QAF converts from 22050 to 192000 Hz only\n",
              serverRate);
      dropClient();
      return -1;
    }
    int lat = rateBridgeLatency();
    printf("JACK server runs at %u Hz: QAF runs at %d Hz and converts both ways, adding %d frames "
           "(%.2f ms) of latency\n", serverRate, rate, lat, lat * 1000.0 / serverRate);
  }

  jackPassPlan plan = planJackPasses(n, size);
  if (!converting) passFrames = plan.passFrames;
  if (converting) {
  } else if (plan.passFrames == n) {
    if (n * 4 != size)
      printf("JACK period is %d frames: sound buffer size set to %d bytes.\n", n, n * 4);
  } else if (!plan.fifo) {
    printf("JACK period of %d frames is not one of QAF's buffer sizes: running %d passes of %d "
           "frames per period.\n", n, n / plan.passFrames, plan.passFrames);
  } else {
    printf("JACK period of %d frames is no multiple of QAF's buffer sizes: running passes of %d "
           "frames through a FIFO, %d frames of added latency.\n", n, plan.passFrames,
           plan.passFrames);
  }
  sound_buffer_size = passFrames * 4;
  announcedFrames = (unsigned)n;

  // real-time memory, which like g_malloc ends the program when there is none
  buf = (char *)rtAlloc((size_t)passFrames * 4);
  fifoIn = (short *)rtAlloc((size_t)FIFO_FRAMES * 4);
  fifoOut = (short *)rtAlloc((size_t)FIFO_FRAMES * 4);
  buf_size = passFrames * 4;
  planFrames = 0;
  jackCallbacks = 0;
  xrunCount = 0;
  serverGone = 0;
  interrupted = 0;
  activated = false;
  if (!semReady) sem_init(&endOfRun, 0, 0);
  semReady = true;
  jack_set_process_callback(client, jackProcess, nullptr);
  jack_set_xrun_callback(client, onXrun, nullptr);
  jack_set_buffer_size_callback(client, onBufferSize, nullptr);
  jack_set_latency_callback(client, onLatency, nullptr);
  jack_on_shutdown(client, onShutdown, nullptr);
  sound_opened = 1;
  return 0;
}

// Connects our ports to the machine's own, so that sound flows without a patch bay.
static void connectPhysical()
{
  const char **caps =
      jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsOutput);
  const char **plays =
      jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
  for (int k = 0; k < 2; k++) {
    if (caps && caps[0]) jack_connect(client, caps[caps[1] ? k : 0], jack_port_name(inPort[k]));
    if (plays && plays[0])
      jack_connect(client, jack_port_name(outPort[k]), plays[plays[1] ? k : 0]);
  }
  if (caps) jack_free(caps);
  if (plays) jack_free(plays);
}

// Audio thread. The first call activates the client (the passes run in JACK's callback from
// then on); every call waits until the run ends and then fails, which ends the audio thread.
static int jackRead()
{
  if (interrupted) return -1;
  pthread_mutex_lock(&lifeLock);
  if (!client) {
    pthread_mutex_unlock(&lifeLock);
    fprintf(stderr, "reading from audio card: no JACK client is open\n");
    return -1;
  }
  if (!activated) {
    if (jack_activate(client) != 0) {
      pthread_mutex_unlock(&lifeLock);
      fprintf(stderr, "reading from audio card: JACK would not activate the client\n");
      return -1;
    }
    activated = true;
    connectPhysical();
    printf("JACK client \"%s\" running: ports in_1, in_2, out_1, out_2; %d frames per pass\n",
           jack_get_client_name(client), passFrames);
    if (midiPort) printf("MIDI input: JACK port %s\n", jack_port_name(midiPort));
    fflush(stdout);
  }
  pthread_mutex_unlock(&lifeLock);
  while (sem_wait(&endOfRun) != 0) {
  }
  if (serverGone && !interrupted)
    fprintf(stderr, "reading from audio card: the JACK server shut down\n");
  return -1;
}

// Never called while JACK drives the passes; the callback writes the ports itself.
static int jackWrite() { return 0; }

// Main thread, at shutdown. Deactivating waits for a running callback to end; then the waiting
// read is released.
static void jackClose()
{
  pthread_mutex_lock(&lifeLock);
  if (client) {
    if (activated && !serverGone) jack_deactivate(client);
    dropClient();
  }
  rtFree(buf);
  rtFree(fifoIn);
  rtFree(fifoOut);
  buf = nullptr;
  fifoIn = fifoOut = nullptr;
  rateBridgeClose();
  converting = false;
  sound_opened = 0;  // a closed device may be opened again
  pthread_mutex_unlock(&lifeLock);
  if (semReady) sem_post(&endOfRun);
}

// Any thread, never blocks: releases the waiting read.
static void jackInterrupt()
{
  interrupted = 1;
  if (semReady) sem_post(&endOfRun);
}

static long jackXruns() { return xrunCount.load(); }

// Any thread but the callback's: the server's own capture and playback latency on QAF's ports
// and what the rate conversion adds, while it converts.
static double jackRoundTripMs()
{
  if (!client || !converting) return -1;
  jack_latency_range_t in, out;
  jack_port_get_latency_range(inPort[0], JackCaptureLatency, &in);
  jack_port_get_latency_range(outPort[0], JackPlaybackLatency, &out);
  return (double)(in.max + out.max + rateBridgeLatency()) * 1000.0 / serverRate;
}

const soundBackend jackBackend = {"jack",        jackOpen,  jackRead, jackWrite,
                                  jackInterrupt, jackClose, jackXruns, false, jackRoundTripMs};
