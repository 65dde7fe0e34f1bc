// Helpers of the layout and sample bank tests: a scratch folder, whole-file bytes, an independent
// little-endian reader and writer (never QAF's own), and hooks that record what the core asked of
// the user interface.
#ifndef QAF_FILETEST_UTIL_H
#define QAF_FILETEST_UTIL_H

#include <glib.h>
#include <glib/gstdio.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/hooks.h"

typedef std::vector<uint8_t> Bytes;

// A folder of its own for each test, removed with everything in it at the end.
struct scratchDir {
  scratchDir() { path = g_dir_make_tmp("qaf-files-XXXXXX", nullptr); }
  ~scratchDir()
  {
    std::string cmd = "rm -rf '" + std::string(path) + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path);
    g_free(path);
  }
  std::string file(const std::string &name) const { return std::string(path) + "/" + name; }
  gchar *path;
};

inline Bytes readAll(const std::string &path)
{
  Bytes b;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return b;
  int c;
  while ((c = fgetc(f)) != EOF) b.push_back((uint8_t)c);
  fclose(f);
  return b;
}

inline void writeAll(const std::string &path, const Bytes &b, size_t n)
{
  FILE *f = fopen(path.c_str(), "wb");
  if (n) fwrite(b.data(), 1, n, f);
  fclose(f);
}
inline void writeAll(const std::string &path, const Bytes &b) { writeAll(path, b, b.size()); }

inline bool fileExists(const std::string &path) { return g_file_test(path.c_str(), G_FILE_TEST_EXISTS); }

// Little-endian fields by offset.
inline int32_t le32(const Bytes &b, size_t off)
{
  return (int32_t)((uint32_t)b.at(off) | ((uint32_t)b.at(off + 1) << 8) |
                   ((uint32_t)b.at(off + 2) << 16) | ((uint32_t)b.at(off + 3) << 24));
}
inline uint32_t leBits(const Bytes &b, size_t off) { return (uint32_t)le32(b, off); }
inline int16_t le16(const Bytes &b, size_t off)
{
  return (int16_t)(uint16_t)(b.at(off) | (b.at(off + 1) << 8));
}
inline void put32(Bytes &b, int32_t v)
{
  uint32_t u = (uint32_t)v;
  for (int k = 0; k < 4; k++) b.push_back((uint8_t)(u >> (8 * k)));
}
inline void set32(Bytes &b, size_t off, int32_t v)
{
  uint32_t u = (uint32_t)v;
  for (int k = 0; k < 4; k++) b.at(off + k) = (uint8_t)(u >> (8 * k));
}
inline void putText(Bytes &b, const std::string &s) { b.insert(b.end(), s.begin(), s.end()); }
inline uint32_t floatBits(float f)
{
  uint32_t u;
  memcpy(&u, &f, 4);
  return u;
}
inline float bitsFloat(uint32_t u)
{
  float f;
  memcpy(&f, &u, 4);
  return f;
}

// Hooks that count what the core asked of the user interface.
struct hookRecord {
  int repaints = 0;
  int dialogCloses = 0;
  std::vector<int> namesChanged;
};
inline hookRecord &hooksSeen()
{
  static hookRecord r;
  return r;
}
inline void installRecordingHooks()
{
  hooksSeen() = hookRecord();
  qafHooks h;
  h.repaint = [] { hooksSeen().repaints++; };
  h.closeParmDialogs = [] { hooksSeen().dialogCloses++; };
  h.sampleNameChanged = [](int slot) { hooksSeen().namesChanged.push_back(slot); };
  installHooks(h);
}

#endif
