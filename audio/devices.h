// The sound device back ends behind open_sound/read_sound/write_sound/close_sound: OSS (the
// descriptor in cardfeed), ALSA, JACK and sound files. Each back end moves the shared buf/buf_size
// of audio/cardfeed.h; the audio thread never knows which one it drives. This file also keeps the
// run's device statistics (xruns, the worst pass) that are printed at shutdown.
#ifndef QAF_DEVICES_H
#define QAF_DEVICES_H

#include <atomic>
#include <string>

#include "base/realtime.h"

// One back end: the device operations with the contract of cardfeed.h (interrupt: from now on
// no read starts and a blocked one gives up quietly, shutdown's first step), and its xrun count
// (-1 when the device cannot tell).
struct soundBackend {
  const char *name;
  int (*open)(int rate, int bits, int channels, int fragments, int size);
  int (*read)();
  int (*write)();
  void (*interrupt)();
  void (*close)();
  long (*xruns)();
  bool offline = false;  // no deadline: the audio thread may take many buffers at a time
  // The time from the device's input to its output through QAF, in ms, where the device knows
  // it and adds to it (a JACK server or an ALSA device at another rate); -1 otherwise.
  double (*roundTripMs)() = nullptr;
};

// The OSS back end (audio/cardfeed.cpp): the device at oss_device_path ("/dev/dsp" unless
// -d oss:PATH); oss_device_missing is set when that path would not even open.
extern const char *oss_device_path;
extern int oss_device_missing;
int oss_open_sound(int rate, int bits, int channels, int fragments, int size);
int oss_read_sound();
int oss_write_sound();
void oss_interrupt_sound();
void oss_close_sound();

extern const soundBackend alsaBackend;
extern const soundBackend jackBackend;
// Main thread, before the device opens: the JACK client's name ("qaf" unless set).
void setJackClientName(const char *name);
extern const soundBackend wavBackend;

// What -d/--device chose. DEV_AUTO: OSS when /dev/dsp opens, else ALSA "default".
enum soundDeviceKind { DEV_AUTO, DEV_OSS, DEV_ALSA, DEV_JACK, DEV_FILE };

struct soundDeviceChoice {
  soundDeviceKind kind = DEV_AUTO;
  std::string path;     // OSS device path, ALSA PCM name, or the input sound file
  std::string outPath;  // the output sound file (DEV_FILE)
};

// Reads a -d value: "oss[:PATH]", "alsa[:PCM]", "jack" or "file:IN:OUT". False (and the
// choice unchanged) when the text names none of them.
bool parseSoundDevice(const char *text, soundDeviceChoice &choice);

// Main thread, before open_sound: the back end the device operations use from now on. Without
// a call they are the OSS ones on /dev/dsp, exactly.
void chooseSoundDevice(const soundDeviceChoice &choice);
// The back end in use (nullptr: OSS).
const soundBackend *activeSoundBackend();
// Either thread, once, just before the device is closed at the end of the run: prints the xrun
// count and the worst pass on the error stream, when a device was open (then true).
bool reportSoundStats();
// Any thread: the device's round trip in ms, or -1 (see soundBackend::roundTripMs).
double soundRoundTripMs();
// Audio thread. One buffer in or out without timing the pass around it (a device that renders
// blocks of passes times the block: noteBlockTime).
int readSoundUntimed();
int writeSoundUntimed();
// Any thread. True when the device in use has no deadline (a sound file).
bool soundDeviceIsOffline();
// Main thread. The open device's xrun count so far; -1 when it cannot tell (or none is open).
// On OSS this asks the device.
long currentSoundXruns();

// Main thread, before open_sound. Settings of the back ends, filled from the choice.
extern std::string alsa_pcm_name;   // "default" unless -d alsa:PCM
extern std::string wav_in_path;
extern std::string wav_out_path;
extern int wav_out_rate;  // the file render's output rate; 0: the input's (--rate N)

// Main thread, after the file back end opened and before the audio thread starts: closing it
// removes the output instead of writing it (the run ends before any sound was processed).
void wavDiscardRender();

// Set by a back end whose output could not be completed: the program then ends with status 1.
extern std::atomic<int> sound_run_failed;

// Float <-> signed 16-bit for JACK. Any thread; no state.
short floatToS16(float x) QAF_NONBLOCKING;
float s16ToFloat(short s) QAF_NONBLOCKING;

// ---- Run statistics, kept by the device layer -------------------------------------------------
// Audio thread (or the JACK callback). The time one pass took, in nanoseconds, against the
// length of the period it had (also in nanoseconds).
void notePassTime(long long passNs, long long periodNs) QAF_NONBLOCKING;
// Audio thread. A block of passes took ns: each of them is counted as an even share.
void noteBlockTime(long long ns, int passes) QAF_NONBLOCKING;
// Audio thread. Marks the end of a read and, at the following write, counts the pass between.
void markReadDone() QAF_NONBLOCKING;
void markWriteStart() QAF_NONBLOCKING;
// The worst pass of the run as a share of its period (0 when no pass has run).
double worstPassShare();
long long worstPassNs();
long long worstPeriodNs();
void resetPassStats();
// The shutdown line: "Xruns: N; worst pass P% of the period (A us of B us)", with "not reported
// by the device" when the back end cannot count.
std::string deviceStatsLine(long xruns);

// Monotonic nanoseconds; safe on the audio thread (no system call on Linux).
long long monoNs() QAF_NONBLOCKING;

// ---- JACK internals, visible for the tests ----------------------------------------------------
// How a JACK period maps onto QAF's passes.
struct jackPassPlan {
  int passFrames;   // frames per pass (sound_buffer_size / 4)
  int fifo;         // 0: each period is a whole number of passes; 1: passes run through a FIFO
                    // that adds passFrames of latency
};
// Pass size for a server period of nframes, with the -b pass size as fallback: the period
// itself when it is one of the six sizes, else the largest size that divides it, else the -b
// size through the FIFO.
jackPassPlan planJackPasses(int nframes, int bufferBytes);
// The JACK process callback (real-time thread; takes no lock).
int jackProcess(unsigned nframes, void *arg) QAF_NONBLOCKING;
extern std::atomic<long> jackCallbacks;   // process callbacks run
#endif
