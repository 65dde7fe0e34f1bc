// Sound files (sndfile/: the file render's reader, writer and device, and the sample slots' WAV
// loader). This file: the sample slots' WAV loader, which fills one sample slot from a RIFF/WAVE
// PCM file (8 or 16 bits, mono or stereo, 11025, 22050 or 44100 Hz), converting it once to
// 44100 Hz mono 16-bit. UI thread, the slot's lock held by the caller. Every refusal prints one
// line and leaves the slot empty.
#include <fcntl.h>
#include <glib.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "samples/loopStore.h"

#define WAV_WINDOW 512       // the header is looked for in the first 512 bytes only
#define WAV_READ_BLOCK 65536  // the sound data is read and converted this many bytes at a time

static unsigned le16(const unsigned char *p) { return p[0] | (p[1] << 8); }

static unsigned le32(const unsigned char *p)
{
  return p[0] | (p[1] << 8) | (p[2] << 16) | ((unsigned)p[3] << 24);
}

// The first position from..507 where the 4 bytes of tag stand in the window, or -1.
static int findTag(const unsigned char *w, int from, const char *tag)
{
  for (int i = from; i <= WAV_WINDOW - 4; i++)
    if (memcmp(w + i, tag, 4) == 0) return i;
  return -1;
}

// One frame's value: the single sample, or the two channels' average truncated toward zero.
static int frameValue(const unsigned char *p, int channels, int bits)
{
  int v[2];
  for (int c = 0; c < channels; c++) {
    if (bits == 8)
      v[c] = (int(p[c]) - 128) * 256;  // unsigned 8-bit: 128 is silence
    else
      v[c] = (short)le16(p + 2 * c);
  }
  return channels == 1 ? v[0] : (v[0] + v[1]) / 2;
}

int loadLoopStream(int slot, FILE *f, long long flen, const char *path)
{
  deleteLoop(slot);

  unsigned char w[WAV_WINDOW];
  memset(w, 0, sizeof w);
  size_t want = flen < WAV_WINDOW ? (size_t)(flen < 0 ? 0 : flen) : WAV_WINDOW;
  if (fseek(f, 0, SEEK_SET) != 0 || fread(w, 1, want, f) != want) {
    printf("Error reading header from file: %s\n", path);
    return 0;
  }
  if (memcmp(w, "RIFF", 4) != 0 || memcmp(w + 8, "WAVE", 4) != 0) {
    printf("Not a wave file: %s\n", path);
    return 0;
  }
  // Chunks are found by searching for their tags, never through the chunk size fields.
  int fmt = findTag(w, 0, "fmt ");
  if (fmt < 0) {
    printf("fmt tag not found in: %s\n", path);
    return 0;
  }
  // The fields run up to fmt + 23; a tag so late that they would lie beyond the window is
  // refused rather than read from outside it.
  if (fmt + 24 > WAV_WINDOW) {
    printf("fmt chunk runs past the header in: %s\n", path);
    return 0;
  }
  unsigned format = le16(w + fmt + 8);
  int channels = (short)le16(w + fmt + 10);
  int rate = (int)le32(w + fmt + 12);
  int bits = (short)le16(w + fmt + 22);
  if (format != 1) {
    printf("Not a PCM wave file: %s\n", path);
    return 0;
  }
  printf("Channels %d Bits %d HZ %d\n", channels, bits, rate);
  if (rate != 11025 && rate != 22050 && rate != 44100) {
    printf("Illegal HZ\n");
    return 0;
  }
  if (channels != 1 && channels != 2) {
    printf("Illegal Channels\n");
    return 0;
  }
  if (bits != 8 && bits != 16) {
    printf("Illegal Bits\n");
    return 0;
  }
  int d = findTag(w, fmt, "data");
  if (d < 0) {
    printf("data tag not found in: %s\n", path);
    return 0;
  }
  // The data chunk's size field is ignored: everything from its start to the end of the file
  // is sound, trailing chunks included.
  long long start = d + 8;
  if (start >= flen) {
    printf("File is missing data or corrupted: %s\n", path);
    return 0;
  }
  long long n = flen - start;
  int r = 44100 / rate;
  int frameBytes = channels * (bits / 8);
  // A partial last frame is dropped: the stored sound holds whole frames only, so the
  // conversion can neither read past the data nor write past the buffer.
  long long frames = n / frameBytes;
  if (frames == 0) {
    printf("File is missing data or corrupted: %s\n", path);
    return 0;
  }
  // Checked in 64 bits before anything is allocated: the slot's length is a 32-bit byte count.
  long long L = frames * r * 2;
  if (L > INT_MAX) {
    printf("Sample too long for a slot: %s\n", path);
    return 0;
  }
  short *out = (short *)g_try_malloc((gsize)L);
  unsigned char *block = (unsigned char *)g_malloc(WAV_READ_BLOCK);
  if (!out) {
    printf("Not enough memory to load: %s\n", path);
    g_free(block);
    return 0;
  }

  bool ok = fseeko(f, (off_t)start, SEEK_SET) == 0;
  long long done = 0;   // bytes of data read so far
  long long put = 0;    // samples written so far
  // Blocks hold whole frames, so no frame straddles two reads.
  const long long blockBytes = (WAV_READ_BLOCK / frameBytes) * frameBytes;
  while (ok && done < n) {
    size_t chunk = (size_t)(n - done < blockBytes ? n - done : blockBytes);
    if (fread(block, 1, chunk, f) != chunk) {
      ok = false;
      break;
    }
    size_t whole = chunk / frameBytes;
    for (size_t i = 0; i < whole && put < L / 2; i++) {
      short v = (short)frameValue(block + i * frameBytes, channels, bits);
      for (int k = 0; k < r; k++) out[put++] = v;  // sample-and-hold up to 44100 Hz
    }
    done += chunk;
  }
  g_free(block);
  if (!ok) {
    printf("Error reading data from file: %s\n", path);
    g_free(out);
    return 0;
  }

  printf("WAV data copied\n");
  loopData[slot] = out;
  loopLength[slot] = (int)L;
  return 1;
}

int loadLoop(int slot, char *filename)
{
  deleteLoop(slot);
  // Without waiting: a named pipe chosen by mistake must not hang the user interface.
  int fdesc = open(filename, O_RDONLY | O_NONBLOCK);
  if (fdesc < 0) {
    printf("Error opening file:%s\n", filename);
    return 0;
  }
  // Only a regular file has a length to go by (a pipe, a device or a folder has none).
  struct stat st;
  off_t flen = (fstat(fdesc, &st) == 0 && S_ISREG(st.st_mode)) ? lseek(fdesc, 0, SEEK_END) : -1;
  close(fdesc);
  if (flen < 0) {
    printf("Error determining file length:%s\n", filename);
    return 0;
  }
  FILE *f = fopen(filename, "rb");
  if (!f) {
    printf("Error opening file:%s\n", filename);
    return 0;
  }
  int ok = loadLoopStream(slot, f, (long long)flen, filename);
  fclose(f);
  return ok;
}
