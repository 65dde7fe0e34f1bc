// The monitor's audio side and its readers: peak meters of Line In and Line Out, the DSP load
// worked out as JACK works out its own, the ring that carries Line In to the tuner, the output
// mute, and the "status" and "tuner" commands. The audio thread only stores atomics here.
#include "monitor/monitor.h"
#include "engine/soundNode.h"
#include "lv2/lv2host.h"

#include <math.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

#include "audio/devices.h"
#include "audio/period.h"
#include "engine/taps.h"
#include "base/reply.h"
#include "monitor/pitch.h"

// ---- Peaks ------------------------------------------------------------------------------------

// [reader][in L, in R, out L, out R]: the largest |sample| since that reader's last take.
static std::atomic<int> peaks[MONITOR_READERS][4];
static std::atomic<long> passes{0};
static std::atomic<bool> muted{false};

// Audio thread. Raises a reader's peak; the reader only ever swaps it back to 0, so the loop
// ends at once but for a take landing in between.
static inline void raisePeak(std::atomic<int> &p, int v)
{
  int cur = p.load(std::memory_order_relaxed);
  while (v > cur && !p.compare_exchange_weak(cur, v, std::memory_order_relaxed)) {
  }
}

// Audio thread. Peaks of n interleaved frames into slots first and first + 1. Eight frames at a
// time in vector lanes (left in the even lanes, right in the odd ones): a rendered block is
// thousands of frames.
typedef short frameLanes __attribute__((vector_size(32)));
static void notePeaks(const short *frames, int n, int first)
{
  frameLanes hi = {0}, lo = {0};
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    frameLanes v;
    memcpy(&v, frames + 2 * i, sizeof v);
    hi = v > hi ? v : hi;
    lo = v < lo ? v : lo;
  }
  int l = 0, r = 0;
  for (int k = 0; k < 16; k += 2) {
    l = std::max(l, std::max((int)hi[k], -(int)lo[k]));
    r = std::max(r, std::max((int)hi[k + 1], -(int)lo[k + 1]));
  }
  for (; i < n; i++) {
    l = std::max(l, std::abs((int)frames[2 * i]));
    r = std::max(r, std::abs((int)frames[2 * i + 1]));
  }
  for (int k = 0; k < MONITOR_READERS; k++) {
    raisePeak(peaks[k][first], l);
    raisePeak(peaks[k][first + 1], r);
  }
}

// ---- The tuner's ring: Line In's latest frames ------------------------------------------------

#define RING_FRAMES 16384  // a power of two, about 370 ms
static std::atomic<short> ring[2 * RING_FRAMES];
static std::atomic<long> ringWritten{0};     // frames written since the start
static std::atomic<long long> ringStamp{0};  // when the newest arrived

// Audio thread (or the JACK callback).
void monitorLineIn(const short *frames, int n) QAF_NONBLOCKING
{
  notePeaks(frames, n, 0);
  long w = ringWritten.load(std::memory_order_relaxed);
  for (int i = 0; i < n; i++) {
    long at = ((w + i) & (RING_FRAMES - 1)) * 2;
    ring[at].store(frames[2 * i], std::memory_order_relaxed);
    ring[at + 1].store(frames[2 * i + 1], std::memory_order_relaxed);
  }
  ringWritten.store(w + n, std::memory_order_release);
  ringStamp.store(monoNs(), std::memory_order_relaxed);
}

// Audio thread (or the JACK callback).
void monitorPass(short *frames, int n, int passesDone) QAF_NONBLOCKING
{
  notePeaks(frames, n, 2);
  passes.fetch_add(passesDone, std::memory_order_relaxed);
}

bool lineInLatest(short *out, int n, int maxAgeMs)
{
  if (n <= 0 || n > RING_FRAMES / 2) return false;
  for (int attempt = 0; attempt < 4; attempt++) {
    long w = ringWritten.load(std::memory_order_acquire);
    if (w < n) return false;
    if (maxAgeMs > 0 && monoNs() - ringStamp.load() > (long long)maxAgeMs * 1000000) return false;
    long from = w - n;
    for (int i = 0; i < n; i++) {
      long at = ((from + i) & (RING_FRAMES - 1)) * 2;
      out[2 * i] = ring[at].load(std::memory_order_relaxed);
      out[2 * i + 1] = ring[at + 1].load(std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    // Good unless the writer went round far enough to overwrite the oldest frame copied.
    if (ringWritten.load(std::memory_order_relaxed) - from <= RING_FRAMES) return true;
  }
  return false;
}

// ---- Load -------------------------------------------------------------------------------------

#define LOAD_ROUND 32
static long long roundNs[LOAD_ROUND];  // the JACK callback's or the audio thread's own
static int roundFill = 0;
static bool haveLoad = false;
static double smoothedLoad = 0;
static std::atomic<long> loadHundredths{-1};  // load in 1/100 %, -1 none yet
static std::atomic<long long> periodNow{0};
static std::atomic<long> periodChanges{0};

// Audio thread (or the JACK callback). Every 32 passes: the spare time is the period less the
// mean pass, or less the longest pass when one came within 5% of the period; the load is the
// rest as a share of the period, averaged half and half with the figure before.
void monitorLoadSample(long long passNs, long long periodNs) QAF_NONBLOCKING
{
  if (periodNs <= 0) return;
  long long was = periodNow.load(std::memory_order_relaxed);
  if (periodNs != was) {
    // A new period: the passes timed against the old one say nothing about the new.
    if (was != 0) periodChanges.fetch_add(1, std::memory_order_relaxed);
    periodNow.store(periodNs, std::memory_order_relaxed);
    roundFill = 0;
    haveLoad = false;
    loadHundredths.store(-1, std::memory_order_relaxed);
  }
  roundNs[roundFill++] = passNs;
  if (roundFill < LOAD_ROUND) return;
  roundFill = 0;
  long long sum = 0, most = 0;
  for (int i = 0; i < LOAD_ROUND; i++) {
    sum += roundNs[i];
    if (roundNs[i] > most) most = roundNs[i];
  }
  double period = (double)periodNs;
  double spare;
  if (most < period * 0.95)
    spare = period - (double)sum / LOAD_ROUND;
  else
    spare = most < periodNs ? period - (double)most : 0.0;
  double load = (1.0 - spare / period) * 100.0;
  // The first round stands alone rather than being averaged with nothing.
  smoothedLoad = haveLoad ? load * 0.5 + smoothedLoad * 0.5 : load;
  haveLoad = true;
  // the load is never negative: rounding half up is lround, without a call into libm
  loadHundredths.store((long)(smoothedLoad * 100.0 + 0.5), std::memory_order_relaxed);
}

// ---- Readers ----------------------------------------------------------------------------------

meterPeaks monitorTakePeaks(monitorReader r)
{
  meterPeaks p;
  for (int c = 0; c < 2; c++) {
    p.in[c] = peaks[r][c].exchange(0, std::memory_order_relaxed);
    p.out[c] = peaks[r][2 + c].exchange(0, std::memory_order_relaxed);
  }
  return p;
}

double monitorLoadPercent()
{
  long h = loadHundredths.load(std::memory_order_relaxed);
  return h < 0 ? -1.0 : (double)h / 100.0;
}

long long monitorPeriodNs() { return periodNow.load(std::memory_order_relaxed); }
long monitorPeriodChanges() { return periodChanges.load(std::memory_order_relaxed); }
long monitorPasses() { return passes.load(std::memory_order_relaxed); }

double peakDbfs(int peak)
{
  if (peak <= 0) return -INFINITY;
  return 20.0 * log10((double)peak / 32768.0);
}

std::string dbText(int peak)
{
  if (peak <= 0) return "-inf";
  char t[16];
  snprintf(t, sizeof t, "%.1f", peakDbfs(peak));
  return t;
}

void setOutputMuted(bool m) { muted.store(m); }
bool outputMuted() QAF_NONBLOCKING  { return muted.load(); }

std::string soundDeviceName()
{
  const soundBackend *b = activeSoundBackend();
  if (!b) return std::string("OSS ") + oss_device_path;
  if (strcmp(b->name, "alsa") == 0) return "ALSA " + alsa_pcm_name;
  if (strcmp(b->name, "jack") == 0) return "JACK";
  return "WAV file " + wav_in_path;
}

std::string statusLine(long xruns)
{
  meterPeaks p = monitorTakePeaks(READER_STATUS);
  char load[24], x[24], line[160];
  double l = monitorLoadPercent();
  if (l < 0)
    snprintf(load, sizeof load, "--");
  else
    snprintf(load, sizeof load, "%.1f%%", l);
  if (xruns < 0)
    snprintf(x, sizeof x, "n/a");
  else
    snprintf(x, sizeof x, "%ld", xruns);
  snprintf(line, sizeof line, "load %s xruns %s in %s/%s dBFS out %s/%s dBFS", load, x,
           dbText(p.in[0]).c_str(), dbText(p.in[1]).c_str(), dbText(p.out[0]).c_str(),
           dbText(p.out[1]).c_str());
  std::string s = line;
  double rt = soundRoundTripMs();
  if (rt >= 0) {
    snprintf(line, sizeof line, " round trip %.1f ms", rt);
    s += line;
  }
  return s;
}

// ---- Commands ---------------------------------------------------------------------------------

static void (*tunerOpener)() = nullptr;
void setTunerOpener(void (*open)()) { tunerOpener = open; }

// The line is the word alone, in any case, with blanks around it.
static bool isWord(const char *line, const char *word)
{
  line += strspn(line, " \t\r\n");
  size_t n = strlen(word);
  if (strncasecmp(line, word, n) != 0) return false;
  line += n;
  return line[strspn(line, " \t\r\n")] == '\0';
}

bool monitorCommand(const char *line)
{
  if (isWord(line, "status")) {
    say("%s", statusLine(currentSoundXruns()).c_str());
    // Plugins that delay what they pass say by how much.
    for (int s = 0; s < MAX_MODULES; s++)
      if (MOD[s] && MOD[s]->type == LV2_TYPE && lv2ReportsLatency(MOD[s]))
        say("Module %d (%s) reports a latency of %d frames (%.1f ms)", MOD[s]->ID,
            lv2Name(MOD[s]).c_str(), lv2Latency(MOD[s]), lv2Latency(MOD[s]) * 1000.0 / 44100);
    return true;
  }
  if (isWord(line, "tuner")) {
    if (tunerOpener) tunerOpener();
    say("%s", describeReading(tunerReadNow()).c_str());
    return true;
  }
  return false;
}

void monitorReset()
{
  for (auto &r : peaks)
    for (auto &p : r) p = 0;
  passes = 0;
  muted = false;
  ringWritten = 0;
  ringStamp = 0;
  roundFill = 0;
  haveLoad = false;
  smoothedLoad = 0;
  loadHundredths = -1;
  periodNow = 0;
  periodChanges = 0;
}

// Audio thread: what goes out, with the pass count.
static void lineOutTap(short *frames, int n, int passesDone) QAF_NONBLOCKING
{
  monitorPass(frames, n, passesDone);
}

// The meters and the tuner watch every pass; the device's period times feed the load figure.
static const bool tapsHung = [] {
  taps.lineIn = monitorLineIn;
  taps.lineOut = lineOutTap;
  taps.muted = outputMuted;
  periodCalls.periodTime = monitorLoadSample;
  return true;
}();
