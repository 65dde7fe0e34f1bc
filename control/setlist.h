// Set lists (.qset, a GKeyFile text file): a name, an optional sample bank, and up to 128
// presets, one per program number, each a layout file and its own MIDI mappings by slot and
// parameter index. Program changes switch between them.
#ifndef QAF_SETLIST_H
#define QAF_SETLIST_H

#include <string>
#include <vector>

#define SET_PRESETS 128

// A preset's mapping: the module is named by its slot in the preset's layout.
struct presetMapping {
  int channel;  // 1..16, 0: any
  int cc;
  int slot, parm;
  bool ranged;
  float lo, hi;
  int mode;     // MAP_LINEAR, MAP_SWITCH, MAP_TOGGLE
  bool operator==(const presetMapping &o) const
  {
    return channel == o.channel && cc == o.cc && slot == o.slot && parm == o.parm &&
           ranged == o.ranged && (!ranged || (lo == o.lo && hi == o.hi)) && mode == o.mode;
  }
};

struct presetEntry {
  bool used = false;
  std::string name;
  std::string layout;  // as written in the file; relative names resolve against the folder
  std::vector<presetMapping> maps;
  bool operator==(const presetEntry &o) const
  {
    return used == o.used && name == o.name && layout == o.layout && maps == o.maps;
  }
};

struct setList {
  std::string name = "Set List";
  std::string bank;    // sample bank loaded when the set list opens; "" for none
  presetEntry preset[SET_PRESETS];
  bool operator==(const setList &o) const
  {
    if (name != o.name || bank != o.bank) return false;
    for (int i = 0; i < SET_PRESETS; i++)
      if (!(preset[i] == o.preset[i])) return false;
    return true;
  }
};

// Any thread. Reads a set list file whole; false with the first problem in *problem (the file
// is not named there) when it cannot be read or is malformed.
bool readSetList(const char *file, setList &out, std::string *problem);
// Any thread. Writes the set list; false with the reason in *problem.
bool writeSetList(const char *file, const setList &s, std::string *problem);

// Parses "CH CC X PARM [MIN MAX] [switch|toggle]" (CH 1..16 or '*'; X a module ID or slot, as
// the caller reads it) from the words; false with the reason in *why.
bool parseMapWords(const std::vector<std::string> &w, int *channel, int *cc, int *x, int *parm,
                   bool *ranged, float *lo, float *hi, int *mode, std::string *why);
// The same words back: "1 7 2 0 0 128 switch" ('*' for any channel, MIN MAX only when ranged).
std::string mapWords(int channel, int cc, int x, int parm, bool ranged, float lo, float hi,
                     int mode);

// ---- The running set list (UI thread) ----------------------------------------------------------

// Opens a set list: refused with one line naming the file and the first problem, and nothing
// changes; otherwise its bank loads and its lowest-numbered preset is switched to (with a fade
// when fade is set: at start-up, before the first pass, there is nothing to fade).
bool openSetList(const char *file, bool fade = true);
// Saves the running set list; one line on failure.
bool saveSetList(const char *file);
// Switches to the preset of program n (bank select may add 128 per bank; a set list holds bank
// 0). With fade the output fades out and back in around the swap. One line when there is no such
// preset; a layout that fails to load leaves the running patch as it was. True when switched.
bool switchProgram(int n, bool fade = true);
// Saves the current patch as a layout file beside the set list and makes it preset n, with the
// current mappings (by slot). name "" keeps the preset's name or makes "Preset n".
bool storePreset(int n, const char *name);
// The running set list and the folder its relative layout names resolve against.
const setList &currentSetList();
const std::string &setListFolder();
// The program last switched to (-1: none).
int currentProgram();
// The sample bank the running set list loads when it opens (the `bank` command sets it).
void setListUseBank(const char *file);
// Forgets the running set list (a new, empty one in the current folder).
void resetSetList();

#endif
