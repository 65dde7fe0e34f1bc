// Live control: MIDI input (raw bytes from JACK, decoded events from the ALSA sequencer), control
// change mappings onto module parameters, MIDI learn, and program changes handed to the UI
// thread. The audio thread applies control changes at the start of a pass, from a table the UI
// thread builds beside and publishes; nothing it does allocates, prints, locks or waits.
#ifndef QAF_CONTROL_H
#define QAF_CONTROL_H

#include <string>
#include <vector>

#include "base/realtime.h"

// ---- Raw MIDI bytes ---------------------------------------------------------------------------

// One channel message: status (0x80..0xEF, channel in the low nibble) and its data bytes.
struct midiMessage {
  unsigned char status;
  unsigned char d1, d2;
};

// A MIDI byte stream parser: running status, real-time bytes anywhere (ignored), system
// exclusive and system common messages skipped (they cancel running status). Any thread; one
// parser per stream.
struct midiByteParser {
  unsigned char running = 0;  // the status data bytes belong to; 0: none
  unsigned char data[2] = {0, 0};
  int have = 0;
  bool inSysex = false;
  // Takes one byte; true when it completes a channel message, which is then in *out.
  bool feed(unsigned char b, midiMessage *out) QAF_NONBLOCKING;
};

// ---- Parameters ---------------------------------------------------------------------------------

// What one parameter of a type is, read from the type's descriptor the way its dialog reads it.
struct parmInfo {
  char kind;         // '!' (float slider 0..256), '#' (whole numbers lo..hi), '%' (radio group)
  std::string name;  // the slider's label; for a radio group its options joined with '/'
  float lo, hi;      // the range; for a radio group the option indices 0..options-1
  int options;       // radio group: the number of options; else 0
  bool log = false;  // a plugin's control spread logarithmically over its range
  std::string unit;  // a plugin's unit ("dB", "Hz"), else ""
  int control = -1;  // a plugin's control index, else -1
};
// Number of parameters of a type (0 when it has no dialog).
int parmCount(int type);
// False when the type has no parameter of that index.
bool describeParm(int type, int parm, parmInfo *out);
struct modRec;
// The parameters of one module: its type's, or, for a plugin module, its plugin's controls in
// the plugin's own units ('!' with lo..hi the port's range, '#' for whole, toggled and
// enumerated ports).
bool describeModParm(const modRec *m, int parm, parmInfo *out);
int modParmCount(const modRec *m);
// The plugin commands ("plugins", "lv2", "file"): false when the word is none of them.
bool pluginCommand(const std::string &word, const std::vector<std::string> &w,
                   const std::string &rest);
// A module's name for the user: its type's, or a plugin module's plugin's.
std::string moduleName(const modRec *m);
// Any thread, the audio thread among them: a parameter's value, and setting it (one relaxed
// store that the next pass uses).
float modParmGet(const modRec *m, int parm) QAF_NONBLOCKING;
void modParmSet(modRec *m, int parm, float v) QAF_NONBLOCKING;
// The value a user's v becomes for the module's parameter (dialogValue, or the plugin port's
// own rule: clamped, whole where the port is, the nearest option of an enumeration).
float modParmValue(const modRec *m, const parmInfo &p, double v);
// The value a dialog writes for v: clamped to the range; '#' whole (truncated toward zero, as
// its slider snaps); '%' the option index v (truncated) plus 0.01, as the radio group writes.
float dialogValue(const parmInfo &p, double v);

// ---- Mappings -------------------------------------------------------------------------------------

enum { MAP_LINEAR = 0, MAP_SWITCH = 1, MAP_TOGGLE = 2 };

// One control change driving one parameter of one module.
struct ctlMapping {
  int channel;       // 1..16, or 0 for any channel
  int cc;            // 0..127
  int slot, id;      // the module: both must still match when it is written
  int parm;
  bool ranged;       // the user narrowed the range (lo/hi below are then the user's)
  float lo, hi;      // in the parameter's own units (option indices for a radio group)
  int mode;          // MAP_LINEAR, MAP_SWITCH, MAP_TOGGLE
  char kind;         // the parameter's descriptor kind
  int options;       // radio group: number of options
  bool log = false;  // spread logarithmically (a plugin's logarithmic port)
};

// The value a control change of value (0..127) writes through m, given the parameter's current
// value (a toggle flips away from whichever end it is nearer); pressed: an odd number of presses
// (values >= 64) arrived since the last pass. False when the message writes nothing (a toggle
// without a press). Any thread; no state.
bool mappedValue(const ctlMapping &m, int value, bool pressed, float current, float *out);

// ---- The audio thread's side ----------------------------------------------------------------------

// Audio thread (or the JACK callback), at the start of every pass: applies the
// latest value of every controller that changed since the last pass through the mapping table.
void controlPass() QAF_NONBLOCKING;

// The MIDI receiver (the JACK callback or the sequencer thread; never allocates or waits): one
// channel message. A control change is latched for the next pass (a flood leaves the latest
// value), a program change goes to the UI thread, a learn waiting for a controller takes it;
// notes and everything else are ignored. Bank select (CC 0 MSB, CC 32 LSB) is remembered per
// channel for the program changes after it.
void midiReceive(const midiMessage &m) QAF_NONBLOCKING;

// ---- The UI thread's side ---------------------------------------------------------------------------

// UI thread. Adds a mapping (replacing one of the same controller, channel and parameter) and
// swaps the new table in. False, with the reason in *why, when the module or parameter does not
// exist or the range lies outside the parameter's.
bool controlMap(int channel, int cc, int id, int parm, bool ranged, float lo, float hi, int mode,
                std::string *why);
// UI thread. Removes every mapping of controller cc on that channel (0: the "any channel" ones);
// the number removed.
int controlUnmap(int channel, int cc);
// UI thread. Removes every mapping onto one module's parameter; the number removed.
int controlForget(int id, int parm);
// UI thread. Removes every mapping.
void controlClearMaps();
// UI thread. Drops the mappings whose module is gone or replaced (slot and ID no longer match).
void controlModulesChanged();
// UI thread. The mappings as they stand.
const std::vector<ctlMapping> &controlMappings();
// One mapping as a line: "CC 7 ch 1 -> module 102 parameter 0 (VolumeA) 0..256".
std::string mappingLine(const ctlMapping &m);
// "CC 7 ch 1" (or "CC 7 any ch") for every mapping of a module's parameter, joined with ", ";
// "" when there is none.
std::string controlMappingLabel(int id, int parm);

// UI thread. The next control change received is mapped onto the module's parameter. Arming
// again moves the target; cancel with controlLearnCancel.
void controlLearn(int id, int parm);
void controlLearnCancel();
// The learn target (true while one waits).
bool controlLearning(int *id, int *parm);

// UI thread, about 30 times a second (a GLib timeout that controlStart adds): switches presets
// for program changes received, completes a learn and prints what plugins logged in passes.
void controlTick();

// ---- MIDI input --------------------------------------------------------------------------------------

enum midiInputKind { MIDI_NONE, MIDI_ALSA, MIDI_JACK };
// Main thread, before the sound device opens: the input in use. The JACK back end then registers
// its MIDI port "midi_in" when it is MIDI_JACK.
void controlSetInput(midiInputKind k);
midiInputKind controlInput();
// Main thread, after the device opened: starts the sequencer thread for MIDI_ALSA (one line and
// no MIDI input where the sequencer cannot be opened) and the UI tick.
void controlStart();
// Main thread, at shutdown: ends the sequencer thread.
void controlStop();
// The "midi" command's lines: the input's state and the last message received.
std::vector<std::string> midiStatusLines();

// The ALSA sequencer input (control/alsaSeq.cpp): a client "QAF" with the writable port
// "midi_in", read on a thread of its own. False, with one line printed, when the sequencer
// cannot be opened.
bool startAlsaSeqInput();
void stopAlsaSeqInput();
// The sequencer client and port numbers while it runs (tests connect to them); -1 otherwise.
int alsaSeqClientId();
int alsaSeqPortId();

// Records a message as the last one received (the receivers call it for every message,
// including the ignored ones). Any thread.
void noteMidiMessage(unsigned char status, unsigned char d1, unsigned char d2);

// ---- Text commands -------------------------------------------------------------------------------

// UI thread. The word commands (load, bank, save, set, map, unmap, maps, program, presets,
// parms, midi, setlist, saveset, store); true when the line was one of them, which has then run,
// its replies in replies() (base/reply.h). The one-letter commands are never taken.
bool controlCommand(const char *line);

#endif
