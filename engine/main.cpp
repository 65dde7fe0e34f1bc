// The program: start-up in its fixed order, the command-line options, the audio thread, the
// toolkit's main loop, and shutdown when that loop returns.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "audio/cardfeed.h"
#include "engine/audioThread.h"
#include "engine/soundNode.h"
#include "samples/loopStore.h"
#include "ui/ui_parts.h"

// Main thread. "-b n" or "-B n", n = 0..5, selects the device buffer size fs[n]; any other
// value is ignored and the last accepted option counts. A value that is not a number reads as 0.
static void readOptions(int argc, char **argv)
{
  int c;
  while ((c = getopt(argc, argv, "b:B:")) != -1) {
    switch (c) {
      case 'b':
      case 'B': {
        long n = strtol(optarg, nullptr, 10);
        if (n >= 0 && n <= 5) {
          sound_buffer_size = fs[n];
          sound_chunk_size = sound_buffer_size / 2;
        }
        break;
      }
      default:  // getopt has printed its diagnostic
        break;
    }
  }
}

// Main thread, from the main loop. Ctrl-C or a termination request ends the program through the
// ordinary shutdown, so the device is closed and what a back end writes is complete.
static gboolean quitOnSignal(gpointer)
{
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

int main(int argc, char **argv)
{
  // The log is read while the program runs, often through a pipe: one line at a time.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  printf("I compiled\n");
  gtk_init(&argc, &argv);
  Init_SoundNode_Data();
  initLoops();
  readOptions(argc, argv);
  printf("Sound buffer size: %d bytes.\n", sound_buffer_size);
  // A device that cannot be set up is not acted on here: the audio thread's first read fails
  // and ends the program.
  open_sound(44100, 16, 2, 5, sound_buffer_size);
  sound_chunk_size = sound_buffer_size / 2;
  buildMainWindow();

  if (audio_thread_launch() != 0) {
    printf("Audio thread creation failed!\n");
    close_sound();
    exit(1);
  }
  g_unix_signal_add(SIGINT, quitOnSignal, nullptr);
  g_unix_signal_add(SIGTERM, quitOnSignal, nullptr);
  gtk_main();
  shutdown_program();
}
