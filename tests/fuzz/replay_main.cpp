// Replays inputs through the fuzz target without libFuzzer: every file in the directories (or
// every file) named on the command line. Fails when a directory holds nothing to replay.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool replayFile(const std::string &path)
{
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<uint8_t> bytes;
  uint8_t b[4096];
  size_t got;
  while ((got = fread(b, 1, sizeof b, f)) > 0) bytes.insert(bytes.end(), b, b + got);
  fclose(f);
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}

int main(int argc, char **argv)
{
  int total = 0;
  for (int i = 1; i < argc; i++) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (!replayFile(argv[i])) return 1;
      total++;
      continue;
    }
    DIR *d = opendir(argv[i]);
    int here = 0;
    for (struct dirent *e; d && (e = readdir(d));) {
      if (e->d_name[0] == '.') continue;
      if (!replayFile(std::string(argv[i]) + "/" + e->d_name)) return 1;
      here++;
    }
    if (d) closedir(d);
    if (here == 0) {
      fprintf(stderr, "nothing to replay in %s\n", argv[i]);
      return 1;
    }
    total += here;
  }
  fprintf(stderr, "replayed %d inputs\n", total);
  return 0;
}
