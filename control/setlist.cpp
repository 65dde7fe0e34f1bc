// Set list files and the running set list: reading and checking a whole file before any of it is
// used, writing it back key for key, program changes switching presets, and storing the current
// patch as a preset. Everything but the file reading and writing runs on the UI thread.
#include "control/setlist.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/reply.h"
#include "control/control.h"
#include "control/events.h"
#include "engine/soundNode.h"
#include "files/fileio.h"
#include "files/fileops.h"

static const char *mainGroup = "Set List";

static bool wholeInt(const std::string &s, long lo, long hi, int *v)
{
  if (s.empty()) return false;
  char *end;
  long n = strtol(s.c_str(), &end, 10);
  if (*end || n < lo || n > hi) return false;
  *v = (int)n;
  return true;
}

static bool wholeFloat(const std::string &s, float *v)
{
  if (s.empty()) return false;
  char *end;
  double d = g_ascii_strtod(s.c_str(), &end);
  if (*end || d != d) return false;
  *v = (float)d;
  return true;
}

bool parseMapWords(const std::vector<std::string> &w, int *channel, int *cc, int *x, int *parm,
                   bool *ranged, float *lo, float *hi, int *mode, std::string *why)
{
  size_t n = w.size();
  *mode = MAP_LINEAR;
  if (n == 5 || n == 7) {
    if (g_ascii_strcasecmp(w[n - 1].c_str(), "switch") == 0) {
      *mode = MAP_SWITCH;
    } else if (g_ascii_strcasecmp(w[n - 1].c_str(), "toggle") == 0) {
      *mode = MAP_TOGGLE;
    } else {
      *why = "the last word must be switch or toggle, not \"" + w[n - 1] + "\"";
      return false;
    }
    n--;
  }
  if (n != 4 && n != 6) {
    *why = "it takes CH CC ID PARM [MIN MAX] [switch|toggle]";
    return false;
  }
  if (w[0] == "*") {
    *channel = 0;
  } else if (!wholeInt(w[0], 1, 16, channel)) {
    *why = "the channel must be 1 to 16 or *, not \"" + w[0] + "\"";
    return false;
  }
  if (!wholeInt(w[1], 0, 127, cc)) {
    *why = "the controller must be 0 to 127, not \"" + w[1] + "\"";
    return false;
  }
  if (!wholeInt(w[2], 0, 0x7fffffff, x)) {
    *why = "\"" + w[2] + "\" is not a module";
    return false;
  }
  if (!wholeInt(w[3], 0, 15, parm)) {
    *why = "\"" + w[3] + "\" is not a parameter number (0 to 15)";
    return false;
  }
  *ranged = n == 6;
  if (*ranged && (!wholeFloat(w[4], lo) || !wholeFloat(w[5], hi))) {
    *why = "MIN and MAX must be numbers";
    return false;
  }
  return true;
}

static std::string number(float v)
{
  char t[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_formatd(t, sizeof t, "%.9g", v);
  return t;
}

std::string mapWords(int channel, int cc, int x, int parm, bool ranged, float lo, float hi, int mode)
{
  std::string s = channel == 0 ? "*" : std::to_string(channel);
  s += " " + std::to_string(cc) + " " + std::to_string(x) + " " + std::to_string(parm);
  if (ranged) s += " " + number(lo) + " " + number(hi);
  if (mode == MAP_SWITCH) s += " switch";
  if (mode == MAP_TOGGLE) s += " toggle";
  return s;
}

static std::vector<std::string> words(const char *text)
{
  std::vector<std::string> v;
  gchar **p = g_strsplit_set(text, " \t", -1);
  for (gchar **q = p; *q; q++)
    if (**q) v.push_back(*q);
  g_strfreev(p);
  return v;
}

// One preset group; false with the problem.
static bool readPreset(GKeyFile *kf, const char *group, presetEntry &p, std::string *problem)
{
  gsize nkeys = 0;
  gchar **keys = g_key_file_get_keys(kf, group, &nkeys, nullptr);
  p.used = true;
  bool named = false, laid = false;
  bool ok = true;
  for (gsize i = 0; ok && i < nkeys; i++) {
    std::string key = keys[i];
    gchar *val = g_key_file_get_string(kf, group, keys[i], nullptr);
    std::string v = val ? val : "";
    g_free(val);
    if (key == "Name") {
      p.name = v;
      named = true;
    } else if (key == "Layout") {
      if (v.empty()) {
        *problem = std::string("[") + group + "] has an empty Layout";
        ok = false;
      }
      p.layout = v;
      laid = true;
    } else if (key.compare(0, 3, "Map") == 0) {
      presetMapping m;
      std::string why;
      if (!parseMapWords(words(v.c_str()), &m.channel, &m.cc, &m.slot, &m.parm, &m.ranged, &m.lo,
                         &m.hi, &m.mode, &why)) {
        *problem = std::string("[") + group + "] " + key + ": " + why;
        ok = false;
      } else if (m.slot >= MAX_MODULES) {
        *problem = std::string("[") + group + "] " + key + ": slot " + std::to_string(m.slot) +
                   " is past the last slot (" + std::to_string(MAX_MODULES - 1) + ")";
        ok = false;
      } else {
        if (!m.ranged) m.lo = m.hi = 0;
        p.maps.push_back(m);
      }
    } else {
      *problem = std::string("[") + group + "] has an unknown key " + key;
      ok = false;
    }
  }
  g_strfreev(keys);
  if (ok && !named) {
    *problem = std::string("[") + group + "] has no Name";
    ok = false;
  }
  if (ok && !laid) {
    *problem = std::string("[") + group + "] has no Layout";
    ok = false;
  }
  return ok;
}

bool readSetList(const char *file, setList &out, std::string *problem)
{
  GKeyFile *kf = g_key_file_new();
  GError *err = nullptr;
  if (!g_key_file_load_from_file(kf, file, G_KEY_FILE_NONE, &err)) {
    *problem = err->message;
    g_error_free(err);
    g_key_file_free(kf);
    return false;
  }
  setList s;
  bool ok = true;
  if (!g_key_file_has_group(kf, mainGroup)) {
    *problem = "there is no [Set List] group";
    ok = false;
  }
  gsize ngroups = 0;
  gchar **groups = g_key_file_get_groups(kf, &ngroups);
  for (gsize g = 0; ok && g < ngroups; g++) {
    std::string name = groups[g];
    if (name == mainGroup) {
      gsize nkeys = 0;
      gchar **keys = g_key_file_get_keys(kf, mainGroup, &nkeys, nullptr);
      bool named = false;
      for (gsize i = 0; ok && i < nkeys; i++) {
        gchar *val = g_key_file_get_string(kf, mainGroup, keys[i], nullptr);
        std::string v = val ? val : "";
        g_free(val);
        if (strcmp(keys[i], "Name") == 0) {
          s.name = v;
          named = true;
        } else if (strcmp(keys[i], "Bank") == 0) {
          s.bank = v;
        } else {
          *problem = std::string("[Set List] has an unknown key ") + keys[i];
          ok = false;
        }
      }
      g_strfreev(keys);
      if (ok && !named) {
        *problem = "[Set List] has no Name";
        ok = false;
      }
      continue;
    }
    int n;
    if (name.compare(0, 7, "Preset ") != 0 || !wholeInt(name.substr(7), 0, SET_PRESETS - 1, &n) ||
        name.substr(7) != std::to_string(n)) {
      *problem = "[" + name + "] is neither [Set List] nor [Preset N] with N 0 to 127";
      ok = false;
      break;
    }
    ok = readPreset(kf, groups[g], s.preset[n], problem);
  }
  g_strfreev(groups);
  g_key_file_free(kf);
  if (ok) out = s;
  return ok;
}

bool writeSetList(const char *file, const setList &s, std::string *problem)
{
  GKeyFile *kf = g_key_file_new();
  g_key_file_set_string(kf, mainGroup, "Name", s.name.c_str());
  if (!s.bank.empty()) g_key_file_set_string(kf, mainGroup, "Bank", s.bank.c_str());
  for (int n = 0; n < SET_PRESETS; n++) {
    const presetEntry &p = s.preset[n];
    if (!p.used) continue;
    std::string group = "Preset " + std::to_string(n);
    g_key_file_set_string(kf, group.c_str(), "Name", p.name.c_str());
    g_key_file_set_string(kf, group.c_str(), "Layout", p.layout.c_str());
    for (size_t i = 0; i < p.maps.size(); i++) {
      const presetMapping &m = p.maps[i];
      std::string key = "Map" + std::to_string(i + 1);
      g_key_file_set_string(kf, group.c_str(), key.c_str(),
                            mapWords(m.channel, m.cc, m.slot, m.parm, m.ranged, m.lo, m.hi, m.mode)
                                .c_str());
    }
  }
  GError *err = nullptr;
  bool ok = g_key_file_save_to_file(kf, file, &err);
  if (!ok) {
    *problem = err->message;
    g_error_free(err);
  }
  g_key_file_free(kf);
  return ok;
}

// ---- The running set list ---------------------------------------------------------------------------

static setList running;
static std::string folder;
static int program = -1;


const std::string &setListFolder();

static std::string resolve(const std::string &name)
{
  if (g_path_is_absolute(name.c_str())) return name;
  gchar *p = g_build_filename(setListFolder().c_str(), name.c_str(), nullptr);
  std::string s = p;
  g_free(p);
  return s;
}

const setList &currentSetList() { return running; }

const std::string &setListFolder()
{
  if (folder.empty()) resetSetList();
  return folder;
}

int currentProgram() { return program; }

void resetSetList()
{
  running = setList();
  gchar *cwd = g_get_current_dir();
  folder = cwd;
  g_free(cwd);
  program = -1;
}

bool openSetList(const char *file, bool fade)
{
  setList s;
  std::string problem;
  if (!readSetList(file, s, &problem)) {
    sayError("Not opening set list %s: %s", file, problem.c_str());
    return false;
  }
  running = s;
  folder = folderOf(file);
  program = -1;
  int count = 0, first = -1;
  for (int n = 0; n < SET_PRESETS; n++) {
    if (!s.preset[n].used) continue;
    count++;
    if (first < 0) first = n;
  }
  say("Opened set list %s: \"%s\", %d preset%s", file, s.name.c_str(), count,
         count == 1 ? "" : "s");
  if (!s.bank.empty()) {
    std::string b = resolve(s.bank);
    real_loadsbank(&b[0]);
  }
  if (first >= 0) switchProgram(first, fade);
  return true;
}

// A file name as it must read from the new folder: relative to it when the file lies inside it,
// else absolute. Saving in place keeps every name as written.
static std::string rebase(const std::string &name, const std::string &from, const std::string &to)
{
  if (name.empty() || from == to) return name;
  gchar *abs = g_path_is_absolute(name.c_str()) ? g_strdup(name.c_str())
                                                 : g_build_filename(from.c_str(), name.c_str(), nullptr);
  std::string a = abs;
  g_free(abs);
  std::string prefix = to == "/" ? "/" : to + "/";
  if (a.compare(0, prefix.size(), prefix) == 0) return a.substr(prefix.size());
  return a;
}

void setListUseBank(const char *file)
{
  if (!g_file_test(file, G_FILE_TEST_IS_REGULAR)) return;  // the loader has said why
  gchar *abs = g_canonicalize_filename(file, nullptr);
  running.bank = rebase(abs, "/", setListFolder());
  g_free(abs);
}

bool saveSetList(const char *file)
{
  gchar *name = saveFileName(file ? file : "", "qset");
  std::string to = folderOf(name);
  setList s = running;
  const std::string &from = setListFolder();
  s.bank = rebase(s.bank, from, to);
  for (auto &p : s.preset) p.layout = rebase(p.layout, from, to);
  std::string problem;
  bool ok = writeSetList(name, s, &problem);
  if (ok) {
    running = s;
    folder = to;
    say("Saved set list %s", name);
  } else {
    sayError("Error writing set list %s: %s", name, problem.c_str());
  }
  g_free(name);
  return ok;
}

bool switchProgram(int n, bool fade)
{
  if (n < 0 || n >= SET_PRESETS || !running.preset[n].used) {
    if (n >= SET_PRESETS)
      sayError("Program %d (bank %d): no preset in set list \"%s\"; nothing changes", n % 128,
             n / 128, running.name.c_str());
    else
      sayError("Program %d: no preset in set list \"%s\"; nothing changes", n, running.name.c_str());
    return false;
  }
  const presetEntry &p = running.preset[n];
  std::string path = resolve(p.layout);
  say("Program %d: preset \"%s\" (%s)", n, p.name.c_str(), path.c_str());
  if (!loadLayoutFile(path.c_str(), fade)) {
    sayError("Program %d: the layout of preset \"%s\" did not load; the patch stays as it was", n,
           p.name.c_str());
    return false;
  }
  controlClearMaps();
  for (const presetMapping &m : p.maps) {
    std::string why;
    if (!MOD[m.slot])
      why = "slot " + std::to_string(m.slot) + " is empty";
    else if (controlMap(m.channel, m.cc, MOD[m.slot]->ID, m.parm, m.ranged, m.lo, m.hi, m.mode, &why))
      continue;
    say("Preset %d: mapping %s skipped: %s", n,
           mapWords(m.channel, m.cc, m.slot, m.parm, m.ranged, m.lo, m.hi, m.mode).c_str(),
           why.c_str());
  }
  program = n;
  notifyProgramSwitched(n, p.name.c_str());
  return true;
}

bool storePreset(int n, const char *name)
{
  if (n < 0 || n >= SET_PRESETS) {
    sayError("Preset number %d is out of range: presets are 0 to %d", n, SET_PRESETS - 1);
    return false;
  }
  std::string layout = "preset-" + std::to_string(n) + ".lyo";
  std::string path = resolve(layout);
  // Written beside first and renamed over the old file only when whole, so a full disk never
  // costs the preset it replaces. A layout's size follows from the occupied slots.
  std::string tmp = path + ".new.lyo";
  long expect = 11 + 4 + 2 * 4 * TERMS_I_OR_O;
  for (int s = 0; s < MAX_MODULES; s++) expect += MOD[s] ? 4 + 16 * 4 : 4;
  real_save(&tmp[0]);
  GStatBuf st;
  bool whole = g_stat(tmp.c_str(), &st) == 0 && (long)st.st_size == expect;
  if (!whole || rename(tmp.c_str(), path.c_str()) != 0) {
    remove(tmp.c_str());
    sayError("Preset %d not stored: the layout %s could not be written", n, path.c_str());
    return false;
  }
  presetEntry &p = running.preset[n];
  if (name && *name)
    p.name = name;
  else if (!p.used || p.name.empty())
    p.name = "Preset " + std::to_string(n);
  p.used = true;
  p.layout = layout;
  p.maps.clear();
  for (const ctlMapping &m : controlMappings())
    p.maps.push_back({m.channel, m.cc, m.slot, m.parm, m.ranged, m.ranged ? m.lo : 0,
                      m.ranged ? m.hi : 0, m.mode});
  program = n;
  notifyProgramSwitched(n, p.name.c_str());
  say("Stored the current patch as preset %d \"%s\" (%s)", n, p.name.c_str(), path.c_str());
  return true;
}
