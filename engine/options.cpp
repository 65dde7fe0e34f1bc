// The command line, read with the standard option parser. -b/-B keep their old meaning exactly;
// the long options and -d are additions that leave it alone.
#include "engine/options.h"

#include <getopt.h>
#include <stdlib.h>
#include <string.h>

#include "engine/soundNode.h"

void prescanOptions(int argc, char **argv, qafOptions &o)
{
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--") == 0) break;
    if (strcmp(argv[i], "--help") == 0) o.help = true;
    if (strcmp(argv[i], "--no-gui") == 0) o.noGui = true;
    // The value of an option that takes one is never an option itself.
    if (strcmp(argv[i], "--layout") == 0 || strcmp(argv[i], "--bank") == 0 ||
        strcmp(argv[i], "--commands") == 0 ||
        strcmp(argv[i], "--midi") == 0 || strcmp(argv[i], "--set") == 0 ||
        strcmp(argv[i], "--device") == 0 || strcmp(argv[i], "-d") == 0 ||
        strcmp(argv[i], "--rate") == 0 || strcmp(argv[i], "--remote") == 0 ||
        strcmp(argv[i], "--remote-token") == 0 ||
        strcmp(argv[i], "-b") == 0 || strcmp(argv[i], "-B") == 0)
      i++;
  }
}

bool readOptions(int argc, char **argv, qafOptions &o)
{
  static const struct option longOpts[] = {
      {"device", required_argument, nullptr, 'd'},
      {"no-gui", no_argument, nullptr, 'n'},
      {"layout", required_argument, nullptr, 'l'},
      {"bank", required_argument, nullptr, 'k'},
      {"commands", required_argument, nullptr, 'c'},
      {"help", no_argument, nullptr, 'h'},
      {"rate", required_argument, nullptr, 'r'},
      {"midi", required_argument, nullptr, 'm'},
      {"set", required_argument, nullptr, 's'},
      {"remote", required_argument, nullptr, 'R'},
      {"remote-token", required_argument, nullptr, 'T'},
      {"remote-files", no_argument, nullptr, 'F'},
      {nullptr, 0, nullptr, 0},
  };
  bool ok = true;
  optind = 0;  // a fresh scan, also when called again
  int c;
  while ((c = getopt_long(argc, argv, "b:B:d:", longOpts, nullptr)) != -1) {
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
      case 'd':
        if (!parseSoundDevice(optarg, o.device)) {
          fprintf(stderr, "Unknown sound device \"%s\": -d takes oss[:PATH], alsa[:PCM], jack "
                          "or file:IN:OUT\n", optarg);
          ok = false;
        }
        break;
      case 'n': o.noGui = true; break;
      case 'l': o.layout = optarg; break;
      case 'k': o.bank = optarg; break;
      case 'c': o.commands = optarg; break;
      case 'h': o.help = true; break;
      case 'r': {
        char *end = nullptr;
        long n = strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || n < 8000 || n > 384000) {
          fprintf(stderr, "--rate takes a sample rate from 8000 to 384000 Hz, not \"%s\"\n",
                  optarg);
          ok = false;
        } else {
          o.rate = (int)n;
        }
        break;
      }
      case 'm':
        o.midi = optarg;
        if (o.midi != "none" && o.midi != "alsa" && o.midi != "jack") {
          fprintf(stderr, "Unknown MIDI input \"%s\": --midi takes none, alsa or jack\n", optarg);
          ok = false;
        }
        break;
      case 's': o.setList = optarg; break;
      case 'R': o.remote = optarg; break;
      case 'T': {
        // It goes into an address as it is: letters, digits and "-._~" only.
        size_t n = strlen(optarg);
        if (n < 8 || n > 128 || strspn(optarg, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                "0123456789-._~") != n) {
          fprintf(stderr, "--remote-token takes 8 to 128 letters, digits or -._~\n");
          ok = false;
        } else {
          o.remoteToken = optarg;
        }
        break;
      }
      case 'F': o.remoteFiles = true; break;
      default:  // the parser has printed its diagnostic
        break;
    }
  }
  return ok;
}

void printHelp(FILE *to)
{
  fputs(
      "Usage: qaf [OPTION]...\n"
      "A real-time modular audio effects processor: sound from the device's input runs\n"
      "through a patch of effect modules to its output.\n"
      "\n"
      "  -b, -B N           device buffer of 128, 256, 512, 1024, 2048 or 4096 bytes for\n"
      "                     N = 0..5 (default 0: 128 bytes, 32 frames); other values are\n"
      "                     ignored\n"
      "  -d, --device DEV   the sound device:\n"
      "                       oss[:PATH]            OSS, /dev/dsp unless PATH is given\n"
      "                       alsa[:PCM]            ALSA, the PCM \"default\" unless named\n"
      "                       jack                  a JACK client \"qaf\" (ports in_1, in_2,\n"
      "                                             out_1, out_2)\n"
      "                       file:IN:OUT           render the sound file IN (WAV, FLAC, Ogg,\n"
      "                                             AIFF, ...; mono or stereo, 1000 to 768000\n"
      "                                             Hz) into a new file OUT as fast as\n"
      "                                             possible, then stop; OUT's extension\n"
      "                                             (.wav, .flac, .ogg, .aiff) names its format\n"
      "                     without -d: OSS on /dev/dsp when it opens, else ALSA \"default\"\n"
      "      --no-gui       no window: text commands are read from standard input, one a\n"
      "                     line; \"quit\" or the end of input stops (a file render runs on\n"
      "                     to the end of its input)\n"
      "      --layout FILE  load a layout (.lyo) at start-up\n"
      "      --bank FILE    load a sample bank (.sbk) at start-up\n"
      "      --commands FILE\n"
      "                     run the text commands of FILE, one a line, after --layout,\n"
      "                     --bank and --set and before any sound is processed: a file\n"
      "                     render renders the patch they make from its first sample;\n"
      "                     without a window the run ends at a command that fails\n"
      "      --rate N       a file render's output rate in Hz (default: the input's)\n"
      "      --midi IN      MIDI input: none, alsa (an ALSA sequencer client \"QAF\" with\n"
      "                     the port \"midi_in\") or jack (the port qaf:midi_in, with -d\n"
      "                     jack); default: jack with -d jack, else alsa\n"
      "      --set FILE     open a set list (.qset) at start-up; program changes switch\n"
      "                     its presets\n"
      "      --remote [ADDR:]PORT\n"
      "                     a remote control page and WebSocket on PORT (0: any free\n"
      "                     port), on 127.0.0.1 unless ADDR is given (0.0.0.0: every\n"
      "                     interface); the address with its token goes to the error\n"
      "                     stream\n"
      "      --remote-token T  the token instead of a random one for each run\n"
      "      --remote-files    allow load, save, bank, setlist, saveset and store over\n"
      "                     the network\n"
      "      --help         show this help and stop\n"
      "\n"
      "Render a recording through a saved layout, without a display:\n"
      "  qaf --no-gui -d file:in.wav:out.wav --layout song.lyo\n"
      "or through a plugin module made by the commands of a file:\n"
      "  qaf --no-gui -d file:in.wav:out.wav --commands patch.txt\n"
      "\n"
      "Word commands, besides A, C, D, R and @ (the command entry, or standard input\n"
      "with --no-gui):\n"
      "  load FILE / save FILE    read or write a layout; bank FILE reads a sample bank\n"
      "  set ID PARM VALUE        set parameter PARM (0 = the first) of module ID\n"
      "  map CH CC ID PARM [MIN MAX] [switch|toggle]\n"
      "                           control change CC on channel CH (1-16 or *) drives the\n"
      "                           parameter; unmap CH CC removes it; maps lists them\n"
      "  program N                switch to preset N of the set list\n"
      "  setlist FILE / saveset FILE / store N [NAME]\n"
      "                           open or save a set list; store the patch as preset N\n"
      "  presets                  the set list, one preset a line, * on the current one\n"
      "  parms [ID]               the modules, or module ID's parameters with their values\n"
      "  midi                     the MIDI input and the last message received\n"
      "  status                   load, xruns and the peak levels since the last status\n"
      "  tuner                    the note Line In plays\n"
      "\n"
      "Under a session manager (NSM_URL set), QAF waits for the session to open, names\n"
      "its JACK client after the session's client ID and keeps its patch and set list\n"
      "in the session's folder.\n",
      to);
}
