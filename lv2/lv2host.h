// LV2 plugins as modules: the installed plugins (read lazily with lilv, on the UI thread), a
// module type whose records each hold one plugin instance, their controls and file parameters,
// and the one worker thread that serves them all. A plugin is instantiated, activated and given
// its state beside the running graph, like every module; the pass only runs it.
#ifndef QAF_LV2HOST_H
#define QAF_LV2HOST_H

#include <stdint.h>

#include <string>
#include <vector>

#include "base/realtime.h"

struct modRec;

// The typeList row of "LV2 Plugin": the one after the built-in types. It is not a row that
// "A n" makes: a plugin module needs its URI ("lv2 URI").
#define LV2_TYPE 20
#define LV2_MAX_AUDIO 4

// One installed plugin, as the list and the "plugins" command show it.
struct lv2PluginInfo {
  std::string uri, name, className;
  int audioIn = 0, audioOut = 0;
  std::string refused;  // why QAF cannot host it; empty when it can
};

// UI thread. Every installed plugin, sorted by name; read on first use.
const std::vector<lv2PluginInfo> &lv2Plugins();
// UI thread. The entry of a URI, or nullptr when no such plugin is installed.
const lv2PluginInfo *lv2FindPlugin(const std::string &uri);

// One control input of a plugin, in the plugin's own units.
struct lv2Control {
  std::string symbol, name, unit;
  float min = 0, max = 1, def = 0;
  bool integer = false, toggled = false, enumeration = false, logarithmic = false;
  std::vector<std::pair<float, std::string>> points;  // an enumeration's values and labels
};
// One file parameter (patch:writable with atom:Path): an impulse response, a model.
struct lv2FileParm {
  std::string property;  // the property's URI
  std::string label;
};

// UI thread. A new record of LV2_TYPE holding an instance of the plugin, activated, its
// controls at their defaults and run through two silent passes; no slot holds it yet. nullptr,
// with the reason in *why, when the plugin is not installed or cannot be hosted.
modRec *lv2MakeModule(const std::string &uri, std::string *why);
// UI thread. A record for a plugin that is not installed: it keeps the URI, the terminals,
// the control values and the state it is given, and passes silence.
modRec *lv2MakeMissing(const std::string &uri, unsigned char terms);
// UI thread. What a module of LV2_TYPE is.
bool lv2IsMissing(const modRec *m);
const std::string &lv2Uri(const modRec *m);
std::string lv2Name(const modRec *m);
const std::vector<lv2Control> &lv2Controls(const modRec *m);
const std::vector<lv2FileParm> &lv2FileParms(const modRec *m);
// Any thread. The latency the plugin reports, in frames (0 when it reports none).
int lv2Latency(const modRec *m);
bool lv2ReportsLatency(const modRec *m);

// Any thread. The control values: index as in lv2Controls. Setting is a relaxed store that the
// next pass hands to the plugin.
float lv2GetControl(const modRec *m, int k) QAF_NONBLOCKING;
void lv2SetControl(modRec *m, int k, float v) QAF_NONBLOCKING;
// The value a user's v becomes: clamped to the range, whole for integer and toggled ports, the
// nearest value of an enumeration.
float lv2ControlValue(const lv2Control &c, double v);
// The value at position t (0..1) of the control's range: logarithmic where the port is.
float lv2ControlAt(const lv2Control &c, double t);

// UI thread. Sends a file parameter's path to the plugin as a patch:Set message at the next
// pass; false (and *why) when the module has no such parameter or the path is too long.
bool lv2SetFile(modRec *m, int k, const std::string &path, std::string *why);
// The path last set for file parameter k ("" when none).
std::string lv2FilePath(const modRec *m, int k);

// UI thread. The plugin's state as text (Turtle, lilv's serialisation), with paths inside dir
// written relative to it; "" when it has none. For a missing plugin, the state it was given.
std::string lv2SaveState(modRec *m, const std::string &dir);
// UI thread, on a record no pass can see yet: restores state saved by lv2SaveState; relative
// paths are taken from dir. False when the text cannot be read.
bool lv2RestoreState(modRec *m, const std::string &state, const std::string &dir);
// The file parameters set so far, as (property URI, path); a missing plugin's as it was given
// them (lv2KeepFiles).
std::vector<std::pair<std::string, std::string>> lv2Files(const modRec *m);
void lv2KeepFiles(modRec *m, const std::vector<std::pair<std::string, std::string>> &files);
// UI thread, on a record no pass can see yet: two silent passes, so that what was just set or
// restored (files loaded by the worker among it) is in place before the record is published.
void lv2Prime(modRec *m);
// Missing plugins: the control values read from a layout, kept as they were (symbol, value).
void lv2KeepValues(modRec *m, const std::vector<std::pair<std::string, float>> &values);
std::vector<std::pair<std::string, float>> lv2Values(const modRec *m);

// UI thread (and the LV2 log of plugins that write while not in a pass): writes the lines that
// plugins logged inside passes.
void lv2FlushLog();

// Tests and offline renders: the worker's requests are served at once, inside the pass, so
// that a render is the same every time. Set before the passes start.
void lv2SetSynchronousWork(bool on);

// Audio thread, before the modules of a pass: the MIDI channel messages received since the last
// pass (status | d1 << 8 | d2 << 16), which plugins that take MIDI get at the start of the pass.
// The array stays valid until the next call.
void lv2SetPassMidi(const uint32_t *msgs, int n) QAF_NONBLOCKING;

// The module type's functions (the typeList row).
void fLv2(int slot) QAF_NONBLOCKING;
void unLv2(modRec *m);

#endif
