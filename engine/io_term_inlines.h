// The wire accessors: every read and change of a wire goes through these, and each checks the
// terminal numbers it is given. Changes are made by editors, under the graph lock, to the
// editors' tables; passes read the published graph instead.
#ifndef QAF_IO_TERM_INLINES_H
#define QAF_IO_TERM_INLINES_H

#include "base/fatal.h"
#include "engine/soundNode.h"

inline int I_TERM_WIRE(int i)
{
  QAF_ASSERT(i >= 0 && i < TERMS_I_OR_O);
  return I_TERM_CONNECT[i];
}

inline int O_TERM_WIRE(int o)
{
  QAF_ASSERT(o >= 0 && o < TERMS_I_OR_O);
  return O_TERM_CONNECT[o];
}

inline gboolean is_IO_WIRE(int o, int i)
{
  if (I_TERM_WIRE(i) == -1) return FALSE;
  if (O_TERM_WIRE(o) == -1) return FALSE;
  if (I_TERM_WIRE(i) == o) {
    QAF_ASSERT(O_TERM_WIRE(o)==i);
    return TRUE;
  }
  return FALSE;
}

// Does not look at what either end held: callers break old wires first.
inline void make_IO_WIRE(int i, int o)
{
  QAF_ASSERT(i >= 0 && i < TERMS_I_OR_O);
  QAF_ASSERT(o >= 0 && o < TERMS_I_OR_O);
  I_TERM_CONNECT[i] = o;
  O_TERM_CONNECT[o] = i;
}

inline void break_I_WIRE(int i)
{
  int o = I_TERM_WIRE(i);
  if (o != -1 && is_IO_WIRE(o, i)) {
    O_TERM_CONNECT[o] = -1;
    I_TERM_CONNECT[i] = -1;
  }
}

inline void break_O_WIRE(int o)
{
  int i = O_TERM_WIRE(o);
  if (i != -1 && is_IO_WIRE(o, i)) {
    O_TERM_CONNECT[o] = -1;
    I_TERM_CONNECT[i] = -1;
  }
}

#endif
