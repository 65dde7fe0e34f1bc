// Publishing the graph: editors copy their tables into a new graph and publish it with one
// atomic store; the thread that runs passes takes the newest at the start of each pass, without a
// lock or a wait; what an edit replaced is destroyed on the editors' side once no pass can see it.
// A swap of the whole patch (a layout, a preset) may ask for a fade: the pass thread then keeps
// playing the graph it has while the output stage fades it out, and takes the new one at silence.
#include <pthread.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <vector>

#include "engine/audioThread.h"
#include "engine/soundNode.h"
#include "base/realtime.h"

static std::atomic<long long> worstHoldNs{0};
static long long holdStartNs = 0;  // editors only, under the graph lock

static long long clockNs() QAF_NONBLOCKING
{
  struct timespec ts;
  // the clock is read from the vDSO, without a system call
  QAF_FX_OFF
  clock_gettime(CLOCK_MONOTONIC, &ts);
  QAF_FX_ON
  return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// What the pass thread holds: the sequence number of the graph its current (or last) pass ran,
// times two, plus one while it is inside a pass. It announces a pass before it looks for a newer
// graph, and an editor publishes before it reads the announcement (both in one total order), so
// an editor that finds no pass under way knows the next pass sees what it published.
//
// A swap that fades names the graph to fade out: the one that was newest just before it, kept
// alive (with every record it holds) until the pass thread has taken the new one. The pass
// thread plays that graph until the output stage reaches silence, then takes the newest. It
// never goes back to a graph it held before: between passes that one may already be gone.
static runGraph emptyGraph;  // before anything is published: no module, nothing to run
static std::atomic<runGraph *> newestGraph{&emptyGraph};
static std::atomic<unsigned long> readerState{0};
static std::atomic<unsigned long> fadeBefore{0};  // a graph up to this one waits for a fade
static std::atomic<const runGraph *> fadeFrom{nullptr};  // what that fade plays out
static std::atomic<long long> lastPassNs{0};
static std::atomic<pthread_t> passThread{};
const runGraph *passGraph = &emptyGraph;
// The sequence number of passGraph, kept apart: between passes, the graph itself may already have
// been freed (unless a fade holds it), and only the number is looked at.
static unsigned long heldSeq = 0;
static bool fading = false;  // the pass thread's: it is playing a swap's old graph out
static int passDepth = 0;  // the pass thread's: a pass entered inside a pass is the same pass
static unsigned long publishedSeq = 0;  // editors only
static bool fadeNext = false;           // editors only, under the graph lock

struct retiredThing {
  unsigned long seq;  // the first graph without it
  void (*destroy)(void *);
  void *p;
};
// Editors only, under the graph lock or alone. Never destroyed: what is still pending at exit
// stays reachable rather than leaked.
static std::vector<retiredThing> &retired = *new std::vector<retiredThing>;

// Audio thread (or a device's real-time callback).
void beginGraphPass() QAF_NONBLOCKING
{
  if (passDepth++ > 0) return;
  readerState.store(heldSeq * 2 + 1, std::memory_order_seq_cst);
  const runGraph *g = newestGraph.load(std::memory_order_seq_cst);
  if (g->seq != heldSeq) {
    bool fade = fadeBefore.load(std::memory_order_seq_cst) > heldSeq;
    if (fade && !(fading && outputFadedOut())) {
      // Play the graph the swap fades out (it may be newer than the one held) down to silence.
      const runGraph *f = fadeFrom.load(std::memory_order_seq_cst);
      if (f->seq > heldSeq) g = f;
      else g = passGraph;
      fading = true;
    } else {
      fading = false;
    }
    if (g != passGraph) {
      passGraph = g;
      heldSeq = g->seq;
      readerState.store(heldSeq * 2 + 1, std::memory_order_release);
    }
    swapFadePending(fading);
  }
  lastPassNs.store(clockNs(), std::memory_order_relaxed);
  QAF_FX_OFF  // reads the thread's own descriptor
  pthread_t self = pthread_self();
  QAF_FX_ON
  passThread.store(self, std::memory_order_relaxed);
}

// Audio thread (or a device's real-time callback).
void endGraphPass() QAF_NONBLOCKING
{
  if (--passDepth > 0) return;
  readerState.store(heldSeq * 2, std::memory_order_release);
}

static void freeGraph(void *p) { delete (runGraph *)p; }
static void destroyRecord(void *p) { destroyModule((modRec *)p); }

// Editors: whether passes run on another thread right now (a pass within the last few periods),
// so that a fade would be heard, and would end.
static bool passesRunElsewhere()
{
  long long periodNs = (long long)(sound_buffer_size / 4) * 1000000000LL / 44100;
  long long recent = periodNs * 4 < 5000000 ? 5000000 : periodNs * 4;
  pthread_t t = passThread.load(std::memory_order_relaxed);
  return clockNs() - lastPassNs.load(std::memory_order_relaxed) < recent &&
         !pthread_equal(t, pthread_self());
}

// Editors, graph lock held: the editors' tables become the next graph.
static void publishGraph()
{
  runGraph *g = new runGraph;
  memcpy(g->mod, MOD, sizeof g->mod);
  memcpy(g->iTerm, I_TERM_CONNECT, sizeof g->iTerm);
  memcpy(g->oTerm, O_TERM_CONNECT, sizeof g->oTerm);
  memcpy(g->execOrder, MOD_EXEC_ORDER, sizeof g->execOrder);
  g->execNum = MOD_EXEC_NUM;
  g->seq = ++publishedSeq;
  if (fadeNext && passesRunElsewhere()) {
    fadeFrom.store(newestGraph.load(), std::memory_order_seq_cst);
    fadeBefore.store(g->seq, std::memory_order_seq_cst);
  }
  fadeNext = false;
  runGraph *old = newestGraph.exchange(g, std::memory_order_seq_cst);
  if (old != &emptyGraph) retired.push_back({g->seq, freeGraph, old});
}

void fadeThisSwap() { fadeNext = true; }

void publishNow()
{
  publishGraph();
  passGraph = newestGraph.load();
  heldSeq = passGraph->seq;
  fading = false;
  readerState.store(heldSeq * 2);
  collectRetired(false);
}

// What is retired now is gone from the next graph to be published.
void retireLater(void (*destroy)(void *), void *p)
{
  retired.push_back({publishedSeq + 1, destroy, p});
}

void retireModule(modRec *m)
{
  if (m) retireLater(destroyRecord, m);
}

// Editors: true when no pass can run a graph older than seq any more: the pass thread holds seq
// or a newer one, or it is between passes and no fade is pending, so that its next pass takes
// the newest graph (or, should a fade be asked for meanwhile, the graph newest now).
static bool passedBy(unsigned long seq)
{
  unsigned long r = readerState.load(std::memory_order_seq_cst);
  unsigned long held = r / 2;
  if (held >= seq) return true;
  return !(r & 1) && fadeBefore.load(std::memory_order_seq_cst) <= held;
}

void collectRetired(bool wait)
{
  if (retired.empty()) return;
  if (wait) {
    // A pass takes microseconds, a fade a few milliseconds; a device that stalls leaves the
    // rest for the next edit.
    for (int n = 0; n < 1000 && !passedBy(retired.back().seq); n++) g_usleep(100);
  }
  size_t kept = 0;
  for (const retiredThing &t : retired) {
    if (passedBy(t.seq))
      t.destroy(t.p);
    else
      retired[kept++] = t;
  }
  retired.resize(kept);
}

// Either thread: keeps the larger of two figures that only ever grow.
static void raiseTo(std::atomic<long long> &worst, long long v)
{
  long long w = worst.load(std::memory_order_relaxed);
  while (v > w && !worst.compare_exchange_weak(w, v, std::memory_order_relaxed)) {
  }
}

void GET_MODGRAPH_LOCK()
{
  pthread_mutex_lock(&modgraph_mutex);
  holdStartNs = clockNs();
}

void RELEASE_MODGRAPH_LOCK()
{
  publishGraph();
  long long held = clockNs() - holdStartNs;
  pthread_mutex_unlock(&modgraph_mutex);
  raiseTo(worstHoldNs, held);
}

long long worstGraphHoldNs() { return worstHoldNs.load(); }
long long worstGraphWaitNs() { return 0; }

void resetGraphLockStats() { worstHoldNs = 0; }
