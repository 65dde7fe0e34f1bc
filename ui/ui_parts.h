// The pieces of the GTK front end that other pieces call. Each lives in its own file of ui/.
// Everything here runs on the UI thread.
#ifndef QAF_UI_PARTS_H
#define QAF_UI_PARTS_H

#include <gtk/gtk.h>

// gui.cpp: builds the main window (the mainGui object Parent) and installs the core's hooks.
void buildMainWindow();

// parmDialog.cpp: opens (or raises) the parameter dialog of the module in a slot.
void parmDialog(int slot);
// parmDialog.cpp: destroys every open parameter dialog.
void closeParmDialogs();
// parmDialog.cpp: open dialogs' controls take their parameters' values now (their own timer
// does it about 30 times a second), without running their handlers.
void parmDialogFollow();

// setListMenu.cpp: adds Open Set List, Save Set List and Store Patch as Preset to the File
// menu of the main window (after buildMainWindow).
void addSetListMenuItems();

// sampleList.cpp: builds the hidden "Sample List" window; shows it.
void buildSampleList();
void showSampleList();

// pluginList.cpp: the "LV2 Plugins" window of Insert > LV2 Plugin...: the installed plugins
// (read when it is first shown), a filter and Add. The widgets, for the tests.
void showPluginList();
struct pluginListWidgets {
  GtkWidget *window = nullptr, *filter = nullptr, *view = nullptr, *add = nullptr;
};
const pluginListWidgets &pluginListView();

// fileDialogs.cpp: the file choosers of the File menu.
void SaveLayout();
void LoadLayout();
void SaveSBank();
void LoadSBank();

// monitorView.cpp: the main window's box (a vertical box that also carries the status line
// below its own children, outside their list), the status line with its Tuner menu, and the
// Tuner window (shown by the menu and by the tuner command).
GtkWidget *newMainBox();
void buildStatusLine(GtkWidget *mainBox);
void showTuner();
struct statusWidgets {
  GtkWidget *box = nullptr, *text = nullptr, *meters = nullptr, *tunerItem = nullptr;
};
const statusWidgets &statusView();
struct tunerWidgets {
  GtkWidget *window = nullptr, *note = nullptr, *cents = nullptr, *hz = nullptr,
            *needle = nullptr, *reference = nullptr, *mute = nullptr;
};
const tunerWidgets &tunerView();

#endif
