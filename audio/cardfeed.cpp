// The OSS sound device: opening and configuring /dev/dsp for full duplex, the one device buffer,
// and the blocking read and write of one whole buffer per pass. Failures of the device's system
// calls are reported on the error stream in the perror form. These are the OSS back end behind
// the device operations (audio/soundDevice.cpp), and the default one.
#include "audio/cardfeed.h"
#include "base/rtMemory.h"
#include "audio/devices.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>

int fd = -1;
char *buf = nullptr;
int buf_size = 0;
int sound_opened = 0;
int sound_buffer_size = 128;
int sound_chunk_size = 64;
const int fs[6] = {128, 256, 512, 1024, 2048, 4096};
const char *oss_device_path = "/dev/dsp";
int oss_device_missing = 0;

// Set by shutdown: a read or write that a signal interrupts gives up instead of starting again.
static std::atomic<int> soundInterrupted{0};

// A failed set-up step: report it and leave the device closed, with no descriptor that a later
// read could mistake for the device (the number may be reused by some other file).
static int failOpen(const char *what)
{
  if (what) perror(what);
  close(fd);
  fd = -1;
  return -1;
}

// Main thread, once at start-up.
int oss_open_sound(int rate, int bits, int channels, int fragments, int size)
{
  (void)channels;  // the device is always asked for two channels
  if (sound_opened) {
    fprintf(stderr, "Oops. Sound already opened, pal ! What the heck are ya doin' ?\n");
    return -1;
  }

  fd = open(oss_device_path, O_RDWR);
  if (fd < 0) {
    oss_device_missing = 1;
    perror("open audio");
    fd = -1;
    return -1;
  }

  // The fragment size is the base-2 logarithm of the buffer size: 7 for 128 bytes up to 12.
  int s = 7;
  while (s < 12 && (1 << s) < size) s++;
  int frag = fragments * 65536 + s;
  if (ioctl(fd, SNDCTL_DSP_SETFRAGMENT, &frag) < 0) return failOpen("audio: set fragments");

  if (ioctl(fd, SNDCTL_DSP_SETDUPLEX, 0) == -1) return failOpen("setting duplex on audio");

  int caps = 0;
  if (ioctl(fd, SNDCTL_DSP_GETCAPS, &caps) == -1)
    return failOpen("getting capabilities of audio card");
  if (!(caps & DSP_CAP_DUPLEX)) {
    fprintf(stderr, "Sorry but your soundcard can't do full duplex\n");
    return failOpen(nullptr);
  }

  int format = bits == 8 ? AFMT_U8 : AFMT_S16_LE;
  if (ioctl(fd, SNDCTL_DSP_SETFMT, &format) == -1) return failOpen("audio: set format");

  int stereo = 1;
  if (ioctl(fd, SNDCTL_DSP_STEREO, &stereo) == -1) {
    perror("audio: set format");
    close(fd);
    fd = -1;
    exit(1);
  }

  int speed = rate;
  if (ioctl(fd, SNDCTL_DSP_SPEED, &speed) == -1) return failOpen("audio: set format");

  buf_size = size;
  buf = (char *)rtAlloc((size_t)size);
  if (!buf) {
    buf_size = 0;
    return failOpen("allocating buffer's memory");
  }
  soundInterrupted.store(0);  // a device opened again starts unasked to give up
  sound_opened = 1;
  return 0;
}

// Audio thread. A signal that interrupts the blocking read (the user pressing Ctrl-C, say) is
// not a device failure: the read starts again, unless shutdown asked it to give up.
int oss_read_sound()
{
  for (;;) {
    if (soundInterrupted.load()) return -1;
    if (!buf) {
      errno = EBADF;
      break;
    }
    ssize_t n = read(fd, buf, (size_t)buf_size);
    if (n == buf_size) return 0;
    if (n < 0 && errno == EINTR) continue;
    if (n >= 0) errno = EIO;  // a short transfer leaves no reason of its own
    break;
  }
  perror("reading from audio card");
  return -1;
}

// Audio thread. The buffer of a pass that was read is still written after shutdown has begun;
// only a write that blocks and is interrupted then gives up.
int oss_write_sound()
{
  for (;;) {
    if (!buf) {
      errno = EBADF;
      break;
    }
    ssize_t n = write(fd, buf, (size_t)buf_size);
    if (n == buf_size) return 0;
    if (n < 0 && errno == EINTR) {
      if (soundInterrupted.load()) return -1;
      continue;
    }
    if (n >= 0) errno = EIO;
    break;
  }
  perror("writing to audio card");
  return -1;
}

// Any thread; never blocks. From now on no new read starts, and a read or write that a signal
// interrupts gives up quietly: shutdown's way of getting the audio thread out of a blocking read.
void oss_interrupt_sound() { soundInterrupted.store(1); }

// Main thread, at shutdown, once the audio thread no longer uses the device.
void oss_close_sound()
{
  if (fd >= 0) close(fd);
  fd = -1;
  rtFree(buf);
  buf = nullptr;
  buf_size = 0;
  sound_opened = 0;  // a closed device may be opened again
}
