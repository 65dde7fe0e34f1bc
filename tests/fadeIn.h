// The output stage as a test expects it at the start of a live run.
#ifndef QAF_TEST_FADEIN_H
#define QAF_TEST_FADEIN_H

#include <vector>

// What a live run plays first: the output stage fades it in from silence over 220 frames rounded
// up to whole buffers, one step a frame (frame k at (k + 1) / length of full level). The samples
// are interleaved over `channels`.
inline int startFadeFrames(int framesPerBuffer)
{
  return (220 + framesPerBuffer - 1) / framesPerBuffer * framesPerBuffer;
}
inline std::vector<short> fadedIn(std::vector<short> v, int framesPerBuffer, int channels = 1)
{
  long len = startFadeFrames(framesPerBuffer);
  for (size_t i = 0; i < v.size() && (long)(i / channels) < len; i++)
    v[i] = (short)((int)v[i] * (int)(i / channels + 1) / len);
  return v;
}

#endif
