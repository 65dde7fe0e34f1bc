// The "Sample List" window's own entry points beyond ui_parts.h: the hook that refreshes a row
// when a slot's name changes, and what the tests look at. UI thread only.
#ifndef QAF_SAMPLELIST_H
#define QAF_SAMPLELIST_H

#include <gtk/gtk.h>

// The core's sampleNameChanged hook: shows getLoopName(slot) in the slot's row. Install it with
// installHooks (its member sampleNameChanged) at start-up.
void sampleListNameChanged(int slot);

// The window, its tree view, and the open "Load sample" chooser of a row (null when closed).
GtkWidget *sampleListWindow();
GtkWidget *sampleListView();
GtkWidget *sampleListChooser(int row);
// The path of the last successful load into any slot, or null.
const char *sampleListLastGoodFileName();

#endif
