// The module table and the graph: type table, slots, module IDs, dispatchers, creation and
// removal, the repair pass, tiers and the execution order, and the graph lock. Everything that
// changes the graph runs on the UI thread with the graph lock held; the audio thread only reads.
#include "engine/soundNode.h"

#include <stdio.h>
#include <stdlib.h>

#include "control/control.h"
#include "engine/fatal.h"
#include "engine/io_term_inlines.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"

// clang-format off
modType typeList[MAX_TYPES] = {
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

int sound_buffer_size = 128;
int sound_chunk_size = 64;
const int fs[6] = {128, 256, 512, 1024, 2048, 4096};

modRec::modRec() : type(0), ID(sUID++), parm(), Extra(nullptr), term{}
{
}

modRec::~modRec()
{
  for (int k = 0; k < 4; k++) {
    if (term[k]) freeChunk(term[k]);
    term[k] = nullptr;
  }
}

void GET_MODGRAPH_LOCK() { pthread_mutex_lock(&modgraph_mutex); }

void RELEASE_MODGRAPH_LOCK() { pthread_mutex_unlock(&modgraph_mutex); }

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
  pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
  pthread_mutex_init(&modgraph_mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void Clean_SoundNode_Data()
{
  printf("Destroying mutex\n");
  pthread_mutex_destroy(&modgraph_mutex);
}

void New_Mod(int type)
{
  if (type < 0 || type >= MAX_TYPES) {
    printf("Error: Type %d is out of range.\n", type);
    return;
  }
  if (type == 0 || type == 1) {
    printf("Can't add or remove Line In or Line Out modules.\n");
    return;
  }
  int slot = 0;
  while (slot < MAX_MODULES && MOD[slot] != nullptr) slot++;
  if (slot == MAX_MODULES) {
    printf("Error: Maximum number of %d modules reached.\n", MAX_MODULES);
    return;
  }

  GET_MODGRAPH_LOCK();
  modRec *m = new modRec;
  MOD[slot] = m;
  m->type = type;
  assignModuleTiers();
  Init_Module(slot);
  RELEASE_MODGRAPH_LOCK();

  printf("Created new module ID=%d Slot=%d Type=%d\n", m->ID, slot, type);
  printf("Name of new module: %s\n", typeList[type].name);
}

void Remove_Mod(int slot)
{
  GET_MODGRAPH_LOCK();
  Clean_Module(slot);
  delete MOD[slot];
  MOD[slot] = nullptr;
  assignModuleTiers();
  RELEASE_MODGRAPH_LOCK();
  controlModulesChanged();
}

void Init_Module(int slot)
{
  modRec *sM = MOD[slot];
  QAF_ASSERT(sM != NULL);
  modFunc f = typeList[sM->type].init;
  if (f) f(slot);
}

// Audio thread, graph lock held.
void Pump_Module(int slot)
{
  modRec *sM = MOD[slot];
  QAF_ASSERT(sM != NULL);
  modFunc f = typeList[sM->type].pump;
  if (f) f(slot);
}

void Clean_Module(int slot)
{
  modRec *sM = MOD[slot];
  QAF_ASSERT(sM != NULL);
  modFunc f = typeList[sM->type].clean;
  if (f) f(slot);
}

void validateModuleConnections()
{
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    int d = O_TERM_WIRE(t);
    if (d != -1) {
      int b = I_TERM_WIRE(d);
      if (b != t) {
        O_TERM_CONNECT[t] = -1;
        I_TERM_CONNECT[d] = -1;
        printf("OTERM %d -> ITERM %d:ITERM %d -> OTERM %d\n", t, d, d, b);
        printf("Deleting mismatched wires\n");
      }
    }
    int s = I_TERM_WIRE(t);
    if (s != -1) {
      int f = O_TERM_WIRE(s);
      if (f != t) {
        I_TERM_CONNECT[t] = -1;
        O_TERM_CONNECT[s] = -1;
        printf("ITERM %d -> OTERM %d:OTERM %d -> ITERM %d\n", t, s, s, f);
        printf("Deleting mismatched wires\n");
      }
    }
  }
}

void recurseModuleTiers(int slot, int depth)
{
  if (depth >= MOD_TIER[slot]) return;
  MOD_TIER[slot] = depth;
  for (int k = 0; k < 4; k++) {
    int d = O_TERM_WIRE(slot * 4 + k);
    if (d != -1) recurseModuleTiers(d / 4, depth + 1);
  }
}

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

static gint compareModExecList(gconstpointer a, gconstpointer b)
{
  return compareModExec(a, b);
}

void assignModuleTiers()
{
  MAX_TIER = 0;
  MAX_NUM_IN_TIER = 0;

  bool source[MAX_MODULES];
  for (int s = 0; s < MAX_MODULES; s++) {
    source[s] = true;
    for (int k = 0; k < 4; k++)
      if (I_TERM_CONNECT[s * 4 + k] != -1) source[s] = false;
  }
  for (int s = 0; s < MAX_MODULES; s++) MOD_TIER[s] = 99999;
  for (int s = 0; s < MAX_MODULES; s++)
    if (source[s]) recurseModuleTiers(s, 0);
  for (int s = 0; s < MAX_MODULES; s++) {
    // modules fed only from a closed loop of wires land in tier 0
    if (MOD_TIER[s] == 99999) MOD_TIER[s] = 0;
    if (MOD_TIER[s] > MAX_TIER) MAX_TIER = MOD_TIER[s];
  }

  int count[MAX_MODULES] = {0};
  for (int s = 0; s < MAX_MODULES; s++) {
    if (!MOD[s]) continue;
    MOD_NUM_IN_TIER[s] = count[MOD_TIER[s]]++;
    if (count[MOD_TIER[s]] > MAX_NUM_IN_TIER) MAX_NUM_IN_TIER = count[MOD_TIER[s]];
  }

  GSList *order = nullptr;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s]) order = g_slist_prepend(order, GINT_TO_POINTER(s));
  order = g_slist_sort(order, compareModExecList);
  int n = 0;
  for (GSList *l = order; l; l = l->next) MOD_EXEC_ORDER[n++] = GPOINTER_TO_INT(l->data);
  g_slist_free(order);
  MOD_EXEC_NUM = n;

  printf("MOD_EXEC_NUM %d\n", MOD_EXEC_NUM);
  for (int p = 0; p < MOD_EXEC_NUM; p++)
    printf("Module ID %d executes %d\n", MOD[MOD_EXEC_ORDER[p]]->ID, p);
}
