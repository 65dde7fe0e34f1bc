// The audio thread (only the pass itself so far).
#include "engine/audioThread.h"

#include "engine/soundNode.h"

// Audio thread, graph lock held.
void pumpAllModules()
{
  for (int i = 0; i < MOD_EXEC_NUM; i++) Pump_Module(MOD_EXEC_ORDER[i]);
}

void *audio_thread_start(void *) { return nullptr; }
