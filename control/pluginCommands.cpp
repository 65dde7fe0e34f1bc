// The commands for plugin modules: "plugins [WORD]" lists the installed plugins, "lv2 URI" makes
// a module of one as "A n" makes a built-in one, and "file ID PARM PATH" sends a file parameter
// (an impulse response, a model) to a plugin module.
#include <glib.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/reply.h"
#include "control/control.h"
#include "engine/soundNode.h"
#include "lv2/lv2host.h"

static bool contains(const std::string &hay, const std::string &needle)
{
  gchar *h = g_utf8_casefold(hay.c_str(), -1), *n = g_utf8_casefold(needle.c_str(), -1);
  bool found = strstr(h, n) != nullptr;
  g_free(h);
  g_free(n);
  return found;
}

static void cmdPlugins(const std::string &word)
{
  int shown = 0;
  for (const lv2PluginInfo &p : lv2Plugins()) {
    if (!word.empty() && !contains(p.name, word) && !contains(p.uri, word)) continue;
    say("%s\t%s\t%s", p.uri.c_str(), p.name.c_str(), p.className.c_str());
    shown++;
  }
  if (!shown)
    say(word.empty() ? "No LV2 plugins are installed" : "No LV2 plugin matches \"%s\"",
        word.c_str());
}

static void cmdLv2(const std::string &uri)
{
  if (uri.empty() || uri.find_first_of(" \t") != std::string::npos) {
    sayError("lv2 takes a plugin URI (\"plugins WORD\" lists them)");
    return;
  }
  if (!haveFreeSlot()) return;
  std::string why;
  modRec *m = lv2MakeModule(uri, &why);
  if (!m) {
    sayError("Plugin refused: %s", why.c_str());
    return;
  }
  if (addModule(m) >= 0) say("Plugin: %s", lv2Name(m).c_str());
  lv2FlushLog();
}

static int slotOfId(const std::string &text)
{
  char *end;
  long id = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || id < INT_MIN || id > INT_MAX) return -1;
  return slotOfModuleId((int)id);
}

static void cmdFile(const std::vector<std::string> &w, const std::string &path)
{
  if (w.size() < 4) {
    sayError("file takes ID PARM PATH");
    return;
  }
  int slot = slotOfId(w[1]);
  if (slot < 0 || MOD[slot]->type != LV2_TYPE) {
    sayError("file: %s is no plugin module", w[1].c_str());
    return;
  }
  char *end;
  long k = strtol(w[2].c_str(), &end, 10);
  const std::vector<lv2FileParm> &files = lv2FileParms(MOD[slot]);
  if (*end || k < 0 || k >= (long)files.size()) {
    sayError("file: module %s has %zu file parameter%s", w[1].c_str(), files.size(),
             files.size() == 1 ? "" : "s");
    return;
  }
  gchar *abs = g_canonicalize_filename(path.c_str(), nullptr);
  std::string full = abs;
  g_free(abs);
  if (!g_file_test(full.c_str(), G_FILE_TEST_IS_REGULAR)) {
    sayError("file: %s is not a file", full.c_str());
    return;
  }
  std::string why;
  if (!lv2SetFile(MOD[slot], (int)k, full, &why)) {
    sayError("file: %s", why.c_str());
    return;
  }
  say("Module %s %s: %s", w[1].c_str(), files[k].label.c_str(), full.c_str());
}

bool pluginCommand(const std::string &word, const std::vector<std::string> &w,
                   const std::string &rest)
{
  if (word == "plugins") {
    cmdPlugins(rest);
  } else if (word == "lv2") {
    cmdLv2(rest);
  } else if (word == "file") {
    // The path is what follows the ID and the parameter, blanks and all.
    std::string path = rest;
    for (int k = 0; k < 2; k++) {
      size_t a = path.find_first_not_of(" \t");
      size_t b = a == std::string::npos ? std::string::npos : path.find_first_of(" \t", a);
      path = b == std::string::npos ? "" : path.substr(b);
    }
    size_t a = path.find_first_not_of(" \t");
    cmdFile(w, a == std::string::npos ? "" : path.substr(a));
  } else {
    return false;
  }
  return true;
}
