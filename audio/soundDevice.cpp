// The device operations the rest of QAF calls (open_sound, read_sound, write_sound,
// interrupt_sound, close_sound), passed on to the back end that -d chose: OSS (the default,
// untouched), ALSA, JACK or WAV files. Around the transfers it times each pass, for the
// statistics printed at shutdown.
#include <stdio.h>
#include <sys/ioctl.h>

#include <atomic>
#include <string>

#include "audio/cardfeed.h"
#include "audio/devices.h"

// The OSS 4 error counters (not in Linux's OSS 3 header). A driver that does not know the
// request refuses it, and the count is then "not reported".
struct ossErrInfo {
  int play_underruns;
  int rec_overruns;
  unsigned int play_ptradjust;
  unsigned int rec_ptradjust;
  int play_errorcount;
  int rec_errorcount;
  int play_lasterror;
  int rec_lasterror;
  int play_errorparm;
  int rec_errorparm;
  int filler[16];
};
#define QAF_SNDCTL_DSP_GETERROR _IOR('P', 25, struct ossErrInfo)

static soundDeviceKind kind = DEV_OSS;
static const soundBackend *active = nullptr;  // nullptr: OSS
static std::atomic<int> statsReported{0};
static bool statsWanted = false;  // the program chose its device; tests of the bare OSS path did not
static std::string ossPath;

void chooseSoundDevice(const soundDeviceChoice &c)
{
  kind = c.kind;
  active = nullptr;
  statsWanted = true;
  switch (c.kind) {
    case DEV_AUTO: break;
    case DEV_OSS:
      ossPath = c.path;
      oss_device_path = ossPath.c_str();
      break;
    case DEV_ALSA: alsa_pcm_name = c.path; active = &alsaBackend; break;
    case DEV_JACK: active = &jackBackend; break;
    case DEV_FILE:
      wav_in_path = c.path;
      wav_out_path = c.outPath;
      active = &wavBackend;
      break;
  }
}

const soundBackend *activeSoundBackend() { return active; }

// Main thread, once at start-up.
int open_sound(int rate, int bits, int channels, int fragments, int size)
{
  if (active) return active->open(rate, bits, channels, fragments, size);
  int r = oss_open_sound(rate, bits, channels, fragments, size);
  // Chosen by default, OSS gives way to ALSA on a machine where /dev/dsp does not open at all;
  // a device that opens but cannot be set up is reported as it is.
  if (r != 0 && kind == DEV_AUTO && oss_device_missing && !sound_opened) {
    fprintf(stderr, "No OSS device at %s: trying ALSA \"%s\"\n", oss_device_path,
            alsa_pcm_name.c_str());
    if (alsaBackend.open(rate, bits, channels, fragments, size) == 0) {
      active = &alsaBackend;
      return 0;
    }
    // Neither: the OSS operations stay, and the first read fails as it does without a device.
  }
  return r;
}

// Audio thread.
int readSoundUntimed() { return active ? active->read() : oss_read_sound(); }
int writeSoundUntimed() { return active ? active->write() : oss_write_sound(); }

// Audio thread.
int read_sound()
{
  int r = readSoundUntimed();
  if (r == 0) markReadDone();
  return r;
}

// Audio thread.
int write_sound()
{
  markWriteStart();
  return writeSoundUntimed();
}

bool soundDeviceIsOffline() { return active && active->offline; }

// Any thread, never blocks.
void interrupt_sound()
{
  oss_interrupt_sound();
  if (active) active->interrupt();
}

double soundRoundTripMs()
{
  if (!sound_opened || !active || !active->roundTripMs) return -1;
  return active->roundTripMs();
}

long currentSoundXruns()
{
  if (!sound_opened) return -1;
  if (active) return active->xruns();
  struct ossErrInfo e;
  if (fd >= 0 && ioctl(fd, QAF_SNDCTL_DSP_GETERROR, &e) == 0)
    return (long)e.play_underruns + e.rec_overruns;
  return -1;
}

bool reportSoundStats()
{
  if (!statsWanted || !sound_opened || statsReported.exchange(1)) return false;
  fprintf(stderr, "%s\n", deviceStatsLine(currentSoundXruns()).c_str());
  return true;
}

// Main thread at shutdown (or the audio thread as it ends the program).
void close_sound()
{
  if (active)
    active->close();
  else
    oss_close_sound();
}
