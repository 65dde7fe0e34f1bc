// The audio thread never uses the general heap: every allocator entry point of this program is
// wrapped to count the calls made on the audio thread, and a patch holding every module type runs
// many passes through the real audio loop under the fake device.
#include <errno.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <math.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <thread>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "engine/audioThread.h"
#include "engine/blockRender.h"
#include "engine/soundNode.h"
#include "fakedsp.h"
#include "modules/pump.h"
#include "monitor/monitor.h"
#include "monitor/pitch.h"
#include "samples/loopStore.h"
#include "tests/devicetest.h"
#include "tests/devtest.h"
#include "tests/testutil.h"

// ---- Counting allocator: forwards to the C library's own allocator.

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

static thread_local bool countThisThread = false;
static std::atomic<long> heapCalls{0};

static inline void note()
{
  if (countThisThread) heapCalls.fetch_add(1, std::memory_order_relaxed);
}

extern "C" {
void *malloc(size_t n) noexcept
{
  note();
  return __libc_malloc(n);
}
void *calloc(size_t n, size_t m) noexcept
{
  note();
  return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n) noexcept
{
  note();
  return __libc_realloc(p, n);
}
void free(void *p) noexcept
{
  if (p) note();
  __libc_free(p);
}
void *memalign(size_t a, size_t n) noexcept
{
  note();
  return __libc_memalign(a, n);
}
void *aligned_alloc(size_t a, size_t n) noexcept
{
  note();
  return __libc_memalign(a, n);
}
int posix_memalign(void **out, size_t a, size_t n) noexcept
{
  note();
  void *p = __libc_memalign(a, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void *valloc(size_t n) noexcept
{
  note();
  return __libc_memalign((size_t)sysconf(_SC_PAGESIZE), n);
}
}

void *operator new(size_t n)
{
  void *p = malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void *operator new[](size_t n) { return operator new(n); }
void *operator new(size_t n, const std::nothrow_t &) noexcept { return malloc(n ? n : 1); }
void *operator new[](size_t n, const std::nothrow_t &) noexcept { return malloc(n ? n : 1); }
void *operator new(size_t n, std::align_val_t a)
{
  void *p = memalign((size_t)a, n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void *operator new[](size_t n, std::align_val_t a) { return operator new(n, a); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, size_t) noexcept { free(p); }
void operator delete[](void *p, size_t) noexcept { free(p); }
void operator delete(void *p, std::align_val_t) noexcept { free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { free(p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { free(p); }

// The audio thread's real body, with counting switched on for the whole of its life.
static void *countedAudioThread(void *arg)
{
  countThisThread = true;
  void *r = audio_thread_start(arg);
  countThisThread = false;
  return r;
}

// ---- The patch.

static int newestSlot()
{
  int newest = -1;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && (newest < 0 || MOD[s]->ID > MOD[newest]->ID)) newest = s;
  return newest;
}

static int firstInput(int type)
{
  for (int k = 0; k < 4; k++)
    if (typeHasInput(type, k)) return k;
  return -1;
}

static int firstOutput(int type)
{
  for (int k = 0; k < 4; k++)
    if (typeHasOutput(type, k)) return k;
  return -1;
}

static void wire(int from, int k, int to, int j)
{
  char text[64];
  snprintf(text, sizeof text, "C %d-%d%c%c", MOD[from]->ID, MOD[to]->ID, 'A' + k, 'A' + j);
  command(text);
}

// Every type of the table but the line modules, twice: the first of each in one chain from Line
// In's left output to Line Out's left input, the second wired from its own first output to its
// own first input (a feedback loop, so chunks wait between passes). Sample slots hold a tone for
// the modules that play them.
static void buildEveryTypePatch()
{
  short tone[4410];
  for (int n = 0; n < 4410; n++) tone[n] = (short)(12000.0 * sin(n * 2 * M_PI / 100.0));
  for (int s = 0; s < 8; s++) {
    lockLoop(s);
    putrawLoop(s, tone, 4410);
    unlockLoop(s);
  }
  int prev = 0, prevOut = 0;
  for (int t = 2; t < MAX_TYPES; t++) {
    command("A " + std::to_string(t));
    int s = newestSlot();
    ASSERT_EQ(MOD[s]->type, t) << typeList[t].name;
    int in = firstInput(t), out = firstOutput(t);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    wire(prev, prevOut, s, in);
    prev = s;
    prevOut = out;
  }
  wire(prev, prevOut, 1, 0);
  wire(0, 1, 1, 1);
  for (int t = 2; t < MAX_TYPES; t++) {
    command("A " + std::to_string(t));
    int s = newestSlot();
    wire(s, firstOutput(t), s, firstInput(t));
  }
  ASSERT_EQ(MOD_EXEC_NUM, 2 + 2 * (MAX_TYPES - 2));
}

static int passesWanted = 0;
static bool allPassesDone()
{
  return fakedsp_stalled() && fakedsp_reads() == passesWanted && fakedsp_writes() == passesWanted;
}

static void runEveryTypePatch(int bufferBytes, int passes)
{
  bootGraph();
  beginCapture();
  initLoops();
  endCapture();
  buildEveryTypePatch();
  FakeDevice dev;
  dev.set("FAKEDSP_STALL", "1");
  dev.set("FAKEDSP_OUT", "");
  dev.input(framesToBytes(testSignal(passes * bufferBytes / 4)));
  sound_buffer_size = bufferBytes;
  sound_chunk_size = bufferBytes / 2;
  ASSERT_EQ(open_sound(44100, 16, 2, 5, sound_buffer_size), 0);
  passesWanted = passes;

  heapCalls = 0;
  ASSERT_EQ(audio_thread_launch(countedAudioThread), 0);
  bool done = false;
  for (int t = 0; t < 20000 && !done; t += 2) {
    done = allPassesDone();
    if (!done) usleep(2000);
  }
  ASSERT_TRUE(audio_thread_stop());
  EXPECT_TRUE(done) << "passes read " << fakedsp_reads() << " of " << passes;

  EXPECT_EQ(heapCalls.load(), 0) << "heap calls on the audio thread";
  EXPECT_EQ(chunkPoolOverflows, 0);
  // Every chunk still out of the pool is one waiting in a slot: none was lost on the way.
  int waiting = 0;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s])
      for (int k = 0; k < 4; k++) waiting += MOD[s]->term[k] != nullptr;
  EXPECT_EQ(chunksInUse(), waiting);
}

TEST(AudioThreadHeap, CounterSeesEveryKindOfAllocationMadeOnTheCountedThread)
{
  heapCalls = 0;
  std::thread([] {
    countThisThread = true;
    free(malloc(10));                 // 2
    void *p = calloc(2, 8);           // 3
    p = realloc(p, 64);               // 4
    free(p);                          // 5
    delete new int(3);                // 7
    delete[] new char[5];             // 9
    countThisThread = false;
  }).join();
  free(malloc(10));  // not counted: another thread
  EXPECT_EQ(heapCalls.load(), 9);
}

TEST(AudioThreadHeap, EveryModuleTypeRunsManyPassesWithoutTouchingTheHeap)
{
  runEveryTypePatch(128, 3000);
}

TEST(AudioThreadHeap, LargestBufferRunsWithoutTouchingTheHeap)
{
  runEveryTypePatch(4096, 200);
}

// The monitor's taps, the output mute and the tuner reading Line In on its own thread meanwhile.
TEST(AudioThreadHeap, MeteredMutedPassesWithTheTunerRunningTouchNoHeap)
{
  setOutputMuted(true);
  tunerStart();
  runEveryTypePatch(128, 1000);
  tunerStop();
  setOutputMuted(false);
  EXPECT_EQ(monitorPasses(), 1000);
}

// A file render in blocks, as the audio loop runs it (read a block of buffers, run them, write
// them), through four effects on the left: the reads from the decoder's queue and the writes to
// the encoder's, over more sound than either queue holds and up to the end, touch no heap.
TEST(AudioThreadHeap, FileRenderReadsAndWritesTouchNoHeap)
{
  TempDir d;
  std::vector<short> v((size_t)2 * 20 * 44100 + 2 * 17);
  for (size_t i = 0; i < v.size(); i++) v[i] = (short)(i * 37);
  writeFile(d / "in.wav", makeWav(WavSpec(), s16Bytes(v)));
  soundDeviceChoice file;
  file.kind = DEV_FILE;
  file.path = d / "in.wav";
  file.outPath = d / "out.wav";
  chooseSoundDevice(file);
  sound_buffer_size = 128;
  sound_chunk_size = 64;
  sUID = 100;  // Line In and Line Out are 100 and 101
  bootGraph();
  for (const char *c : {"A 4", "A 5", "A 7", "A 16", "C 100-102 A A", "C 102-103 A A",
                        "C 103-104 A A", "C 104-105 A A", "C 105-101 A A"})
    command(c);
  computeModuleTiers();  // in signal order, as a loaded layout is: the passes run in blocks
  beginCapture();
  ASSERT_EQ(open_sound(44100, 16, 2, 5, sound_buffer_size), 0);
  ASSERT_TRUE(prepareBlockRender());
  heapCalls = 0;
  std::thread([] {
    countThisThread = true;
    static char block[RENDER_BLOCK_FRAMES * 4];
    for (bool more = true; more;) {
      int n = 0;
      while (n < blockPasses() && (more = readSoundUntimed() == 0))
        memcpy(block + n++ * buf_size, buf, (size_t)buf_size);
      runGraphBlock(block, n);
      for (int p = 0; p < n; p++) {
        memcpy(buf, block + p * buf_size, (size_t)buf_size);
        writeSoundUntimed();
      }
    }
    countThisThread = false;
  }).join();
  stopBlockRender();
  testing::internal::CaptureStderr();
  close_sound();
  testing::internal::GetCapturedStderr();
  endCapture();
  EXPECT_EQ(heapCalls.load(), 0) << "heap calls on the audio thread";
  EXPECT_GT(blockPassesRun(), 20 * 44100 / 32 / 2);
  EXPECT_EQ(readFile(d / "out.wav").size(), 44 + v.size() * 2);
}
