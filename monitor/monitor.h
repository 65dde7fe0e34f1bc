// What the musician watches while playing: peak levels of Line In and Line Out, the DSP load,
// the device's figures for the status line, and Line In's latest samples for the tuner. The audio
// thread publishes all of it through atomics once per pass; readers take it at their own pace.
#ifndef QAF_MONITOR_H
#define QAF_MONITOR_H

#include <string>

#include "base/realtime.h"

// ---- The audio side ---------------------------------------------------------------------------
// Audio thread (or the JACK callback), just before the pass: the device buffer holds Line In's
// n interleaved stereo frames. Notes their peaks and copies them into the tuner's ring.
void monitorLineIn(const short *frames, int n) QAF_NONBLOCKING;
// Audio thread (or the JACK callback), right after the pass: the buffer holds what goes out.
// Silences it while the tuner mutes the output, then notes the peaks of what is left. A block
// of passes rendered at once is taken in one call, with all its frames and its pass count.
void monitorPass(short *frames, int n, int passesDone = 1) QAF_NONBLOCKING;
// Audio thread (or the JACK callback), from notePassTime: one pass against its period. Every 32
// passes the load figure is worked out again and averaged half and half with the one before.
void monitorLoadSample(long long passNs, long long periodNs) QAF_NONBLOCKING;

// ---- Readers (any thread but the audio thread) ------------------------------------------------
// Who takes the peaks: each reader sees the peaks since its own last take.
enum monitorReader { READER_WINDOW, READER_STATUS, READER_REMOTE, MONITOR_READERS };
struct meterPeaks {
  int in[2];   // Line In left/right: largest |sample| since the last take, 32768 = full scale
  int out[2];  // Line Out left/right
};
meterPeaks monitorTakePeaks(monitorReader r);
// Whether a peak touched full scale (a clip).
inline bool peakClipped(int peak) { return peak >= 32767; }
// The DSP load in percent of the period; -1 until a whole round of passes has run at the
// current period (at start, and again after the period changed).
double monitorLoadPercent();
// The period the last pass had (0 before any) and how many times it has changed since the first.
long long monitorPeriodNs();
long monitorPeriodChanges();
// Passes seen so far.
long monitorPasses();
// The peak as dBFS (-infinity for silence) and as printed: one decimal, or "-inf".
double peakDbfs(int peak);
std::string dbText(int peak);

// Line Out silenced after each pass (the tuner's mute), and whether it is.
void setOutputMuted(bool muted);
bool outputMuted() QAF_NONBLOCKING;

// Copies the latest n frames of Line In (interleaved stereo) into out. False when fewer than n
// have arrived or when the newest is older than maxAgeMs (sound has stopped flowing).
bool lineInLatest(short *out, int n, int maxAgeMs);

// The device in use, as the status line names it ("OSS /dev/dsp", "ALSA default", "JACK", ...).
std::string soundDeviceName();
// "load 1.2% xruns 0 in -6.0/-inf dBFS out -inf/-inf dBFS": the load, the device's xrun count
// (-1: "n/a", the device cannot tell) and the peaks since the status reader's last take.
std::string statusLine(long xruns);

// UI thread. The word commands of this folder, "status" and "tuner" (any case, alone on the
// line): prints its line and returns true; false for any other line, untouched.
bool monitorCommand(const char *line);
// Installed by the front end: what the tuner command also does there (opens the tuner window).
void setTunerOpener(void (*open)());

// Tests: every figure back to its start.
void monitorReset();

#endif
