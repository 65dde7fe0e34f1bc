// The sample ring backBuf. (reverbBuffer lives with the Reverb module.)
#include "modules/backbuf.h"

#include <glib.h>
#include <string.h>

#include "base/fatal.h"

backBuf::backBuf(unsigned n) : data(nullptr), nstor(n + 1), pos(0)
{
  // real-time memory: mapped and zeroed now, away from the audio thread, rather than page by
  // page inside passes
  data = (short *)rtAlloc(sizeof(short) * nstor);
}

backBuf::~backBuf() { rtFree(data); }

// Audio thread.
short backBuf::get(unsigned Delay) QAF_NONBLOCKING
{
  QAF_ASSERT(Delay < nstor);
  int getpos = pos - int(Delay);
  if (getpos < 0) getpos += int(nstor);
  QAF_ASSERT(getpos >= 0 && getpos < int(nstor));
  return data[getpos];
}
