// libFuzzer target: any bytes as a sample bank file. Aborts when a load leaves a slot in a state
// the store never holds; the sanitizers catch any read or write outside the tables and buffers.
#include <unistd.h>

#include "tests/fuzz/fuzz_harness.h"

static char inputPath[64];

static void removeInput() { unlink(inputPath); }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  // every input is written to a file and read back: in memory where there is room for it
  const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  g_snprintf(inputPath, sizeof inputPath, "%s/qaf-fuzz-sbank-%d.sbk", dir, (int)getpid());
  atexit(removeInput);
  if (!freopen("/dev/null", "w", stdout)) return 0;
  fuzzBoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::string fault = runSbankInput(data, size, inputPath);
  if (!fault.empty()) {
    fprintf(stderr, "sample bank load broke the store: %s\n", fault.c_str());
    abort();
  }
  return 0;
}
