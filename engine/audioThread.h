// The real-time audio thread: one device read, one pass over the patch, one device write, for
// the life of the program; and the program's end, which either thread may reach first.
#ifndef QAF_AUDIOTHREAD_H
#define QAF_AUDIOTHREAD_H

#include <pthread.h>

#include "base/realtime.h"

extern pthread_t audio_thread;

// Audio thread (or a device's real-time callback). Pumps every module once, in execution order,
// in the newest graph.
void pumpAllModules() QAF_NONBLOCKING;
// Audio thread (or a device's real-time callback). One whole pass over the device buffer: takes
// the newest graph (no lock, no wait), runs every module, then the output stage.
void runGraphPass() QAF_NONBLOCKING;
// Audio thread, between beginGraphPass and endGraphPass: the same pass without either.
void runPassBody() QAF_NONBLOCKING;
// Audio thread, inside a block. The end of a block of passes rendered at once: each pass's
// output stage on buf as Line Out leaves it, then the output meters and the pass count over the
// whole block's frames (a single pass does both in runGraphPass).
void fadeGraphOutput() QAF_NONBLOCKING;
void finishGraphBlock(short *frames, int passes) QAF_NONBLOCKING;
// Passes run so far (any thread may read it).
long passesRun();
// The most page faults any thread that runs passes took after its first pass, this run.
long audioPageFaults();

// Audio thread, as a pass starts: whether the output stage has faded the output out, and
// whether a swap of the patch waits for it to (the output then fades out, and back in once the
// new patch is taken).
bool outputFadedOut() QAF_NONBLOCKING;
void swapFadePending(bool pending) QAF_NONBLOCKING;
// Main thread, before a live device stops: fades Line Out to silence and waits for it.
void fadeOutputForStop();
// The output stage afresh, as a run starts: silent and fading in, or at full level. Nothing
// half-done is kept from one run to the next.
void resetOutputStage(bool fadeIn);

// The audio thread's body. Loops until a device read fails: then it prints "Audio thread
// terminating!", closes the device and ends the program with status 0, unless shutdown has
// already begun, in which case it just returns for shutdown to join it.
void *audio_thread_start(void *);

// Main thread. Starts the audio thread with the given body (tests wrap the real one); 0 when it
// runs, -1 when it could not be created.
int audio_thread_launch(void *(*body)(void *) = audio_thread_start);

// Main thread. Asks the audio thread to stop, gets it out of a blocking device read or write,
// and waits for it to return (a few seconds at most). True when it has stopped; then nothing
// touches the device buffer, the graph lock or the sample slots' locks any more.
bool audio_thread_stop();

// Main thread, when the main loop has returned. Stops the audio thread, closes the device,
// destroys the graph lock and the sample slots' locks and ends the program with status 0. If the
// audio thread is already ending the program, waits for it to do so instead.
[[noreturn]] void shutdown_program();

#endif
