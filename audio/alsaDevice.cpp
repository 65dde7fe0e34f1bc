// The ALSA back end: one named PCM opened for capture and for playback, S16_LE stereo at 44100 Hz,
// a period of one device buffer, the two streams linked so they start and stop together.
// Reads and writes block on whole buffers; an xrun is recovered (snd_pcm_recover, then both
// streams restarted together with the playback primed again) and counted.
//
// A device that refuses 44100 Hz (many USB interfaces take only 48000 Hz on hw:) runs at the
// nearest rate it takes from 22050 to 192000 Hz, with periods of a pass's length at that rate,
// and the rate bridge converts both ways: a read takes device periods until a whole pass is
// there, and a period's output is written once its last pass has run, so that every period is
// read once and written once, in order. ALSA's own resampling (the plug plugin's) is turned
// down, so that the conversion is always the bridge's, whose quality and delay are known.
#include <alsa/asoundlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "audio/rateBridge.h"
#include "base/rtMemory.h"

// Buffers of silence written ahead of the first pass, so that playback has one buffer in hand
// while the pass that fills the next one runs.
#define ALSA_PRIME_PASSES 2

static snd_pcm_t *cap = nullptr;
static snd_pcm_t *play = nullptr;
static int passFrames = 0;
static snd_pcm_uframes_t primeFrames = 0;
static char *silence = nullptr;
static bool linked = false;
static bool running = false;
static std::atomic<long> xrunCount{0};
static std::atomic<int> interrupted{0};
// While the device runs at another rate than the passes.
static bool converting = false;
static unsigned deviceRate = QAF_RATE;
static snd_pcm_uframes_t devPeriod = 0;  // frames read and written at a time
static short *devBuf = nullptr;          // one device period, in and then out
static bool owed = false;                // a period was read whose output is not written yet

static void closeBoth()
{
  if (cap) snd_pcm_close(cap);
  if (play) snd_pcm_close(play);
  cap = play = nullptr;
}

// Main thread. Sets one stream up at the rate nearest *rate that the device takes (it is then
// in *rate), with periods of a pass's length at that rate; a failure prints what ALSA refused.
static int configure(snd_pcm_t *pcm, const char *what, unsigned *rate, int fragments,
                     snd_pcm_uframes_t *period, snd_pcm_uframes_t *bufferFrames)
{
  snd_pcm_hw_params_t *hw;
  snd_pcm_sw_params_t *sw;
  snd_pcm_hw_params_alloca(&hw);
  snd_pcm_sw_params_alloca(&sw);
  int err;
  const char *step = "";
  unsigned got = *rate;
  unsigned lo = QAF_BRIDGE_MIN_RATE, hi = QAF_BRIDGE_MAX_RATE;
  int dir = 0, loDir = 0, hiDir = 0;
  snd_pcm_uframes_t want, p;
  snd_pcm_uframes_t b;
  snd_pcm_uframes_t boundary;

  if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0) { step = "no configuration"; goto fail; }
  if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
    step = "interleaved access";
    goto fail;
  }
  if ((err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0) {
    step = "signed 16-bit little-endian samples";
    goto fail;
  }
  if ((err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0) { step = "2 channels"; goto fail; }
  if ((err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 0)) < 0) {
    step = "the device's own rate";
    goto fail;
  }
  if ((err = snd_pcm_hw_params_set_rate_minmax(pcm, hw, &lo, &loDir, &hi, &hiDir)) < 0) {
    step = "a rate from 22050 to 192000 Hz";
    goto fail;
  }
  if ((err = snd_pcm_hw_params_set_rate_near(pcm, hw, &got, &dir)) < 0) {
    step = "the rate";
    goto fail;
  }
  // A period as long as a pass: the pass itself at 44100 Hz.
  want = ((snd_pcm_uframes_t)passFrames * got + QAF_RATE / 2) / QAF_RATE;
  p = want;
  if ((err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &p, &dir)) < 0) {
    step = "the period size";
    goto fail;
  }
  b = p * (snd_pcm_uframes_t)(fragments > 2 ? fragments : 3);
  if ((err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &b)) < 0) {
    step = "the buffer size";
    goto fail;
  }
  if ((err = snd_pcm_hw_params(pcm, hw)) < 0) { step = "the hardware settings"; goto fail; }
  snd_pcm_hw_params_get_period_size(hw, &p, &dir);
  snd_pcm_hw_params_get_buffer_size(hw, &b);

  // Both streams are started by hand, together, once the playback is primed.
  if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0) { step = "software settings"; goto fail; }
  snd_pcm_sw_params_get_boundary(sw, &boundary);
  snd_pcm_sw_params_set_start_threshold(pcm, sw, boundary);
  snd_pcm_sw_params_set_avail_min(pcm, sw, want);
  if ((err = snd_pcm_sw_params(pcm, sw)) < 0) { step = "the software settings"; goto fail; }
  *rate = got;
  *period = p;
  *bufferFrames = b;
  return 0;

fail:
  fprintf(stderr, "ALSA %s: cannot set %s: %s\n", what, step, snd_strerror(err));
  return -1;
}

// Main thread, once.
static int alsaOpen(int rate, int, int, int fragments, int size)
{
  if (sound_opened) {
    fprintf(stderr, "Oops. Sound already opened, pal ! What the heck are ya doin' ?\n");
    return -1;
  }
  const char *name = alsa_pcm_name.c_str();
  int err;
  if ((err = snd_pcm_open(&cap, name, SND_PCM_STREAM_CAPTURE, 0)) < 0) {
    fprintf(stderr, "ALSA: cannot open \"%s\" for capture: %s\n", name, snd_strerror(err));
    cap = nullptr;
    return -1;
  }
  if ((err = snd_pcm_open(&play, name, SND_PCM_STREAM_PLAYBACK, 0)) < 0) {
    fprintf(stderr, "ALSA: cannot open \"%s\" for playback: %s\n", name, snd_strerror(err));
    play = nullptr;
    closeBoth();
    return -1;
  }
  passFrames = size / 4;
  snd_pcm_uframes_t cp, cb, pp, pb;
  // The playback is asked for the rate the capture got.
  unsigned capRate = (unsigned)rate, playRate = 0;
  if (configure(cap, "capture", &capRate, fragments, &cp, &cb) == 0) {
    playRate = capRate;
    if (configure(play, "playback", &playRate, fragments, &pp, &pb) < 0) playRate = 0;
  }
  if (playRate == 0) {
    closeBoth();
    return -1;
  }
  if (playRate != capRate) {
    fprintf(stderr, "ALSA \"%s\": capture runs at %u Hz and playback at %u Hz: QAF needs one "
            "rate for both\n", name, capRate, playRate);
    closeBoth();
    return -1;
  }
  converting = capRate != (unsigned)rate;
  deviceRate = capRate;
  devPeriod = cp;
  // The converter takes rates in a simple ratio to 44100 Hz: the usual ones, not 44056 Hz.
  if (converting && !rateBridgeSetup(capRate, passFrames, (int)cp, (int)cp)) {
    fprintf(stderr, "ALSA \"%s\" runs at %u Hz: QAF cannot convert that rate\n", name, capRate);
    converting = false;
    closeBoth();
    return -1;
  }
  // Prime with whole device periods when ALSA granted bigger ones than a pass: the capture side
  // then hands over a period at a time, and the playback must last until the next one is done.
  // While converting, a period is read and written at a time.
  snd_pcm_uframes_t least = converting ? cp : (snd_pcm_uframes_t)passFrames;
  snd_pcm_uframes_t unit = pp > least ? pp : least;
  primeFrames = unit * ALSA_PRIME_PASSES;
  if (primeFrames + least > pb) primeFrames = pb - least;
  if (converting) {
    int lat = rateBridgeLatency();
    printf("ALSA \"%s\" runs at %u Hz: QAF runs at %d Hz and converts both ways, adding %d frames "
           "(%.2f ms) of latency\n", name, capRate, rate, lat, lat * 1000.0 / capRate);
  }
  linked = snd_pcm_link(cap, play) == 0;
  printf("ALSA \"%s\": period %lu frames, buffer %lu frames, %lu frames primed, %s\n", name,
         (unsigned long)pp, (unsigned long)pb, (unsigned long)primeFrames,
         linked ? "capture and playback linked" : "capture and playback started one after the other");

  silence = (char *)calloc(primeFrames > 0 ? primeFrames : 1, 4);
  buf = (char *)rtAlloc((size_t)size);
  owed = false;
  if (converting) devBuf = (short *)rtAlloc((size_t)cp * 4);
  if (!buf || !silence) {
    perror("allocating buffer's memory");
    rtFree(buf);
    rtFree(devBuf);
    free(silence);
    buf = silence = nullptr;
    devBuf = nullptr;
    if (converting) rateBridgeClose();
    converting = false;
    closeBoth();
    return -1;
  }
  buf_size = size;
  running = false;
  xrunCount = 0;
  interrupted = 0;
  sound_opened = 1;
  return 0;
}

// Audio thread. Primes the playback with silence and starts both streams.
static int startDuplex()
{
  snd_pcm_uframes_t left = primeFrames;
  while (left > 0) {
    snd_pcm_sframes_t n = snd_pcm_writei(play, silence, left);
    if (n < 0) return (int)n;
    left -= (snd_pcm_uframes_t)n;
  }
  int err = snd_pcm_start(cap);
  if (err < 0) return err;
  if (!linked && (err = snd_pcm_start(play)) < 0) return err;
  running = true;
  return 0;
}

// Audio thread. After an xrun on either stream: recover it, then restart both from primed
// playback so that input and output stay the same distance apart.
static int recoverDuplex(snd_pcm_t *pcm, int err)
{
  err = snd_pcm_recover(pcm, err, 1);
  if (err < 0) return err;
  xrunCount++;
  snd_pcm_drop(cap);
  snd_pcm_drop(play);
  snd_pcm_prepare(cap);
  snd_pcm_prepare(play);
  return startDuplex();
}

// Audio thread. left frames from the capture into p, across xruns; 0, or -1 after saying why.
static int readFrames(char *p, snd_pcm_uframes_t left)
{
  int err;
  while (left > 0) {
    snd_pcm_sframes_t n = snd_pcm_readi(cap, p, left);
    if (n == -EINTR) {
      if (interrupted) return -1;
      continue;
    }
    if (n == -EPIPE || n == -ESTRPIPE) {
      if ((err = recoverDuplex(cap, (int)n)) < 0) {
        fprintf(stderr, "reading from audio card: %s\n", snd_strerror(err));
        return -1;
      }
      continue;
    }
    if (n < 0) {
      fprintf(stderr, "reading from audio card: %s\n", snd_strerror((int)n));
      return -1;
    }
    if (n == 0) {
      fprintf(stderr, "reading from audio card: the capture stream ended\n");
      return -1;
    }
    p += n * 4;
    left -= (snd_pcm_uframes_t)n;
  }
  return 0;
}

// Audio thread. left frames from p to the playback, across xruns; 0, or -1 after saying why.
static int writeFrames(const char *p, snd_pcm_uframes_t left)
{
  int err;
  while (left > 0) {
    snd_pcm_sframes_t n = snd_pcm_writei(play, p, left);
    if (n == -EINTR) {
      if (interrupted) return -1;
      continue;
    }
    if (n == -EPIPE || n == -ESTRPIPE) {
      if ((err = recoverDuplex(play, (int)n)) < 0) {
        fprintf(stderr, "writing to audio card: %s\n", snd_strerror(err));
        return -1;
      }
      continue;
    }
    if (n < 0) {
      fprintf(stderr, "writing to audio card: %s\n", snd_strerror((int)n));
      return -1;
    }
    p += n * 4;
    left -= (snd_pcm_uframes_t)n;
  }
  return 0;
}

// Audio thread, while converting. The output of the period read last, now that its passes ran.
static int writeOwedPeriod()
{
  owed = false;
  rateBridgeOutS16(devBuf, (unsigned)devPeriod);
  return writeFrames((const char *)devBuf, devPeriod);
}

// Audio thread. One whole buffer of input: at another rate, the next pass of what the device
// periods brought, reading a period (after writing the one before) when no whole pass waits.
static int alsaRead()
{
  if (!cap || !buf) {
    fprintf(stderr, "reading from audio card: no ALSA device is open\n");
    return -1;
  }
  if (interrupted) return -1;
  int err;
  if (!running && (err = startDuplex()) < 0) {
    fprintf(stderr, "reading from audio card: %s\n", snd_strerror(err));
    return -1;
  }
  if (!converting) return readFrames(buf, (snd_pcm_uframes_t)(buf_size / 4));
  while (!rateBridgeTakePass()) {
    if (owed && writeOwedPeriod() < 0) return -1;
    if (readFrames((char *)devBuf, devPeriod) < 0) return -1;
    rateBridgeInS16(devBuf, (unsigned)devPeriod);
    owed = true;
  }
  return 0;
}

// Audio thread. One whole buffer of output: at another rate, the pass joins the period's
// output, which is written after the period's last pass.
static int alsaWrite()
{
  if (!play || !buf) {
    fprintf(stderr, "writing to audio card: no ALSA device is open\n");
    return -1;
  }
  if (!converting) return writeFrames(buf, (snd_pcm_uframes_t)(buf_size / 4));
  rateBridgeGivePass();
  if (!owed || rateBridgePassWaiting()) return 0;
  return writeOwedPeriod();
}

// Main thread, at shutdown, once the audio thread no longer uses the device. What was written
// is played out (a few periods) before the streams close.
static void alsaClose()
{
  if (cap && linked) snd_pcm_unlink(cap);
  if (cap) snd_pcm_drop(cap);
  if (play && running) snd_pcm_drain(play);
  closeBoth();
  running = false;
  rtFree(buf);
  rtFree(devBuf);
  free(silence);
  buf = silence = nullptr;
  devBuf = nullptr;
  if (converting) rateBridgeClose();
  converting = false;
  owed = false;
  sound_opened = 0;  // a closed device may be opened again
}

// Any thread. A signal then gets a blocked read or write out.
static void alsaInterrupt() { interrupted = 1; }

static long alsaXruns() { return xrunCount.load(); }

// Any thread, while converting: every sample waits behind the primed playback and what the
// conversion adds, from the moment the device takes it in to the moment it plays it.
static double alsaRoundTripMs()
{
  if (!converting) return -1;
  return (double)((long)primeFrames + rateBridgeLatency()) * 1000.0 / deviceRate;
}

const soundBackend alsaBackend = {"alsa",        alsaOpen,  alsaRead,  alsaWrite, alsaInterrupt,
                                  alsaClose,     alsaXruns, false,     alsaRoundTripMs};
