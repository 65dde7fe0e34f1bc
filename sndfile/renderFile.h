// Sound files (sndfile/: the file render's reader, writer and device, and the sample slots' WAV
// loader). This file: how the three parts of the file render (-d file:IN:OUT) meet.
//
//   renderReader.cpp  opens and checks IN; a decoder thread reads it, converts it to 44100 Hz
//                     stereo 16-bit and puts it into the input queue, ahead of the render.
//   renderDevice.cpp  the back end the audio thread drives (wavBackend): one buffer at a time
//                     from the input queue, through the patch, into the output queue; the
//                     progress line.
//   renderWriter.cpp  creates OUT's file out of sight; an encoder thread takes the rendered
//                     sound from the output queue, converts it to OUT's rate and writes it,
//                     behind the render; at the end the file gets OUT's name, complete.
//
// Both queues are bounded, so a render holds the same memory for a minute as for three hours.
// Only the main thread at open and whoever closes print; the decoder and encoder keep a failure
// as a line for the closing thread to print.
#ifndef QAF_RENDERFILE_H
#define QAF_RENDERFILE_H

#include <pthread.h>
#include <sndfile.h>
#include <soxr.h>

#include <string>

#include "sndfile/frameQueue.h"

#define PATCH_RATE 44100
// The input rates a render takes: every rate recordings are made at, and none so low that a
// small file would make days of sound at 44100 Hz.
#define MIN_INPUT_RATE 1000
#define MAX_INPUT_RATE 768000

// ---- Shared (renderDevice.cpp) ---------------------------------------------------------------
// A converter between rates for `channels` interleaved channels, out as 32-bit float; nullptr
// with *err set when libsoxr refuses.
soxr_t makeConverter(double from, double to, unsigned channels, soxr_datatype_t inType,
                     const char **err);
// Starts a helper thread with every signal blocked (signals are the main thread's). False when
// it could not start.
bool startRenderThread(pthread_t *thread, void *(*body)(void *));
// How a file stores its samples, in words: "16-bit", "32-bit float", or the codec's name.
std::string widthName(int format);

// ---- The reader (renderReader.cpp) -------------------------------------------------------------
// Main thread. Opens IN for a render into OUT and checks everything that can be checked before
// the first frame: that it is a sound file of one or two channels at a rate QAF takes, that it
// is not OUT, that it holds sound, and that its last frames can be read. False after one line on
// the error stream that says why.
bool openRenderInput(const std::string &in, const std::string &out);
// The input's header (after a successful open).
const SF_INFO &renderInputInfo();
// Main thread. Starts the decoder; false when it could not start.
bool startRenderInput();
// The converted input, for the audio thread to take.
frameQueue &renderInputQueue();
// Frames the whole input makes at 44100 Hz: from the header until the decoder has reached the
// end, exact from then on; 0 when the header does not say.
long long renderInputLength();
// True once the decoder has reached the end of the input.
bool renderInputComplete();
// The input's own frames as decoded (valid once complete).
long long renderInputDecodedFrames();
// The line that says why the input could not be read to its end, or nullptr.
const char *renderInputFailure();
// Either thread, at the end: stops the decoder and closes the input.
void closeRenderInput();

// ---- The writer (renderWriter.cpp) -------------------------------------------------------------
// Main thread. The major format OUT's extension names; 0 (after one line) when none QAF writes.
int renderOutputFormat(const std::string &out);
// Main thread. Creates the output file for the input of header `in`, at `rate` Hz, without a
// name yet, and the converter to its rate. False after one line that says why.
bool openRenderOutput(const std::string &out, int major, const SF_INFO &in, int rate);
// Main thread. Starts the encoder; false when it could not start.
bool startRenderOutput();
// The rendered sound, for the audio thread to put.
frameQueue &renderOutputQueue();
// The line that says why the output could not be written, or nullptr.
const char *renderOutputFailure();
// Either thread, once, at the end. Writes what is still queued, makes the file `frames` frames
// long at its own rate, and gives it OUT's name. False after one line that says why (no file is
// left behind then).
bool finishRenderOutput(long long frames);
// The output's rate.
int renderOutputRate();
// Either thread, at the end: throws the output away.
void dropRenderOutput();

#endif
