// Name rule and little-endian field I/O for the layout and sample bank files.
#include "files/fileio.h"

#include <string.h>

#include "base/reply.h"

gchar *saveFileName(const gchar *chosen, const char *ext)
{
  if (!chosen) chosen = "";
  size_t len = strlen(chosen);
  if (len == 0 || chosen[len - 1] == '/') return g_strdup_printf("%sdefault.%s", chosen, ext);
  gchar *dotExt = g_strdup_printf(".%s", ext);
  size_t extLen = strlen(dotExt);
  bool has = len >= extLen && g_ascii_strncasecmp(chosen + len - extLen, dotExt, extLen) == 0;
  g_free(dotExt);
  if (has) return g_strdup(chosen);
  return g_strdup_printf("%s.%s", chosen, ext);
}

void leWriter::bytes(const void *p, size_t n)
{
  if (n && fwrite(p, 1, n, f) != n) ok = false;
}

void leWriter::i32(gint32 v)
{
  guint32 u = (guint32)v;
  guint8 b[4] = {(guint8)u, (guint8)(u >> 8), (guint8)(u >> 16), (guint8)(u >> 24)};
  bytes(b, 4);
}

void leWriter::f32(float v)
{
  guint32 u;
  memcpy(&u, &v, 4);  // the float's bits, NaN payloads and signed zeros included
  i32((gint32)u);
}

bool leWriter::close()
{
  if (fclose(f) != 0) ok = false;
  f = nullptr;
  return ok;
}

bool readBytes(FILE *f, void *p, size_t n) { return fread(p, 1, n, f) == n; }

bool readI32(FILE *f, gint32 *v)
{
  guint8 b[4];
  if (!readBytes(f, b, 4)) return false;
  *v = (gint32)((guint32)b[0] | ((guint32)b[1] << 8) | ((guint32)b[2] << 16) | ((guint32)b[3] << 24));
  return true;
}

bool readF32(FILE *f, float *v)
{
  gint32 u;
  if (!readI32(f, &u)) return false;
  memcpy(v, &u, 4);
  return true;
}

FILE *openForSave(const gchar *chosen, const char *ext, gchar **name)
{
  *name = saveFileName(chosen, ext);
  FILE *f = fopen(*name, "wb");
  if (!f) sayError("Error opening file %s", *name);
  return f;
}

std::string folderOf(const char *file)
{
  gchar *abs = g_canonicalize_filename(file, nullptr);
  gchar *dir = g_path_get_dirname(abs);
  std::string d = dir;
  g_free(dir);
  g_free(abs);
  return d;
}
