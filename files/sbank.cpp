// Sample bank files (.sbk): every full sample slot with its number, its name in the sample list
// and its samples, little-endian. Loading fills the listed slots one at a time, each under its
// own lock, while the audio goes on. Everything here runs on the UI thread.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "base/reply.h"
#include "files/fileio.h"
#include "files/fileops.h"
#include "samples/loopStore.h"

static const char bankMagic[] = "QAF_SBANK\n";  // 10 bytes on disk, no NUL
static const int bankMagicLen = 10;
static const int maxNameLen = 1023;  // characters before the NUL that the reader takes

// UI thread. Reads the slots without their locks: this thread is the only one that fills them.
void real_savesbank(gchar *filename)
{
  gchar *name;
  FILE *f = openForSave(filename, "sbk", &name);
  if (!f) {
    g_free(name);
    return;
  }
  leWriter w(f);
  w.bytes(bankMagic, bankMagicLen);
  int count = 0;
  for (int s = 0; s < NUM_LOOPS; s++)
    if (isLoopFull(s)) count++;
  w.i32(count);
  for (int s = 0; s < NUM_LOOPS; s++) {
    if (!isLoopFull(s)) continue;
    w.i32(s);
    // A longer name would make the whole bank unreadable from this entry on; the name is only a
    // label, so it is cut to what the reader takes.
    const char *label = getLoopName(s);
    size_t k = strlen(label);
    if (k > (size_t)maxNameLen) k = maxNameLen;
    w.bytes(label, k);
    w.bytes("", 1);
    int len = loopLength[s];
    w.i32(len);
    const guint8 *raw = (const guint8 *)loopData[s];
#if G_BYTE_ORDER == G_LITTLE_ENDIAN
    w.bytes(raw, (size_t)len);
#else
    for (int b = 0; b + 1 < len; b += 2) {
      guint8 le[2] = {raw[b + 1], raw[b]};
      w.bytes(le, 2);
    }
    if (len & 1) w.bytes(raw + len - 1, 1);
#endif
  }
  if (!w.close()) sayError("Error writing file %s", name);
  g_free(name);
}

// Reads len bytes of samples into a new buffer, or returns null when the file holds fewer. A
// length field larger than what is left of a regular file is refused before anything is
// allocated; for other files the buffer grows only with the bytes that actually arrive.
static guint8 *readSamples(FILE *f, gint32 len)
{
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode)) {
    long pos = ftell(f);
    if (pos < 0 || (gint64)len > (gint64)st.st_size - (gint64)pos) return nullptr;
  }
  size_t want = (size_t)len, have = 0;
  size_t cap = want < 65536 ? want : 65536;
  guint8 *b = (guint8 *)g_malloc(cap + 1);
  while (have < want) {
    if (have == cap) {
      cap = cap * 2 < want ? cap * 2 : want;
      b = (guint8 *)g_realloc(b, cap + 1);
    }
    size_t n = fread(b + have, 1, cap - have, f);
    if (n == 0) {
      g_free(b);
      return nullptr;
    }
    have += n;
  }
  return b;
}

// Loads the entries of an open bank. Entries before a broken or cut-short one stay loaded; the
// broken one changes nothing, and nothing after it is read.
static bool loadBank(FILE *f, const char *filename)
{
  char magic[bankMagicLen + 1] = {0};
  if (!readBytes(f, magic, bankMagicLen)) {
    sayError("Error reading file %s", filename);
    return false;
  }
  if (g_ascii_strncasecmp(magic, bankMagic, bankMagicLen) != 0) {
    sayError("Not a valid QAF Samplebank file!");
    return false;
  }
  gint32 count;
  if (!readI32(f, &count)) {
    sayError("Error reading file %s", filename);
    return false;
  }
  for (gint32 e = 1; e <= count; e++) {
    gint32 nSlot;
    if (!readI32(f, &nSlot)) {
      sayError("Error reading file %s", filename);
      return false;
    }
    if (!(nSlot >= 0 && nSlot < NUM_LOOPS)) {
      sayError("Not loading the rest of %s: entry %d is for slot %d, outside 0 to 63.", filename,
             e, nSlot);
      return false;
    }
    char name[maxNameLen + 1];
    int k = 0;
    for (;;) {
      int c = fgetc(f);
      if (c == EOF) {
        sayError("Error reading file %s", filename);
        return false;
      }
      if (c == 0) break;
      if (k == maxNameLen) {
        sayError("Not loading the rest of %s: the name in entry %d is longer than %d characters.",
               filename, e, maxNameLen);
        return false;
      }
      name[k++] = (char)c;
    }
    name[k] = '\0';
    // The name shows before the sound is read: an entry cut short leaves its new name in the
    // list while its slot keeps the old sound.
    setLoopName(nSlot, name);
    gint32 len;
    if (!readI32(f, &len)) {
      sayError("Error reading file %s", filename);
      return false;
    }
    if (len < 0) {
      sayError("Not loading the rest of %s: entry %d has a negative length %d.", filename, e, len);
      return false;
    }
    guint8 *raw = readSamples(f, len);
    if (!raw) {
      sayError("Error reading file %s", filename);
      return false;
    }
    int count16 = len / 2;  // an odd length loses its last byte
    short *samples = (short *)raw;
    for (int i = 0; i < count16; i++)
      samples[i] = (short)(guint16)(raw[2 * i] | (raw[2 * i + 1] << 8));
    lockLoop(nSlot);
    putrawLoop(nSlot, samples, count16);
    unlockLoop(nSlot);
    g_free(raw);
  }
  return true;
}

// UI thread. Takes each slot's lock while it replaces that slot; no graph lock.
void real_loadsbank(gchar *filename) { loadSampleBankFile(filename); }

// UI thread, as real_loadsbank.
bool loadSampleBankFile(const char *filename)
{
  if (!filename) filename = "";
  FILE *f = fopen(filename, "rb");
  if (!f) {
    sayError("Error opening file %s", filename);
    return false;
  }
  bool whole = loadBank(f, filename);
  fclose(f);
  return whole;
}
