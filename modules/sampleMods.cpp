// Sample modules: Looper, Record Sample, Sync Sequencer and Scratcher.
// Not built yet: every pump only sends its inputs on unchanged; inits and cleans do nothing.
#include "modules/modfuncs.h"
#include "modules/pump.h"

// Audio thread, graph lock held.
void fLooper(int slot) { SendOut(slot); }
void iLooper(int) {}
void unLooper(int) {}
// Audio thread, graph lock held.
void fRec(int slot) { SendOut(slot); }
void iRec1(int) {}
void iRec0(int) {}
void iRec3(int) {}
void unRec(int) {}
// Audio thread, graph lock held.
void fSeq(int slot) { SendOut(slot); }
void iSeq(int) {}
void unSeq(int) {}
// Audio thread, graph lock held.
void fScratch(int slot) { SendOut(slot); }
void iScratch(int) {}
void unScratch(int) {}
void getfromRec(int, short **data, int *count)
{
  *data = nullptr;
  *count = 0;
}
