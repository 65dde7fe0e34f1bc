// Distortion, tone and compressor modules: Distort, Tone and Compressor.
// Not built yet: every pump only sends its inputs on unchanged; inits and cleans do nothing.
#include "modules/modfuncs.h"
#include "modules/pump.h"

// Audio thread, graph lock held.
void fDistort(int slot) { SendOut(slot); }
void iDistort(int) {}
// Audio thread, graph lock held.
void fTone(int slot) { SendOut(slot); }
void iTone(int) {}
void unTone(int) {}
// Audio thread, graph lock held.
void fComp(int slot) { SendOut(slot); }
void iComp(int) {}
void unComp(int) {}
