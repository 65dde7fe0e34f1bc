// Helpers shared by the layout and sample bank files: the rule for the name a file is saved
// under, and little-endian reading and writing that notice short reads and failed writes.
#ifndef QAF_FILEIO_H
#define QAF_FILEIO_H

#include <glib.h>
#include <stdio.h>

#include <string>

// The folder a file is in, as an absolute path.
std::string folderOf(const char *file);

// The name to save under for the chosen text: empty or ending in '/' (a folder, no file) gives
// "default.<ext>" inside it; a name already ending in ".<ext>", case ignored, stays as it is;
// any other gets ".<ext>" appended. Free the result with g_free.
gchar *saveFileName(const gchar *chosen, const char *ext);

// Builds the name to save under and opens it for writing ("wb"); on failure prints
// "Error opening file " and the name and returns null. *name is set either way (g_free it).
FILE *openForSave(const gchar *chosen, const char *ext, gchar **name);

// Writes little-endian fields; remembers whether every write succeeded.
struct leWriter {
  explicit leWriter(FILE *f) : f(f), ok(true) {}
  void bytes(const void *p, size_t n);
  void i32(gint32 v);
  void f32(float v);
  // Closes the file; false when any write or the close failed.
  bool close();

  FILE *f;
  bool ok;
};

// Reads little-endian fields; each returns false when the file holds fewer bytes than asked.
bool readBytes(FILE *f, void *p, size_t n);
bool readI32(FILE *f, gint32 *v);
bool readF32(FILE *f, float *v);

#endif
