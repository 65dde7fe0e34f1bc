// The pump, init and clean functions of every module type, as the type table names them.
// Pumps run on the audio thread inside a pass; inits and cleans run on the UI thread
// on a record that no slot holds, away from the lock.
#ifndef QAF_MODFUNCS_H
#define QAF_MODFUNCS_H

#include "base/realtime.h"

struct modRec;

// Line modules (pump.cpp)
void fLineIn(int slot) QAF_NONBLOCKING;
void fLineOut(int slot) QAF_NONBLOCKING;

// Mixing and routing (routing.cpp)
void fPass(int slot) QAF_NONBLOCKING;
void iPass(modRec *m);
void fMixer(int slot) QAF_NONBLOCKING;
void iMixer(modRec *m);
void fSplit(int slot) QAF_NONBLOCKING;
void fXFader(int slot) QAF_NONBLOCKING;
void fPan(int slot) QAF_NONBLOCKING;
void iPan(modRec *m);
void fMult(int slot) QAF_NONBLOCKING;
void iMult(modRec *m);

// Distortion, tone, compressor (shaping.cpp)
void fDistort(int slot) QAF_NONBLOCKING;
void iDistort(modRec *m);
void fTone(int slot) QAF_NONBLOCKING;
void iTone(modRec *m);
void unTone(modRec *m);
void fComp(int slot) QAF_NONBLOCKING;
void iComp(modRec *m);
void unComp(modRec *m);

// Delay lines (delay.cpp)
void fReverb(int slot) QAF_NONBLOCKING;
void iReverb(modRec *m);
void unReverb(modRec *m);
void fChor(int slot) QAF_NONBLOCKING;
void iChor(modRec *m);
void unChor(modRec *m);
void fOctave(int slot) QAF_NONBLOCKING;
void iOctave(modRec *m);
void unOctave(modRec *m);

// Sample modules (sampleMods.cpp)
void fLooper(int slot) QAF_NONBLOCKING;
void iLooper(modRec *m);
void unLooper(modRec *m);
void fRec(int slot) QAF_NONBLOCKING;
void iRec1(modRec *m);
void iRec0(modRec *m);
void iRec3(modRec *m);
void unRec(modRec *m);
void fSeq(int slot) QAF_NONBLOCKING;
void iSeq(modRec *m);
void unSeq(modRec *m);
// UI thread, before the module is published. A recorder's whole sample array and its length in samples; the
// array stays the module's.
void getfromRec(int slot, short **data, int *count);
// UI thread, no lock held. The length in samples of the recorder in the slot (0: none); the UI
// thread is the only one that makes or removes recorders, so it stays valid until it does.
int recordingLength(int slot);
// UI thread; takes the graph lock itself, a slice at a time, so that no pass waits long. Copies
// the recorder's count samples into dst. A recorder still recording while this runs is copied
// as each slice stood between two passes.
void copyRecording(int slot, short *dst, int count);
void fScratch(int slot) QAF_NONBLOCKING;
void iScratch(modRec *m);
void unScratch(modRec *m);

#endif
