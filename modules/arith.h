// Sample arithmetic shared by the effect pumps: reading float parameters as integers, and
// clipping. Parameters come from dialogs or from layout files, so any float (NaN, infinities,
// huge or negative values) must convert without undefined behaviour; every value a dialog can
// store converts exactly as a plain truncation would. Pure functions, used on the audio thread.
#ifndef QAF_ARITH_H
#define QAF_ARITH_H

#include <stdint.h>

// The float truncated toward zero (2.9 gives 2, -2.9 gives -2). NaN reads as 0; values past the
// 32-bit range are pinned to its ends.
static inline int32_t parmInt(double p)
{
  if (!(p == p)) return 0;
  if (p >= 2147483647.0) return INT32_MAX;
  if (p <= -2147483648.0) return INT32_MIN;
  return (int32_t)p;
}

static inline int64_t clip64(int64_t v, int64_t lo, int64_t hi)
{
  return v < lo ? lo : (v > hi ? hi : v);
}

static inline int32_t clip32(int32_t v, int32_t lo, int32_t hi)
{
  return v < lo ? lo : (v > hi ? hi : v);
}

// Pumps that split a chunk into passes work in blocks of this many samples: every chunk size a
// device buffer makes is a whole number of them, and a fixed count lets the compiler unroll and
// vectorise the inner loops. A shorter last block (a JACK period of 16 frames) runs the same code.
#define PUMP_BLOCK 32

// The pumps whose blocks vectorise are built twice on x86-64, for the baseline and for AVX2,
// and the loader picks the one the processor runs. Integer work gives the same results either
// way, and AVX2 brings no fused multiply-add, so float work does too.
// Sanitized builds take the baseline only: the loader runs the picker before a sanitizer's
// runtime is up, and an instrumented picker crashes there.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define QAF_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define QAF_VECTOR_CLONES
#endif
// A pump's block helpers are always inlined, so that each build of the pump has its own.
#define QAF_BLOCK_INLINE inline __attribute__((always_inline))

// A sample limited to -32767..32767 (the bound most pumps clip to: -32768 is never produced).
static inline short clip16m(int64_t v) { return (short)clip64(v, -32767, 32767); }

#endif
