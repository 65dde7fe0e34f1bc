// One input through a file loader, shared by the libFuzzer targets and by the replay of their
// corpora in the normal test run: the bytes go to a file, the plain loader reads it, and the
// tables are checked afterwards. A non-empty answer names the first broken rule.
#ifndef QAF_FUZZ_HARNESS_H
#define QAF_FUZZ_HARNESS_H

#include <glib.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "engine/soundNode.h"
#include "files/fileops.h"
#include "modules/pump.h"
#include "samples/loopStore.h"

// Graph data and sample slots as start-up makes them; once per process.
inline void fuzzBoot()
{
  static bool done = false;
  if (done) return;
  done = true;
  Init_SoundNode_Data();
  initLoops();
}

inline bool fuzzWriteFile(const char *path, const uint8_t *data, size_t size)
{
  FILE *f = fopen(path, "wb");
  if (!f) return false;
  bool ok = size == 0 || fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

// Slot 0 Line In, slot 1 Line Out and nowhere else, known types only, and every wire joining an
// existing output of an occupied slot to an existing input of an occupied slot in both tables;
// the execution order lists exactly the occupied slots.
inline std::string graphFault()
{
  char why[200];
  if (!MOD[0] || MOD[0]->type != 0) return "slot 0 is not Line In";
  if (!MOD[1] || MOD[1]->type != 1) return "slot 1 is not Line Out";
  int occupied = 0;
  for (int s = 0; s < MAX_MODULES; s++) {
    if (!MOD[s]) continue;
    occupied++;
    if (MOD[s]->type < 0 || MOD[s]->type >= MAX_TYPES || (s > 1 && MOD[s]->type < 2)) {
      g_snprintf(why, sizeof why, "slot %d holds type %d", s, MOD[s]->type);
      return why;
    }
    if (MOD_PARMBOX[s]) return "a dialog flag is set";
  }
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    int o = I_TERM_CONNECT[t], i = O_TERM_CONNECT[t];
    if (o != -1 && (o < 0 || o >= TERMS_I_OR_O || O_TERM_CONNECT[o] != t || !MOD[t / 4] ||
                    !MOD[o / 4] || !typeHasInput(MOD[t / 4]->type, t % 4) ||
                    !typeHasOutput(MOD[o / 4]->type, o % 4))) {
      g_snprintf(why, sizeof why, "input terminal %d -> %d breaks the wiring", t, o);
      return why;
    }
    if (i != -1 && (i < 0 || i >= TERMS_I_OR_O || I_TERM_CONNECT[i] != t || !MOD[t / 4] ||
                    !MOD[i / 4] || !typeHasOutput(MOD[t / 4]->type, t % 4) ||
                    !typeHasInput(MOD[i / 4]->type, i % 4))) {
      g_snprintf(why, sizeof why, "output terminal %d -> %d breaks the wiring", t, i);
      return why;
    }
  }
  if (MOD_EXEC_NUM != occupied) return "the execution order misses modules";
  bool seen[MAX_MODULES] = {false};
  for (int p = 0; p < MOD_EXEC_NUM; p++) {
    int s = MOD_EXEC_ORDER[p];
    if (s < 0 || s >= MAX_MODULES || !MOD[s] || seen[s]) return "the execution order is wrong";
    seen[s] = true;
  }
  if (chunksInUse() != 0) return "chunks were lost";
  return "";
}

// Loads the bytes as a layout. accepted (if given) tells whether the patch was replaced.
inline std::string runLayoutInput(const uint8_t *data, size_t size, const char *path,
                                  bool *accepted = nullptr)
{
  fuzzBoot();
  if (!fuzzWriteFile(path, data, size)) return "cannot write the input file";
  int lineInId = MOD[0]->ID;
  real_load(const_cast<char *>(path));
  if (accepted) *accepted = MOD[0]->ID != lineInId;
  return graphFault();
}

// A layout built from a short recipe, so that most inputs reach the swap and the repair pass
// instead of being refused on their first bytes: bytes 0..61 choose the modules of slots 2..63
// (v % 20 below 2 leaves the slot empty, else it is the type), then each group of three bytes
// (a, b, c) sets wire entries: a & 4 makes the whole wire from output b to input c, otherwise
// a & 1 picks the input (1) or output (0) table entry b, set to c, or to -1 when a & 2.
inline std::vector<uint8_t> layoutFromRecipe(const uint8_t *data, size_t size)
{
  int type[MAX_MODULES], I[TERMS_I_OR_O], O[TERMS_I_OR_O];
  type[0] = 0;
  type[1] = 1;
  for (int s = 2; s < MAX_MODULES; s++) {
    size_t at = (size_t)(s - 2);
    int v = at < size ? data[at] % 20 : 0;
    type[s] = v < 2 ? -1 : v;
  }
  for (int t = 0; t < TERMS_I_OR_O; t++) I[t] = O[t] = -1;
  for (size_t at = MAX_MODULES - 2; at + 2 < size; at += 3) {
    int a = data[at], b = data[at + 1], c = data[at + 2];
    if (a & 4) {
      O[b] = c;
      I[c] = b;
    } else if (a & 1) {
      I[b] = a & 2 ? -1 : c;
    } else {
      O[b] = a & 2 ? -1 : c;
    }
  }
  const char magic[] = "QAF_LAYOUT\n";
  std::vector<uint8_t> out(magic, magic + 11);
  auto put32 = [&out](int32_t v) {
    for (int k = 0; k < 4; k++) out.push_back((uint8_t)((uint32_t)v >> (8 * k)));
  };
  put32(MAX_MODULES);
  for (int s = 0; s < MAX_MODULES; s++) {
    put32(type[s]);
    if (type[s] != -1)
      for (int p = 0; p < 16; p++) put32(0);
  }
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    put32(I[t]);
    put32(O[t]);
  }
  return out;
}

// Every full slot holds a whole, non-negative length; names fit the reader's bound; no slot lock
// is left held.
inline std::string slotFault()
{
  char why[120];
  for (int s = 0; s < NUM_LOOPS; s++) {
    if (isLockLoop(s)) {
      g_snprintf(why, sizeof why, "slot %d is still locked", s);
      return why;
    }
    if (strlen(getLoopName(s)) > 1023) {
      g_snprintf(why, sizeof why, "slot %d has a name over 1023 characters", s);
      return why;
    }
    if (isLoopFull(s) && (loopLength[s] < 0 || loopLength[s] % 2 != 0)) {
      g_snprintf(why, sizeof why, "slot %d holds length %d", s, loopLength[s]);
      return why;
    }
  }
  return "";
}

// Loads the bytes as a sample bank. slotsChanged (if given) counts slots whose sound changed.
inline std::string runSbankInput(const uint8_t *data, size_t size, const char *path,
                                 int *slotsChanged = nullptr)
{
  fuzzBoot();
  if (!fuzzWriteFile(path, data, size)) return "cannot write the input file";
  short *before[NUM_LOOPS];
  for (int s = 0; s < NUM_LOOPS; s++) before[s] = loopData[s];
  real_loadsbank(const_cast<char *>(path));
  if (slotsChanged) {
    *slotsChanged = 0;
    for (int s = 0; s < NUM_LOOPS; s++)
      if (loopData[s] != before[s]) (*slotsChanged)++;
  }
  return slotFault();
}

#endif
