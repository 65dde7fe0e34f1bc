/* A fake OSS device for tests. Preloaded (LD_PRELOAD) or linked into a test program, it takes
   over open/ioctl/read/write/close of "/dev/dsp" and leaves every other file alone. Its settings
   come from the environment, read when the device is opened:

   FAKEDSP_LOG    file to which each request is appended as a line: "open O_RDWR",
                  "SETFRAGMENT 0x00050007", "SETDUPLEX", "GETCAPS", "SETFMT 16", "STEREO 1",
                  "SPEED 44100", "GETERROR", "close"; with FAKEDSP_LOG_IO=1 also "read N" and
                  "write N". GETERROR answers the OSS 4 error counters: an overrun is each
                  stretch of paced reads (FAKEDSP_PACE) more than the fragment count of reads late.
   FAKEDSP_CAPS   what GETCAPS answers (decimal or 0x hex); default 0x100, full duplex.
   FAKEDSP_FAIL   comma-separated steps that fail: open, SETFRAGMENT, SETDUPLEX, GETCAPS, SETFMT,
                  STEREO, SPEED, GETERROR, read, write; shortwrite takes only half of each
                  write; thread (once the device is open) refuses the threads the program
                  itself starts.
   FAKEDSP_ERRNO  the error of a failing step (default: ENOENT for open, EIO for read and write,
                  EINVAL for the requests).
   FAKEDSP_IN     file the reads are served from; without it the input is empty.
   FAKEDSP_PACE   1: serve the input at the rate set with SPEED (a real device's pace); otherwise
                  as fast as it is asked for.
   FAKEDSP_STALL  1: when the input is used up, a read blocks until a signal interrupts it
                  (EINTR), like a device that has stopped delivering; otherwise the last read is
                  short (what is left, possibly nothing).
   FAKEDSP_OUT    file that captures every byte written.

   A test program that links the library can also watch it with the functions below. */
#ifndef FAKEDSP_H
#define FAKEDSP_H

#ifdef __cplusplus
extern "C" {
#endif

/* Whole or partial reads served, and writes taken, since the device was opened. */
int fakedsp_reads(void);
int fakedsp_writes(void);
/* 1 while a read is blocked at the end of the input (FAKEDSP_STALL). */
int fakedsp_stalled(void);
/* Reads that a signal interrupted (EINTR), since the device was opened. */
int fakedsp_interrupted_reads(void);
/* 1 while the device is open. */
int fakedsp_is_open(void);

#ifdef __cplusplus
}
#endif

#endif
