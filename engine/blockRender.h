// Rendering a sound file a block of passes at a time. A device with no deadline (the file back
// end) hands the audio thread many buffers at once; where the patch allows, each module then runs
// all the block's passes in a row, and chains of modules that share no wire run on two threads at
// once. The sound is the same, sample for sample, as running the patch once per buffer.
#ifndef QAF_BLOCKRENDER_H
#define QAF_BLOCKRENDER_H

#include "base/realtime.h"

#define RENDER_BLOCK_FRAMES 2048     // frames of sound per block
#define MAX_BLOCK_PASSES 64   // passes per block at the smallest buffer

// Main thread, before the audio thread starts: reserves the block's chunks and starts the second
// thread. False when either could not be had; blocks then run pass by pass.
bool prepareBlockRender();
// Main thread, at shutdown, once the audio thread has stopped: ends the second thread.
void stopBlockRender();
// Passes in one block at the current buffer size.
int blockPasses() QAF_NONBLOCKING;

// Audio thread. Runs passes consecutive device buffers at frames (buf_size
// bytes each) through the patch in place, with the same result as runGraphPass on each in turn.
// True when they ran as a block; false when the patch needed them pass by pass (a feedback wire,
// or a module that shares state beyond its wires, such as the sample modules).
bool runGraphBlock(char *frames, int passes) QAF_NONBLOCKING;

// Passes run as blocks, pass by pass, and as blocks shared by two threads since the start.
long blockPassesRun();
long singlePassesRun();
long sharedPassesRun();

#endif
