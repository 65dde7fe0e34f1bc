// The program: start-up in its fixed order, the command-line options (engine/options.cpp), the
// audio thread, the toolkit's main loop (or, with --no-gui, commands from standard input), and
// shutdown when that loop returns.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "control/control.h"
#include "control/setlist.h"
#include "engine/audioThread.h"
#include "engine/headless.h"
#include "engine/options.h"
#include "engine/soundNode.h"
#include "files/fileops.h"
#include "samples/loopStore.h"
#include "ui/ui_parts.h"

// Main thread, from the main loop. Ctrl-C or a termination request ends the program through the
// ordinary shutdown, so the device is closed and what a back end writes is complete.
static gboolean quitOnSignal(gpointer)
{
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

int main(int argc, char **argv)
{
  qafOptions opt;
  prescanOptions(argc, argv, opt);
  if (opt.help) {
    printHelp(stdout);
    return 0;
  }
  // The log is read while the program runs, often through a pipe: one line at a time.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  printf("I compiled\n");
  if (!opt.noGui) gtk_init(&argc, &argv);
  Init_SoundNode_Data();
  initLoops();
  if (!readOptions(argc, argv, opt)) exit(1);
  printf("Sound buffer size: %d bytes.\n", sound_buffer_size);
  chooseSoundDevice(opt.device);
  bool fileRender = opt.device.kind == DEV_FILE;
  if (opt.rate && !fileRender)
    fprintf(stderr, "--rate sets the output rate of a file render (-d file:IN:OUT); ignored\n");
  wav_out_rate = opt.rate;
  // MIDI input beside the device: JACK's own port under JACK, else the ALSA sequencer.
  if (opt.midi == "jack" && opt.device.kind != DEV_JACK) {
    fprintf(stderr, "MIDI input is off: --midi jack needs -d jack\n");
    controlSetInput(MIDI_NONE);
  } else if (opt.midi == "none") {
    controlSetInput(MIDI_NONE);
  } else {
    controlSetInput(opt.midi == "alsa" || opt.device.kind != DEV_JACK ? MIDI_ALSA : MIDI_JACK);
  }
  // A device that cannot be set up is not acted on here: the audio thread's first read fails
  // and ends the program. A file render has nothing to do without its files: it ends at once.
  if (open_sound(44100, 16, 2, 5, sound_buffer_size) != 0 && fileRender) exit(1);
  sound_chunk_size = sound_buffer_size / 2;
  if (!opt.noGui) {
    buildMainWindow();
    addSetListMenuItems();
  }
  controlStart();
  // Through the same loaders as the File menu, before the first pass. Without a window no one
  // would see that a file failed to load: the run ends before any sound is processed, and a
  // file render leaves no output behind.
  bool loaded = true;
  if (!opt.bank.empty()) loaded = loadSampleBankFile(opt.bank.c_str());
  if (loaded && !opt.layout.empty()) loaded = loadLayoutFile(opt.layout.c_str(), false);
  if (loaded && !opt.setList.empty()) loaded = openSetList(opt.setList.c_str(), false);
  if (!loaded && opt.noGui) {
    if (fileRender) wavDiscardRender();
    close_sound();
    exit(1);
  }

  if (audio_thread_launch() != 0) {
    printf("Audio thread creation failed!\n");
    close_sound();
    exit(1);
  }
  if (opt.noGui) {
    // A file render runs to the end of its input even when standard input is empty.
    runHeadless(opt.device.kind == DEV_FILE);
  } else {
    g_unix_signal_add(SIGINT, quitOnSignal, nullptr);
    g_unix_signal_add(SIGTERM, quitOnSignal, nullptr);
    gtk_main();
  }
  controlStop();
  shutdown_program();
}
