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

#ifdef QAF_RTSAN
#define QAF_RT_EXEMPT __rtsan::ScopedDisabler qafRtExempt
#else
#define QAF_RT_EXEMPT \
  do {                \
  } while (0)
#endif

#endif
