// Reply sinks: standard output by default, the caller's own while its command runs.
#include "base/reply.h"

#include <stdarg.h>
#include <stdio.h>

namespace {
class stdoutSink : public replySink {
 public:
  void line(const std::string &text, bool) override
  {
    fwrite(text.data(), 1, text.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
  }
};
stdoutSink toStdout;
replySink *current = &toStdout;

void sayv(bool error, const char *fmt, va_list ap)
{
  gchar *text = g_strdup_vprintf(fmt, ap);
  current->line(text, error);
  g_free(text);
}
}  // namespace

replySink &stdoutReplies() { return toStdout; }
replySink &replies() { return *current; }

replyScope::replyScope(replySink &s) : previous(current) { current = &s; }
replyScope::~replyScope() { current = previous; }

void say(const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  sayv(false, fmt, ap);
  va_end(ap);
}

void sayError(const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  sayv(true, fmt, ap);
  va_end(ap);
}

void sayFailed() { current->failed(); }
