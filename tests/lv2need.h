// Plugin tests run against Debian's swh and x42 plugins; a case whose plugin is not installed is
// skipped, naming the package that brings it.
#ifndef QAF_LV2NEED_H
#define QAF_LV2NEED_H

#include <gtest/gtest.h>

#include "lv2/lv2host.h"

#define SWH "http://plugin.org.uk/swh-plugins/"
#define X42 "http://gareus.org/oss/lv2/"

#define NEED(uri, package)                                                         \
  do {                                                                             \
    if (!lv2FindPlugin(uri))                                                       \
      GTEST_SKIP() << "plugin " << (uri) << " missing: install Debian's " package; \
  } while (0)

#endif
