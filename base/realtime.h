// Marks for real-time code. QAF_NONBLOCKING puts clang's nonblocking effect on a function: in a
// build with RealtimeSanitizer, any allocation, lock, print or blocking system call made while
// such a function runs ends the program with a report. QAF_RT_EXEMPT lets the rest of its scope
// make one deliberate blocking call (the device read and write, the graph lock); each use is one
// visible exception.
#ifndef QAF_REALTIME_H
#define QAF_REALTIME_H

#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#include <sanitizer/rtsan_interface.h>
#define QAF_RTSAN 1
#endif

#endif

#if defined(__clang__) && defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::nonblocking)
#define QAF_NONBLOCKING [[clang::nonblocking]]
#endif
#endif
#ifndef QAF_NONBLOCKING
#define QAF_NONBLOCKING
#endif

// The compiler's check of the same contract (-Wfunction-effects) is told to look away for the
// rest of the scope as well: QAF_RT_EXEMPT_BEGIN opens such a scope, QAF_RT_EXEMPT_END closes it.
#if defined(__clang__) && defined(__has_warning)
#if __has_warning("-Wfunction-effects")
#define QAF_FX_CHECKED 1
#endif
#endif
#ifdef QAF_FX_CHECKED
#define QAF_FX_OFF _Pragma("clang diagnostic push") _Pragma("clang diagnostic ignored \"-Wfunction-effects\"")
#define QAF_FX_ON _Pragma("clang diagnostic pop")
#else
#define QAF_FX_OFF
#define QAF_FX_ON
#endif

#ifdef QAF_RTSAN
#define QAF_RT_EXEMPT __rtsan::ScopedDisabler qafRtExempt
#else
#define QAF_RT_EXEMPT \
  do {                \
  } while (0)
#endif
#define QAF_RT_EXEMPT_BEGIN QAF_FX_OFF { QAF_RT_EXEMPT;
#define QAF_RT_EXEMPT_END } QAF_FX_ON

// A read that races a writer on purpose and is checked afterwards (a sequence lock's copy):
// ThreadSanitizer is told to look away; elsewhere these are nothing.
#if defined(__SANITIZE_THREAD__)
#define QAF_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QAF_TSAN 1
#endif
#endif
#ifdef QAF_TSAN
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);
#define QAF_TSAN_IGNORE_READS_BEGIN() AnnotateIgnoreReadsBegin(__FILE__, __LINE__)
#define QAF_TSAN_IGNORE_READS_END() AnnotateIgnoreReadsEnd(__FILE__, __LINE__)
#else
#define QAF_TSAN_IGNORE_READS_BEGIN() \
  do {                                 \
  } while (0)
#define QAF_TSAN_IGNORE_READS_END() \
  do {                               \
  } while (0)
#endif

// A processor's spin-wait hint, where it has one.
static inline void qafCpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#endif
}

#endif
