// The main window: the mainGui object (menu bar, patch canvas, command entry and the hidden
// sample list window), its one instance Parent, the menu table, the canvas painter and the
// mouse and menu handlers that edit the patch. Everything here runs on the UI thread.
#ifndef QAF_GUI_H
#define QAF_GUI_H

#include <gtk/gtk.h>

class mainGui {
 public:
  mainGui();
  ~mainGui();
  void makeMenu(GtkWidget *window, GtkWidget **menuBar);

  GtkWidget *window;
  GtkWidget *vbox;
  GtkWidget *menuBar;
  GtkWidget *drawArea;  // null again once the toolkit has destroyed the canvas
  GtkWidget *cmdLine;
  GtkWidget *sampleWindow;  // the hidden "Sample List" window, its scroller and its list, as
  GtkWidget *sampleScroll;  // buildSampleList() made them (the constructor's last step)
  GtkWidget *sampleList;
};

// Null until the constructor has shown the main window.
extern mainGui *Parent;

// One row of the menu table. The path's underscores mark mnemonics; itemType is null for a
// plain item, else "<Branch>", "<LastBranch>" or "<Separator>". action is handed to the handler.
typedef void (*menuHandler)(GtkWidget *item, void *action);
struct menuEntry {
  const char *path;
  const char *accelerator;
  menuHandler handler;
  const char *action;
  const char *itemType;
};
#define MAIN_MENU_ENTRIES 34
extern const menuEntry mainGui_menu[MAIN_MENU_ENTRIES];

// Installs the core's hooks into the front end: forcePaint queues a redraw of the canvas,
// closing all parameter dialogs goes to closeParmDialogs(), and a sample slot's new name to its
// row of the sample list. buildMainWindow() does this first.
void installGuiHooks();

// The menu item built for a row of mainGui_menu, found by the row's path; null if none.
GtkWidget *menuItemForPath(const char *path);

// The selection and patch state of the canvas (see mouse_click_cb).
extern int selTerm, selIsI, selMOD, selNUM;
extern int oldSelTerm, oldSelIsI, oldSelMOD, oldSelNUM;
extern int isPatchMode, isPatchI, patchMOD, patchNUM;

// Canvas drawing and input.
gboolean paint_drawArea(GtkWidget *widget, cairo_t *cr, void *data);
gboolean mouse_click_cb(GtkWidget *widget, GdkEventButton *event, void *data);
void enter_cmdLine(GtkWidget *widget, GtkWidget *entry);
gboolean delete_event_cb(GtkWidget *widget, GdkEventAny *event, void *data);

// Menu handlers.
void issue_cmd(GtkWidget *item, void *action);
void mnu_disconnect(GtkWidget *item, void *action);
void mnu_remove(GtkWidget *item, void *action);
void mnu_patch(GtkWidget *item, void *action);
void mnu_samplist(GtkWidget *item, void *action);
void mnu_plugins(GtkWidget *item, void *action);
void mnu_openlayout(GtkWidget *item, void *action);
void mnu_savelayout(GtkWidget *item, void *action);
void mnu_opensbank(GtkWidget *item, void *action);
void mnu_savesbank(GtkWidget *item, void *action);
void mnu_exit(GtkWidget *item, void *action);

#endif
