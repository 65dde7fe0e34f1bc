// The program: start-up in its fixed order, the command-line options (engine/options.cpp), the
// audio thread, the toolkit's main loop (or, with --no-gui, commands from standard input), and
// shutdown when that loop returns. The toolkit lives in the front-end module (ui/frontend.h),
// opened only when there is a window.
#include <dlfcn.h>
#include <glib.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "control/control.h"
#include "control/setlist.h"
#include "engine/audioThread.h"
#include "command/headless.h"
#include "engine/options.h"
#include "engine/soundNode.h"
#include "files/fileops.h"
#include "lv2/lv2host.h"
#include "remote/remote.h"
#include "samples/loopStore.h"
#include "ui/frontend.h"

// Where the front-end module is: installed, in the library folder's qaf/ (QAF_FRONTEND_RELDIR
// from the program's folder); in the build folder, beside the program. A module in neither
// place is reported at the installed place.
static std::string frontEndPath()
{
  char exe[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  std::string dir = ".";
  if (n > 0) {
    exe[n] = '\0';
    const char *slash = strrchr(exe, '/');
    if (slash) dir.assign(exe, slash == exe ? 1 : slash - exe);
  }
  std::string installed = dir + "/" QAF_FRONTEND_RELDIR;
  char real[PATH_MAX];
  if (realpath(installed.c_str(), real)) installed = real;  // no "bin/../" in a message
  installed += "/" QAF_FRONTEND_MODULE;
  std::string beside = dir + "/" QAF_FRONTEND_MODULE;
  if (access(installed.c_str(), F_OK) != 0 && access(beside.c_str(), F_OK) == 0) return beside;
  return installed;
}

// Main thread, at start-up. Opens the front end; without it there is no window to show, so the
// run ends here with one line that names the module and what went wrong.
static const qafFrontEndTable *loadFrontEnd()
{
  std::string path = frontEndPath();
  // Global, as if linked: GTK looks some of its own symbols up in the program's scope.
  void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
  const char *why = nullptr;
  const qafFrontEndTable *fe = nullptr;
  if (!h) {
    why = dlerror();
  } else if (auto entry = (const qafFrontEndTable *(*)())dlsym(h, QAF_FRONTEND_ENTRY)) {
    fe = entry();
    if (fe->abi != QAF_FRONTEND_ABI) why = "built for another version of qaf";
  } else {
    why = dlerror();
  }
  if (!why) return fe;
  // dlerror() often starts with the path itself.
  if (strncmp(why, path.c_str(), path.size()) == 0 && strncmp(why + path.size(), ": ", 2) == 0)
    why += path.size() + 2;
  fprintf(stderr, "Cannot open the window: %s: %s\n", path.c_str(), why);
  exit(1);
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
  const qafFrontEndTable *ui = nullptr;
  if (!opt.noGui) {
    ui = loadFrontEnd();
    ui->init(&argc, &argv);
  }
  Init_SoundNode_Data();
  initLoops();
  if (!readOptions(argc, argv, opt)) exit(1);
  remoteSettings remote;
  remote.token = opt.remoteToken;
  remote.files = opt.remoteFiles;
  if (!opt.remote.empty() && !parseRemoteAddress(opt.remote.c_str(), &remote)) {
    fprintf(stderr, "--remote takes [ADDR:]PORT (PORT 0 to 65535), not \"%s\"\n", opt.remote.c_str());
    exit(1);
  }
  // Under a session manager nothing starts before the session is known; its JACK client is
  // named after the session's client ID, and JACK is the device unless another was chosen.
  nsmSession session;
  if (!nsmBegin(argv[0], &session, ui != nullptr)) exit(0);
  if (session.active) {
    setJackClientName(session.clientId.c_str());
    if (opt.device.kind == DEV_AUTO) opt.device.kind = DEV_JACK;
  }
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
  // A render has no deadline and must give the same file every time: a plugin's worker requests
  // are then served inside the pass that makes them, not by the worker thread at its own pace.
  lv2SetSynchronousWork(soundDeviceIsOffline());
  if (ui) {
    ui->buildMainWindow();
    ui->addSetListMenuItems();
  }
  controlStart();
  // Through the same loaders as the File menu, before the first pass. Without a window no one
  // would see that a file failed to load: the run ends before any sound is processed, and a
  // file render leaves no output behind.
  bool loaded = true;
  if (!opt.bank.empty()) loaded = loadSampleBankFile(opt.bank.c_str());
  if (loaded && !opt.layout.empty()) loaded = loadLayoutFile(opt.layout.c_str(), false);
  if (loaded && !opt.setList.empty()) loaded = openSetList(opt.setList.c_str(), false);
  // Commands that build what no file holds (a plugin module, its settings) before the first
  // pass: a file render renders their patch from its first sample.
  if (loaded && !opt.commands.empty()) loaded = runCommandFile(opt.commands.c_str());
  if (session.active) {
    // The session's own files, when it has them: the set list first, then the patch as it was
    // saved (opening a set list switches to its first preset).
    bool ok = true;
    if (g_file_test(session.setList.c_str(), G_FILE_TEST_EXISTS))
      ok = openSetList(session.setList.c_str(), false);
    if (ok && g_file_test(session.layout.c_str(), G_FILE_TEST_EXISTS))
      ok = loadLayoutFile(session.layout.c_str(), false);
    nsmOpened(ok, "the session's patch or set list did not load");
  }
  if (!opt.remote.empty() && !remoteStart(remote)) {
    close_sound();
    exit(1);
  }
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
    ui->quitOnSignals();
    ui->run();
  }
  remoteStop();
  nsmEnd();
  controlStop();
  shutdown_program();
}
