// The sample ring backBuf. (reverbBuffer lives with the Reverb module.)
#include "modules/backbuf.h"

#include <glib.h>
#include <string.h>

#include "engine/fatal.h"

backBuf::backBuf(unsigned n) : data(nullptr), nstor(n + 1), pos(0)
{
  // Written through here (not left to calloc's untouched pages), so that the memory is mapped
  // now, away from the audio thread, rather than page by page inside passes.
  data = (short *)g_malloc(sizeof(short) * nstor);
  memset(data, 0, sizeof(short) * nstor);
}

backBuf::~backBuf() { g_free(data); }

// Audio thread.
short backBuf::get(unsigned Delay)
{
  QAF_ASSERT(Delay < nstor);
  int getpos = pos - int(Delay);
  if (getpos < 0) getpos += int(nstor);
  QAF_ASSERT(getpos >= 0 && getpos < int(nstor));
  return data[getpos];
}
