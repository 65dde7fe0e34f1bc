// Layout files (.lyo): each slot's module type and 16 parameters, then both wire tables, in a
// little-endian byte format. Loading reads and checks the whole file into new memory, builds the
// new graph beside the running one (records, private state, repaired wires, the order), then
// installs it in one short holding of the graph lock, so the audio thread runs either the old
// patch or the new one; the old records are cleaned after. Everything here runs on the UI thread.
#include "base/reply.h"
#include "files/fileops.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "engine/taps.h"
#include "base/hooks.h"
#include "engine/soundNode.h"
#include "files/fileio.h"
#include "files/pluginSection.h"
#include "lv2/lv2host.h"

static const char layoutMagic[] = "QAF_LAYOUT\n";  // 11 bytes on disk, no NUL
static const int layoutMagicLen = 11;

// A layout as read from a file, before any of it reaches the running patch.
struct layoutImage {
  gint32 type[MAX_MODULES];  // -1: the slot is empty
  float parm[MAX_MODULES][16];
  gint32 iTerm[TERMS_I_OR_O];
  gint32 oTerm[TERMS_I_OR_O];
  unsigned char terms[MAX_MODULES];  // a plugin module's terminals
  const pluginEntry *plugin[MAX_MODULES];  // a plugin module's entry in the plugin section
  bool hasPlugins;                         // the file has a plugin section
};



// UI thread. Reads no lock: this thread is the only writer of what is saved.
void real_save(gchar *filename)
{
  gchar *name;
  FILE *f = openForSave(filename, "lyo", &name);
  if (!f) {
    g_free(name);
    return;
  }
  leWriter w(f);
  bool plugins = layoutHasPlugins();
  w.bytes(layoutMagic, layoutMagicLen);
  w.i32(plugins ? PLUGIN_LAYOUT_COUNT : MAX_MODULES);
  for (int s = 0; s < MAX_MODULES; s++) {
    modRec *m = MOD[s];
    if (!m) {
      w.i32(-1);
      continue;
    }
    w.i32(m->type);
    for (int p = 0; p < 16; p++) w.f32(m->parm[p]);
  }
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    w.i32(I_TERM_CONNECT[t]);
    w.i32(O_TERM_CONNECT[t]);
  }
  if (plugins) writePluginSection(w, folderOf(name));
  // A full disk would otherwise leave a short file behind without a word.
  if (!w.close()) sayError("Error writing file %s", name);
  g_free(name);
}

// False on a short read (the message is the caller's). Prints the two progress lines.
static bool readLayout(FILE *f, layoutImage &L)
{
  say("Loading module parameters");
  for (int s = 0; s < MAX_MODULES; s++) {
    if (!readI32(f, &L.type[s])) return false;
    for (int p = 0; p < 16; p++) L.parm[s][p] = 0.0f;
    if (L.type[s] == -1) continue;
    for (int p = 0; p < 16; p++)
      if (!readF32(f, &L.parm[s][p])) return false;
  }
  say("Loading connections");
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    if (!readI32(f, &L.iTerm[t])) return false;
    if (!readI32(f, &L.oTerm[t])) return false;
  }
  return true;
}

// Why terminal t (an input or an output) does not exist in the layout, or "" when it does.
static std::string missingTerminal(const layoutImage &L, bool input, int t)
{
  int slot = t / 4, k = t % 4;
  char why[128];
  if (L.type[slot] == -1) {
    g_snprintf(why, sizeof why, "slot %d is empty", slot);
    return why;
  }
  unsigned char mask = L.type[slot] == LV2_TYPE ? L.terms[slot] : typeList[L.type[slot]].terms;
  bool has = (input ? mask >> (7 - k) : mask >> (3 - k)) & 1;
  if (has) return "";
  g_snprintf(why, sizeof why, "%s in slot %d has no %s %c",
             L.type[slot] == LV2_TYPE ? L.plugin[slot]->uri.c_str() : typeList[L.type[slot]].name, slot,
             input ? "input" : "output", 'A' + k);
  return why;
}

// Checks one wire table entry: t's own terminal and the one at its far end must exist.
static bool checkWire(const layoutImage &L, const char *filename, bool input, int t)
{
  int other = input ? L.iTerm[t] : L.oTerm[t];
  const char *side = input ? "input" : "output";
  const char *otherSide = input ? "output" : "input";
  if (other == -1) return true;
  if (other < 0 || other >= TERMS_I_OR_O) {
    sayError("Not loading %s: %s terminal %d is wired to %d, which is not a terminal number.",
           filename, side, t, other);
    return false;
  }
  std::string why = missingTerminal(L, input, t);
  if (!why.empty()) {
    sayError("Not loading %s: %s terminal %d is wired, but %s.", filename, side, t, why.c_str());
    return false;
  }
  why = missingTerminal(L, !input, other);
  if (!why.empty()) {
    sayError("Not loading %s: %s terminal %d is wired to %s terminal %d, but %s.", filename, side,
           t, otherSide, other, why.c_str());
    return false;
  }
  return true;
}

// Refuses, with one line naming the first problem and the file, a layout that would index past
// the type or wire tables or break the rules of the graph: Line In in slot 0 and Line Out in slot
// 1 only, every wire on an existing terminal of an occupied slot. Wire pairs that only disagree
// between the two tables pass: the repair pass removes them after the swap.
static bool checkLayout(const layoutImage &L, const char *filename)
{
  for (int s = 0; s < MAX_MODULES; s++) {
    if (L.hasPlugins && L.type[s] == LV2_TYPE && !L.plugin[s]) {
      sayError("Not loading %s: slot %d holds a plugin module the file does not describe.",
               filename, s);
      return false;
    }
    if (L.type[s] < -1 || (L.type[s] >= MAX_TYPES && !(L.hasPlugins && L.type[s] == LV2_TYPE))) {
      sayError("Not loading %s: slot %d holds module type %d, which does not exist.", filename, s,
             L.type[s]);
      return false;
    }
  }
  if (L.type[0] != 0) {
    sayError("Not loading %s: slot 0 must hold Line In.", filename);
    return false;
  }
  if (L.type[1] != 1) {
    sayError("Not loading %s: slot 1 must hold Line Out.", filename);
    return false;
  }
  for (int s = 2; s < MAX_MODULES; s++) {
    if (L.type[s] == 0 || L.type[s] == 1) {
      sayError("Not loading %s: slot %d holds %s, which belongs only in slot %d.", filename, s,
             typeList[L.type[s]].name, L.type[s]);
      return false;
    }
  }
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    if (!checkWire(L, filename, true, t)) return false;
    if (!checkWire(L, filename, false, t)) return false;
  }
  return true;
}

// Both wire tables describe the same wires.
static bool wireTablesAgree(const gint32 *iTerm, const gint32 *oTerm)
{
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    int o = iTerm[t], i = oTerm[t];
    if (o != -1 && oTerm[o] != t) return false;
    if (i != -1 && iTerm[i] != t) return false;
  }
  return true;
}

// UI thread; takes the graph lock itself for the swap.
// File/Open while playing fades around the swap, like a preset switch.
void real_load(gchar *filename) { loadLayoutFile(filename, true); }

bool loadLayoutFile(const char *filename, bool fade)
{
  if (!filename) filename = "";
  FILE *f = fopen(filename, "rb");
  if (!f) {
    sayError("Error opening file %s", filename);
    return false;
  }
  char magic[layoutMagicLen + 1] = {0};
  if (!readBytes(f, magic, layoutMagicLen)) {
    sayError("Error reading file %s", filename);
    fclose(f);
    return false;
  }
  if (g_ascii_strncasecmp(magic, layoutMagic, layoutMagicLen) != 0) {
    sayError("Not a valid QAF Layout file!");
    fclose(f);
    return false;
  }
  gint32 count;
  if (!readI32(f, &count)) {
    sayError("Error reading file %s", filename);
    fclose(f);
    return false;
  }
  if (count > MAX_MODULES && count != PLUGIN_LAYOUT_COUNT) {
    sayError("File is corrupted or wrong version.");
    fclose(f);
    return false;
  }
  // The count is only a bound: every file holds 64 slot records.
  layoutImage *L = g_new0(layoutImage, 1);
  bool read = readLayout(f, *L);
  std::vector<pluginEntry> plugins;
  L->hasPlugins = count == PLUGIN_LAYOUT_COUNT;
  if (read && L->hasPlugins) read = readPluginSection(f, plugins);
  fclose(f);
  for (const pluginEntry &e : plugins) {
    if (e.slot < 0 || e.slot >= MAX_MODULES || L->plugin[e.slot] || L->type[e.slot] != LV2_TYPE) {
      sayError("Not loading %s: its plugin section names slot %d, which holds no plugin module.",
               filename, e.slot);
      g_free(L);
      return false;
    }
    L->plugin[e.slot] = &e;
    L->terms[e.slot] = e.terms;
  }
  if (!read) {
    sayError("Error reading file %s", filename);
    g_free(L);
    return false;
  }
  if (!checkLayout(*L, filename)) {
    g_free(L);
    return false;
  }

  // The file is good: only now are records made, so a refused file takes no module IDs. The
  // whole new graph is built beside the running one; the holding below only installs it.
  modRec *fresh[MAX_MODULES];
  std::string dir = folderOf(filename);
  for (int s = 0; s < MAX_MODULES; s++) {
    fresh[s] = nullptr;
    if (L->type[s] == -1) continue;
    if (L->type[s] == LV2_TYPE) {
      fresh[s] = buildPluginModule(*L->plugin[s], dir);
      continue;
    }
    fresh[s] = new modRec;
    fresh[s]->type = L->type[s];
  }

  say("Closing all parameter dialog boxes");
  closeAllParmDialogs();
  for (int s = 0; s < MAX_MODULES; s++) {
    MOD_PARMBOX[s] = 0;
    MOD_PARMBOX_HANDLE[s] = nullptr;
  }

  say("Swapping modules and maps");
  for (int s = 0; s < MAX_MODULES; s++) {
    if (!fresh[s]) continue;
    // Plugin modules are built and set already; their slot records hold their first controls.
    if (fresh[s]->type != LV2_TYPE) initRecord(fresh[s]);
    // init set the type's defaults; the module runs with what was saved
    for (int p = 0; p < 16; p++) fresh[s]->parm[p] = L->parm[s][p];
  }
  // One repair pass can leave a wire half-made when it clears an entry whose other end it has
  // already passed; repeat until both tables agree. Each pass that finds a mismatch clears at
  // least one entry, so this ends.
  do {
    repairWireTables(L->iTerm, L->oTerm);
  } while (!wireTablesAgree(L->iTerm, L->oTerm));
  graphOrder order;
  computeGraphOrder(fresh, L->iTerm, L->oTerm, order);

  GET_MODGRAPH_LOCK();
  if (fade) fadeThisSwap();
  memcpy(I_TERM_CONNECT, L->iTerm, sizeof I_TERM_CONNECT);
  memcpy(O_TERM_CONNECT, L->oTerm, sizeof O_TERM_CONNECT);
  for (int s = 0; s < MAX_MODULES; s++) {
    // the old records (and the chunks waiting at their terminals) go once no pass sees them
    retireModule(MOD[s]);
    MOD[s] = fresh[s];
  }
  installGraphOrder(order);
  RELEASE_MODGRAPH_LOCK();
  printExecOrder();
  collectRetired();
  modulesChanged();
  g_free(L);
  forcePaint();
  return true;
}
