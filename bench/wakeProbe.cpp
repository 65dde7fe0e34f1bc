// The platform's own latency, measured the way the paced fake device counts QAF's: a real-time
// thread that does no work but wake every period on an absolute clock, for as long as the soak
// runs. A wake-up more than FRAGMENTS periods late is a read that a device with that many
// fragments would have lost, counted once per late stretch as the device counts it. Whatever this
// probe counts, no program on the machine can avoid at that buffer size.
//
//   qaf_wakeprobe SECONDS [BUFFER_BYTES [FRAGMENTS]]     (defaults: 60 s, 128 bytes, 5)
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static long long monoNow()
{
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void sleepUntil(long long ns)
{
  struct timespec t;
  t.tv_sec = (time_t)(ns / 1000000000LL);
  t.tv_nsec = (long)(ns % 1000000000LL);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) != 0) {
  }
}

int main(int argc, char **argv)
{
  long seconds = argc > 1 ? strtol(argv[1], nullptr, 10) : 60;
  long bytes = argc > 2 ? strtol(argv[2], nullptr, 10) : 128;
  long fragments = argc > 3 ? strtol(argv[3], nullptr, 10) : 5;
  if (seconds <= 0 || bytes < 4 || fragments <= 0) {
    fprintf(stderr, "usage: %s SECONDS [BUFFER_BYTES [FRAGMENTS]]\n", argv[0]);
    return 2;
  }

  struct sched_param sp;
  memset(&sp, 0, sizeof sp);
  sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
  if (sched_setscheduler(0, SCHED_FIFO, &sp) != 0)
    printf("Can't get realtime priority: the probe runs at normal priority.\n");

  // Stereo 16-bit at 44100 Hz: four bytes a frame. Deadlines are exact multiples of the period
  // from one start, as the device's input arrives, so a late wake-up is caught up, not forgiven.
  long long frames = bytes / 4;
  long long start = monoNow();
  long long periods = (long long)seconds * 44100 / frames;
  long long worst = 0, overOne = 0, stretches = 0;
  bool behind = false;
  for (long long k = 1; k <= periods; k++) {
    long long due = start + k * frames * 1000000000LL / 44100;
    sleepUntil(due);
    long long late = monoNow() - due;
    if (late > worst) worst = late;
    if (late * 44100 > frames * 1000000000LL) overOne++;
    if (late * 44100 > fragments * frames * 1000000000LL) {
      if (!behind) stretches++;
      behind = true;
    } else {
      behind = false;
    }
  }
  long long periodUs = frames * 1000000LL / 44100;
  printf("Wake-ups: %lld periods of %lld us; worst wake-up %lld us late; %lld more than a period "
         "late; %lld late stretches beyond %ld periods\n",
         periods, periodUs, worst / 1000, overOne, stretches, fragments);
  return 0;
}
