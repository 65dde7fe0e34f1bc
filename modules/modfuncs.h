// The pump, init and clean functions of every module type, as the type table names them.
// Pumps run on the audio thread with the graph lock held; inits and cleans run on the UI thread
// (or the layout loader) with the same lock held.
#ifndef QAF_MODFUNCS_H
#define QAF_MODFUNCS_H

// Line modules (pump.cpp)
void fLineIn(int slot);
void fLineOut(int slot);

// Mixing and routing (routing.cpp)
void fPass(int slot);
void iPass(int slot);
void fMixer(int slot);
void iMixer(int slot);
void fSplit(int slot);
void fXFader(int slot);
void fPan(int slot);
void iPan(int slot);
void fMult(int slot);
void iMult(int slot);

// Distortion, tone, compressor (shaping.cpp)
void fDistort(int slot);
void iDistort(int slot);
void fTone(int slot);
void iTone(int slot);
void unTone(int slot);
void fComp(int slot);
void iComp(int slot);
void unComp(int slot);

// Delay lines (delay.cpp)
void fReverb(int slot);
void iReverb(int slot);
void unReverb(int slot);
void fChor(int slot);
void iChor(int slot);
void unChor(int slot);
void fOctave(int slot);
void iOctave(int slot);
void unOctave(int slot);

// Sample modules (sampleMods.cpp)
void fLooper(int slot);
void iLooper(int slot);
void unLooper(int slot);
void fRec(int slot);
void iRec1(int slot);
void iRec0(int slot);
void iRec3(int slot);
void unRec(int slot);
void fSeq(int slot);
void iSeq(int slot);
void unSeq(int slot);
// UI thread, graph lock held. A recorder's whole sample array and its length in samples; the
// array stays the module's.
void getfromRec(int slot, short **data, int *count);
void fScratch(int slot);
void iScratch(int slot);
void unScratch(int slot);

#endif
