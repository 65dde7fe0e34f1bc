// Edits while the sound runs: a real-time thread runs paced passes of a 62-module patch (one
// pass every 725.6 us, as at 128-byte buffers) while this thread makes mixed edits of every kind
// a user makes: modules of every type created and removed (30-second recorders among them),
// wires made and broken, parameters moved, 62-module layouts and sample banks loaded, recordings
// stored as samples. For each kind it prints the longest holding of the editors' lock, the audio
// thread's longest wait for its graph (taking the newest published graph: no lock, so this is
// the cost of two atomic operations) and the longest pass, then the worst of all of them.
//
//   qaf_editstorm [EDITS]        (default 10000)
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "audio/cardfeed.h"
#include "command/cmdparse.h"
#include "engine/audioThread.h"
#include "engine/soundNode.h"
#include "files/fileops.h"
#include "modules/modfuncs.h"
#include "samples/loopStore.h"

enum editKind { E_CREATE, E_REMOVE, E_WIRE, E_UNWIRE, E_PARM, E_LAYOUT, E_REC_LAYOUT, E_BANK,
                E_SAVE_SAMPLE, E_KINDS };
static const char *kindName[E_KINDS] = {"create",        "remove", "wire",
                                        "unwire",        "parameter", "layout (62 modules)",
                                        "layout (62 recorders)", "bank", "save sample"};

static std::atomic<int> currentKind{-1};
static std::atomic<long long> worstPass[E_KINDS];
static std::atomic<long long> worstWait[E_KINDS];
static std::atomic<bool> stop{false};
static std::atomic<long> passes{0};

static long long now()
{
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void raise(std::atomic<long long> &w, long long v)
{
  long long o = w.load();
  while (v > o && !w.compare_exchange_weak(o, v)) {
  }
}

// The real-time thread: passes on the device's timeline, the taking of the graph and the pass
// timed on the thread itself.
static void *audioSide(void *)
{
  struct sched_param sp;
  memset(&sp, 0, sizeof sp);
  sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
  if (sched_setscheduler(0, SCHED_FIFO, &sp) != 0)
    fprintf(stderr, "no real-time priority: the passes run at normal priority\n");
  int frames = sound_buffer_size / 4;
  long long period = (long long)frames * 1000000000LL / 44100, due = now();
  short *b = (short *)buf;
  int n = 0;
  while (!stop.load()) {
    due += period;
    struct timespec t = {(time_t)(due / 1000000000LL), (long)(due % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
    }
    for (int i = 0; i < frames; i++) b[2 * i] = b[2 * i + 1] = (short)((n * frames + i) * 37);
    n++;
    // The pass takes the newest graph itself: the time until it holds one is its wait.
    long long t0 = now();
    beginGraphPass();
    long long t1 = now();
    runPassBody();
    endGraphPass();
    long long t2 = now();
    int k = currentKind.load();
    if (k >= 0) {
      raise(worstWait[k], t1 - t0);
      raise(worstPass[k], t2 - t0);
    }
    passes++;
  }
  return nullptr;
}

static void run(const std::string &text)
{
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  cmdparse(copy.data());
}

static int newestSlot()
{
  int newest = -1;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && (newest < 0 || MOD[s]->ID > MOD[newest]->ID)) newest = s;
  return newest;
}

static int firstTerm(int type, bool input)
{
  for (int k = 0; k < 4; k++)
    if (input ? typeHasInput(type, k) : typeHasOutput(type, k)) return k;
  return -1;
}

static std::string wireText(int from, int k, int to, int j)
{
  return "C " + std::to_string(MOD[from]->ID) + "-" + std::to_string(MOD[to]->ID) + " " +
         char('A' + k) + " " + char('A' + j);
}

// A chain of 60 modules from Line In to Line Out (62 with them), cycling through every effect
// type; or 60 thirty-second recorders in a chain.
static void buildChain(bool recorders)
{
  int prev = 0, prevOut = 0;
  for (int i = 0; i < 60; i++) {
    int t = recorders ? 13 : 2 + i % (MAX_TYPES - 2);
    New_Mod(t);
    int s = newestSlot();
    run(wireText(prev, prevOut, s, firstTerm(t, true)));
    prev = s;
    prevOut = firstTerm(t, false);
  }
  run(wireText(prev, prevOut, 1, 0));
}

int main(int argc, char **argv)
{
  long edits = argc > 1 ? strtol(argv[1], nullptr, 10) : 10000;
  char dir[] = "/tmp/qaf-editstorm-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string chainLyo = std::string(dir) + "/chain.lyo", recLyo = std::string(dir) + "/rec.lyo";
  std::string sbk = std::string(dir) + "/bank.sbk";

  // Edits print thousands of lines: they go to /dev/null, the results to the error stream.
  fflush(stdout);
  if (!freopen("/dev/null", "w", stdout)) return 1;
  Init_SoundNode_Data();
  initLoops();
  sound_buffer_size = 128;
  sound_chunk_size = 64;
  buf_size = 128;
  buf = (char *)calloc(1, 128);
  short tone[44100];
  for (int i = 0; i < 44100; i++) tone[i] = (short)((i * 97) % 20000 - 10000);
  for (int s = 1; s < 8; s++) {
    lockLoop(s);
    putrawLoop(s, tone, 44100);
    unlockLoop(s);
  }
  real_savesbank((gchar *)sbk.c_str());
  buildChain(true);
  real_save((gchar *)recLyo.c_str());
  for (int s = 2; s < MAX_MODULES; s++)
    if (MOD[s]) {
      for (int k = 0; k < 4; k++) run("D " + std::to_string(MOD[s]->ID) + " " + char('A' + k));
    }
  run("D " + std::to_string(MOD[0]->ID) + " A");
  for (int s = 2; s < MAX_MODULES; s++)
    if (MOD[s]) Remove_Mod(s);
  buildChain(false);
  real_save((gchar *)chainLyo.c_str());

  pthread_t th;
  pthread_create(&th, nullptr, audioSide, nullptr);
  long long hold[E_KINDS] = {0};
  long count[E_KINDS] = {0};
  std::vector<long long> holds[E_KINDS];
  auto edit = [&](editKind k, auto f) {
    resetGraphLockStats();
    currentKind = k;
    f();
    currentKind = -1;
    long long h = worstGraphHoldNs();
    if (h > hold[k]) hold[k] = h;
    holds[k].push_back(h);
    count[k]++;
  };

  // One cycle of 100 edits: 30 creations and 30 removals (every type in turn), 15 wires made and
  // 15 broken, 7 parameter moves, a layout, a bank and a stored recording; every tenth cycle a
  // layout of recorders as well.
  int type = 2;
  for (long done = 0; done < edits;) {
    for (int i = 0; i < 30 && done < edits; i++) {
      int t = type;
      type = type == MAX_TYPES - 1 ? 2 : type + 1;
      edit(E_CREATE, [&] { New_Mod(t); });
      int s = newestSlot();
      if (i < 15) {
        int a = firstTerm(t, true), z = firstTerm(t, false);
        edit(E_WIRE, [&] { run(wireText(s, z, s, a)); });
        edit(E_UNWIRE, [&] { run("D " + std::to_string(MOD[s]->ID) + " " + char('A' + z)); });
        done += 2;
      }
      if (t >= 11 && t <= 13) {
        int count = recordingLength(s);
        // touched first, as Save Sample does: a fresh page faults in only outside the lock
        short *copy = (short *)calloc((size_t)count, 2);
        memset(copy, 0, (size_t)count * 2);
        edit(E_SAVE_SAMPLE, [&] {
          copyRecording(s, copy, count);
          lockLoop(20);
          putrawLoop(20, copy, count);
          unlockLoop(20);
        });
        free(copy);
        done++;
      }
      edit(E_REMOVE, [&] { Remove_Mod(s); });
      done += 2;
    }
    for (int i = 0; i < 7 && done < edits; i++, done++) {
      int s = 2 + (int)(done % 60);
      edit(E_PARM, [&] {
        if (MOD[s])
          for (int p = 0; p < 16; p++) MOD[s]->parm[p] = (float)((done + p) % 200);
      });
    }
    if (done < edits) {
      edit(E_LAYOUT, [&] { loadLayoutFile(chainLyo.c_str(), false); });
      done++;
    }
    if (done < edits) {
      edit(E_BANK, [&] { real_loadsbank((gchar *)sbk.c_str()); });
      done++;
    }
    if (count[E_LAYOUT] % 10 == 1 && done < edits) {
      edit(E_REC_LAYOUT, [&] { loadLayoutFile(recLyo.c_str(), false); });
      edit(E_LAYOUT, [&] { loadLayoutFile(chainLyo.c_str(), false); });
      done += 2;
    }
  }
  stop = true;
  pthread_join(th, nullptr);

  long long allHold = 0, allWait = 0, allPass = 0;
  // The 99th percentile of the holdings beside the worst: on a shared machine the worst is often
  // a moment the host took the processor away, which no code can prevent.
  fprintf(stderr, "%-22s %7s %15s %16s %15s %15s\n", "edit", "count", "p99_holding_us",
          "worst_holding_us", "worst_take_us", "worst_pass_us");
  for (int k = 0; k < E_KINDS; k++) {
    std::sort(holds[k].begin(), holds[k].end());
    double p99 = holds[k].empty() ? 0 : holds[k][holds[k].size() * 99 / 100] / 1000.0;
    fprintf(stderr, "%-22s %7ld %15.1f %16.1f %15.1f %15.1f\n", kindName[k], count[k], p99,
            hold[k] / 1000.0, worstWait[k].load() / 1000.0, worstPass[k].load() / 1000.0);
    if (hold[k] > allHold) allHold = hold[k];
    if (worstWait[k] > allWait) allWait = worstWait[k];
    if (worstPass[k] > allPass) allPass = worstPass[k];
  }
  fprintf(stderr, "passes: %ld\n", passes.load());
  // The pass takes no lock: what it spends getting its graph is two atomic operations, whatever
  // the edits do (the figure is mostly the clock's own cost and the machine's interruptions).
  fprintf(stderr, "worst holding %lld us; the audio thread takes no lock (taking the newest graph "
          "took at most %.1f us); worst pass %lld us\n",
          allHold / 1000, allWait / 1000.0, allPass / 1000);
  std::string rm = std::string("rm -rf ") + dir;
  return system(rm.c_str()) == 0 ? 0 : 1;
}
