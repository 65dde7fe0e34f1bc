// Headless use: standard input stands in for the command entry, a GLib main loop for the
// toolkit's, so that signals end the run through the ordinary shutdown.
#include "command/headless.h"

#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <string.h>
#include <strings.h>

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
