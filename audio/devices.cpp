// The device layer shared by every back end: reading the -d choice, the back ends' settings, the
// float <-> s16 conversion for JACK, and the run statistics (worst pass, xruns) that are printed
// at shutdown.
#include "audio/devices.h"

#include <math.h>
#include <stdio.h>
#include <strings.h>
#include <time.h>

#include "audio/cardfeed.h"
#include "audio/period.h"

std::string alsa_pcm_name = "default";
std::string wav_in_path;
std::string wav_out_path;
int wav_out_rate = 0;
std::atomic<int> sound_run_failed{0};

bool parseSoundDevice(const char *text, soundDeviceChoice &choice)
{
  if (!text) return false;
  std::string t(text);
  std::string kind = t.substr(0, t.find(':'));
  bool hasArg = t.find(':') != std::string::npos;
  std::string arg = hasArg ? t.substr(kind.size() + 1) : std::string();

  soundDeviceChoice c;
  if (strcasecmp(kind.c_str(), "oss") == 0) {
    c.kind = DEV_OSS;
    c.path = hasArg ? arg : "/dev/dsp";
    if (c.path.empty()) return false;
  } else if (strcasecmp(kind.c_str(), "alsa") == 0) {
    // ALSA names hold colons of their own ("hw:0,0"): everything after "alsa:" is the name.
    c.kind = DEV_ALSA;
    c.path = hasArg ? arg : "default";
    if (c.path.empty()) return false;
  } else if (strcasecmp(kind.c_str(), "jack") == 0) {
    if (hasArg) return false;
    c.kind = DEV_JACK;
  } else if (strcasecmp(kind.c_str(), "file") == 0) {
    // file:IN:OUT -- the input name ends at the first colon.
    size_t colon = arg.find(':');
    if (!hasArg || colon == std::string::npos) return false;
    c.kind = DEV_FILE;
    c.path = arg.substr(0, colon);
    c.outPath = arg.substr(colon + 1);
    if (c.path.empty() || c.outPath.empty()) return false;
  } else {
    return false;
  }
  choice = c;
  return true;
}

// Any thread. Full scale is 32768 either way; values beyond it clip, NaN is silence.
periodClient periodCalls;

short floatToS16(float x) QAF_NONBLOCKING
{
  if (!(x == x)) return 0;
  float s = x * 32768.0f;
  if (s >= 32767.0f) return 32767;
  if (s <= -32768.0f) return -32768;
  return (short)lrintf(s);
}

float s16ToFloat(short s) QAF_NONBLOCKING { return (float)s / 32768.0f; }

// ---- Run statistics ---------------------------------------------------------------------------

static std::atomic<long long> worstNs{0};
static std::atomic<long long> worstPeriod{0};
static std::atomic<long long> worstShareMicro{0};  // worst pass / period, in millionths
static long long readDoneAt = 0;                     // audio thread only

long long monoNs() QAF_NONBLOCKING
{
  struct timespec ts;
  // the clock is read from the vDSO, without a system call
  QAF_FX_OFF
  clock_gettime(CLOCK_MONOTONIC, &ts);
  QAF_FX_ON
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// Audio thread (or the JACK callback). The same timing feeds the monitor's load figure.
void notePassTime(long long passNs, long long periodNs) QAF_NONBLOCKING
{
  if (periodNs <= 0) return;
  if (periodCalls.periodTime) periodCalls.periodTime(passNs, periodNs);
  long long share = passNs * 1000000LL / periodNs;
  if (share > worstShareMicro.load(std::memory_order_relaxed)) {
    worstShareMicro.store(share, std::memory_order_relaxed);
    worstNs.store(passNs, std::memory_order_relaxed);
    worstPeriod.store(periodNs, std::memory_order_relaxed);
  }
}

// Audio thread. One buffer's length in nanoseconds.
static long long bufferPeriodNs() QAF_NONBLOCKING { return (long long)(buf_size / 4) * 1000000000LL / 44100; }

// Audio thread.
void markReadDone() QAF_NONBLOCKING { readDoneAt = monoNs(); }

// Audio thread. The pass is what ran between the read and this write: every module and the
// output stage.
void markWriteStart() QAF_NONBLOCKING
{
  if (!readDoneAt) return;
  notePassTime(monoNs() - readDoneAt, bufferPeriodNs());
  readDoneAt = 0;
}

// Audio thread.
void noteBlockTime(long long ns, int passes) QAF_NONBLOCKING
{
  if (passes <= 0) return;
  notePassTime(ns / passes, bufferPeriodNs());
}

double worstPassShare() { return (double)worstShareMicro.load() / 1e6; }
long long worstPassNs() { return worstNs.load(); }
long long worstPeriodNs() { return worstPeriod.load(); }

void resetPassStats()
{
  worstNs = 0;
  worstPeriod = 0;
  worstShareMicro = 0;
  readDoneAt = 0;
}

std::string deviceStatsLine(long xruns)
{
  char line[160];
  char x[48];
  if (xruns < 0)
    snprintf(x, sizeof x, "not reported by the device");
  else
    snprintf(x, sizeof x, "%ld", xruns);
  if (worstPeriod.load() == 0)
    snprintf(line, sizeof line, "Xruns: %s; no pass ran", x);
  else
    snprintf(line, sizeof line, "Xruns: %s; worst pass %.1f%% of the period (%lld us of %lld us)",
             x, worstPassShare() * 100.0, worstPassNs() / 1000, worstPeriodNs() / 1000);
  return line;
}
