// The real-time audio thread: one device read, one pass over the patch, one device write.
#ifndef QAF_AUDIOTHREAD_H
#define QAF_AUDIOTHREAD_H

// Audio thread (or a device's real-time callback), graph lock held. Pumps every module once,
// in execution order.
void pumpAllModules();

// The audio thread's body; never returns.
void *audio_thread_start(void *);

#endif
