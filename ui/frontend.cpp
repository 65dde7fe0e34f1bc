// The module's entry point: the table of front-end calls the program makes. The module resolves
// the core against the program that opens it; it carries no core of its own.
#include "ui/frontend.h"

#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>

#include "ui/ui_parts.h"

// Main thread, from the main loop. Ctrl-C or a termination request ends the program through the
// ordinary shutdown, so the device is closed and what a back end writes is complete.
static gboolean quitOnSignal(gpointer)
{
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

static void quitOnSignals()
{
  g_unix_signal_add(SIGINT, quitOnSignal, nullptr);
  g_unix_signal_add(SIGTERM, quitOnSignal, nullptr);
}

static const qafFrontEndTable table = {
    QAF_FRONTEND_ABI, gtk_init, buildMainWindow, addSetListMenuItems, quitOnSignals, gtk_main,
};

extern "C" const qafFrontEndTable *qafFrontEnd()
{
  return &table;
}
