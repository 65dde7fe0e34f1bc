// The hook layer: calls into the user interface, no-ops until one is installed.
#include "base/hooks.h"

static qafHooks hooks = {nullptr, nullptr, nullptr};

void installHooks(const qafHooks &h) { hooks = h; }

void forcePaint()
{
  if (hooks.repaint) hooks.repaint();
}

void closeAllParmDialogs()
{
  if (hooks.closeParmDialogs) hooks.closeParmDialogs();
}

void notifySampleNameChanged(int slot)
{
  if (hooks.sampleNameChanged) hooks.sampleNameChanged(slot);
}
