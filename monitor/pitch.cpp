// Pitch estimation for the tuner and its worker thread. The estimate is YIN's: the squared
// difference of the signal with itself at every lag, normalised by its running mean, and the
// first clear dip taken as the period. A period read at one lag is only as fine as a fraction of
// a sample, so it is read again at the largest multiple of itself that the window holds.
#include "monitor/pitch.h"

#include <math.h>
#include <stdio.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "monitor/monitor.h"

#define RATE 44100.0
// Quieter than this (RMS, full scale 1, about -54 dBFS) shows no note.
#define LEVEL_FLOOR 0.002
// A dip of the normalised difference under this is a period; a signal with none is noise.
#define DIP_THRESHOLD 0.15

pitchEstimator::pitchEstimator() : x(TUNER_FRAMES), d(TUNER_MAX_LAG + 2), cmnd(TUNER_MAX_LAG + 2) {}

// The minimum of the parabola through (k-1, a), (k, b), (k+1, c), as an offset from k.
static double parabolaOffset(double a, double b, double c)
{
  double den = a - 2 * b + c;
  if (den <= 0) return 0;
  double off = 0.5 * (a - c) / den;
  return off > 1 ? 1 : off < -1 ? -1 : off;
}

pitchReading pitchEstimator::estimate(const short *stereo, double a4Hz)
{
  pitchReading r;
  // The louder channel, without its DC.
  double mean[2] = {0, 0}, power[2] = {0, 0};
  for (int i = 0; i < TUNER_FRAMES; i++)
    for (int c = 0; c < 2; c++) mean[c] += stereo[2 * i + c];
  for (int c = 0; c < 2; c++) mean[c] /= TUNER_FRAMES;
  for (int i = 0; i < TUNER_FRAMES; i++)
    for (int c = 0; c < 2; c++) {
      double v = stereo[2 * i + c] - mean[c];
      power[c] += v * v;
    }
  int ch = power[1] > power[0] ? 1 : 0;
  r.level = sqrt(power[ch] / TUNER_FRAMES) / 32768.0;
  if (r.level < LEVEL_FLOOR) return r;
  for (int i = 0; i < TUNER_FRAMES; i++) x[i] = (float)((stereo[2 * i + ch] - mean[ch]) / 32768.0);

  // The window is the newest TUNER_WINDOW frames, compared with the ones a lag before them.
  // Eight running sums in single precision let the compiler use vector instructions (the sum
  // of squares of a window loses nothing that matters in float).
  const float *w = x.data() + TUNER_MAX_LAG + 1;
  d[0] = 0;
  for (int lag = 1; lag <= TUNER_MAX_LAG + 1; lag++) {
    const float *v = w - lag;
    float s[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int j = 0; j < TUNER_WINDOW; j += 8)
      for (int k = 0; k < 8; k++) {
        float diff = w[j + k] - v[j + k];
        s[k] += diff * diff;
      }
    d[lag] = ((double)s[0] + s[1] + s[2] + s[3]) + ((double)s[4] + s[5] + s[6] + s[7]);
  }
  cmnd[0] = 1;
  double running = 0;
  for (int lag = 1; lag <= TUNER_MAX_LAG + 1; lag++) {
    running += d[lag];
    cmnd[lag] = running > 0 ? d[lag] * lag / running : 1;
  }

  int lag = -1;
  for (int k = TUNER_MIN_LAG; k <= TUNER_MAX_LAG; k++)
    if (cmnd[k] < DIP_THRESHOLD) {
      while (k < TUNER_MAX_LAG && cmnd[k + 1] < cmnd[k]) k++;
      lag = k;
      break;
    }
  if (lag < 0) return r;
  double period = lag + parabolaOffset(d[lag - 1], d[lag], d[lag + 1]);

  // The same period, m times over, measures m times finer; m grows step by step so that each
  // step lands within a sample of the dip it looks for.
  int top = (int)(TUNER_MAX_LAG / period);
  for (int m = 2; m <= top; m = m * 2 > top && m < top ? top : m * 2) {
    int c = (int)lround(m * period), best = -1;
    for (int k = c - 2; k <= c + 2; k++)
      if (k >= 1 && k <= TUNER_MAX_LAG && (best < 0 || d[k] < d[best])) best = k;
    if (best <= 1) break;
    double fine = (best + parabolaOffset(d[best - 1], d[best], d[best + 1])) / m;
    if (fabs(fine - period) * m > 1.5) break;  // not the same dip: keep what we have
    period = fine;
  }

  double hz = RATE / period;
  if (!(hz >= TUNER_LOW_HZ && hz <= TUNER_HIGH_HZ)) return r;
  r.note = true;
  r.hz = hz;
  placeNote(r, a4Hz);
  return r;
}

void placeNote(pitchReading &r, double a4Hz)
{
  double semis = 12.0 * log2(r.hz / a4Hz);
  r.midi = 69 + (int)lround(semis);
  r.cents = (semis - (r.midi - 69)) * 100.0;
}

std::string noteName(int midi)
{
  static const char *names[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
  int octave = (midi >= 0 ? midi / 12 : (midi - 11) / 12) - 1;
  char t[16];
  snprintf(t, sizeof t, "%s%d", names[((midi % 12) + 12) % 12], octave);
  return t;
}

std::string describeReading(const pitchReading &r)
{
  if (!r.note) return "no note";
  char t[64];
  snprintf(t, sizeof t, "%s %+ld cents %.2f Hz", noteName(r.midi).c_str(), lround(r.cents), r.hz);
  return t;
}

// ---- Reference and worker ---------------------------------------------------------------------

static std::atomic<double> reference{440.0};

void setTunerReference(double hz)
{
  if (!(hz >= 430.0)) hz = 430.0;
  if (hz > 450.0) hz = 450.0;
  reference.store(hz);
}

double tunerReference() { return reference.load(); }

// Sound that stopped flowing this long ago is no note.
#define STALE_MS 250

pitchReading tunerReadNow()
{
  static std::mutex nowLock;  // the estimator's buffers, shared by callers outside the worker
  static pitchEstimator est;
  static short frames[2 * TUNER_FRAMES];
  std::lock_guard<std::mutex> g(nowLock);
  if (!lineInLatest(frames, TUNER_FRAMES, STALE_MS)) return pitchReading();
  return est.estimate(frames, tunerReference());
}

static std::thread worker;
static std::mutex workerLock;  // the latest reading and the stop request
static std::condition_variable workerWake;
static bool stopWanted = false;
static pitchReading latest;

static void workerBody()
{
  pitchEstimator est;
  std::vector<short> frames(2 * TUNER_FRAMES);
  std::unique_lock<std::mutex> g(workerLock);
  while (!stopWanted) {
    g.unlock();
    pitchReading r;
    if (lineInLatest(frames.data(), TUNER_FRAMES, STALE_MS)) r = est.estimate(frames.data(), tunerReference());
    g.lock();
    latest = r;
    workerWake.wait_for(g, std::chrono::milliseconds(20), [] { return stopWanted; });
  }
}

void tunerStart()
{
  if (worker.joinable()) return;
  {
    std::lock_guard<std::mutex> g(workerLock);
    stopWanted = false;
    latest = pitchReading();
  }
  worker = std::thread(workerBody);
}

void tunerStop()
{
  if (!worker.joinable()) return;
  {
    std::lock_guard<std::mutex> g(workerLock);
    stopWanted = true;
  }
  workerWake.notify_all();
  worker.join();
}

bool tunerRunning() { return worker.joinable(); }

// At exit the worker is stopped before its thread object goes (a joinable one would abort).
static struct workerStopper {
  ~workerStopper() { tunerStop(); }
} stopAtExit;

pitchReading tunerLatest()
{
  std::lock_guard<std::mutex> g(workerLock);
  return latest;
}
