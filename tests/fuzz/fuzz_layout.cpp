// libFuzzer target: any bytes as a layout file. Aborts when a load leaves the graph broken;
// the sanitizers catch any read or write outside the tables.
#include <unistd.h>

#include "tests/fuzz/fuzz_harness.h"

static char inputPath[64];

static void removeInput() { unlink(inputPath); }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  // every input is written to a file and read back: in memory where there is room for it
  const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  g_snprintf(inputPath, sizeof inputPath, "%s/qaf-fuzz-layout-%d.lyo", dir, (int)getpid());
  // the loader's progress lines would drown libFuzzer's own
  atexit(removeInput);
  if (!freopen("/dev/null", "w", stdout)) return 0;
  fuzzBoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string fault = runLayoutInput(data, size, inputPath);
  if (!fault.empty()) {
    fprintf(stderr, "layout load broke the graph: %s\n", fault.c_str());
    abort();
  }
  return 0;
}
