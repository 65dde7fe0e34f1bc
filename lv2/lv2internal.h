// What the LV2 host's files share: lilv's world, the URID map, one plugin's description and one
// module's instance with the memory its passes write.
#ifndef QAF_LV2INTERNAL_H
#define QAF_LV2INTERNAL_H

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/log/log.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "engine/soundNode.h"
#include "lv2/lv2host.h"

#define LV2_MAX_FRAMES 1024      // one chunk of the largest device buffer
#define LV2_ATOM_BYTES 16384     // each atom port's sequence buffer
#define LV2_RING_BYTES 65536     // each message ring

// UI thread. lilv's world, loaded on first use.
LilvWorld *lv2World();
// Any thread but the audio thread (plugins map in instantiate and restore): the URID map.
LV2_URID lv2Map(const char *uri);
const char *lv2Unmap(LV2_URID id);
extern LV2_URID_Map lv2MapFeature;
extern LV2_URID_Unmap lv2UnmapFeature;

// URIDs the host itself uses, mapped once.
struct lv2Urids {
  LV2_URID atomChunk, atomSequence, atomPath, atomFloat, atomInt, atomLong, atomDouble,
      atomObject, atomUrid, atomBool;
  LV2_URID patchSet, patchProperty, patchValue;
  LV2_URID timePosition, timeFrame, timeSpeed, midiEvent;
  LV2_URID bufMin, bufMax, bufNominal, bufSeq, paramRate;
};
// Mapped with the world, before any plugin runs: a plain table the pass may read.
extern lv2Urids lv2UridTable;
static inline const lv2Urids &lv2U() QAF_NONBLOCKING { return lv2UridTable; }

// One installed plugin as the host uses it: read once from its description, kept to the end.
struct lv2Desc {
  const LilvPlugin *plugin = nullptr;
  std::string uri, name, refused;
  uint32_t ports = 0;
  std::vector<uint32_t> audioIn, audioOut, controlIn, controlOut, atomIn, atomOut, optional;
  std::vector<lv2Control> controls;  // one per controlIn port
  std::vector<lv2FileParm> files;
  int latencyPort = -1;
  bool wantsTime = false;  // an atom input that takes time:Position
  int midiPort = -1;       // the first atom input that takes MIDI events
  bool hasState = false;
};
// UI thread. The description of an installed plugin (nullptr: not installed).
lv2Desc *lv2Describe(const std::string &uri);
// The smallest block the plugin takes (bufsz:minBlockLength), 0 when it names none.
int lv2MinBlock(const lv2Desc *d);

// A single-producer, single-consumer ring of whole messages: [u32 size][bytes]. Neither side
// allocates, locks or waits.
struct lv2Ring {
  uint8_t *buf = nullptr;
  uint32_t cap = 0;
  std::atomic<uint32_t> head{0}, tail{0};  // written by the producer / the consumer
  // Producer. False when the message does not fit (it is then dropped whole).
  bool write(const void *a, uint32_t na, const void *b, uint32_t nb) QAF_NONBLOCKING;
  // Consumer. The next message's size, 0 when none.
  uint32_t peek() QAF_NONBLOCKING;
  // Consumer. Copies the next message (at most max bytes) and takes it off; its size.
  uint32_t read(void *dst, uint32_t max) QAF_NONBLOCKING;
};

// The part of a module the passes write, in memory made for the audio thread.
struct lv2Rt {
  float audio[2 * LV2_MAX_AUDIO][LV2_MAX_FRAMES];
  std::atomic<int> latency;
  int64_t frame;                  // frames run so far (the time position)
  bool timeSent;
  bool inPass;  // its run() is called from a pass (not while it is built or primed)
  // File messages from the UI, the worker's requests and its answers: their indices are
  // written by the pass, so they live here too.
  lv2Ring fileRing, requests, responses;
  unsigned midiGen;  // the pass whose MIDI messages it was given last
  uint8_t scratch[LV2_RING_BYTES / 4];
};

// One module's plugin: the record's Extra.
struct lv2Inst {
  std::string uri;
  lv2Desc *desc = nullptr;  // nullptr: the plugin is missing
  LilvInstance *instance = nullptr;
  const LV2_Worker_Interface *worker = nullptr;
  const LV2_State_Interface *state = nullptr;
  lv2Rt *rt = nullptr;
  parmFloat *values = nullptr;  // one per control, what the user set
  float *ports = nullptr;       // one per port: control ports read and write here
  std::vector<uint8_t *> atomBuf;  // one per port index (nullptr but for atom ports)
  std::vector<std::string> filePaths;
  // Features.
  LV2_Worker_Schedule schedule{};
  LV2_State_Map_Path mapPath{};
  LV2_State_Make_Path makePath{};
  LV2_State_Free_Path freePath{};
  LV2_Log_Log log{};
  LV2_Options_Option options[6]{};
  int32_t optBlock = 0, optSeq = LV2_ATOM_BYTES;
  float optRate = 44100.0f;
  std::string pathDir;  // the folder paths are made relative to while saving or restoring
  // A missing plugin's kept values and state.
  std::vector<std::pair<std::string, float>> kept;
  std::string keptState;
  std::vector<std::pair<std::string, std::string>> keptFiles;
};

static inline lv2Inst *lv2Of(const modRec *m) { return (lv2Inst *)m->Extra; }

// The worker thread (lv2worker.cpp). UI thread: an instance with a worker interface joins or
// leaves it (leaving waits for a request being served).
void lv2WorkerAdd(lv2Inst *p);
void lv2WorkerRemove(lv2Inst *p);
// UI thread: keeps the worker out of every plugin's work() while held. A plugin's state is saved
// and restored under it: plugins are not all safe against their own worker meanwhile.
std::unique_lock<std::mutex> lv2WorkerHold();
// Audio thread (or any thread outside a pass while a plugin is built): the plugin's
// worker:schedule.
LV2_Worker_Status lv2ScheduleWork(LV2_Worker_Schedule_Handle h, uint32_t size,
                                  const void *data) QAF_NONBLOCKING;
// Audio thread. Hands the worker's answers to the plugin.
void lv2DeliverResponses(lv2Inst *p) QAF_NONBLOCKING;
// The log feature (lv2log in lv2worker.cpp): lines written inside a pass wait in a ring.
int lv2LogPrintf(LV2_Log_Handle h, LV2_URID type, const char *fmt, ...);
void lv2LogReady();  // UI thread: makes the ring, before the first plugin is built
int lv2LogVPrintf(LV2_Log_Handle h, LV2_URID type, const char *fmt, va_list ap);
// Audio thread (or the UI thread priming a record no pass sees): one block of the plugin with
// the audio already in rt->audio: controls and messages in, run, the worker's answers, the
// latency out (lv2pass.cpp).
void lv2Process(lv2Inst *p, int frames) QAF_NONBLOCKING;
// UI thread: deactivates and frees an instance and everything it holds.
void unLv2Inst(lv2Inst *p);

#endif
