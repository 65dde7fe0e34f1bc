// The tuner: a pitch estimate of Line In (the louder channel) by the YIN difference function,
// refined on the largest multiple of the period that fits, the note it is nearest with its
// offset in cents, and the worker thread that keeps a reading fresh while the tuner is open.
#ifndef QAF_PITCH_H
#define QAF_PITCH_H

#include <string>
#include <vector>

// The range the tuner hears, and how many frames one estimate looks at (about 80 ms).
#define TUNER_LOW_HZ 29.0
#define TUNER_HIGH_HZ 1550.0
#define TUNER_MIN_LAG 20
#define TUNER_MAX_LAG 1500
#define TUNER_WINDOW 2048
#define TUNER_FRAMES (TUNER_WINDOW + TUNER_MAX_LAG + 2)

struct pitchReading {
  bool note = false;  // false: too quiet, no clear period, or out of range
  double hz = 0;
  int midi = 0;       // nearest note: 69 is A4
  double cents = 0;   // from that note, -50..+50
  double level = 0;   // RMS of the channel used, full scale = 1
};

// Not the audio thread. Estimates the pitch of the latest TUNER_FRAMES interleaved stereo frames
// against the reference a4Hz. Keeps its work buffers between calls.
class pitchEstimator {
 public:
  pitchEstimator();
  pitchReading estimate(const short *stereo, double a4Hz);

 private:
  std::vector<float> x;
  std::vector<double> d, cmnd;
};

// "E2 +3 cents 82.55 Hz", or "no note".
std::string describeReading(const pitchReading &r);
// "E2", "C#5": the name and octave of a note number.
std::string noteName(int midi);
// Note and cents of a frequency against a4Hz (fills midi and cents).
void placeNote(pitchReading &r, double a4Hz);

// The reference A4 for every reading, 430..450 Hz (440 unless changed); out-of-range values are
// pinned to the ends.
void setTunerReference(double hz);
double tunerReference();

// UI thread. Starts and stops the worker thread that estimates from Line In every 20 ms.
void tunerStart();
void tunerStop();
bool tunerRunning();
// Any thread. The worker's latest reading (no note before its first).
pitchReading tunerLatest();
// Any thread but the audio thread: a reading of Line In as it is now, worked out on the spot.
pitchReading tunerReadNow();

#endif
