// The calls the layers above hang on the engine (see taps.h).
#include "engine/taps.h"

engineTaps taps;

void modulesChanged()
{
  if (taps.modulesChanged) taps.modulesChanged();
}
