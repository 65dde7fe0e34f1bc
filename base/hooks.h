// The small hook layer between the core and the user interface. The core never includes GTK;
// where it needs the interface it calls one of these, which do nothing until a front end (or a
// test) installs its functions at start-up.
#ifndef QAF_HOOKS_H
#define QAF_HOOKS_H

struct qafHooks {
  void (*repaint)();                  // redraw the whole patch canvas
  void (*closeParmDialogs)();         // destroy every open parameter dialog
  void (*sampleNameChanged)(int slot);  // a sample slot's name changed: refresh its list row
};

// Installs the front end's hooks; a null member stays a no-op.
void installHooks(const qafHooks &h);

// UI thread. Asks for the canvas to be redrawn.
void forcePaint();
// UI thread. Closes every open parameter dialog (before a layout replaces the modules).
void closeAllParmDialogs();
// UI thread. Tells the sample list that slot's name changed.
void notifySampleNameChanged(int slot);

#endif
