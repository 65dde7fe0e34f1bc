// Headless use: standard input stands in for the command entry, a GLib main loop for the
// toolkit's, so that signals end the run through the ordinary shutdown.
#include "command/headless.h"

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "base/reply.h"
#include "command/cmdparse.h"

static GMainLoop *loop = nullptr;
static bool keepAtEof = false;

static gboolean quitOnSignal(gpointer)
{
  g_main_loop_quit(loop);
  return G_SOURCE_REMOVE;
}

// Main thread. One line of standard input, or its end.
static gboolean onInput(GIOChannel *ch, GIOCondition, gpointer)
{
  gchar *line = nullptr;
  gsize len = 0;
  GIOStatus st = g_io_channel_read_line(ch, &line, &len, nullptr, nullptr);
  if (st == G_IO_STATUS_AGAIN) return G_SOURCE_CONTINUE;
  if (st != G_IO_STATUS_NORMAL) {
    g_free(line);
    if (!keepAtEof) g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
  }
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r')) line[--len] = '\0';
  const char *word = line + strspn(line, " \t");
  size_t wl = strcspn(word, " \t");
  if (wl == 4 && strncasecmp(word, "quit", 4) == 0 && word[4 + strspn(word + 4, " \t")] == '\0') {
    g_free(line);
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
  }
  cmdparse(line);
  g_free(line);
  return G_SOURCE_CONTINUE;
}

void runHeadless(bool keepRunningAtEof)
{
  keepAtEof = keepRunningAtEof;
  loop = g_main_loop_new(nullptr, FALSE);
  GIOChannel *in = g_io_channel_unix_new(0);
  // Bytes as they come: a command line is not required to be valid UTF-8.
  g_io_channel_set_encoding(in, nullptr, nullptr);
  guint inWatch = g_io_add_watch(in, (GIOCondition)(G_IO_IN | G_IO_HUP | G_IO_ERR), onInput, nullptr);
  guint sigInt = g_unix_signal_add(SIGINT, quitOnSignal, nullptr);
  guint sigTerm = g_unix_signal_add(SIGTERM, quitOnSignal, nullptr);
  g_main_loop_run(loop);
  // Whatever source is still there goes; one that removed itself is gone already.
  GSource *s;
  if ((s = g_main_context_find_source_by_id(nullptr, inWatch))) g_source_destroy(s);
  if ((s = g_main_context_find_source_by_id(nullptr, sigInt))) g_source_destroy(s);
  if ((s = g_main_context_find_source_by_id(nullptr, sigTerm))) g_source_destroy(s);
  g_io_channel_unref(in);
  g_main_loop_unref(loop);
  loop = nullptr;
}

namespace {
// Standard output, noting whether a command said that it failed.
class checkedReplies : public replySink {
 public:
  bool anyFailed = false;
  void line(const std::string &text, bool error) override
  {
    stdoutReplies().line(text, error);
    anyFailed = anyFailed || error;
  }
  void failed() override { anyFailed = true; }
};
}  // namespace

bool runCommandFile(const char *path)
{
  gchar *text = nullptr;
  GError *err = nullptr;
  if (!g_file_get_contents(path, &text, nullptr, &err)) {
    fprintf(stderr, "Cannot read the commands: %s\n", err->message);
    g_error_free(err);
    return false;
  }
  gchar **lines = g_strsplit(text, "\n", -1);
  g_free(text);
  checkedReplies out;
  int failedAt = 0;
  for (int n = 0; lines[n] && !failedAt; n++) {
    gchar *line = lines[n];
    size_t len = strlen(line);
    while (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
    const char *start = line + strspn(line, " \t");
    if (*start == '\0' || *start == '#') continue;
    std::string shown = start;  // the command parser edits the line in place
    cmdparse(line, out);
    if (out.anyFailed) {
      failedAt = n + 1;
      fprintf(stderr, "%s:%d: the command failed: %s\n", path, failedAt, shown.c_str());
    }
  }
  g_strfreev(lines);
  return failedAt == 0;
}
