// The effect pumps never touch the general heap: a patch holding every routing, shaping and
// delay-line type runs many passes while this program counts every call into the allocator.
// Inits (which may allocate) run before the counting starts.
#include <malloc.h>
#include <stdlib.h>

#include "tests/effects_rig.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
void *__libc_memalign(size_t, size_t);
}

static volatile bool counting = false;
static volatile long heapCalls = 0;

static inline void note()
{
  if (counting) heapCalls = heapCalls + 1;
}

// The allocator entry points of this program, counted and passed on to the C library's own.
extern "C" void *malloc(size_t n)
{
  note();
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t a, size_t b)
{
  note();
  return __libc_calloc(a, b);
}
extern "C" void *realloc(void *p, size_t n)
{
  note();
  return __libc_realloc(p, n);
}
extern "C" void free(void *p)
{
  if (p) note();
  __libc_free(p);
}
extern "C" void *memalign(size_t a, size_t n)
{
  note();
  return __libc_memalign(a, n);
}
extern "C" int posix_memalign(void **out, size_t a, size_t n)
{
  note();
  *out = __libc_memalign(a, n);
  return *out ? 0 : 12;
}
extern "C" void *aligned_alloc(size_t a, size_t n)
{
  note();
  return __libc_memalign(a, n);
}

enum {
  PASS = 2, MIXER = 3, DISTORT = 4, REVERB = 5, SPLIT = 6, TONE = 7, XFADE = 9, OCTAVE = 10,
  PAN = 15, CHORUS = 16, COMP = 17, MULT = 19
};

class Allocations : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(BufferSizes, Allocations, ::testing::Values(128, 512, 4096));

TEST(AllocationCounter, SeesTheHeapWhenItIsUsed)
{
  // the counter itself works: one g_malloc and one g_free while counting are two calls
  counting = true;
  void *p = g_malloc(100);
  g_free(p);
  counting = false;
  EXPECT_EQ(heapCalls, 2);
  heapCalls = 0;
}

TEST_P(Allocations, EveryEffectTypeRunsPassesWithoutTheHeap)
{
  Rig r(GetParam());
  int chain[] = {PASS, MIXER, SPLIT, XFADE, MULT, PAN, DISTORT, TONE, COMP, REVERB, CHORUS, OCTAVE};
  int prev = Rig::lineIn(), split = -1;
  for (int type : chain) {
    int s = r.add(type);
    r.wire(prev, 0, s, 0);
    if (type == SPLIT) split = s;
    if (type == XFADE) r.wire(split, 1, s, 1);
    if (type == MULT) r.wire(split, 2, s, 1);
    prev = s;
  }
  r.wire(prev, 0, Rig::lineOut(), 0);
  int baseline = chunksInUse();
  Samples in(r.frames), outL(r.frames), outR(r.frames);
  long nonzero = 0;
  counting = true;
  for (int p = 0; p < 400; p++) {
    for (int i = 0; i < r.frames; i++) in[i] = (short)(((p * r.frames + i) * 2654435761u) >> 17);
    r.pass(in.data(), in.data(), outL.data(), outR.data());
    for (short v : outL) nonzero += v != 0;
  }
  counting = false;
  EXPECT_EQ(heapCalls, 0);
  EXPECT_EQ(chunkPoolOverflows, 0);
  EXPECT_EQ(chunksInUse(), baseline);
  EXPECT_GT(nonzero, 0);  // the sound did get through the whole chain
}
