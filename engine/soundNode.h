// The module graph: the compiled-in table of module types, the 64 module slots, the wire tables,
// tiers and execution order, the editors' lock and the graph they publish for the passes.
#ifndef QAF_SOUNDNODE_H
#define QAF_SOUNDNODE_H

#include <glib.h>
#include <pthread.h>

#include <atomic>

#include "audio/cardfeed.h"
#include "base/realtime.h"
#include "base/rtMemory.h"

#define MAX_TYPES 20
// Beyond the built-in types, one row for plugin modules (installed by the plugin host): each of
// its records has terminals of its own, and none is made by type number alone.
#define PLUGIN_TYPE MAX_TYPES
#define ALL_TYPES (MAX_TYPES + 1)
#define MAX_MODULES 64
#define TERMS_I_OR_O 256

struct modRec;
typedef void (*modFunc)(int slot) QAF_NONBLOCKING;  // a pump: real-time code
// Init and clean work on the record itself, so that a module is built before it takes a slot and
// cleaned after it has left one, both away from the graph lock.
typedef void (*modRecFunc)(modRec *m);

struct modType {
  char name[32];
  unsigned char terms;   // bit (7 - k): input k exists; bit (3 - k): output k exists
  const char *parmDesc;  // "" when the type has no parameters, else '!', '#' or '%' and a list
  modFunc pump;
  modRecFunc init;       // may be null
  modRecFunc clean;      // may be null
};

// One parameter value. The dialogs, MIDI and the pumps share it across threads, one 32-bit float
// at a time; a relaxed atomic makes that a defined program without costing the pumps anything.
struct parmFloat {
  std::atomic<float> v{0.0f};
  operator float() const { return v.load(std::memory_order_relaxed); }
  parmFloat &operator=(float f)
  {
    v.store(f, std::memory_order_relaxed);
    return *this;
  }
  parmFloat &operator=(const parmFloat &o) { return *this = (float)o; }
};

// One module instance. A new record takes the next module ID; its parameters start at 0.0, it
// owns no private state and holds no chunks. Deleting it releases any chunks still waiting in
// its terminal slots. Each record has cache lines of its own: the two threads of a rendered
// block write the records of their own modules every pass.
struct alignas(64) modRec {
  QAF_RT_ALLOCATED
  modRec();
  ~modRec();
  modRec(const modRec &) = delete;
  modRec &operator=(const modRec &) = delete;

  int type;
  int ID;
  parmFloat parm[16];
  gpointer Extra;
  short *term[4];
  unsigned char terms;  // a plugin module's terminal mask (the type's for every other type)
};

extern modType typeList[ALL_TYPES];

extern modRec *MOD[MAX_MODULES];
extern int MOD_PARMBOX[MAX_MODULES];
extern void *MOD_PARMBOX_HANDLE[MAX_MODULES];  // the open dialog's window, opaque to the core
extern int sUID;

// Wires: for each input terminal the output that feeds it, for each output the input it feeds.
extern int I_TERM_CONNECT[TERMS_I_OR_O];
extern int O_TERM_CONNECT[TERMS_I_OR_O];

// Tiers and execution order, rebuilt whole by assignModuleTiers.
extern int MOD_TIER[MAX_MODULES];
extern int MOD_NUM_IN_TIER[MAX_MODULES];
extern int MAX_TIER;
extern int MAX_NUM_IN_TIER;
extern int MOD_EXEC_ORDER[MAX_MODULES];
extern int MOD_EXEC_NUM;

extern pthread_mutex_t modgraph_mutex;


// Terminal existence from a type's mask.
static inline bool typeHasInput(int type, int k) { return (typeList[type].terms >> (7 - k)) & 1; }
static inline bool typeHasOutput(int type, int k) { return (typeList[type].terms >> (3 - k)) & 1; }
// Terminal existence of one module: a plugin module's own, else its type's.
static inline unsigned char modTerms(const modRec *m)
{
  return m->type == PLUGIN_TYPE ? m->terms : typeList[m->type].terms;
}
static inline bool modHasInput(const modRec *m, int k) { return (modTerms(m) >> (7 - k)) & 1; }
static inline bool modHasOutput(const modRec *m, int k) { return (modTerms(m) >> (3 - k)) & 1; }

// One published version of the patch: the slots, both wire tables and the execution order, as
// passes run them. MOD, the wire tables and the order above are the editors' copy; releasing the
// graph lock copies them into a new version and publishes it with one atomic store. A version is
// never changed once published, and is freed (with the records that left the patch with it)
// only once the pass that may have been reading it has ended.
struct runGraph {
  modRec *mod[MAX_MODULES];
  int iTerm[TERMS_I_OR_O];
  int oTerm[TERMS_I_OR_O];
  int execOrder[MAX_MODULES];
  int execNum;
  unsigned long seq;
};

// The graph of the pass under way: set by beginGraphPass on the thread that runs passes, read by
// the pumps and by a rendered block's second thread.
extern const runGraph *passGraph;
// Audio thread. The record in a slot of the pass's graph.
static inline modRec *passMod(int slot) { return passGraph->mod[slot]; }

// Audio thread (or a device's real-time callback). A pass starts: takes the newest published
// graph and tells the editors which one it reads. Takes no lock and waits for nothing.
void beginGraphPass() QAF_NONBLOCKING;
// Audio thread. The pass has ended: the graph it read may be freed.
void endGraphPass() QAF_NONBLOCKING;

// UI thread (any thread that edits; the graph lock serialises editors, never the audio thread).
// Hands a record that has left the patch, or any other thing passes may still read, to be
// destroyed once no pass can see it any more.
void retireModule(modRec *m);
void retireLater(void (*destroy)(void *), void *p);
// Editors, graph lock held: the graph published when the lock is released replaces the whole
// patch and fades: the passes play the old one out to silence and fade the new one in. (When no
// other thread is running passes, it is simply published.)
void fadeThisSwap();
// Where no pass can run meanwhile (start-up, tests): publishes the editors' tables and makes
// them the pass's graph at once.
void publishNow();
// UI thread. Destroys what passes have moved past; with wait, first waits (a pass at most, and
// never longer than 100 ms) for the pass that may still read the newest retirements.
void collectRetired(bool wait = true);

// UI thread: the graph lock, now only between editing threads. Releasing it publishes the
// editors' tables as the next graph. Each holding is timed; the longest is a run statistic.
void GET_MODGRAPH_LOCK();
void RELEASE_MODGRAPH_LOCK();
// The longest holding by an editor so far, and the longest wait of the audio thread for the
// graph (always 0: it takes no lock), in ns; reset starts both again.
long long worstGraphHoldNs();
long long worstGraphWaitNs();
void resetGraphLockStats();

// Main thread, before any other thread: wire tables, slots, Line In and Line Out, first order, lock.
void Init_SoundNode_Data();
void Clean_SoundNode_Data();

// UI thread. The slot of the module with that ID in the editors' table; -1 when there is none.
int slotOfModuleId(int id);
// UI thread; takes the graph lock itself. Creates a module of the type in the lowest free slot.
void New_Mod(int type);
// UI thread; takes the graph lock itself. Puts a record made beside the graph into the lowest
// free slot and says so as New_Mod does; -1 (and the record destroyed) when every slot is full.
int addModule(modRec *m);
// UI thread. True when a slot is free for a new module (else says why, as New_Mod does).
bool haveFreeSlot();
// UI thread; takes the graph lock itself. The caller has checked that the slot may be removed.
void Remove_Mod(int slot);

// UI thread, no lock: a new record of the type (it takes the next module ID) with its private
// state built by the type's init; no slot holds it yet.
modRec *makeModule(int type);
// Gives the chunks waiting at the record's terminals back to the pool: on the thread that runs
// passes, or on the UI thread for a record no pass can see any more.
void releaseModuleChunks(modRec *m);
// UI thread, no lock: gives back the chunks of a record that no pass can see any more, runs the
// type's clean and deletes it.
void destroyModule(modRec *m);

// The type's init and clean on a record, wherever it stands.
void initRecord(modRec *m);
void cleanRecord(modRec *m);
// The same for the record in a slot.
void Init_Module(int slot);
void Clean_Module(int slot);
// Audio thread, inside a pass.
void Pump_Module(int slot) QAF_NONBLOCKING;

// Removes half-made wires from a pair of wire tables (the running ones, or a layout's before it
// is installed), printing what it removes.
void repairWireTables(int *iTerm, int *oTerm);
// Graph lock held.
void validateModuleConnections();

// Tiers and execution order of a graph, worked out beside the running one.
struct graphOrder {
  int tier[MAX_MODULES];
  int numInTier[MAX_MODULES];
  int maxTier;
  int maxNumInTier;
  int execOrder[MAX_MODULES];
  int execNum;
};
// Any thread, no lock, no allocation: the order of the occupied slots of mods under the wires.
void computeGraphOrder(modRec *const *mods, const int *iTerm, const int *oTerm, graphOrder &o);
// Graph lock held: installs an order computed beside.
void installGraphOrder(const graphOrder &o);
// Graph lock held: recomputes tiers and the order of the running graph; prints nothing.
void computeModuleTiers();
// UI thread, after the holding: prints the execution order as it now stands.
void printExecOrder();
// Both of the above, where no pass can run meanwhile (start-up, tests).
void assignModuleTiers();
void recurseModuleTiers(int slot, int depth);
gint compareModExec(const void *a, const void *b);

#endif
