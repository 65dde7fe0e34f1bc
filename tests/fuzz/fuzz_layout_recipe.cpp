// libFuzzer target: layouts built from a short recipe (see layoutFromRecipe), so that nearly
// every input has known types and terminal numbers and reaches the checks of the wires, the swap
// and the repair pass. Aborts when a load leaves the graph broken.
#include <unistd.h>

#include "tests/fuzz/fuzz_harness.h"

static char inputPath[64];

static void removeInput() { unlink(inputPath); }

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  // every input is written to a file and read back: in memory where there is room for it
  const char *dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  g_snprintf(inputPath, sizeof inputPath, "%s/qaf-fuzz-recipe-%d.lyo", dir, (int)getpid());
  atexit(removeInput);
  if (!freopen("/dev/null", "w", stdout)) return 0;
  fuzzBoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  std::vector<uint8_t> file = layoutFromRecipe(data, size);
  std::string fault = runLayoutInput(file.data(), file.size(), inputPath);
  if (!fault.empty()) {
    fprintf(stderr, "layout load broke the graph: %s\n", fault.c_str());
    abort();
  }
  return 0;
}
