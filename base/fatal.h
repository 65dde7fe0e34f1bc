// The fatal internal check. A failed check is a programming error: it is logged at GLib's error
// level in the system's own format, and that level ends the program. User input and file contents
// are checked where they enter and never reach these checks.
#ifndef QAF_FATAL_H
#define QAF_FATAL_H

#include <glib.h>
#include <stdlib.h>

#include "base/realtime.h"

#define QAF_ASSERT(expr)                                                                     \
  do {                                                                                       \
    if (G_UNLIKELY(!(expr))) {                                                               \
      QAF_FX_OFF /* the program ends here: no deadline is left to keep */                    \
      g_log(G_LOG_DOMAIN, G_LOG_LEVEL_ERROR, "file %s: line %d (%s): assertion failed: (%s)", \
            __FILE__, __LINE__, __PRETTY_FUNCTION__, #expr);                                 \
      abort(); /* the error level never returns; say so to the compiler */                  \
      QAF_FX_ON                                                                              \
    }                                                                                        \
  } while (0)

#endif
