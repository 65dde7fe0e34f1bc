/* The fake OSS device (see fakedsp.h). All of its own I/O goes straight to the kernel with
   syscall(), so it never re-enters the functions it replaces; every other descriptor is passed
   through the same way. It reserves a real descriptor for the device by opening /dev/null. */
#define _GNU_SOURCE
#include "fakedsp.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <poll.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int devFd = -1;      /* the descriptor handed out for /dev/dsp */
static int inFd = -1, outFd = -1, logFd = -1;
static int caps = DSP_CAP_DUPLEX;
static int failErrno = 0;
static char failList[256];
static int pace = 0, stall = 0, logIO = 0;
static int rate = 44100, sampleBytes = 2, channels = 2;
static int fragments = 5;      /* the buffer, in reads, that a late reader may fall behind */

/* What reads and writes change, on a page of its own. While the device is open the page is
   left out of a child that the program forks, as a real device's memory (the kernel's) is: the
   program's audio thread then meets no copy-on-write fault here that it would not meet there. */
struct ioState {
  long long served;        /* bytes of input served so far */
  struct timespec start;   /* when the first read came */
  int reads, writes, stalled, interrupted;
  int overruns;            /* stretches of paced reads later than the buffer could hold */
  int behind;              /* a paced reader is behind its buffer now */
};
static union {
  struct ioState s;
  char page[4096];
} io __attribute__((aligned(4096)));
#define served io.s.served
#define reads io.s.reads
#define writes io.s.writes
#define stalled io.s.stalled
#define interrupted io.s.interrupted
#define overruns io.s.overruns
#define behind io.s.behind

/* The OSS 4 error counters, answered to SNDCTL_DSP_GETERROR. */
struct fakeErrInfo {
  int play_underruns, rec_overruns;
  unsigned int play_ptradjust, rec_ptradjust;
  int play_errorcount, rec_errorcount, play_lasterror, rec_lasterror;
  int play_errorparm, rec_errorparm;
  int filler[16];
};
#define FAKE_SNDCTL_DSP_GETERROR _IOR('P', 25, struct fakeErrInfo)

int fakedsp_reads(void) { return __atomic_load_n(&reads, __ATOMIC_SEQ_CST); }
int fakedsp_writes(void) { return __atomic_load_n(&writes, __ATOMIC_SEQ_CST); }
int fakedsp_stalled(void) { return __atomic_load_n(&stalled, __ATOMIC_SEQ_CST); }
int fakedsp_interrupted_reads(void) { return __atomic_load_n(&interrupted, __ATOMIC_SEQ_CST); }
int fakedsp_is_open(void) { return __atomic_load_n(&devFd, __ATOMIC_SEQ_CST) >= 0; }

static void logLine(const char *fmt, ...)
{
  if (logFd < 0) return;
  char line[128];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line - 1, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  if (n > (int)sizeof line - 2) n = (int)sizeof line - 2;
  line[n++] = '\n';
  syscall(SYS_write, logFd, line, (size_t)n);
}

/* Does the step fail, by FAKEDSP_FAIL? Sets errno to its error when it does. */
static int fails(const char *step, int defaultErrno)
{
  size_t len = strlen(step);
  for (const char *p = failList; *p;) {
    const char *e = strchr(p, ',');
    size_t l = e ? (size_t)(e - p) : strlen(p);
    if (l == len && strncmp(p, step, len) == 0) {
      errno = failErrno ? failErrno : defaultErrno;
      return 1;
    }
    if (!e) break;
    p = e + 1;
  }
  return 0;
}

static int envInt(const char *name, int dflt)
{
  const char *v = getenv(name);
  return v && *v ? (int)strtol(v, NULL, 0) : dflt;
}

static int openFile(const char *name, int flags)
{
  const char *path = getenv(name);
  if (!path || !*path) return -1;
  return (int)syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, 0644);
}

static int openDevice(int flags)
{
  logFd = openFile("FAKEDSP_LOG", O_WRONLY | O_CREAT | O_APPEND);
  const char *f = getenv("FAKEDSP_FAIL");
  snprintf(failList, sizeof failList, "%s", f ? f : "");
  failErrno = envInt("FAKEDSP_ERRNO", 0);
  caps = envInt("FAKEDSP_CAPS", DSP_CAP_DUPLEX);
  pace = envInt("FAKEDSP_PACE", 0);
  stall = envInt("FAKEDSP_STALL", 0);
  logIO = envInt("FAKEDSP_LOG_IO", 0);
  int acc = flags & O_ACCMODE;
  logLine("open %s", acc == O_RDWR ? "O_RDWR" : acc == O_WRONLY ? "O_WRONLY" : "O_RDONLY");
  if (fails("open", ENOENT)) {
    int e = errno;
    if (logFd >= 0) syscall(SYS_close, logFd);
    logFd = -1;
    errno = e;
    return -1;
  }
  int d = (int)syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR | (flags & O_CLOEXEC));
  if (d < 0) return -1;
  inFd = openFile("FAKEDSP_IN", O_RDONLY);
  outFd = openFile("FAKEDSP_OUT", O_WRONLY | O_CREAT | O_TRUNC);
  madvise(&io, sizeof io, MADV_DONTFORK);
  served = 0;
  behind = 0;
  fragments = 5;
  overruns = 0;
  rate = 44100;
  sampleBytes = 2;
  channels = 2;
  io.s.start.tv_sec = 0;
  io.s.start.tv_nsec = 0;
  __atomic_store_n(&reads, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&writes, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&interrupted, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&devFd, d, __ATOMIC_SEQ_CST);
  return d;
}

static int isDevPath(const char *path) { return path && strcmp(path, "/dev/dsp") == 0; }

static int openWith(int dirfd, const char *path, int flags, mode_t mode)
{
  if (isDevPath(path)) return openDevice(flags);
  return (int)syscall(SYS_openat, dirfd, path, flags, mode);
}

static mode_t modeArg(int flags, va_list ap)
{
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

int open(const char *path, int flags, ...)
{
  va_list ap;
  va_start(ap, flags);
  mode_t m = modeArg(flags, ap);
  va_end(ap);
  return openWith(AT_FDCWD, path, flags, m);
}

int open64(const char *path, int flags, ...)
{
  va_list ap;
  va_start(ap, flags);
  mode_t m = modeArg(flags, ap);
  va_end(ap);
  return openWith(AT_FDCWD, path, flags, m);
}

int openat(int dirfd, const char *path, int flags, ...)
{
  va_list ap;
  va_start(ap, flags);
  mode_t m = modeArg(flags, ap);
  va_end(ap);
  return openWith(dirfd, path, flags, m);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
  va_list ap;
  va_start(ap, flags);
  mode_t m = modeArg(flags, ap);
  va_end(ap);
  return openWith(dirfd, path, flags, m);
}

int __open_2(const char *path, int flags) { return openWith(AT_FDCWD, path, flags, 0); }
int __open64_2(const char *path, int flags) { return openWith(AT_FDCWD, path, flags, 0); }

static int deviceIoctl(unsigned long request, int *arg)
{
  const char *name;
  switch (request) {
    case SNDCTL_DSP_SETFRAGMENT:
      name = "SETFRAGMENT";
      logLine("SETFRAGMENT 0x%08X", (unsigned)*arg);
      break;
    case SNDCTL_DSP_SETDUPLEX:
      name = "SETDUPLEX";
      logLine("SETDUPLEX");
      break;
    case SNDCTL_DSP_GETCAPS:
      name = "GETCAPS";
      logLine("GETCAPS");
      break;
    case SNDCTL_DSP_SETFMT:
      name = "SETFMT";
      logLine("SETFMT %d", *arg);
      break;
    case SNDCTL_DSP_STEREO:
      name = "STEREO";
      logLine("STEREO %d", *arg);
      break;
    case SNDCTL_DSP_SPEED:
      name = "SPEED";
      logLine("SPEED %d", *arg);
      break;
    case FAKE_SNDCTL_DSP_GETERROR:
      name = "GETERROR";
      logLine("GETERROR");
      break;
    default:
      logLine("ioctl 0x%lX", request);
      errno = EINVAL;
      return -1;
  }
  if (fails(name, EINVAL)) return -1;
  switch (request) {
    case SNDCTL_DSP_GETCAPS: *arg = caps; break;
    case SNDCTL_DSP_SETFMT: sampleBytes = *arg == AFMT_U8 ? 1 : 2; break;
    case SNDCTL_DSP_STEREO: channels = *arg ? 2 : 1; break;
    case SNDCTL_DSP_SPEED: if (*arg > 0) rate = *arg; break;
    case SNDCTL_DSP_SETFRAGMENT: if ((*arg >> 16) > 0) fragments = *arg >> 16; break;
    case FAKE_SNDCTL_DSP_GETERROR: {
      struct fakeErrInfo *e = (struct fakeErrInfo *)arg;
      memset(e, 0, sizeof *e);
      e->rec_overruns = __atomic_load_n(&overruns, __ATOMIC_SEQ_CST);
      break;
    }
    default: break;
  }
  return 0;
}

int ioctl(int d, unsigned long request, ...)
{
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (d >= 0 && d == devFd) return deviceIoctl(request, (int *)arg);
  return (int)syscall(SYS_ioctl, d, request, arg);
}

/* Sleeps until the input served so far is due at the device's rate. -1 (EINTR) when a
   signal interrupts the wait, as it would a read blocked in a real driver. */
static int waitUntilDue(long long bytes)
{
  if (io.s.start.tv_sec == 0 && io.s.start.tv_nsec == 0) clock_gettime(CLOCK_MONOTONIC, &io.s.start);
  long long bytesPerSec = (long long)rate * sampleBytes * channels;
  long long ns = bytes * 1000000000LL / bytesPerSec;
  struct timespec due = io.s.start;
  due.tv_sec += (time_t)(ns / 1000000000LL);
  due.tv_nsec += (long)(ns % 1000000000LL);
  if (due.tv_nsec >= 1000000000L) {
    due.tv_sec++;
    due.tv_nsec -= 1000000000L;
  }
  int r = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, NULL);
  if (r == EINTR) {
    errno = EINTR;
    return -1;
  }
  return 0;
}

static ssize_t deviceRead(void *dst, size_t count)
{
  if (fails("read", EIO)) return -1;
  size_t got = 0;
  while (inFd >= 0 && got < count) {
    ssize_t n = syscall(SYS_read, inFd, (char *)dst + got, count - got);
    if (n <= 0) break;
    got += (size_t)n;
  }
  if (got < count && stall) {
    /* The input is used up: block like a device that has stopped, until a signal. */
    __atomic_store_n(&stalled, 1, __ATOMIC_SEQ_CST);
    for (;;) {
      int r = poll(NULL, 0, -1);
      if (r < 0 && errno == EINTR) break;
    }
    __atomic_store_n(&stalled, 0, __ATOMIC_SEQ_CST);
    if (got > 0) syscall(SYS_lseek, inFd, -(off_t)got, SEEK_CUR);
    __atomic_add_fetch(&interrupted, 1, __ATOMIC_SEQ_CST);
    errno = EINTR;
    return -1;
  }
  if (pace && (io.s.start.tv_sec || io.s.start.tv_nsec)) {
    /* A real device keeps recording while nobody reads: a reader later than its buffer of
       `fragments` reads loses sound, which OSS counts as an overrun. */
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ns = (now.tv_sec - io.s.start.tv_sec) * 1000000000LL + (now.tv_nsec - io.s.start.tv_nsec);
    long long due = ns / 1000 * ((long long)rate * sampleBytes * channels) / 1000000;
    /* One overrun per episode, as a device counts the one loss: the reads that follow while
       the reader catches up are the same late stretch, not new losses. */
    if (due - served > (long long)fragments * (long long)count) {
      if (!behind) __atomic_add_fetch(&overruns, 1, __ATOMIC_SEQ_CST);
      behind = 1;
    } else {
      behind = 0;
    }
  }
  if (pace && waitUntilDue(served + (long long)got) < 0) {
    if (got > 0) syscall(SYS_lseek, inFd, -(off_t)got, SEEK_CUR);
    __atomic_add_fetch(&interrupted, 1, __ATOMIC_SEQ_CST);
    errno = EINTR;
    return -1;
  }
  served += (long long)got;
  __atomic_add_fetch(&reads, 1, __ATOMIC_SEQ_CST);
  if (logIO) logLine("read %zu", got);
  return (ssize_t)got;
}

ssize_t read(int d, void *dst, size_t count)
{
  if (d >= 0 && d == devFd) return deviceRead(dst, count);
  return syscall(SYS_read, d, dst, count);
}

ssize_t __read_chk(int d, void *dst, size_t count, size_t dstlen)
{
  if (count > dstlen) abort();
  return read(d, dst, count);
}

ssize_t write(int d, const void *src, size_t count)
{
  if (d >= 0 && d == devFd) {
    if (fails("write", EIO)) return -1;
    if (fails("shortwrite", 0)) count /= 2;
    if (outFd >= 0) {
      size_t done = 0;
      while (done < count) {
        ssize_t n = syscall(SYS_write, outFd, (const char *)src + done, count - done);
        if (n <= 0) break;
        done += (size_t)n;
      }
    }
    __atomic_add_fetch(&writes, 1, __ATOMIC_SEQ_CST);
    if (logIO) logLine("write %zu", count);
    return (ssize_t)count;
  }
  return syscall(SYS_write, d, src, count);
}

int close(int d)
{
  if (d >= 0 && d == devFd) {
    logLine("close");
    __atomic_store_n(&devFd, -1, __ATOMIC_SEQ_CST);
    if (inFd >= 0) syscall(SYS_close, inFd);
    if (outFd >= 0) syscall(SYS_close, outFd);
    if (logFd >= 0) syscall(SYS_close, logFd);
    inFd = outFd = logFd = -1;
    madvise(&io, sizeof io, MADV_DOFORK);
  }
  return (int)syscall(SYS_close, d);
}

/* "thread" in FAKEDSP_FAIL: once the device is open, threads that the program itself starts
   cannot be created (EAGAIN); the libraries' own threads (the toolkit's font loader, GLib's
   workers) still can, so a program with a real window gets as far as its audio thread. */
static int mainLoadStart(struct dl_phdr_info *info, size_t size, void *data)
{
  (void)size;
  const void *addr = *(const void **)data;
  for (int i = 0; i < info->dlpi_phnum; i++) {
    const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
    if (ph->p_type != PT_LOAD) continue;
    ElfW(Addr) lo = info->dlpi_addr + ph->p_vaddr;
    if ((ElfW(Addr))addr >= lo && (ElfW(Addr))addr < lo + ph->p_memsz) return 1;
  }
  return 2; /* the first object is the program itself: stop after it */
}

int pthread_create(pthread_t *t, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
  static int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
  if (!real) real = (int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *))dlsym(RTLD_NEXT, "pthread_create");
  const void *addr = (const void *)start;
  if (devFd >= 0 && fails("thread", EAGAIN) && dl_iterate_phdr(mainLoadStart, &addr) == 1)
    return EAGAIN;
  return real(t, attr, start, arg);
}
