// The module table and the graph: type table, slots, module IDs, dispatchers, creation and
// removal, the repair pass, tiers and the execution order, and the graph lock. Everything that
// changes the graph runs on the UI thread: records and orders are built beside the running graph
// and published as a new graph when the editors' lock is released; what was replaced is
// cleaned once no pass can see it.
#include "engine/soundNode.h"
#include "engine/taps.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "audio/period.h"
#include "base/reply.h"
#include "engine/audioThread.h"
#include "base/fatal.h"
#include "engine/io_term_inlines.h"
#include "base/realtime.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"

// clang-format off
modType typeList[ALL_TYPES] = {
  {"Line In",                 12, "",                                    fLineIn,  nullptr, nullptr},
  {"Line Out",               192, "",                                    fLineOut, nullptr, nullptr},
  {"Passthrough",            255, "!VolumeA/VolumeB/VolumeC/VolumeD",     fPass,    iPass,   nullptr},
  {"Mixer",                  248, "!VolumeA/VolumeB/VolumeC/VolumeD",     fMixer,   iMixer,  nullptr},
  {"Distort",                136, "!Drive/Sat/Level",                    fDistort, iDistort, nullptr},
  {"Reverb",                 136, "!Delay/Wet/Dry/Regen",                fReverb,  iReverb, unReverb},
  {"Splitter",               143, "",                                    fSplit,   nullptr, nullptr},
  {"Tone",                   136, "!Frequency/Bass/Treble",              fTone,    iTone,   unTone},
  {"Looper",                  25, "#Sample/0/63/Start/0/1024/End/0/1024/Speed%/10/800/TrigOnly/0/1/Trigger Beats/1/8",
                                                                         fLooper,  iLooper, unLooper},
  {"XFader",                 200, "!Fade",                               fXFader,  nullptr, nullptr},
  {"Octave Down",            136, "",                                    fOctave,  iOctave, unOctave},
  {"Record Sample (1 sec)",  153, "%Play/Overdub/Record",                fRec,     iRec1,   unRec},
  {"Record Sample (10 sec)", 153, "%Play/Overdub/Record",                fRec,     iRec0,   unRec},
  {"Record Sample (30 sec)", 153, "%Play/Overdub/Record",                fRec,     iRec3,   unRec},
  {"Sync Sequencer",          17, "#1/0/1/2/0/1/3/0/1/4/0/1/5/0/1/6/0/1/7/0/1/8/0/1",
                                                                         fSeq,     iSeq,    unSeq},
  {"Panning Mixer",          252, "!VolA/VolB/VolC/VolD/PanA/PanB/PanC/PanD", fPan, iPan,    nullptr},
  {"Chorus/Flange",          136, "#Depth/0/100/Speed/0/100/Mode/0/1/Wet/0/256/Dry/0/256/Regen/0/256",
                                                                         fChor,    iChor,   unChor},
  {"Compressor",             136, "#Noise Threshold/0/256/Compression/0/100/Gate Width/1/256",
                                                                         fComp,    iComp,   unComp},
  {"Scratcher",              136, "!Move this",                          fScratch, iScratch, unScratch},
  {"Multiply",               200, "!Bias/Scale",                         fMult,    iMult,   nullptr},
  {"",                         0, "",                                    nullptr,  nullptr, nullptr},
};
// clang-format on

modRec *MOD[MAX_MODULES];
int MOD_PARMBOX[MAX_MODULES];
void *MOD_PARMBOX_HANDLE[MAX_MODULES];
int sUID = 100;

int I_TERM_CONNECT[TERMS_I_OR_O];
int O_TERM_CONNECT[TERMS_I_OR_O];

int MOD_TIER[MAX_MODULES];
int MOD_NUM_IN_TIER[MAX_MODULES];
int MAX_TIER;
int MAX_NUM_IN_TIER;
int MOD_EXEC_ORDER[MAX_MODULES];
int MOD_EXEC_NUM;

pthread_mutex_t modgraph_mutex;


modRec::modRec() : type(0), ID(sUID++), parm(), Extra(nullptr), term{}, terms(0)
{
}

modRec::~modRec() { releaseModuleChunks(this); }


void Init_SoundNode_Data()
{
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    I_TERM_CONNECT[t] = -1;
    O_TERM_CONNECT[t] = -1;
  }
  for (int s = 0; s < MAX_MODULES; s++) {
    MOD[s] = nullptr;
    MOD_PARMBOX[s] = 0;
    MOD_PARMBOX_HANDLE[s] = nullptr;
  }
  initChunkPool();
  resetOutputStage(false);
  periodCalls.pass = runGraphPass;  // what a device that drives the passes runs
  MOD[0] = new modRec;
  MOD[0]->type = 0;
  MOD[1] = new modRec;
  MOD[1]->type = 1;
  assignModuleTiers();

  printf("Creating mutex\n");
  // Priority inheritance: the audio thread runs at real-time priority and must never wait
  // behind a UI thread that was preempted while it held the lock. Still non-recursive.
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  // Editors only: a MIDI thread's edit must not wait behind a preempted UI thread. Where the
  // system has no priority inheritance it is a plain lock, which is all correctness needs.
  if (pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) != 0)
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_NONE);
  pthread_mutex_init(&modgraph_mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void Clean_SoundNode_Data()
{
  collectRetired(false);
  printf("Destroying mutex\n");
  pthread_mutex_destroy(&modgraph_mutex);
}

modRec *makeModule(int type)
{
  modRec *m = new modRec;
  m->type = type;
  initRecord(m);
  return m;
}

void releaseModuleChunks(modRec *m)
{
  for (int k = 0; k < 4; k++) {
    if (m->term[k]) returnChunk(m->term[k]);
    m->term[k] = nullptr;
  }
}

void destroyModule(modRec *m)
{
  if (!m) return;
  releaseModuleChunks(m);
  cleanRecord(m);
  delete m;
}

void New_Mod(int type)
{
  if (type < 0 || type >= MAX_TYPES) {
    sayError("Error: Type %d is out of range.", type);
    return;
  }
  if (type == 0 || type == 1) {
    sayError("Can't add or remove Line In or Line Out modules.");
    return;
  }
  if (!haveFreeSlot()) return;
  addModule(makeModule(type));
}

int slotOfModuleId(int id)
{
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->ID == id) return s;
  return -1;
}

bool haveFreeSlot()
{
  for (int slot = 0; slot < MAX_MODULES; slot++)
    if (!MOD[slot]) return true;
  sayError("Error: Maximum number of %d modules reached.", MAX_MODULES);
  return false;
}

int addModule(modRec *m)
{
  int slot = 0;
  while (slot < MAX_MODULES && MOD[slot] != nullptr) slot++;
  if (slot == MAX_MODULES) {
    sayError("Error: Maximum number of %d modules reached.", MAX_MODULES);
    destroyModule(m);
    return -1;
  }
  GET_MODGRAPH_LOCK();
  MOD[slot] = m;
  computeModuleTiers();
  RELEASE_MODGRAPH_LOCK();
  printExecOrder();
  collectRetired();

  say("Created new module ID=%d Slot=%d Type=%d", m->ID, slot, m->type);
  say("Name of new module: %s", typeList[m->type].name);
  return slot;
}

void Remove_Mod(int slot)
{
  modRec *old = MOD[slot];
  GET_MODGRAPH_LOCK();
  MOD[slot] = nullptr;
  computeModuleTiers();
  retireModule(old);
  RELEASE_MODGRAPH_LOCK();
  printExecOrder();
  collectRetired();
  modulesChanged();
}

void initRecord(modRec *m)
{
  QAF_ASSERT(m != NULL);
  modRecFunc f = typeList[m->type].init;
  if (f) f(m);
}

void cleanRecord(modRec *m)
{
  QAF_ASSERT(m != NULL);
  modRecFunc f = typeList[m->type].clean;
  if (f) f(m);
}

void Init_Module(int slot)
{
  modRec *sM = MOD[slot];
  QAF_ASSERT(sM != NULL);
  initRecord(sM);
}

// Audio thread, inside a pass.
void Pump_Module(int slot) QAF_NONBLOCKING
{
  modRec *sM = passMod(slot);
  QAF_ASSERT(sM != NULL);
  modFunc f = typeList[sM->type].pump;
  if (f) f(slot);
}

void Clean_Module(int slot)
{
  modRec *sM = MOD[slot];
  QAF_ASSERT(sM != NULL);
  cleanRecord(sM);
}

void repairWireTables(int *iTerm, int *oTerm)
{
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    int d = oTerm[t];
    if (d != -1) {
      QAF_ASSERT(d >= 0 && d < TERMS_I_OR_O);
      int b = iTerm[d];
      if (b != t) {
        oTerm[t] = -1;
        iTerm[d] = -1;
        printf("OTERM %d -> ITERM %d:ITERM %d -> OTERM %d\n", t, d, d, b);
        printf("Deleting mismatched wires\n");
      }
    }
    int s = iTerm[t];
    if (s != -1) {
      QAF_ASSERT(s >= 0 && s < TERMS_I_OR_O);
      int f = oTerm[s];
      if (f != t) {
        iTerm[t] = -1;
        oTerm[s] = -1;
        printf("ITERM %d -> OTERM %d:OTERM %d -> ITERM %d\n", t, s, s, f);
        printf("Deleting mismatched wires\n");
      }
    }
  }
}

void validateModuleConnections() { repairWireTables(I_TERM_CONNECT, O_TERM_CONNECT); }

// A module's tier on any pair of tables: the length of the shortest chain of wires to it.
static void walkTiers(const int *oTerm, int *tier, int slot, int depth)
{
  if (depth >= tier[slot]) return;
  tier[slot] = depth;
  for (int k = 0; k < 4; k++) {
    int d = oTerm[slot * 4 + k];
    if (d != -1) {
      QAF_ASSERT(d >= 0 && d < TERMS_I_OR_O);
      walkTiers(oTerm, tier, d / 4, depth + 1);
    }
  }
}

void recurseModuleTiers(int slot, int depth) { walkTiers(O_TERM_CONNECT, MOD_TIER, slot, depth); }

gint compareModExec(const void *a, const void *b)
{
  int M1 = GPOINTER_TO_INT(a);
  int M2 = GPOINTER_TO_INT(b);
  QAF_ASSERT(M1 >= 0 && M1 < MAX_MODULES);
  QAF_ASSERT(M2 >= 0 && M2 < MAX_MODULES);
  if (MOD_TIER[M1] < MOD_TIER[M2]) return -1;
  if (MOD_TIER[M1] > MOD_TIER[M2]) return 1;
  return MOD_NUM_IN_TIER[M1] < MOD_NUM_IN_TIER[M2] ? -1 : 1;
}

void computeGraphOrder(modRec *const *mods, const int *iTerm, const int *oTerm, graphOrder &o)
{
  o.maxTier = 0;
  o.maxNumInTier = 0;

  bool source[MAX_MODULES];
  for (int s = 0; s < MAX_MODULES; s++) {
    source[s] = true;
    for (int k = 0; k < 4; k++)
      if (iTerm[s * 4 + k] != -1) source[s] = false;
  }
  for (int s = 0; s < MAX_MODULES; s++) o.tier[s] = 99999;
  for (int s = 0; s < MAX_MODULES; s++)
    if (source[s]) walkTiers(oTerm, o.tier, s, 0);
  for (int s = 0; s < MAX_MODULES; s++) {
    // modules fed only from a closed loop of wires land in tier 0
    if (o.tier[s] == 99999) o.tier[s] = 0;
    if (o.tier[s] > o.maxTier) o.maxTier = o.tier[s];
  }

  int count[MAX_MODULES] = {0};
  for (int s = 0; s < MAX_MODULES; s++) {
    if (!mods[s]) continue;
    o.numInTier[s] = count[o.tier[s]]++;
    if (count[o.tier[s]] > o.maxNumInTier) o.maxNumInTier = count[o.tier[s]];
  }

  // Lower tier first, then lower place in the tier (which is ascending slot order). An insertion
  // sort of at most 64 slots: no list to allocate while the lock may be held.
  int n = 0;
  for (int s = 0; s < MAX_MODULES; s++) {
    if (!mods[s]) continue;
    int p = n++;
    while (p > 0) {
      int q = o.execOrder[p - 1];
      bool after =
          o.tier[q] > o.tier[s] || (o.tier[q] == o.tier[s] && o.numInTier[q] > o.numInTier[s]);
      if (!after) break;
      o.execOrder[p] = q;
      p--;
    }
    o.execOrder[p] = s;
  }
  o.execNum = n;
}

void installGraphOrder(const graphOrder &o)
{
  for (int s = 0; s < MAX_MODULES; s++) MOD_TIER[s] = o.tier[s];
  for (int p = 0; p < o.execNum; p++) {
    int s = o.execOrder[p];
    MOD_NUM_IN_TIER[s] = o.numInTier[s];
    MOD_EXEC_ORDER[p] = s;
  }
  MAX_TIER = o.maxTier;
  MAX_NUM_IN_TIER = o.maxNumInTier;
  MOD_EXEC_NUM = o.execNum;
}

void computeModuleTiers()
{
  graphOrder o;
  computeGraphOrder(MOD, I_TERM_CONNECT, O_TERM_CONNECT, o);
  installGraphOrder(o);
}

void printExecOrder()
{
  say("MOD_EXEC_NUM %d", MOD_EXEC_NUM);
  for (int p = 0; p < MOD_EXEC_NUM; p++)
    say("Module ID %d executes %d", MOD[MOD_EXEC_ORDER[p]]->ID, p);
}

void assignModuleTiers()
{
  computeModuleTiers();
  printExecOrder();
  // No pass runs meanwhile: the tables are published, and are the pass's graph, at once.
  publishNow();
}
