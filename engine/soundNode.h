// The module graph: the compiled-in table of module types, the 64 module slots, the wire tables,
// tiers and execution order, the one graph lock, and the sizes of the device buffer and chunks.
#ifndef QAF_SOUNDNODE_H
#define QAF_SOUNDNODE_H

#include <glib.h>
#include <pthread.h>

#include <atomic>

#define MAX_TYPES 20
#define MAX_MODULES 64
#define TERMS_I_OR_O 256

typedef void (*modFunc)(int slot);

struct modType {
  char name[32];
  unsigned char terms;   // bit (7 - k): input k exists; bit (3 - k): output k exists
  const char *parmDesc;  // "" when the type has no parameters, else '!', '#' or '%' and a list
  modFunc pump;
  modFunc init;          // may be null
  modFunc clean;         // may be null
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
// its terminal slots.
struct modRec {
  modRec();
  ~modRec();
  modRec(const modRec &) = delete;
  modRec &operator=(const modRec &) = delete;

  int type;
  int ID;
  parmFloat parm[16];
  gpointer Extra;
  short *term[4];
};

extern modType typeList[MAX_TYPES];

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

// Device buffer and chunk sizes in bytes; fs lists the sizes the -b option selects.
extern int sound_buffer_size;
extern int sound_chunk_size;
extern const int fs[6];

// Terminal existence from a type's mask.
static inline bool typeHasInput(int type, int k) { return (typeList[type].terms >> (7 - k)) & 1; }
static inline bool typeHasOutput(int type, int k) { return (typeList[type].terms >> (3 - k)) & 1; }

void GET_MODGRAPH_LOCK();
void RELEASE_MODGRAPH_LOCK();

// Main thread, before any other thread: wire tables, slots, Line In and Line Out, first order, lock.
void Init_SoundNode_Data();
void Clean_SoundNode_Data();

// UI thread; takes the graph lock itself. Creates a module of the type in the lowest free slot.
void New_Mod(int type);
// UI thread; takes the graph lock itself. The caller has checked that the slot may be removed.
void Remove_Mod(int slot);

// Graph lock held.
void Init_Module(int slot);
void Pump_Module(int slot);
void Clean_Module(int slot);

// Graph lock held.
void validateModuleConnections();
void assignModuleTiers();
void recurseModuleTiers(int slot, int depth);
gint compareModExec(const void *a, const void *b);

#endif
