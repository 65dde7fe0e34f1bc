// The one worker thread that serves every plugin's worker:schedule, the rings that carry the
// requests to it and its answers back to the pass, and the log that plugins write: a line
// written inside a pass waits in a ring until the UI thread prints it.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "base/reply.h"
#include "lv2/lv2internal.h"


// ---- Rings ----------------------------------------------------------------------------------

// Audio thread or a worker: the producer's side.
bool lv2Ring::write(const void *a, uint32_t na, const void *b, uint32_t nb) QAF_NONBLOCKING
{
  uint32_t size = na + nb, h = head.load(std::memory_order_relaxed),
           t = tail.load(std::memory_order_acquire);
  if (cap - (h - t) < size + 4) return false;
  auto put = [&](const void *src, uint32_t n, uint32_t at) {
    const uint8_t *s = (const uint8_t *)src;
    for (uint32_t k = 0; k < n; k++) buf[(at + k) % cap] = s[k];
  };
  put(&size, 4, h);
  put(a, na, h + 4);
  put(b, nb, h + 4 + na);
  head.store(h + 4 + size, std::memory_order_release);
  return true;
}

// The consumer's side.
uint32_t lv2Ring::peek() QAF_NONBLOCKING
{
  uint32_t t = tail.load(std::memory_order_relaxed), h = head.load(std::memory_order_acquire);
  if (h == t) return 0;
  uint32_t size;
  uint8_t *d = (uint8_t *)&size;
  for (uint32_t k = 0; k < 4; k++) d[k] = buf[(t + k) % cap];
  return size;
}

// The consumer's side.
uint32_t lv2Ring::read(void *dst, uint32_t max) QAF_NONBLOCKING
{
  uint32_t size = peek();
  if (!size) return 0;
  uint32_t t = tail.load(std::memory_order_relaxed);
  uint8_t *d = (uint8_t *)dst;
  for (uint32_t k = 0; k < size && k < max; k++) d[k] = buf[(t + 4 + k) % cap];
  tail.store(t + 4 + size, std::memory_order_release);
  return size;
}

// ---- The worker -------------------------------------------------------------------------------

static std::mutex workers;  // the list, and the serving of one round of requests
static std::vector<lv2Inst *> served;
static std::thread thread;
static bool stopping;
static bool synchronous;
// The worker looks at the request rings this often: the pass then needs no system call to wake
// it, and a file a plugin loads (an impulse response, a model) is started within 2 ms.
static const int pollMicroseconds = 2000;

void lv2SetSynchronousWork(bool on) { synchronous = on; }

// The worker: the plugin's answer goes into its ring of responses.
static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, uint32_t size, const void *data)
{
  lv2Inst *p = (lv2Inst *)h;
  return p->rt->responses.write(data, size, nullptr, 0) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
}

static void serve(lv2Inst *p)
{
  static uint8_t msg[LV2_RING_BYTES];
  while (uint32_t n = p->rt->requests.read(msg, sizeof msg))
    p->worker->work(lilv_instance_get_handle(p->instance), respond, p, n, msg);
}

static std::condition_variable joined;  // a plugin joined, or the worker is to stop

static void workerLoop()
{
  for (;;) {
    {
      std::unique_lock<std::mutex> g(workers);
      // With no plugin to serve the worker sleeps until one joins.
      joined.wait(g, [] { return stopping || !served.empty(); });
      if (stopping) return;
      for (lv2Inst *p : served) serve(p);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(pollMicroseconds));
  }
}

static void stopWorker()
{
  {
    std::lock_guard<std::mutex> g(workers);
    stopping = true;
  }
  joined.notify_all();
  if (thread.joinable()) thread.join();
}

void lv2WorkerAdd(lv2Inst *p)
{
  static bool started = false;
  if (!started) {
    started = true;
    thread = std::thread(workerLoop);
    atexit(stopWorker);
  }
  {
    std::lock_guard<std::mutex> g(workers);
    served.push_back(p);
  }
  joined.notify_all();
}

std::unique_lock<std::mutex> lv2WorkerHold() { return std::unique_lock<std::mutex>(workers); }

void lv2WorkerRemove(lv2Inst *p)
{
  std::lock_guard<std::mutex> g(workers);
  served.erase(std::remove(served.begin(), served.end(), p), served.end());
}

// Audio thread (the plugin's run), or the thread that builds or restores it.
LV2_Worker_Status lv2ScheduleWork(LV2_Worker_Schedule_Handle h, uint32_t size,
                                  const void *data) QAF_NONBLOCKING
{
  lv2Inst *p = (lv2Inst *)h;
  if (!p->worker) return LV2_WORKER_ERR_UNKNOWN;
  // Outside a pass, or in a render where the same input must give the same output, the work
  // is done here and now; its answer is handed over after the plugin's run.
  if (synchronous || !p->rt->inPass) {
    QAF_RT_EXEMPT_BEGIN
    p->worker->work(lilv_instance_get_handle(p->instance), respond, p, size, data);
    QAF_RT_EXEMPT_END
    return LV2_WORKER_SUCCESS;
  }
  if (!p->rt->requests.write(data, size, nullptr, 0)) return LV2_WORKER_ERR_NO_SPACE;
  return LV2_WORKER_SUCCESS;
}

// Audio thread, after the plugin's run.
void lv2DeliverResponses(lv2Inst *p) QAF_NONBLOCKING
{
  if (!p->worker) return;
  uint8_t *msg = p->rt->scratch;
  while (uint32_t n = p->rt->responses.peek()) {
    if (n > sizeof p->rt->scratch) {
      p->rt->responses.read(msg, 0);  // larger than any answer the scratch holds: dropped
      continue;
    }
    p->rt->responses.read(msg, n);
    QAF_RT_EXEMPT_BEGIN  // the plugin's own code
    p->worker->work_response(lilv_instance_get_handle(p->instance), n, msg);
    QAF_RT_EXEMPT_END
  }
  if (p->worker->end_run) {
    QAF_RT_EXEMPT_BEGIN
    p->worker->end_run(lilv_instance_get_handle(p->instance));
    QAF_RT_EXEMPT_END
  }
}

// ---- The log ----------------------------------------------------------------------------------

static lv2Ring logRing;
static std::atomic_flag logBusy = ATOMIC_FLAG_INIT;  // one writer at a time (a rendered block
                                                     // runs plugins on two threads)

int lv2LogVPrintf(LV2_Log_Handle h, LV2_URID, const char *fmt, va_list ap)
{
  lv2Inst *p = (lv2Inst *)h;
  char line[256];
  int n = vsnprintf(line, sizeof line, fmt, ap);
  if (n < 0) return n;
  size_t len = strnlen(line, sizeof line);
  while (len && line[len - 1] == '\n') line[--len] = 0;
  if (!p || !p->rt->inPass) {
    say("%s: %s", p && p->desc ? p->desc->name.c_str() : "LV2", line);
    return n;
  }
  if (!logRing.buf) return n;  // no ring yet: nothing built outside a pass logged before
  const char *who = p && p->desc ? p->desc->name.c_str() : "LV2";
  char head[64];
  int hn = snprintf(head, sizeof head, "%.50s: ", who);
  if (logBusy.test_and_set(std::memory_order_acquire)) return n;  // the other thread logs: dropped
  logRing.write(head, (uint32_t)std::min(hn, (int)sizeof head - 1), line, (uint32_t)len);
  logBusy.clear(std::memory_order_release);
  return n;
}

int lv2LogPrintf(LV2_Log_Handle h, LV2_URID type, const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  int n = lv2LogVPrintf(h, type, fmt, ap);
  va_end(ap);
  return n;
}

void lv2LogReady()
{
  if (logRing.buf) return;
  logRing.cap = LV2_RING_BYTES;
  logRing.buf = (uint8_t *)rtAlloc(logRing.cap);
}

void lv2FlushLog()
{
  char line[LV2_RING_BYTES];
  while (uint32_t n = logRing.buf ? logRing.read(line, sizeof line - 1) : 0) {
    line[std::min<uint32_t>(n, sizeof line - 1)] = 0;
    say("%s", line);
  }
}
