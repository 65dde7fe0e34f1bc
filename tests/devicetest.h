// Helpers for the tests that run the device code under the fake OSS device: a scratch folder
// with the device's log, input and output files, and the settings the device reads when opened.
#ifndef QAF_DEVICETEST_H
#define QAF_DEVICETEST_H

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

// One little-endian stereo frame per pair; the buffers of a test input as one byte string.
inline std::string framesToBytes(const std::vector<short> &samples)
{
  std::string s(samples.size() * 2, '\0');
  for (size_t i = 0; i < samples.size(); i++) {
    unsigned short v = (unsigned short)samples[i];
    s[2 * i] = (char)(v & 0xff);
    s[2 * i + 1] = (char)(v >> 8);
  }
  return s;
}

inline std::vector<short> bytesToSamples(const std::string &s)
{
  std::vector<short> v(s.size() / 2);
  for (size_t i = 0; i < v.size(); i++)
    v[i] = (short)(unsigned short)((unsigned char)s[2 * i] | ((unsigned char)s[2 * i + 1] << 8));
  return v;
}

// A signal that changes every sample, different on the two channels: left and right count up
// from different starts in different steps, so a swapped, lost or delayed buffer shows.
inline std::vector<short> testSignal(int frames)
{
  std::vector<short> v(2 * (size_t)frames);
  unsigned x = 12345;
  for (int n = 0; n < frames; n++) {
    x = x * 1103515245u + 12345u;
    v[2 * n] = (short)(x >> 16);
    v[2 * n + 1] = (short)(-(int)(n * 7 + 3) % 30000);
  }
  return v;
}

inline std::string readFileBytes(const std::string &path)
{
  std::ifstream f(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline void writeFileBytes(const std::string &path, const std::string &data)
{
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
}

inline std::vector<std::string> readLines(const std::string &path)
{
  std::vector<std::string> lines;
  std::ifstream f(path);
  std::string line;
  while (std::getline(f, line)) lines.push_back(line);
  return lines;
}

// A scratch folder for one test with the fake device pointed at it. Every setting of the
// device starts unset, so nothing leaks in from the environment.
struct FakeDevice {
  std::string dir, log, in, out;
  FakeDevice()
  {
    char tmpl[] = "/tmp/qaf-dev-XXXXXX";
    dir = mkdtemp(tmpl);
    log = dir + "/ioctl.log";
    in = dir + "/in.raw";
    out = dir + "/out.raw";
    static const char *names[] = {"FAKEDSP_CAPS", "FAKEDSP_FAIL", "FAKEDSP_ERRNO", "FAKEDSP_PACE",
                                  "FAKEDSP_STALL", "FAKEDSP_LOG_IO"};
    for (const char *n : names) unsetenv(n);
    setenv("FAKEDSP_LOG", log.c_str(), 1);
    setenv("FAKEDSP_IN", in.c_str(), 1);
    setenv("FAKEDSP_OUT", out.c_str(), 1);
    writeFileBytes(in, "");
  }
  ~FakeDevice()
  {
    unlink(log.c_str());
    unlink(in.c_str());
    unlink(out.c_str());
    rmdir(dir.c_str());
  }
  void set(const char *name, const std::string &value) { setenv(name, value.c_str(), 1); }
  void input(const std::string &bytes) { writeFileBytes(in, bytes); }
  std::vector<std::string> logLines() const { return readLines(log); }
  std::string output() const { return readFileBytes(out); }
};

#endif
