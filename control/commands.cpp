// The word commands of the command entry and of standard input: files, parameters, mappings,
// programs and the state of MIDI input. A line is one of them when its first word is, in any
// case; none begins with a letter of the one-letter commands' words, so those never reach here.
#include <glib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

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

static int slotOf(int id)
{
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->ID == id) return s;
  return -1;
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
    printf("set takes ID PARM VALUE (numbers)\n");
    return;
  }
  int slot = slotOf(id);
  if (slot < 0) {
    printf("set: module %d does not exist\n", id);
    return;
  }
  parmInfo p;
  if (!describeParm(MOD[slot]->type, parm, &p)) {
    printf("set: module %d (%s) has no parameter %d\n", id, typeList[MOD[slot]->type].name, parm);
    return;
  }
  float f = dialogValue(p, v);
  MOD[slot]->parm[parm] = f;
  printf("Module %d parameter %d (%s) set to %g\n", id, parm, p.name.c_str(), f);
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
    printf("map refused: %s\n", why.c_str());
    return;
  }
  for (const ctlMapping &m : controlMappings())
    if (m.channel == ch && m.cc == cc && m.id == id && m.parm == parm)
      printf("Mapped %s\n", mappingLine(m).c_str());
}

static void cmdUnmap(const std::vector<std::string> &w)
{
  int ch = 0, cc;
  if (w.size() != 3 || (w[1] != "*" && (!readInt(w[1], &ch) || ch < 1 || ch > 16)) ||
      !readInt(w[2], &cc) || cc < 0 || cc > 127) {
    printf("unmap takes CH CC (CH 1 to 16 or *, CC 0 to 127)\n");
    return;
  }
  int n = controlUnmap(ch, cc);
  std::string what = "CC " + std::to_string(cc) + (ch ? " ch " + std::to_string(ch) : " any ch");
  if (n == 0)
    printf("No mapping of %s\n", what.c_str());
  else
    printf("Removed %d mapping%s of %s\n", n, n == 1 ? "" : "s", what.c_str());
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
      printf("%s takes a file name\n", word.c_str());
      return true;
    }
    if (word == "load") loadLayoutFile(file.c_str(), true);
    if (word == "bank") {
      real_loadsbank(&file[0]);
      setListUseBank(file.c_str());
    }
    if (word == "save") real_save(&file[0]);
    if (word == "setlist") openSetList(file.c_str());
    if (word == "saveset") saveSetList(file.c_str());
  } else if (word == "set") {
    cmdSet(w);
  } else if (word == "map") {
    cmdMap(w);
  } else if (word == "unmap") {
    cmdUnmap(w);
  } else if (word == "maps") {
    if (controlMappings().empty()) printf("No mappings\n");
    for (const ctlMapping &m : controlMappings()) printf("%s\n", mappingLine(m).c_str());
  } else if (word == "program") {
    int n;
    if (w.size() != 2 || !readInt(w[1], &n) || n < 0 || n > 127)
      printf("program takes a program number 0 to 127\n");
    else
      switchProgram(n, true);
  } else if (word == "store") {
    int n;
    if (w.size() < 2 || !readInt(w[1], &n))
      printf("store takes a preset number 0 to 127 and, optionally, a name\n");
    else
      storePreset(n, restOf(file.c_str(), w[1].size()).c_str());
  } else if (word == "midi") {
    for (const std::string &s : midiStatusLines()) printf("%s\n", s.c_str());
  } else {
    return false;
  }
  fflush(stdout);
  return true;
}
