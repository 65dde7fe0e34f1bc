// The word commands of the command entry and of standard input: files, parameters, mappings,
// programs and the state of MIDI input. A line is one of them when its first word is, in any
// case; none begins with a letter of the one-letter commands' words, so those never reach here.
#include <glib.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/reply.h"
#include "control/control.h"
#include "control/setlist.h"
#include "engine/soundNode.h"
#include "files/fileops.h"

static std::vector<std::string> splitWords(const char *text)
{
  std::vector<std::string> v;
  gchar **p = g_strsplit_set(text, " \t\r\n", -1);
  for (gchar **q = p; *q; q++)
    if (**q) v.push_back(*q);
  g_strfreev(p);
  return v;
}

static bool readInt(const std::string &s, int *v)
{
  if (s.empty()) return false;
  char *end;
  long n = strtol(s.c_str(), &end, 10);
  if (*end || n < -0x7fffffffL || n > 0x7fffffffL) return false;
  *v = (int)n;
  return true;
}

// The rest of the line after the command word, trimmed: a file name may hold spaces.
static std::string restOf(const char *line, size_t wordLen)
{
  std::string r = line + wordLen;
  size_t a = r.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = r.find_last_not_of(" \t\r\n");
  return r.substr(a, b - a + 1);
}

static void cmdSet(const std::vector<std::string> &w)
{
  int id, parm;
  char *end = nullptr;
  double v = w.size() == 4 ? g_ascii_strtod(w[3].c_str(), &end) : 0;
  if (w.size() != 4 || !readInt(w[1], &id) || !readInt(w[2], &parm) || *end || v != v) {
    sayError("set takes ID PARM VALUE (numbers)");
    return;
  }
  int slot = slotOfModuleId(id);
  if (slot < 0) {
    sayError("set: module %d does not exist", id);
    return;
  }
  parmInfo p;
  if (!describeModParm(MOD[slot], parm, &p)) {
    sayError("set: module %d (%s) has no parameter %d", id, moduleName(MOD[slot]).c_str(), parm);
    return;
  }
  float f = modParmValue(MOD[slot], p, v);
  modParmSet(MOD[slot], parm, f);
  say("Module %d parameter %d (%s) set to %g%s%s", id, parm, p.name.c_str(), f,
      p.unit.empty() ? "" : " ", p.unit.c_str());
}

static void cmdMap(const std::vector<std::string> &w)
{
  int ch, cc, id, parm, mode;
  bool ranged;
  float lo = 0, hi = 0;
  std::string why;
  std::vector<std::string> args(w.begin() + 1, w.end());
  if (!parseMapWords(args, &ch, &cc, &id, &parm, &ranged, &lo, &hi, &mode, &why) ||
      !controlMap(ch, cc, id, parm, ranged, lo, hi, mode, &why)) {
    sayError("map refused: %s", why.c_str());
    return;
  }
  for (const ctlMapping &m : controlMappings())
    if (m.channel == ch && m.cc == cc && m.id == id && m.parm == parm)
      say("Mapped %s", mappingLine(m).c_str());
}

static void cmdUnmap(const std::vector<std::string> &w)
{
  int ch = 0, cc;
  if (w.size() != 3 || (w[1] != "*" && (!readInt(w[1], &ch) || ch < 1 || ch > 16)) ||
      !readInt(w[2], &cc) || cc < 0 || cc > 127) {
    sayError("unmap takes CH CC (CH 1 to 16 or *, CC 0 to 127)");
    return;
  }
  int n = controlUnmap(ch, cc);
  std::string what = "CC " + std::to_string(cc) + (ch ? " ch " + std::to_string(ch) : " any ch");
  if (n == 0)
    say("No mapping of %s", what.c_str());
  else
    say("Removed %d mapping%s of %s", n, n == 1 ? "" : "s", what.c_str());
}

// "presets": one line per preset of the set list, "N<TAB>name", with '*' before the number of
// the one playing.
static void cmdPresets()
{
  const setList &s = currentSetList();
  int count = 0;
  for (int n = 0; n < SET_PRESETS; n++) {
    if (!s.preset[n].used) continue;
    count++;
    say("%s%d\t%s", n == currentProgram() ? "*" : "", n, s.preset[n].name.c_str());
  }
  if (!count) say("No presets in set list \"%s\"", s.name.c_str());
}

// "parms": one line per module, "ID<TAB>type<TAB>parameters". "parms ID": one line per parameter
// of the module, "P<TAB>name<TAB>value<TAB>lo..hi<TAB>kind", kind being "slider" (any value),
// "whole" (whole numbers) or "options" (an option index; the name lists them, '/' between).
static void cmdParms(const std::vector<std::string> &w)
{
  if (w.size() == 1) {
    for (int s = 0; s < MAX_MODULES; s++)
      if (MOD[s])
        say("%d\t%s\t%d", MOD[s]->ID, moduleName(MOD[s]).c_str(), modParmCount(MOD[s]));
    return;
  }
  int id;
  if (w.size() != 2 || !readInt(w[1], &id)) {
    sayError("parms takes a module ID, or nothing for every module");
    return;
  }
  int slot = slotOfModuleId(id);
  if (slot < 0) {
    sayError("parms: module %d does not exist", id);
    return;
  }
  parmInfo p;
  for (int n = 0; describeModParm(MOD[slot], n, &p); n++) {
    float v = modParmGet(MOD[slot], n);
    const char *kind = p.kind == '#' ? "whole" : p.kind == '%' ? "options" : "slider";
    if (p.kind != '!') v = (float)(int)v;  // whole numbers; an option is its index
    std::string extra = (p.log ? "\tlog" : "") + (p.unit.empty() ? "" : "\t" + p.unit);
    say("%d\t%s\t%g\t%g..%g\t%s%s", n, p.name.c_str(), v, p.lo, p.hi, kind, extra.c_str());
  }
}

bool controlCommand(const char *line)
{
  const char *start = line + strspn(line, " \t");
  size_t len = strcspn(start, " \t\r\n");
  std::string word(start, len);
  for (auto &c : word) c = (char)g_ascii_tolower(c);
  std::vector<std::string> w = splitWords(start);
  std::string file = restOf(start, len);

  if (word == "load" || word == "bank" || word == "save" || word == "setlist" ||
      word == "saveset") {
    if (file.empty()) {
      sayError("%s takes a file name", word.c_str());
      return true;
    }
    // The loaders say why they fail on standard output; the caller learns that they did.
    bool ok = true;
    if (word == "load") ok = loadLayoutFile(file.c_str(), true);
    if (word == "bank") {
      ok = loadSampleBankFile(file.c_str());
      setListUseBank(file.c_str());
    }
    if (word == "save") real_save(&file[0]);
    if (word == "setlist") ok = openSetList(file.c_str());
    if (word == "saveset") ok = saveSetList(file.c_str());
    if (!ok) sayFailed();
  } else if (word == "set") {
    cmdSet(w);
  } else if (word == "map") {
    cmdMap(w);
  } else if (word == "unmap") {
    cmdUnmap(w);
  } else if (word == "maps") {
    if (controlMappings().empty()) say("No mappings");
    for (const ctlMapping &m : controlMappings()) say("%s", mappingLine(m).c_str());
  } else if (word == "program") {
    int n;
    if (w.size() != 2 || !readInt(w[1], &n) || n < 0 || n > 127)
      sayError("program takes a program number 0 to 127");
    else
      switchProgram(n, true);
  } else if (word == "store") {
    int n;
    if (w.size() < 2 || !readInt(w[1], &n))
      sayError("store takes a preset number 0 to 127 and, optionally, a name");
    else
      storePreset(n, restOf(file.c_str(), w[1].size()).c_str());
  } else if (word == "presets" && w.size() == 1) {
    cmdPresets();
  } else if (word == "parms") {
    cmdParms(w);
  } else if (pluginCommand(word, w, file)) {
  } else if (word == "midi") {
    for (const std::string &s : midiStatusLines()) say("%s", s.c_str());
  } else {
    return false;
  }
  return true;
}
