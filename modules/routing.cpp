// Mixing and routing modules: Passthrough, Mixer, Splitter, XFader, Panning Mixer and Multiply.
// Not built yet: every pump only sends its inputs on unchanged; inits and cleans do nothing.
#include "modules/modfuncs.h"
#include "modules/pump.h"

// Audio thread, graph lock held.
void fPass(int slot) { SendOut(slot); }
void iPass(int) {}
// Audio thread, graph lock held.
void fMixer(int slot) { SendOut(slot); }
void iMixer(int) {}
// Audio thread, graph lock held.
void fSplit(int slot) { SendOut(slot); }
// Audio thread, graph lock held.
void fXFader(int slot) { SendOut(slot); }
// Audio thread, graph lock held.
void fPan(int slot) { SendOut(slot); }
void iPan(int) {}
// Audio thread, graph lock held.
void fMult(int slot) { SendOut(slot); }
void iMult(int) {}
