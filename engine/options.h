// The command line: -b/-B (the device buffer size), -d/--device (which sound device), --no-gui,
// --layout FILE, --bank FILE, --commands FILE, --rate N, --midi, --set, --remote, --remote-token,
// --remote-files and --help.
#ifndef QAF_OPTIONS_H
#define QAF_OPTIONS_H

#include <stdio.h>

#include <string>

#include "audio/devices.h"

struct qafOptions {
  bool help = false;
  bool noGui = false;
  soundDeviceChoice device;  // DEV_AUTO unless -d was given
  std::string layout;        // load at start-up when set
  std::string bank;
  std::string commands;      // --commands: text commands run at start-up, before the first pass
  int rate = 0;              // --rate: a file render's output rate; 0: the input's
  std::string midi;     // --midi: "none", "alsa" or "jack"; "" for the default
  std::string setList;  // --set: a set list to open at start-up
  std::string remote;       // --remote [ADDR:]PORT: the remote control server; "" for none
  std::string remoteToken;  // --remote-token: the token instead of a random one
  bool remoteFiles = false; // --remote-files: file commands allowed over the network
};

// Main thread, before the toolkit starts (it needs a display, which --no-gui and --help do
// without): sets help and noGui when the command line asks for them. Nothing is printed.
void prescanOptions(int argc, char **argv, qafOptions &o);

// Main thread, after the toolkit has taken its own options. "-b n"/"-B n", n = 0..5, selects the
// device buffer fs[n] (sound_buffer_size and sound_chunk_size); any other value is ignored and the
// last accepted one counts; a value that is not a number reads as 0. Unknown options get the
// option parser's diagnostic and are otherwise ignored. False, after saying why on the error
// stream, when a -d value names no device or --rate no rate from 8000 to 384000 Hz.
bool readOptions(int argc, char **argv, qafOptions &o);

void printHelp(FILE *to);

#endif
