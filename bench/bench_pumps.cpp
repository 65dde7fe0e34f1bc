// How much of the audio thread's time budget the pumps take. For every module type at each of
// the six device buffer sizes: the time of one pump of one module, as a share of the buffer's
// period (frames / 44100 s). And one whole pass of a 62-module chain through every type at 32
// frames: mean and worst case over many passes, as shares of the 725.6 us period.
#include <benchmark/benchmark.h>
#include <glib.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "audio/cardfeed.h"
#include "audio/rateBridge.h"
#include "engine/audioThread.h"
#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"
#include "modules/pump.h"
#include "monitor/monitor.h"
#include "monitor/pitch.h"

using Clock = std::chrono::steady_clock;

// Runs fn with standard output sent to /dev/null (module creation and wiring print their lines).
template <class F> static void quietly(F fn)
{
  fflush(stdout);
  int saved = dup(1);
  FILE *null = fopen("/dev/null", "w");
  dup2(fileno(null), 1);
  fn();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  fclose(null);
}

static std::vector<short> testSound;

// A fresh graph for a device buffer of bufBytes bytes: every module of the last one is cleaned
// and deleted first.
static void freshGraph(int bufBytes)
{
  quietly([&] {
    static bool booted = false;
    if (booted) {
      for (int s = 0; s < MAX_MODULES; s++) {
        if (!MOD[s]) continue;
        Clean_Module(s);
        delete MOD[s];
        MOD[s] = nullptr;
      }
      Clean_SoundNode_Data();
    }
    booted = true;
    sound_buffer_size = bufBytes;
    sound_chunk_size = bufBytes / 2;
    g_free(buf);
    buf = (char *)g_malloc0((gsize)bufBytes);
    buf_size = bufBytes;
    Init_SoundNode_Data();
  });
  // a varied stereo testSound, loud enough to keep every shaping module busy
  testSound.resize((size_t)bufBytes / 2);
  for (size_t i = 0; i < testSound.size(); i++)
    testSound[i] = (short)(((i * 2654435761u) >> 16) % 40000 - 20000);
}

static int firstInput(int type)
{
  for (int k = 0; k < 4; k++)
    if (typeHasInput(type, k)) return k;
  return -1;
}

static int firstOutput(int type)
{
  for (int k = 0; k < 4; k++)
    if (typeHasOutput(type, k)) return k;
  return -1;
}

// Creates a module of the type; returns its slot.
static int addModule(int type)
{
  int slot = -1;
  quietly([&] {
    New_Mod(type);
    for (int s = MAX_MODULES - 1; s >= 0; s--)
      if (MOD[s] && MOD[s]->ID == sUID - 1) slot = s;
  });
  return slot;
}

// Wires output k of `from` to input j of `to` and recomputes the order, as the UI does.
static void connect(int from, int k, int to, int j)
{
  quietly([&] {
    GET_MODGRAPH_LOCK();
    break_I_WIRE(to * 4 + j);
    break_O_WIRE(from * 4 + k);
    make_IO_WIRE(to * 4 + j, from * 4 + k);
    assignModuleTiers();
    RELEASE_MODGRAPH_LOCK();
  });
}

// The time below which the given share of the samples lie (samples are reordered).
static double percentile(std::vector<double> &t, double share)
{
  if (t.empty()) return 0;
  size_t k = (size_t)(share * (double)(t.size() - 1));
  std::nth_element(t.begin(), t.begin() + (long)k, t.end());
  return t[k];
}

static void fillBuffer() { memcpy(buf, testSound.data(), (size_t)sound_buffer_size); }

// One pump of one module: Line In -> module -> Line Out, the module's pump alone timed.
static void BM_Pump(benchmark::State &state, int type, int bufBytes)
{
  freshGraph(bufBytes);
  int slot = type == 0 ? 0 : 1;
  if (type >= 2) {
    slot = addModule(type);
    int in = firstInput(type), out = firstOutput(type);
    if (in >= 0) connect(0, 0, slot, in);
    if (in >= 0 && in + 1 < 4 && typeHasInput(type, in + 1)) connect(0, 1, slot, in + 1);
    if (out >= 0) connect(slot, out, 1, 0);
  } else {
    connect(0, 0, 1, 0);
    connect(0, 1, 1, 1);
  }
  double period = (bufBytes / 4) / 44100.0;
  double total = 0, worst = 0;
  std::vector<double> times;
  times.reserve(1 << 20);
  GET_MODGRAPH_LOCK();
  for (auto _ : state) {
    fillBuffer();
    // everything the module reads arrives as in a real pass; only its own pump is timed
    for (int i = 0; i < MOD_EXEC_NUM; i++) {
      int s = MOD_EXEC_ORDER[i];
      if (s != slot) {
        Pump_Module(s);
        continue;
      }
      auto t0 = Clock::now();
      Pump_Module(s);
      double t = std::chrono::duration<double>(Clock::now() - t0).count();
      state.SetIterationTime(t);
      total += t;
      if (t > worst) worst = t;
      if (times.size() < times.capacity()) times.push_back(t);
    }
    benchmark::DoNotOptimize(buf[0]);
  }
  RELEASE_MODGRAPH_LOCK();
  double mean = total / (double)state.iterations();
  state.counters["period_us"] = period * 1e6;
  state.counters["share"] = mean / period;
  state.counters["p99_share"] = percentile(times, 0.99) / period;
  state.counters["worst_share"] = worst / period;
}

// One pass of 62 modules (every slot but the two line modules), a chain through every type in
// turn, each fed on its first input from the one before's first output, at 32 frames.
static void BM_Chain62(benchmark::State &state)
{
  freshGraph(128);
  int prev = 0, prevOut = 0, made = 0;
  for (int n = 0; made < MAX_MODULES - 2; n++) {
    int type = 2 + n % (MAX_TYPES - 2);
    int s = addModule(type);
    connect(prev, prevOut, s, firstInput(type));
    prev = s;
    prevOut = firstOutput(type);
    made++;
  }
  connect(prev, prevOut, 1, 0);
  double period = 32 / 44100.0;
  double total = 0, worst = 0;
  long pass = 0, worstAt = 0;
  std::vector<double> times;
  times.reserve(1 << 20);
  for (auto _ : state) {
    fillBuffer();
    auto t0 = Clock::now();
    pumpAllModules();
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetIterationTime(t);
    total += t;
    if (t > worst) {
      worst = t;
      worstAt = pass;
    }
    pass++;
    if (times.size() < times.capacity()) times.push_back(t);
    benchmark::DoNotOptimize(buf[0]);
  }
  double mean = total / (double)state.iterations();
  state.counters["modules"] = MOD_EXEC_NUM;
  state.counters["worst_pass"] = (double)worstAt;
  state.counters["mean_us"] = mean * 1e6;
  state.counters["median_us"] = percentile(times, 0.5) * 1e6;
  state.counters["p999_us"] = percentile(times, 0.999) * 1e6;
  state.counters["worst_us"] = worst * 1e6;
  state.counters["mean_share"] = mean / period;
  state.counters["worst_share"] = worst / period;
  state.counters["chunks_left"] = chunksInUse();
  state.counters["pool_overflows"] = chunkPoolOverflows.load();
}

// What the monitor adds to each pass on the audio thread: Line In's peaks and ring copy before
// it, Line Out's peaks after it, at 32 frames.
static void BM_MonitorTaps(benchmark::State &state)
{
  short frames[64];
  for (int i = 0; i < 64; i++) frames[i] = (short)(i * 1000 - 30000);
  for (auto _ : state) {
    monitorLineIn(frames, 32);
    monitorPass(frames, 32);
    benchmark::DoNotOptimize(frames[0]);
  }
}

// One tuner estimate (the worker makes one every 20 ms while the Tuner is open), on a plucked E2.
static void BM_TunerEstimate(benchmark::State &state)
{
  std::vector<short> frames(2 * TUNER_FRAMES);
  for (int i = 0; i < TUNER_FRAMES; i++) {
    double t = i / 44100.0, v = 0;
    for (int k = 1; k <= 6; k++) v += sin(2 * M_PI * 82.41 * k * t) / k;
    frames[2 * i] = frames[2 * i + 1] = (short)(8000 * v);
  }
  pitchEstimator est;
  for (auto _ : state) benchmark::DoNotOptimize(est.estimate(frames.data(), 440.0).hz);
}

// Real-time thread: a pass that does nothing, so that the conversion alone is timed.
static void noPass() QAF_NONBLOCKING {}

// What a JACK server at 48000 Hz costs on top of the passes: one period of 64 frames converted
// to 44100 Hz passes of 32 frames and back, as a share of the period (1.33 ms).
static void BM_RateBridge(benchmark::State &state)
{
  const unsigned rate = 48000, period = 64;
  char frames[128];
  buf = frames;
  buf_size = 128;
  rateBridgeSetup(rate, 32, 8192, period);
  std::vector<float> in1(period), in2(period), out1(period), out2(period);
  for (unsigned i = 0; i < period; i++) in1[i] = in2[i] = (float)sin(i * 0.03);
  auto t0 = std::chrono::steady_clock::now();
  for (auto _ : state) {
    rateBridgePeriod(in1.data(), in2.data(), out1.data(), out2.data(), period, noPass);
    benchmark::DoNotOptimize(out1[0]);
  }
  double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
  double periodNs = period * 1e9 / rate;
  state.counters["share_of_period"] = ns / (double)state.iterations() / periodNs;
  rateBridgeClose();
  buf = nullptr;
}

int main(int argc, char **argv)
{
  // type names as benchmark names: "Chorus/Flange" -> "Chorus-Flange", blanks -> '_'
  for (int type = 0; type < MAX_TYPES; type++) {
    std::string name = typeList[type].name;
    for (char &c : name)
      if (c == ' ') c = '_';
      else if (c == '/') c = '-';
    for (int i = 0; i < 6; i++) {
      int bytes = fs[i];
      std::string label = "pump/" + name + "/frames:" + std::to_string(bytes / 4);
      benchmark::RegisterBenchmark(label.c_str(), BM_Pump, type, bytes)
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond);
    }
  }
  benchmark::RegisterBenchmark("pass/chain62/frames:32", BM_Chain62)
      ->UseManualTime()
      ->Iterations(100000)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("monitor/taps/frames:32", BM_MonitorTaps)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("monitor/tuner_estimate", BM_TunerEstimate)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("jack/rate_conversion/48000Hz/period:64", BM_RateBridge)
      ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
