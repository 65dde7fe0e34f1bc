// What changed in the running rig, for whoever follows it from elsewhere (a remote page, a
// session manager): program switches, parameter values from any source (dialogs, commands,
// MIDI), and the patch as a whole. Observers register here; neither the engine nor the set list
// knows who listens.
#ifndef QAF_EVENTS_H
#define QAF_EVENTS_H

struct controlObserver {
  void (*programSwitched)(int n, const char *name, void *data);  // a preset is now playing
  void (*parmChanged)(int id, int parm, float value, void *data);
  void (*patchChanged)(void *data);  // modules came or went (a layout, a command)
  void *data;
};

// UI thread. Adds an observer (null members are skipped); the number that removes it.
int addControlObserver(const controlObserver &o);
void removeControlObserver(int handle);

// UI thread. The set list switched to (or stored) preset n.
void notifyProgramSwitched(int n, const char *name);

// UI thread, from the control tick (about 30 times a second): compares every module and
// parameter with the last look and tells the observers what differs. A value that changed several
// times in between is told once, as it stands. Does nothing while no one observes.
void controlWatch();

#endif
