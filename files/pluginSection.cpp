// The part of a layout that holds plugin modules. A layout without them has none and is byte for
// byte what it always was. With them, the slot count reads PLUGIN_LAYOUT_COUNT (so a reader
// that knows only the built-in types refuses the file as another version instead of misreading
// it) and after the wire tables comes:
//   "QAF_PLUGINS\n", i32 n, then n entries: i32 slot, str URI, i32 terminal mask,
//   i32 count of (str symbol, f32 value), i32 count of (str property URI, str path),
//   str state (the plugin's own state, lilv-free bytes; see lv2/lv2state.cpp)
// where str is an i32 byte length and the bytes. A path inside the layout's folder is written
// relative to it, any other absolutely.
#include "files/pluginSection.h"

#include <string.h>

#include "base/reply.h"
#include "engine/soundNode.h"
#include "lv2/lv2host.h"

static const char sectionMagic[] = "QAF_PLUGINS\n";
static const int sectionMagicLen = 12;

bool layoutHasPlugins()
{
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->type == LV2_TYPE) return true;
  return false;
}

static void str(leWriter &w, const std::string &s)
{
  w.i32((gint32)s.size());
  w.bytes(s.data(), s.size());
}

// Inside dir, relative to it; elsewhere as it is.
static std::string relativeTo(const std::string &dir, const std::string &path)
{
  std::string d = dir.empty() || dir.back() == '/' ? dir : dir + "/";
  if (!d.empty() && path.size() > d.size() && path.compare(0, d.size(), d) == 0)
    return path.substr(d.size());
  return path;
}

static std::string absoluteIn(const std::string &dir, const std::string &path)
{
  if (path.empty() || path[0] == '/' || dir.empty()) return path;
  return dir + "/" + path;
}

void writePluginSection(leWriter &w, const std::string &dir)
{
  w.bytes(sectionMagic, sectionMagicLen);
  int n = 0;
  for (int s = 0; s < MAX_MODULES; s++) n += MOD[s] && MOD[s]->type == LV2_TYPE;
  w.i32(n);
  for (int s = 0; s < MAX_MODULES; s++) {
    modRec *m = MOD[s];
    if (!m || m->type != LV2_TYPE) continue;
    w.i32(s);
    str(w, lv2Uri(m));
    w.i32(m->terms);
    auto values = lv2Values(m);
    w.i32((gint32)values.size());
    for (const auto &v : values) {
      str(w, v.first);
      w.f32(v.second);
    }
    auto files = lv2Files(m);
    w.i32((gint32)files.size());
    for (const auto &f : files) {
      str(w, f.first);
      str(w, relativeTo(dir, f.second));
    }
    str(w, lv2SaveState(m, dir));
  }
}

// A string of at most max bytes.
static bool readStr(FILE *f, std::string *s, gint32 max)
{
  gint32 n;
  if (!readI32(f, &n) || n < 0 || n > max) return false;
  s->resize((size_t)n);
  return n == 0 || readBytes(f, &(*s)[0], (size_t)n);
}

bool readPluginSection(FILE *f, std::vector<pluginEntry> &out)
{
  char magic[sectionMagicLen];
  gint32 n;
  if (!readBytes(f, magic, sectionMagicLen) || memcmp(magic, sectionMagic, sectionMagicLen) != 0 ||
      !readI32(f, &n) || n < 0 || n > MAX_MODULES)
    return false;
  for (gint32 k = 0; k < n; k++) {
    pluginEntry e;
    gint32 slot, terms, count;
    if (!readI32(f, &slot) || !readStr(f, &e.uri, 4096) || !readI32(f, &terms) ||
        !readI32(f, &count) || count < 0 || count > 4096)
      return false;
    e.slot = slot;
    e.terms = (unsigned char)terms;
    for (gint32 j = 0; j < count; j++) {
      std::string sym;
      float v;
      if (!readStr(f, &sym, 1024) || !readF32(f, &v)) return false;
      e.values.push_back({sym, v});
    }
    if (!readI32(f, &count) || count < 0 || count > 256) return false;
    for (gint32 j = 0; j < count; j++) {
      std::string prop, path;
      if (!readStr(f, &prop, 4096) || !readStr(f, &path, 4096)) return false;
      e.files.push_back({prop, path});
    }
    if (!readStr(f, &e.state, 64 << 20)) return false;
    out.push_back(std::move(e));
  }
  return true;
}

modRec *buildPluginModule(const pluginEntry &e, const std::string &dir)
{
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto &f : e.files) files.push_back({f.first, absoluteIn(dir, f.second)});
  std::string why;
  modRec *m = lv2MakeModule(e.uri, &why);
  if (m && m->terms != e.terms) {
    why = "its audio ports are not those the layout was saved with";
    destroyModule(m);
    m = nullptr;
  }
  if (!m) {
    // Everything the layout says about it is kept, so that saving again loses nothing.
    sayError("Plugin %s is missing (%s): its module keeps its place, wires and settings and "
             "passes silence", e.uri.c_str(), why.c_str());
    m = lv2MakeMissing(e.uri, e.terms);
    lv2KeepValues(m, e.values);
    lv2KeepFiles(m, files);
    lv2RestoreState(m, e.state, dir);
    return m;
  }
  if (!lv2RestoreState(m, e.state, dir))
    sayError("Plugin %s: its saved state could not be read", e.uri.c_str());
  lv2KeepValues(m, e.values);
  lv2KeepFiles(m, files);
  lv2Prime(m);
  return m;
}
