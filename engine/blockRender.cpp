// Rendering a block of passes at a time (see blockRender.h).
//
// Within a pass, modules meet only through their wires, and a wire that runs forward in the
// execution order carries its chunk to a module that runs later in the same pass. So when every
// wire runs forward and no module shares state beyond its wires, the passes of a block can be
// run module by module instead of pass by pass: each module runs all its passes in a row, and the
// chunks it sends wait, one per pass, for the module they are wired to. Modules that share no
// wire, directly or through others (the two channels of a stereo chain), run on two threads, and
// each thread takes its chunks from a stash of its own. Line In and Line Out run on the audio
// thread, pass by pass as ever, with the meters, the output fade and the pass count.
//
// A device with no deadline is the only user: the audio thread may wait here for the second
// thread's half of a block.
#include "engine/blockRender.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "engine/audioThread.h"
#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"
#include "engine/taps.h"
#include "modules/modfuncs.h"
#include "modules/pump.h"

// The chunk that module slot receives at input k in pass p of the running block; empty between
// blocks.
static short *waiting[MAX_MODULES][MAX_BLOCK_PASSES][4];

// How a block runs: Line In, the modules of each thread in execution order, Line Out.
struct blockPlan {
  int lineIn;
  int lineOut;
  int list[2][MAX_MODULES];
  int count[2];
};
static blockPlan plan;
static int planPasses = 0;

static bool ready = false;
static pthread_t worker;
static std::atomic<unsigned> workGiven{0};
static std::atomic<unsigned> workDone{0};
static std::atomic<int> workerAsleep{0};
static std::atomic<int> leaderAsleep{0};
static std::atomic<int> workerQuit{0};
static std::atomic<long> blockRun{0};
static std::atomic<long> singleRun{0};
static std::atomic<long> sharedRun{0};

long blockPassesRun() { return blockRun.load(std::memory_order_relaxed); }
long singlePassesRun() { return singleRun.load(std::memory_order_relaxed); }
long sharedPassesRun() { return sharedRun.load(std::memory_order_relaxed); }

int blockPasses() QAF_NONBLOCKING
{
  int frames = buf_size / 4;
  if (frames <= 0) return 1;
  int n = RENDER_BLOCK_FRAMES / frames;
  if (n > MAX_BLOCK_PASSES) n = MAX_BLOCK_PASSES;
  return n < 1 ? 1 : n;
}

// The modules whose pumps touch nothing but their own record and the chunks at its terminals,
// with a rough cost for sharing the work out. Any other type keeps the block pass by pass.
struct blockType {
  modFunc pump;
  int cost;
};
static const blockType blockTypes[] = {
  {fPass, 1},    {fMixer, 1},   {fSplit, 1}, {fXFader, 1}, {fPan, 1},   {fMult, 1},
  {fDistort, 2}, {fReverb, 2},  {fTone, 3},  {fComp, 3},   {fChor, 4},  {fOctave, 3},
};

static int blockCost(modFunc f) QAF_NONBLOCKING
{
  for (const blockType &t : blockTypes)
    if (t.pump == f) return t.cost;
  return 0;
}

// Audio thread, inside a pass. The group a module belongs to.
static inline int groupOf(int *root, int s) QAF_NONBLOCKING
{
  while (root[s] != s) s = root[s] = root[root[s]];
  return s;
}

// Audio thread, inside a pass. The plan for the patch as it stands; false when it has to run
// pass by pass.
static bool makePlan(blockPlan &pl) QAF_NONBLOCKING
{
  const runGraph *g = passGraph;
  const int *order = g->execOrder;
  int num = g->execNum;
  int pos[MAX_MODULES];
  for (int s = 0; s < MAX_MODULES; s++) pos[s] = -1;
  for (int i = 0; i < num; i++) pos[order[i]] = i;
  pl.lineIn = pl.lineOut = -1;
  int root[MAX_MODULES], cost[MAX_MODULES];
  for (int i = 0; i < num; i++) {
    int s = order[i];
    if (!g->mod[s]) return false;
    modFunc f = typeList[g->mod[s]->type].pump;
    root[s] = s;
    cost[s] = 0;
    if (f == fLineIn || f == fLineOut) {
      int &line = f == fLineIn ? pl.lineIn : pl.lineOut;
      if (line != -1) return false;
      line = s;
    } else if (!(cost[s] = blockCost(f))) {
      return false;
    }
    // Every wire must run forward, to a module that runs later in the same pass.
    for (int k = 0; k < 4; k++) {
      int d = g->oTerm[s * 4 + k];
      if (d != -1 && (!g->mod[d / 4] || pos[d / 4] <= i)) return false;
    }
  }
  if (pl.lineIn == -1 || pl.lineOut == -1 || pos[pl.lineIn] > pos[pl.lineOut]) return false;

  // Groups of modules joined by wires (Line In and Line Out aside) share a thread.
  for (int i = 0; i < num; i++) {
    int s = order[i];
    if (s == pl.lineIn || s == pl.lineOut) continue;
    for (int k = 0; k < 4; k++) {
      int d = g->oTerm[s * 4 + k];
      if (d == -1 || d / 4 == pl.lineOut) continue;
      int a = groupOf(root, s), b = groupOf(root, d / 4);
      if (a != b) {
        root[b] = a;
        cost[a] += cost[b];
      }
    }
  }
  // The heaviest groups first, each to the thread with less to do so far.
  int groups[MAX_MODULES], n = 0;
  for (int i = 0; i < num; i++) {
    int s = order[i];
    if (s == pl.lineIn || s == pl.lineOut || groupOf(root, s) != s) continue;
    int j = n++;
    while (j > 0 && cost[groups[j - 1]] < cost[s]) {
      groups[j] = groups[j - 1];
      j--;
    }
    groups[j] = s;
  }
  int thread[MAX_MODULES], load[2] = {0, 0};
  for (int g = 0; g < n; g++) {
    int t = ready && load[1] < load[0] ? 1 : 0;
    thread[groups[g]] = t;
    load[t] += cost[groups[g]];
  }
  pl.count[0] = pl.count[1] = 0;
  for (int i = 0; i < num; i++) {
    int s = order[i];
    if (s == pl.lineIn || s == pl.lineOut) continue;
    int t = thread[groupOf(root, s)];
    pl.list[t][pl.count[t]++] = s;
  }
  return true;
}

// Audio thread or the block's second thread. One pass of one module: the chunks waiting for it
// in that pass go to its inputs (giving back any left there, as a wire's delivery does), the
// pump runs, and what it sent along its wires is set aside for that pass of the receivers.
static inline void runModulePass(int slot, int p) QAF_NONBLOCKING
{
  const runGraph *g = passGraph;
  modRec *m = g->mod[slot];
  for (int k = 0; k < 4; k++) {
    short *c = waiting[slot][p][k];
    if (!c) continue;
    if (m->term[k]) freeChunk(m->term[k]);
    m->term[k] = c;
    waiting[slot][p][k] = nullptr;
  }
  typeList[m->type].pump(slot);
  for (int k = 0; k < 4; k++) {
    int d = g->oTerm[slot * 4 + k];
    if (d == -1) continue;
    short **to = &g->mod[d / 4]->term[d % 4];
    if (*to) {
      waiting[d / 4][p][d % 4] = *to;
      *to = nullptr;
    }
  }
}

// Passes of the running block that Line In has sent out so far.
static std::atomic<int> lineInPasses{0};

// Audio thread, inside a pass. Line In's pass p, as its pump makes it (the left and right
// channels of the buffer in two fresh chunks, one along each wire), but sent straight to the
// pass's waiting chunks: the second thread may be running the very modules it feeds meanwhile.
static void lineInPass(int slot, const short *frames, int p) QAF_NONBLOCKING
{
  const runGraph *g = passGraph;
  modRec *m = g->mod[slot];
  for (int k = 0; k < 4; k++) {
    if (m->term[k]) freeChunk(m->term[k]);
    m->term[k] = nullptr;
  }
  int n = buf_size / 4;
  for (int k = 0; k < 2; k++) {
    int d = g->oTerm[slot * 4 + k];
    if (d == -1) continue;
    short *c = newChunk();
    for (int i = 0; i < n; i++) c[i] = frames[2 * i + k];
    waiting[d / 4][p][d % 4] = c;
  }
}

// Audio thread or the block's second thread. A thread's modules, each through every pass. The
// second thread starts as the block does and follows Line In pass by pass.
static void runList(int t) QAF_NONBLOCKING
{
  for (int i = 0; i < plan.count[t]; i++) {
    for (int p = 0; p < planPasses; p++) {
      if (t == 1)
        while (lineInPasses.load(std::memory_order_acquire) <= p) qafCpuRelax();
      runModulePass(plan.list[t][i], p);
    }
  }
}

static long futexCall(std::atomic<unsigned> *word, int op, unsigned val)
{
  return syscall(SYS_futex, (unsigned *)word, op, val, nullptr, nullptr, 0);
}

// Either thread of a block: waits until *word is no longer seen, spinning for a while first
// (blocks follow each other closely during a render) and then sleeping.
static void waitForChange(std::atomic<unsigned> &word, unsigned seen, std::atomic<int> &asleep)
{
  long long spunSince = 0;
  for (int spins = 0; word.load(std::memory_order_acquire) == seen; spins++) {
    if (workerQuit.load(std::memory_order_relaxed)) return;
    if ((spins & 255) != 255) {
      qafCpuRelax();
      continue;
    }
    long long now = monoNs();
    if (!spunSince) spunSince = now;
    if (now - spunSince < 1000000) continue;
    asleep.store(1);
    if (word.load() == seen && !workerQuit.load()) futexCall(&word, FUTEX_WAIT_PRIVATE, seen);
    asleep.store(0);
    spunSince = 0;
  }
}

// The block's second thread.
static void *workerMain(void *)
{
  useBlockStash(1);
  unsigned seen = 0;
  for (;;) {
    waitForChange(workGiven, seen, workerAsleep);
    if (workerQuit.load()) break;
    seen = workGiven.load(std::memory_order_acquire);
    runList(1);
    workDone.store(seen);
    if (leaderAsleep.load()) futexCall(&workDone, FUTEX_WAKE_PRIVATE, 1);
  }
  return nullptr;
}

// Chunks a block of passes may need: every input terminal of 64 modules waiting in every pass,
// twice over (each thread keeps its own), and what the pumps hold meanwhile.
static int blockChunksNeeded(int passes) { return 2 * (MAX_MODULES * 4 * passes + MAX_MODULES * 8); }

bool prepareBlockRender()
{
  if (ready) return true;
  if (!reserveBlockChunks(blockChunksNeeded(blockPasses()), sound_chunk_size)) return false;
  // Signals from outside are the main thread's to handle, as for the audio thread.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  workerQuit.store(0);
  workGiven.store(0);
  workDone.store(0);
  int r = pthread_create(&worker, nullptr, workerMain, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ready = r == 0;
  return ready;
}

void stopBlockRender()
{
  if (!ready) return;
  workerQuit.store(1);
  workGiven.fetch_add(1);
  futexCall(&workGiven, FUTEX_WAKE_PRIVATE, 1);
  pthread_join(worker, nullptr);
  ready = false;
}

bool runGraphBlock(char *frames, int passes) QAF_NONBLOCKING
{
  int bytes = buf_size;
  beginGraphPass();
  if (!ready || passes > MAX_BLOCK_PASSES ||
      !blockChunksFit(blockChunksNeeded(passes), sound_chunk_size) || !makePlan(plan)) {
    for (int p = 0; p < passes; p++) {
      memcpy(buf, frames + (size_t)p * bytes, (size_t)bytes);
      runPassBody();
      memcpy(frames + (size_t)p * bytes, buf, (size_t)bytes);
    }
    endGraphPass();
    singleRun.fetch_add(passes, std::memory_order_relaxed);
    return false;
  }
  takeReturnedChunks();
  useBlockStash(0);
  // Chunks left at terminals by earlier passes move into the stash, so that the block's
  // threads never touch the shared pool.
  for (int s = 0; s < MAX_MODULES; s++)
    if (modRec *m = passGraph->mod[s])
      for (int k = 0; k < 4; k++) m->term[k] = adoptIntoStash(m->term[k]);
  planPasses = passes;
  if (taps.beforePass) taps.beforePass();
  int need = 0;
  unsigned given = 0;
  if (plan.count[1]) {
    // The second thread's stash is topped up to what its modules could hold at once: every
    // input waiting in every pass (Line Out's two among them), and what a pump takes meanwhile.
    // Chunks mostly travel through by pointer, so it rarely needs more, and only a surplus goes
    // back.
    need = (4 * passes + 8) * plan.count[1] + 2 * passes;
    if (stashFreeChunks(1) < need) moveStashChunks(0, 1, need - stashFreeChunks(1));
    lineInPasses.store(0, std::memory_order_relaxed);
    given = workGiven.fetch_add(1) + 1;
    if (workerAsleep.load()) {
      QAF_RT_EXEMPT_BEGIN
      futexCall(&workGiven, FUTEX_WAKE_PRIVATE, 1);
      QAF_RT_EXEMPT_END
    }
  }
  for (int p = 0; p < passes; p++) {
    lineInPass(plan.lineIn, (const short *)(frames + (size_t)p * bytes), p);
    // Published every few passes: each store takes the line from the other core's cache.
    if ((p & 7) == 7 || p == passes - 1) lineInPasses.store(p + 1, std::memory_order_release);
  }
  if (taps.lineIn) taps.lineIn((const short *)frames, passes * (bytes / 4));
  runList(0);
  if (plan.count[1]) {
    QAF_RT_EXEMPT_BEGIN
    waitForChange(workDone, given - 1, leaderAsleep);
    QAF_RT_EXEMPT_END
    if (stashFreeChunks(1) > need + 1024) moveStashChunks(1, 0, stashFreeChunks(1) - need);
    sharedRun.fetch_add(passes, std::memory_order_relaxed);
  }
  for (int p = 0; p < passes; p++) {
    runModulePass(plan.lineOut, p);
    fadeGraphOutput();
    memcpy(frames + (size_t)p * bytes, buf, (size_t)bytes);
  }
  finishGraphBlock((short *)frames, passes);
  useBlockStash(-1);
  endGraphPass();
  blockRun.fetch_add(passes, std::memory_order_relaxed);
  return true;
}
