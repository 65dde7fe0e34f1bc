// Delay-line modules: Reverb, Chorus/Flange and Octave Down, and the chunk ring reverbBuffer.
// Not built yet: every pump only sends its inputs on unchanged; inits and cleans do nothing.
#include "modules/modfuncs.h"
#include "modules/pump.h"
#include "modules/backbuf.h"

// Audio thread, graph lock held.
void fReverb(int slot) { SendOut(slot); }
void iReverb(int) {}
void unReverb(int) {}
// Audio thread, graph lock held.
void fChor(int slot) { SendOut(slot); }
void iChor(int) {}
void unChor(int) {}
// Audio thread, graph lock held.
void fOctave(int slot) { SendOut(slot); }
void iOctave(int) {}
void unOctave(int) {}

reverbBuffer::reverbBuffer(int n) : data(nullptr), nChunks(n), pos(0) {}
reverbBuffer::~reverbBuffer() {}
void reverbBuffer::addChunk(char *) {}
char *reverbBuffer::getChunk(int) { return (char *)newChunk(); }
