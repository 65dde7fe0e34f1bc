// The sound device: opening and configuring it, and moving one buffer in and out per pass.
// buf holds buf_size bytes of interleaved left/right signed 16-bit little-endian frames.
#ifndef QAF_CARDFEED_H
#define QAF_CARDFEED_H

extern int fd;
extern char *buf;
extern int buf_size;
extern int sound_opened;

// The device buffer and chunk sizes in bytes (a chunk is one channel of a buffer); fs lists the
// buffer sizes the -b option selects.
extern int sound_buffer_size;
extern int sound_chunk_size;
extern const int fs[6];

// Main thread, once at start-up. 0 when the device is open and configured, else -1.
int open_sound(int rate, int bits, int channels, int fragments, int size);
// Audio thread. One whole buffer in; 0 on success, -1 after printing the reason.
int read_sound();
// Audio thread. One whole buffer out; 0 on success, -1 after printing the reason.
int write_sound();
// Any thread, never blocks. From now on no new read starts, and a read or write that a signal
// interrupts gives up quietly instead of starting again: the first step of shutdown.
void interrupt_sound();
// Main thread, at shutdown, once the audio thread has stopped using the device.
void close_sound();

#endif
