// The JACK back end against a real JACK server (jackd's dummy driver, no real-time rights
// needed): the client and its ports, sound through the patch in the process callback at several
// server periods, the graph lock being busy, a clean shutdown, and a callback that never
// allocates. Skips, saying why, when jackd cannot start here.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <math.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "tests/devtest.h"
#include "modules/modfuncs.h"
#include "tests/jackserver.h"
#include "control/control.h"
#include "control/setlist.h"
#include <jack/midiport.h>

using Lines = std::vector<std::string>;

// ---- Counting the heap, for the zero-allocation case -------------------------------------------

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
extern "C" void *__libc_memalign(size_t, size_t);
static thread_local bool countHeap = false;
static std::atomic<long> heapCalls{0};

extern "C" void *malloc(size_t n)
{
  if (countHeap) heapCalls++;
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t a, size_t b)
{
  if (countHeap) heapCalls++;
  return __libc_calloc(a, b);
}
extern "C" void *realloc(void *p, size_t n)
{
  if (countHeap) heapCalls++;
  return __libc_realloc(p, n);
}
extern "C" int posix_memalign(void **p, size_t a, size_t n)
{
  if (countHeap) heapCalls++;
  *p = __libc_memalign(a, n);
  return *p ? 0 : ENOMEM;
}

#define START_JACK(server)                                                                  \
  if (!(server).up) GTEST_SKIP() << "JACK tests skipped: " << (server).why;

static bool waitFor(const std::function<bool()> &cond, int ms = 5000)
{
  for (int t = 0; t < ms; t += 5) {
    if (cond()) return true;
    usleep(5000);
  }
  return cond();
}

// The audio thread's part under JACK: one read that activates the client and waits. Going out
// of scope closes the device (as shutdown does), which releases the read, even when a check
// failed half-way.
struct ReadThread {
  std::atomic<int> result{1};
  std::thread t;
  ReadThread() : t([this] { result = jackBackend.read(); }) {}
  ~ReadThread()
  {
    if (result.load() == 1) {
      beginCapture();
      jackBackend.close();
      endCapture();
    }
    if (t.joinable()) t.join();
  }
};

static std::string connectedTo(jack_client_t *c, const char *port)
{
  jack_port_t *p = jack_port_by_name(c, port);
  if (!p) return "(no port)";
  const char **all = jack_port_get_all_connections(c, p);
  std::string s;
  for (int i = 0; all && all[i]; i++) s += std::string(s.empty() ? "" : " ") + all[i];
  if (all) jack_free(all);
  return s;
}

// ---- The cases ----------------------------------------------------------------------------------

TEST(JackDevice, ClientHasItsPortsRunsCallbacksAndShutsDownCleanly)
{
  JackServer server(44100, 32);
  START_JACK(server);
  bootSwapPatch();
  // Started with -b 2 (512 bytes): the server's 32-frame period wins.
  sound_buffer_size = 512;
  beginCapture();
  ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 512), 0);
  Lines log = endCapture();
  EXPECT_EQ(log, (Lines{"JACK period is 32 frames: sound buffer size set to 128 bytes."}));
  EXPECT_EQ(sound_buffer_size, 128);
  EXPECT_EQ(buf_size, 128);

  beginCapture();
  auto reader = std::make_unique<ReadThread>();
  jack_status_t st;
  jack_client_t *look = jack_client_open("look", JackNoStartServer, &st);
  ASSERT_NE(look, nullptr);
  ASSERT_TRUE(waitFor([] { return jackCallbacks.load() > 100; })) << "callbacks run";
  // The read announces the client once it has wired it to the machine's ports.
  waitFor([&] { return connectedTo(look, "qaf:out_2") == "system:playback_2"; });
  usleep(200000);
  log = endCapture();
  EXPECT_EQ(log, (Lines{"JACK client \"qaf\" running: ports in_1, in_2, out_1, out_2; 32 frames "
                        "per pass"}));
  const char **ports = jack_get_ports(look, "^qaf:", nullptr, 0);
  std::vector<std::string> names;
  for (int i = 0; ports && ports[i]; i++) names.push_back(ports[i]);
  if (ports) jack_free(ports);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"qaf:in_1", "qaf:in_2", "qaf:out_1", "qaf:out_2"}));
  // Wired to the machine's own ports, so that sound flows without a patch bay.
  EXPECT_EQ(connectedTo(look, "qaf:in_1"), "system:capture_1");
  EXPECT_EQ(connectedTo(look, "qaf:in_2"), "system:capture_2");
  EXPECT_EQ(connectedTo(look, "qaf:out_1"), "system:playback_1");
  EXPECT_EQ(connectedTo(look, "qaf:out_2"), "system:playback_2");
  EXPECT_EQ(reader->result.load(), 1) << "the read waits while JACK runs the passes";

  // Shutdown: the waiting read fails (that ends the audio thread), the ports are gone.
  beginCapture();
  jackBackend.close();
  endCapture();
  ASSERT_TRUE(waitFor([&] { return reader->result.load() != 1; }));
  EXPECT_EQ(reader->result.load(), -1);
  long after = jackCallbacks.load();
  usleep(20000);
  EXPECT_EQ(jackCallbacks.load(), after) << "no callback after close";
  ports = jack_get_ports(look, "^qaf:", nullptr, 0);
  EXPECT_EQ(ports, nullptr);
  if (ports) jack_free(ports);
  jack_client_close(look);
}

// Starts the observer and the audio thread's read (which activates QAF), and takes QAF's inputs
// from the machine's capture ports, so that the observer's signal is all they get.
static std::unique_ptr<ReadThread> startObserved(Observer &obs)
{
  EXPECT_TRUE(obs.start());
  beginCapture();
  auto reader = std::make_unique<ReadThread>();
  EXPECT_TRUE(waitFor([] { return jackCallbacks.load() > 0; }));
  endCapture();
  jack_disconnect(obs.c, "system:capture_1", "qaf:in_1");
  jack_disconnect(obs.c, "system:capture_2", "qaf:in_2");
  return reader;
}

struct PeriodCase {
  int rate;
  int period;
  int bufferBytes;  // the -b size QAF was started with
  const char *line; // what QAF says about the period
  int passFrames;
};

class JackSound : public testing::TestWithParam<PeriodCase> {};

// The observer's signal goes into in_1 only; the swap patch sends it out on out_2, and out_1
// stays silent. The recording must hold the signal, sample for sample, from some latency on.
TEST_P(JackSound, SignalComesBackThroughThePatchSampleExact)
{
  const PeriodCase &pc = GetParam();
  JackServer server(pc.rate, pc.period);
  START_JACK(server);
  bootSwapPatch();
  sound_buffer_size = pc.bufferBytes;
  beginCapture();
  ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, pc.bufferBytes), 0);
  Lines log = endCapture();
  std::vector<std::string> expectLog;
  if (*pc.line) expectLog.push_back(pc.line);
  EXPECT_EQ(log, expectLog);
  EXPECT_EQ(sound_buffer_size, pc.passFrames * 4);

  Observer obs;
  auto reader = startObserved(obs);
  jack_client_t *c = obs.c;
  ASSERT_EQ(jack_connect(c, "observer:out", "qaf:in_1"), 0);
  ASSERT_EQ(jack_connect(c, "qaf:out_1", "observer:back_l"), 0);
  ASSERT_EQ(jack_connect(c, "qaf:out_2", "observer:back_r"), 0);
  obs.recorded = 0;
  ASSERT_TRUE(waitFor([&] { return obs.recorded.load() >= RECORD_FRAMES; }, 20000));

  // From where the signal starts in the recording, every sample must be the one after the
  // sample before it (value s is followed by s % 20000 + 1), exactly. An xrun of the server (this
  // machine gives jackd no real-time rights) may break the run where it happens, and only there.
  long first = -1;
  for (long i = 0; i < RECORD_FRAMES && first < 0; i++)
    if (obs.right[i] != 0.0f) first = i;
  ASSERT_GE(first, 0) << "the signal never came back";
  long breaks = 0, followed = 0;
  std::string where;
  for (long i = first + 1; i < RECORD_FRAMES; i++) {
    EXPECT_EQ(obs.left[i], 0.0f) << "frame " << i;
    long prev = lrintf(obs.right[i - 1] * 32768.0f);
    long now = lrintf(obs.right[i] * 32768.0f);
    ASSERT_EQ(obs.right[i] * 32768.0f, (float)now) << "a sample that 16 bits cannot carry";
    if (prev != 0 && now == prev % 20000 + 1) {
      followed++;
    } else {
      breaks++;
      if (where.size() < 200) where += " " + std::to_string(i);
    }
  }
  // A few breaks more than the counted xruns are allowed: the dummy server without real-time
  // rights on a loaded machine can be late to the observer without reporting it. A fault in the
  // pass or the conversion breaks every sample, which the count of followed samples catches.
  EXPECT_LE(breaks, 2 * jackBackend.xruns() + 4) << "breaks at" << where;
  EXPECT_GT(followed, RECORD_FRAMES / 2);

  obs.stop();
  beginCapture();
  jackBackend.close();
  endCapture();
}

INSTANTIATE_TEST_SUITE_P(
    Periods, JackSound,
    testing::Values(
        PeriodCase{44100, 32, 128, "", 32},
        PeriodCase{44100, 2048, 128,
                   "JACK period of 2048 frames is not one of QAF's buffer sizes: running 2 "
                   "passes of 1024 frames per period.", 1024},
        PeriodCase{44100, 48, 256,
                   "JACK period of 48 frames is no multiple of QAF's buffer sizes: running "
                   "passes of 64 frames through a FIFO, 64 frames of added latency.", 64}),
    [](const testing::TestParamInfo<PeriodCase> &i) {
      return "Period" + std::to_string(i.param.period) + "At" + std::to_string(i.param.rate);
    });

// A server at another rate: QAF converts both ways and stays in tune and in time. A 220 Hz sine
// at the server's rate goes through Line In to Line Out: it comes back at 220 Hz (zero crossings
// over a second and a half), with no gap or repeated block (no step steeper than the sine's
// own), the tuner reads A3, and the latency QAF reports to JACK is the delay measured on the
// sine, beside the one period the loop through the observer adds.
class JackRates : public testing::TestWithParam<std::pair<int, int>> {};

TEST_P(JackRates, A220HzSineStaysInTuneAndInTime)
{
  int rate = GetParam().first, period = GetParam().second;
  JackServer server(rate, period);
  START_JACK(server);
  bootGraph();
  command("C 100-101AA");
  command("A 11");  // a one-second recorder on the right input, recording
  command("C " + std::to_string(MOD[0]->ID) + "-" + std::to_string(MOD[2]->ID) + " B A");
  MOD[2]->parm[0] = 2.01f;
  soundDeviceChoice jack;
  jack.kind = DEV_JACK;
  chooseSoundDevice(jack);  // as -d jack does: the device in use answers for its round trip
  beginCapture();
  ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 128), 0);
  Lines log = endCapture();
  sound_chunk_size = sound_buffer_size / 2;
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].rfind("JACK server runs at " + std::to_string(rate) +
                             " Hz: QAF runs at 44100 Hz and converts both ways, adding ", 0), 0u)
      << log[0];
  EXPECT_EQ(sound_buffer_size, 128);

  Observer obs(rate * 2, true);
  obs.rate = rate;
  auto reader = startObserved(obs);
  jack_client_t *c = obs.c;
  ASSERT_EQ(jack_connect(c, "observer:out", "qaf:in_1"), 0);
  ASSERT_EQ(jack_connect(c, "observer:out", "qaf:in_2"), 0);
  ASSERT_EQ(jack_connect(c, "qaf:out_1", "observer:back_l"), 0);
  usleep(200000);
  obs.recorded = 0;
  ASSERT_TRUE(waitFor([&] { return obs.recorded.load() >= obs.capacity; }, 20000));
  // Tuner readings over stretches with no xrun: the dummy server has no real-time rights here,
  // and a cycle it drops skips a piece of QAF's input, which no tuner can read as in tune. Five
  // such readings, of up to forty tries; the middle one counts.
  std::vector<std::pair<int, std::string>> readings;
  for (int k = 0; k < 40 && readings.size() < 5; k++) {
    long before = jackBackend.xruns();
    usleep(150000);
    Lines t = command("tuner");
    if (jackBackend.xruns() != before) continue;
    int cents = 99;
    if (!t.empty() && sscanf(t[0].c_str(), "A3 %d cents", &cents) != 1) cents = 99;
    readings.push_back({abs(cents), t.empty() ? "" : t[0]});
  }
  std::sort(readings.begin(), readings.end());
  // What QAF tells JACK it adds: its output's capture latency beyond its input's.
  jack_latency_range_t in, out;
  jack_port_get_latency_range(jack_port_by_name(c, "qaf:in_1"), JackCaptureLatency, &in);
  jack_port_get_latency_range(jack_port_by_name(c, "qaf:out_1"), JackCaptureLatency, &out);
  long added = (long)out.max - (long)in.max;
  long xruns = jackBackend.xruns();
  // The status line tells the round trip: at least what the conversion adds.
  Lines status = command("status");
  ASSERT_FALSE(status.empty());
  size_t rt = status[0].find(" round trip ");
  ASSERT_NE(rt, std::string::npos) << status[0];
  EXPECT_GE(atof(status[0].c_str() + rt + 12), added * 1000.0 / rate - 0.05) << status[0];
  // The recorder's second, copied as Save Sample copies it: one second of the server's time
  // holds 220 cycles of the sine.
  std::vector<short> second(recordingLength(2));
  copyRecording(2, second.data(), (int)second.size());
  obs.stop();
  reader.reset();
  ASSERT_EQ(second.size(), 44100u);
  int cycles = 0;
  for (size_t i = 1; i < second.size(); i++) cycles += second[i - 1] < 0 && second[i] >= 0;
  if (xruns == 0) {
    EXPECT_NEAR(cycles, 220, 1) << "the recorder's second is not the server's";
  }

  // Rising zero crossings, placed between samples, from a tenth of a second in.
  const std::vector<float> &y = obs.left;
  std::vector<double> ups;
  double steepest = 0;
  for (long i = rate / 10; i < obs.capacity; i++) {
    if (y[i - 1] < 0 && y[i] >= 0) ups.push_back(i - 1 + y[i - 1] / (y[i - 1] - y[i]));
    steepest = std::max(steepest, (double)fabs(y[i] - y[i - 1]));
  }
  ASSERT_GT(ups.size(), 100u) << "the sine did not come back";
  double hz = (ups.size() - 1) * (double)rate / (ups.back() - ups.front());
  if (xruns == 0) {
    EXPECT_NEAR(hz, 220.0, 220.0 * 1e-4);
  }
  // The sine's steepest step, at 0.5 full scale, is 0.5 * 2 pi * 220 / rate.
  if (xruns == 0) {
    EXPECT_LT(steepest, 0.5 * 2 * M_PI * 220 / rate * 1.05) << "a gap";
  }
  if (xruns == 0) {
    EXPECT_EQ(readings.size(), 5u);
  }
  if (readings.size() >= 3) {
    const std::string &middle = readings[readings.size() / 2].second;
    EXPECT_EQ(middle.rfind("A3 ", 0), 0u) << middle;
    EXPECT_LE(readings[readings.size() / 2].first, 1) << middle;
  }

  // The delay, from the sine's phase: the recording's first rising crossing against the sent
  // signal's (it crosses at multiples of rate / 220 frames from frame 0). The loop through the
  // observer adds one period; the rest is QAF's, known up to a whole cycle of the sine.
  double cycle = rate / 220.0;
  double sentPhase = fmod((double)obs.recordStart + ups.front(), cycle);
  double delay = fmod(sentPhase + cycle, cycle);
  double expect = fmod((double)added + period, cycle);
  double off = fabs(delay - expect);
  off = std::min(off, cycle - off);
  if (xruns == 0) {
    EXPECT_LT(off, 2.0) << "reported " << added << ", measured " << delay;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, JackRates,
    testing::Values(std::make_pair(48000, 64), std::make_pair(48000, 256),
                    std::make_pair(96000, 64), std::make_pair(96000, 256)),
    [](const testing::TestParamInfo<std::pair<int, int>> &i) {
      return "At" + std::to_string(i.param.first) + "Period" + std::to_string(i.param.second);
    });

TEST(JackDevice, AnEditInProgressNeverSilencesAPeriod)
{
  JackServer server(44100, 32);
  START_JACK(server);
  bootSwapPatch();
  beginCapture();
  ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 128), 0);
  endCapture();
  Observer obs;
  ASSERT_TRUE(obs.start());
  beginCapture();
  auto reader = std::make_unique<ReadThread>();
  ASSERT_TRUE(waitFor([] { return jackCallbacks.load() > 0; }));
  endCapture();
  ASSERT_EQ(jack_connect(obs.c, "observer:out", "qaf:in_1"), 0);
  ASSERT_EQ(jack_connect(obs.c, "qaf:out_2", "observer:back_r"), 0);
  usleep(50000);
  // Holding the lock the way a patch change does, for some 30 periods.
  GET_MODGRAPH_LOCK();
  obs.recorded = 0;
  long before = jackCallbacks.load();
  ASSERT_TRUE(waitFor([&] { return jackCallbacks.load() > before + 30; }));
  ASSERT_TRUE(waitFor([&] { return obs.recorded.load() >= 8192; }));
  RELEASE_MODGRAPH_LOCK();
  // The passes never take the editors' lock: the signal kept coming back while it was held.
  long zeros = 0;
  for (long i = 0; i < 8192; i++) zeros += obs.right[i] == 0.0f;
  EXPECT_LT(zeros, 64);
  obs.stop();
  beginCapture();
  jackBackend.close();
  EXPECT_TRUE(endCapture().empty());
}

TEST(JackDevice, ProcessCallbackNeverTouchesTheHeap)
{
  // The callback run by hand on this thread (the client is open but not active, so JACK's own
  // thread does not run it), with a patch of modules, at the three kinds of period: one pass,
  // several passes, and the FIFO.
  JackServer server(44100, 32);
  START_JACK(server);
  bootSwapPatch();
  command("A 2");
  command("A 3");
  command("A 6");
  beginCapture();
  ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 128), 0);
  endCapture();
  for (unsigned n : {32u, 32u, 256u, 48u, 48u, 1000u, 32u}) {
    jackProcess(n, nullptr);  // first use of a period size, outside the count
    countHeap = true;
    for (int i = 0; i < 50; i++) jackProcess(n, nullptr);
    countHeap = false;
    EXPECT_EQ(heapCalls.load(), 0) << "period " << n;
  }
  // The count itself works: a plain allocation here is seen.
  countHeap = true;
  void *volatile p = malloc(16);
  countHeap = false;
  free(p);
  EXPECT_EQ(heapCalls.load(), 1);
  jackBackend.close();
}

TEST(JackDevice, NoServerIsReportedAndTheFirstReadFails)
{
  setenv("JACK_DEFAULT_SERVER", "qaf_no_such_server", 1);
  testing::internal::CaptureStderr();
  EXPECT_EQ(jackBackend.open(44100, 16, 2, 5, 128), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("JACK: cannot connect to a JACK server"), std::string::npos) << err;
  EXPECT_EQ(sound_opened, 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(jackBackend.read(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "reading from audio card: no JACK client is open\n");
}

TEST(JackDevice, ShutdownsInterruptReleasesTheWaitingReadQuietly)
{
  JackServer server(44100, 32);
  START_JACK(server);
  bootGraph();
  beginCapture();
  ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 128), 0);
  testing::internal::CaptureStderr();
  auto reader = std::make_unique<ReadThread>();
  ASSERT_TRUE(waitFor([] { return jackCallbacks.load() > 10; }));
  jackBackend.interrupt();
  ASSERT_TRUE(waitFor([&] { return reader->result.load() != 1; }));
  EXPECT_EQ(reader->result.load(), -1);
  EXPECT_EQ(jackBackend.read(), -1) << "no read starts after the interrupt";
  jackBackend.close();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  endCapture();
}

// ---- MIDI through JACK ------------------------------------------------------------------------

// A client that plays the observer's signal into both of QAF's inputs, sends one MIDI message to
// qaf:midi_in when asked (in the same period as the frame it notes), and records both outputs.
struct MidiObserver : Observer {
  jack_port_t *midiOut = nullptr;
  std::atomic<int> pending{0};  // 0: nothing to send, else status << 16 | d1 << 8 | d2
  std::atomic<long> sentAt{-1};  // the first frame of the period the message went with

  static int process2(jack_nframes_t n, void *arg)
  {
    MidiObserver *o = (MidiObserver *)arg;
    void *mb = jack_port_get_buffer(o->midiOut, n);
    jack_midi_clear_buffer(mb);
    int msg = o->pending.exchange(0);
    if (msg) {
      unsigned char b[3] = {(unsigned char)(msg >> 16), (unsigned char)(msg >> 8), (unsigned char)msg};
      jack_midi_event_write(mb, 0, b, (b[0] & 0xF0) == 0xC0 ? 2 : 3);
      o->sentAt = o->sent;
    }
    return process(n, arg);
  }
  bool start2()
  {
    if (!open()) return false;
    midiOut = jack_port_register(c, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(c, process2, this);
    if (jack_activate(c) != 0) return false;
    for (const char *to : {"qaf:in_1", "qaf:in_2"}) jack_connect(c, "observer:out", to);
    jack_disconnect(c, "system:capture_1", "qaf:in_1");
    jack_disconnect(c, "system:capture_2", "qaf:in_2");
    jack_connect(c, "qaf:out_1", "observer:back_l");
    jack_connect(c, "qaf:out_2", "observer:back_r");
    return jack_connect(c, "observer:midi_out", "qaf:midi_in") == 0;
  }
  // Sends a message and records RECORD_FRAMES around it (a quarter of them before it).
  bool sendAndRecord(int status, int d1, int d2, const std::function<void()> &whileWaiting)
  {
    recorded = 0;
    if (!waitFor([&] { return recorded.load() >= RECORD_FRAMES / 4; })) return false;
    pending = status << 16 | d1 << 8 | d2;
    return waitFor([&] {
      whileWaiting();
      return recorded.load() >= capacity;
    }, 20000);
  }
  // The input frame a recorded right-channel sample carries (the signal's index near `near`),
  // or -1 when it is not one of the signal's values.
  static long indexOf(float v, long near)
  {
    float k = v * 32768.0f;
    if (k < 1 || k > 20000 || k != (float)(long)k) return -1;
    long i = (long)k - 1 + (near / 20000) * 20000;
    if (i < near - 10000) i += 20000;
    if (i > near + 10000) i -= 20000;
    return i;
  }
};

// Line In through a Passthrough (module 102) to Line Out; the right channel at full volume comes
// out as it went in and tells which input frame each output frame carries.
static void midiPatch()
{
  bootGraph();
  command("A 2");
  command("C 100-102 A A");
  command("C 102-101 A A");
  command("C 100-102 B B");
  command("C 102-101 B B");
  command("set 102 1 256");
}

// What the patch makes of the signal's frame i with the Passthrough's VolumeA at v.
static std::vector<short> byHand(const std::vector<long> &frames, float v)
{
  MOD[2]->parm[0] = v;
  std::vector<short> out;
  static short mem[64];  // the device's buffer is gone with the device
  buf = (char *)mem;
  sound_buffer_size = buf_size = 128;
  sound_chunk_size = 64;
  short *b = mem;
  for (size_t at = 0; at < frames.size(); at += 32) {
    for (size_t i = 0; i < 32; i++) {
      long f = at + i < frames.size() ? frames[at + i] : 0;
      b[2 * i] = b[2 * i + 1] = floatToS16(Observer::at(f));
    }
    pumpAllModules();
    for (size_t i = 0; i < 32 && at + i < frames.size(); i++) out.push_back(b[2 * i]);
  }
  return out;
}

TEST(JackMidi, AControlChangeTakesEffectFromThePassAfterItSampleForSample)
{
  JackServer server(44100, 32);
  START_JACK(server);
  midiPatch();
  controlSetInput(MIDI_JACK);
  beginCapture();
  ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 128), 0);
  auto reader = std::make_unique<ReadThread>();
  ASSERT_TRUE(waitFor([] { return jackCallbacks.load() > 0; }));
  endCapture();
  MidiObserver obs;
  ASSERT_TRUE(obs.start2());
  EXPECT_EQ(command("map 1 7 102 0"), (Lines{"Mapped CC 7 ch 1 -> module 102 parameter 0 (VolumeA) 0..256"}));
  ASSERT_TRUE(obs.sendAndRecord(0xB0, 7, 64, [] {}));
  obs.stop();
  long event = obs.sentAt;
  reader.reset();

  // Every recorded frame, by the input frame it carries, against the patch run by hand with the
  // old value before the event and the mapped one (64 of 127 of 256) from it on.
  std::vector<long> before, after;
  std::vector<short> gotBefore, gotAfter;
  for (long j = 0; j < obs.capacity; j++) {
    long i = MidiObserver::indexOf(obs.right[j], event);
    if (i < 0) continue;
    (i < event ? before : after).push_back(i);
    (i < event ? gotBefore : gotAfter).push_back(floatToS16(obs.left[j]));
  }
  ASSERT_GT(before.size(), 1000u);
  ASSERT_GT(after.size(), 1000u);
  EXPECT_EQ(gotBefore, byHand(before, 200.0f));
  EXPECT_EQ(gotAfter, byHand(after, (float)(256.0 * 64 / 127)));
  EXPECT_EQ(midiStatusLines().at(1).substr(midiStatusLines().at(1).find(')')),
            "): control change CC 7 value 64 ch 1");
}

TEST(JackMidi, AProgramChangeSwitchesPresetsWithoutLosingOrDoublingAPass)
{
  JackServer server(44100, 32);
  START_JACK(server);
  TempDir d;
  midiPatch();
  command("save " + d / "full.lyo");
  command("set 102 0 100");
  command("save " + d / "quiet.lyo");
  std::string set = "[Set List]\nName=Two\n[Preset 0]\nName=Full\nLayout=full.lyo\n"
                    "[Preset 1]\nName=Quiet\nLayout=quiet.lyo\nMap1=1 7 2 0\n";
  writeFile(d / "two.qset", Bytes(set.begin(), set.end()));
  controlSetInput(MIDI_JACK);
  beginCapture();
  bool opened = openSetList((d / "two.qset").c_str(), false);
  int jackOpened = jackBackend.open(44100, 16, 2, 5, 128);
  endCapture();
  ASSERT_TRUE(opened);
  ASSERT_EQ(jackOpened, 0);
  auto reader = std::make_unique<ReadThread>();
  ASSERT_TRUE(waitFor([] { return jackCallbacks.load() > 0; }));
  MidiObserver obs;
  ASSERT_TRUE(obs.start2());
  ASSERT_TRUE(obs.sendAndRecord(0xC0, 1, 0, [] { controlTick(); }));
  obs.stop();
  EXPECT_EQ(currentProgram(), 1);
  ASSERT_EQ(controlMappings().size(), 1u);
  EXPECT_EQ(controlMappings()[0].id, MOD[2]->ID);

  // The right channel runs straight through both presets: from where the signal starts, each
  // frame carries the frame after the one before (a lost pass would skip 32, a doubled one
  // repeat them), except where the output fades around the swap or a pass played silence while
  // the graph was locked (counted), and at the server's own late cycles (as above).
  long first = 0;
  while (first < obs.capacity && obs.right[first] == 0.0f) first++;
  long expect = MidiObserver::indexOf(obs.right[first], obs.sentAt);
  ASSERT_GE(expect, 0);
  long breaks = 0, faded = 0, silent = 0;
  for (long j = first; j < obs.capacity; j++, expect++) {
    float e = Observer::at(expect);
    if (obs.right[j] == e) continue;
    if (obs.right[j] == 0.0f) {
      silent++;
      continue;
    }
    // The signal going on from another frame: a break, where the tracking picks it up again.
    long i = MidiObserver::indexOf(obs.right[j], expect);
    if (i >= 0 && j + 2 < obs.capacity && obs.right[j + 1] == Observer::at(i + 1) &&
        obs.right[j + 2] == Observer::at(i + 2)) {
      breaks++;
      expect = i;
    } else if (obs.right[j] > 0.0f && obs.right[j] < e) {
      faded++;
    } else {
      breaks++;
    }
  }
  EXPECT_LE(breaks, 2 * jackBackend.xruns() + 4);
  // About 5 ms of fade each way, and the silence between while the patch is swapped (a few
  // passes: the swap waits for the silence, then installs what is already built).
  EXPECT_GT(faded, 2 * 44100 / 1000) << "the output fades around the swap";
  EXPECT_LE(faded, 44100 / 50) << "a fade of about 5 ms each way";
  EXPECT_LE(silent, 44100 / 50 + 32 * 2 * jackBackend.xruns());

  // The left channel: the first preset's volume at the start, the second's at the end.
  reader.reset();
  std::vector<long> head, tail;
  std::vector<short> gotHead, gotTail;
  for (long j = first; j < obs.capacity; j++) {
    long i = MidiObserver::indexOf(obs.right[j], obs.sentAt);
    if (i < 0 || (j >= first + 2000 && j < obs.capacity - 2000)) continue;
    (j < first + 2000 ? head : tail).push_back(i);
    (j < first + 2000 ? gotHead : gotTail).push_back(floatToS16(obs.left[j]));
  }
  EXPECT_EQ(gotHead, byHand(head, 200.0f));
  EXPECT_EQ(gotTail, byHand(tail, 100.0f));
}

TEST(JackMidi, ProcessCallbackWithMidiAndMappingsNeverTouchesTheHeap)
{
  JackServer server(44100, 32);
  START_JACK(server);
  midiPatch();
  command("map * 7 102 0");
  controlSetInput(MIDI_JACK);
  beginCapture();
  ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 128), 0);
  endCapture();
  jackProcess(32, nullptr);
  for (int v = 0; v < 128; v++) midiReceive({0xB0, 7, (unsigned char)v});
  countHeap = true;
  for (int i = 0; i < 50; i++) jackProcess(32, nullptr);
  countHeap = false;
  EXPECT_EQ(heapCalls.load(), 0);
  EXPECT_EQ(MOD[2]->parm[0], 256.0f) << "the latched changes were applied in the callback";
  jackBackend.close();
}
