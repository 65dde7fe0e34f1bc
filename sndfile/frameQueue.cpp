// Sound files (sndfile/: the file render's reader, writer and device, and the sample slots' WAV
// loader). This file: the frame queue between the render's threads (see frameQueue.h).
//
// Sleeping is a futex on a counter that the other side bumps. The sleeper first says it sleeps
// and what it waits for, then looks once more; the other side first publishes its frames, then
// looks whether anybody sleeps. With both in sequentially consistent order, at least one of them
// sees the other's step, so a wake-up is never lost.
#include "sndfile/frameQueue.h"

#include <linux/futex.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

static void futexWait(std::atomic<unsigned> &word, unsigned seen)
{
  syscall(SYS_futex, (unsigned *)&word, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

static void futexWake(std::atomic<unsigned> &word)
{
  word.fetch_add(1);
  syscall(SYS_futex, (unsigned *)&word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

bool frameQueue::make(size_t frames)
{
  release();
  size_t cap = 1;
  while (cap < frames) cap <<= 1;
  data = (short *)malloc(cap * 4);
  if (!data) return false;
  // Written through now: no page of it is first touched by the audio thread.
  memset(data, 0, cap * 4);
  capacity = cap;
  head = tail = 0;
  ended = stopped = 0;
  consumerAsleep = producerAsleep = 0;
  return true;
}

void frameQueue::release()
{
  free(data);
  data = nullptr;
  capacity = 0;
}

size_t frameQueue::space() const
{
  return capacity - (size_t)(head.load(std::memory_order_relaxed) - tail.load());
}

size_t frameQueue::available() const
{
  return (size_t)(head.load() - tail.load(std::memory_order_relaxed));
}

size_t frameQueue::waitForSpace(size_t frames)
{
  if (frames > capacity) frames = capacity;
  for (;;) {
    if (cancelled()) return 0;
    size_t room = space();
    if (room >= frames) return room;
    unsigned seen = roomCame.load();
    producerNeeds.store(frames);
    producerAsleep.store(1);
    if (space() < frames && !cancelled()) futexWait(roomCame, seen);
    producerAsleep.store(0);
  }
}

size_t frameQueue::waitForFrames(size_t frames)
{
  if (frames > capacity) frames = capacity;
  for (;;) {
    if (cancelled()) return 0;
    size_t there = available();
    if (there >= frames) return there;
    if (finished()) return available();
    unsigned seen = framesCame.load();
    consumerNeeds.store(frames);
    consumerAsleep.store(1);
    if (available() < frames && !finished() && !cancelled()) futexWait(framesCame, seen);
    consumerAsleep.store(0);
  }
}

short *frameQueue::writeSpan(size_t *frames)
{
  size_t at = (size_t)head.load(std::memory_order_relaxed) & (capacity - 1);
  size_t room = space();
  *frames = room < capacity - at ? room : capacity - at;
  return data + 2 * at;
}

void frameQueue::put(size_t frames)
{
  head.store(head.load(std::memory_order_relaxed) + frames);
  if (consumerAsleep.load() && available() >= consumerNeeds.load()) futexWake(framesCame);
}

const short *frameQueue::readSpan(size_t *frames)
{
  size_t at = (size_t)tail.load(std::memory_order_relaxed) & (capacity - 1);
  size_t there = available();
  *frames = there < capacity - at ? there : capacity - at;
  return data + 2 * at;
}

void frameQueue::take(size_t frames)
{
  tail.store(tail.load(std::memory_order_relaxed) + frames);
  if (producerAsleep.load() && space() >= producerNeeds.load()) futexWake(roomCame);
}

void frameQueue::push(const short *from, size_t frames)
{
  while (frames > 0) {
    size_t n;
    short *to = writeSpan(&n);
    if (n > frames) n = frames;
    memcpy(to, from, n * 4);
    from += 2 * n;
    frames -= n;
    put(n);
  }
}

void frameQueue::pop(short *to, size_t frames)
{
  while (frames > 0) {
    size_t n;
    const short *from = readSpan(&n);
    if (n > frames) n = frames;
    memcpy(to, from, n * 4);
    to += 2 * n;
    frames -= n;
    take(n);
  }
}

void frameQueue::finish()
{
  ended.store(1);
  futexWake(framesCame);
}

void frameQueue::cancel()
{
  stopped.store(1);
  futexWake(framesCame);
  futexWake(roomCame);
}
