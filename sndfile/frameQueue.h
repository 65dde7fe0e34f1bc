// Sound files (sndfile/: rendering a sound file through the patch, in streaming reader, writer and
// device parts, and the sample slots' WAV loader). This file: the bounded queue of stereo 16-bit
// frames between one producer thread and one consumer thread, which carries the file render's
// sound from the decoder to the audio thread and from the audio thread to the encoder.
//
// Either side moves frames without a lock: a copy and an atomic store. A side waits only when
// there is nothing it can do (no frames to take, no room to put them), and then sleeps in the
// kernel until the other side has made enough of a difference; a side that finds nobody asleep
// makes no system call at all.
#ifndef QAF_FRAMEQUEUE_H
#define QAF_FRAMEQUEUE_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>

class frameQueue {
 public:
  // Main thread, before either side runs: room for `frames` frames (rounded up to a power of
  // two), written through so that neither side meets a fresh page. False when the memory could
  // not be had. A queue made again starts empty.
  bool make(size_t frames);
  // Main thread, once neither side runs any more.
  void release();
  // Frames it holds when full.
  size_t size() const { return capacity; }

  // ---- The producer (the decoder; the audio thread for the output queue) ----
  // Producer (the decoder; the audio thread for the output queue). The frames that can be put now.
  size_t space() const;
  // Producer (the decoder; the audio thread for the output queue). Waits until at least `frames`
  // can be put (at most the capacity); the room then, or 0 once the queue was cancelled.
  size_t waitForSpace(size_t frames);
  // Producer (the decoder; the audio thread for the output queue). The free run of frames at the
  // write position (up to the end of the memory), for writing in place: *frames is set to its
  // length. Then put(n) publishes the first n of them.
  short *writeSpan(size_t *frames);
  void put(size_t frames);
  // Producer (the decoder; the audio thread for the output queue). Copies `frames` frames in and
  // publishes them; the caller made sure there is room.
  void push(const short *from, size_t frames);
  // Producer (the decoder; the audio thread for the output queue). No frames follow: a waiting
  // consumer takes what is left.
  void finish();

  // ---- The consumer (the audio thread for the input queue; the encoder) ----
  // Consumer (the audio thread for the input queue; the encoder). The frames that can be taken now.
  size_t available() const;
  // Consumer (the audio thread for the input queue; the encoder). Waits until at least `frames` can
  // be taken, or the producer finished; the frames there then (fewer only at the end), or 0 once
  // the queue was cancelled.
  size_t waitForFrames(size_t frames);
  // Consumer (the audio thread for the input queue; the encoder). The run of frames at the read
  // position (up to the end of the memory); take(n) frees the first n of them.
  const short *readSpan(size_t *frames);
  void take(size_t frames);
  // Consumer (the audio thread for the input queue; the encoder). Copies `frames` frames out and
  // frees them; the caller made sure they are there.
  void pop(short *to, size_t frames);
  // Any thread, never blocks.
  bool finished() const { return ended.load(std::memory_order_acquire) != 0; }

  // Any thread, never blocks. Both sides stop waiting, now and from now on.
  void cancel();
  bool cancelled() const { return stopped.load(std::memory_order_acquire) != 0; }

 private:
  short *data = nullptr;
  size_t capacity = 0;  // frames, a power of two
  std::atomic<uint64_t> head{0};  // frames put since the start
  std::atomic<uint64_t> tail{0};  // frames taken since the start
  std::atomic<int> ended{0};
  std::atomic<int> stopped{0};
  // The sleeping side: what it waits for, and the word it sleeps on (bumped to wake it).
  std::atomic<int> consumerAsleep{0}, producerAsleep{0};
  std::atomic<uint64_t> consumerNeeds{0}, producerNeeds{0};
  std::atomic<unsigned> framesCame{0}, roomCame{0};
};

#endif
