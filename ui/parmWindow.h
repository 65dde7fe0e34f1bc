// What every parameter dialog shares, built-in or plugin: the window and its bookkeeping in
// MOD_PARMBOX / MOD_PARMBOX_HANDLE, the right click that offers MIDI learn, and the timer that
// keeps open dialogs in step with values changed elsewhere. parmDialog.cpp has these;
// pluginDialog.cpp builds plugin modules' dialogs from them. Everything here runs on the UI
// thread.
#ifndef QAF_PARMWINDOW_H
#define QAF_PARMWINDOW_H

#include <gtk/gtk.h>

// A dialog window titled "<module name> ID: <id>"; closing it clears the slot's flag.
GtkWidget *newParmWindow(int slot);
// Shows the window with its children and records it as the slot's dialog.
void showParmWindow(GtkWidget *win, int slot);
// Registers parameter k's control in the slot's dialog: ctl takes the right click that offers
// MIDI learn and carries the tooltip naming its mapping, after about (when given) on a line of
// its own; label (may be null) shows name, and the mapping on a second line.
void addParmControl(int slot, int k, GtkWidget *ctl, GtkWidget *label, const char *name,
                    const char *about = nullptr);
// A right click on w offers MIDI learn for parameter k (one parameter may have several
// widgets, as the buttons of a group).
void offerLearn(GtkWidget *w, int slot, int k);
// The dialog's own follower, called with data by the timer (and parmDialogFollow) while the
// dialog is open: it shows the values its controls stand for. data belongs to the window.
void setParmFollower(int slot, void (*follow)(int slot, void *data), void *data);

// pluginDialog.cpp: builds the dialog of a plugin module (the slot has none open).
void pluginDialog(int slot);

#endif
