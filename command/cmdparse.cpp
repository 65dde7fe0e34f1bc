// The command interpreter. Checks read the tables without the lock (the UI thread is their only
// writer); each change takes the graph lock, recomputes the order in the same holding, releases
// it, prints the order and asks for a repaint.
#include "command/cmdparse.h"
#include "base/reply.h"

#include <glib.h>
#include <limits.h>

#include "control/control.h"
#include "base/hooks.h"
#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"
#include "monitor/monitor.h"

// The number after the command letter: a decimal float truncated toward zero, 0 when the text
// does not start with one; values past the int range are pinned to its ends.
static int readNumber(const char *text)
{
  double v = g_strtod(text, nullptr);
  if (v != v) return 0;
  if (v >= (double)INT_MAX) return INT_MAX;
  if (v <= (double)INT_MIN) return INT_MIN;
  return (int)v;
}

static void cmdCreate(char *msg)
{
  int type = msg[1] == '\0' ? 2 : readNumber(msg + 1);
  New_Mod(type);
  forcePaint();
}

static void cmdWire(char *msg)
{
  int id1, id2;
  char sep, oc, ic;
  int n = sscanf(msg + 1, "%d%c%d %c %c", &id1, &sep, &id2, &oc, &ic);
  if (n != 5) {
    sayError("C does not take %d parameters : %s", n, msg);
    return;
  }
  int ok = oc - 'A', ik = ic - 'A';
  if (ok < 0 || ok > 3 || ik < 0 || ik > 3) {
    sayError("Invalid terminal number in %s", msg);
    return;
  }
  int src = slotOfModuleId(id1);
  if (src < 0) {
    sayError("Module ID# %d does not exist.", id1);
    return;
  }
  int dst = slotOfModuleId(id2);
  if (dst < 0) {
    sayError("Module ID# %d does not exist.", id2);
    return;
  }
  if (!modHasOutput(MOD[src], ok)) {
    sayError("Output terminal %d of module %d does not exist.", ok, id1);
    return;
  }
  if (!modHasInput(MOD[dst], ik)) {
    sayError("Input terminal %d of module %d does not exist.", ik, id2);
    return;
  }
  say("Wiring module# %d term %d to module# %d term %d", src, ok, dst, ik);
  int i = dst * 4 + ik, o = src * 4 + ok;
  GET_MODGRAPH_LOCK();
  break_I_WIRE(i);
  break_O_WIRE(o);
  make_IO_WIRE(i, o);
  computeModuleTiers();
  RELEASE_MODGRAPH_LOCK();
  printExecOrder();
  forcePaint();
}

static void cmdDisconnect(char *msg)
{
  int id;
  char oc;
  int n = sscanf(msg + 1, "%d %c", &id, &oc);
  if (n != 2) {
    sayError("D does not take %d parameters : %s", n, msg);
    return;
  }
  int slot = slotOfModuleId(id);
  if (slot < 0) {
    sayError("Module# %d does not exist.", id);
    return;
  }
  int k = oc - 'A';
  if (k < 0 || k > 3) {
    sayError("Invalid terminal number in %s", msg);
    return;
  }
  say("Disconnecting module# %d output terminal %d", slot, k);
  GET_MODGRAPH_LOCK();
  break_O_WIRE(slot * 4 + k);
  computeModuleTiers();
  RELEASE_MODGRAPH_LOCK();
  printExecOrder();
  forcePaint();
}

static void cmdRemove(char *msg)
{
  int id = readNumber(msg + 1);
  int slot = slotOfModuleId(id);
  if (slot < 0) {
    sayError("Module# %d does not exist.", id);
    return;
  }
  int type = MOD[slot]->type;
  if (type == 0 || type == 1) {
    sayError("Line In or Line Out modules cannot be removed or added.");
    return;
  }
  for (int k = 0; k < 4; k++) {
    if ((modHasInput(MOD[slot], k) && I_TERM_CONNECT[slot * 4 + k] != -1) ||
        (modHasOutput(MOD[slot], k) && O_TERM_CONNECT[slot * 4 + k] != -1)) {
      sayError("Can't remove module# %d as it is still connected.", slot);
      return;
    }
  }
  if (MOD_PARMBOX[slot]) {
    sayError("Can't remove module# %d as it still has an active dialog box", slot);
    return;
  }
  Remove_Mod(slot);
  forcePaint();
}

static void cmdQuery(char *msg)
{
  int n = msg[1] == '\0' ? 0 : readNumber(msg + 1);
  // Terminal numbers index the wire tables directly; anything outside them has no entry.
  if (n < 0 || n >= TERMS_I_OR_O) {
    sayError("Terminal %d is out of range: terminals are numbered 0 to %d.", n, TERMS_I_OR_O - 1);
    return;
  }
  say("Input term %d connects to %d", n, I_TERM_CONNECT[n]);
  say("Output term %d connects to %d", n, O_TERM_CONNECT[n]);
}

void cmdparse(char *msg) { cmdparse(msg, stdoutReplies()); }

void cmdparse(char *msg, replySink &out)
{
  replyScope scope(out);
  // The monitor's word commands (status, tuner), before the line is upper-cased.
  if (monitorCommand(msg)) return;
  // The word commands (files, parameters, MIDI) before the letters are read.
  if (controlCommand(msg)) return;
  G_GNUC_BEGIN_IGNORE_DEPRECATIONS
  g_strup(msg);
  G_GNUC_END_IGNORE_DEPRECATIONS
  g_strchug(msg);
  if (msg[0] == '\0') return;

  char c = msg[0];
  if ((c == 'C' || c == 'D' || c == 'R') && msg[1] == '\0') {
    sayError("syntax error: %s", msg);
    return;
  }
  switch (c) {
  case 'A': cmdCreate(msg); break;
  case 'C': cmdWire(msg); break;
  case 'D': cmdDisconnect(msg); break;
  case 'R': cmdRemove(msg); break;
  case '@': cmdQuery(msg); break;
  default: sayError("unrecognized command %s", msg); break;
  }
}
