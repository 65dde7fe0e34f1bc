// Parameter dialogs: one small window per module, generated from its type's descriptor (float
// sliders for '!', whole-number sliders for '#', radio buttons and "Save Sample" for '%'), or for
// a plugin module from its plugin's controls (pluginDialog.cpp). The controls write straight into
// the module's parm array while the audio thread runs. A right click on a control offers MIDI
// learn and shows (and forgets) its mapping; open dialogs follow values that MIDI changes.
// Everything here runs on the UI thread.
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "control/control.h"
#include "base/fatal.h"
#include "engine/soundNode.h"
#include "lv2/lv2host.h"
#include "modules/modfuncs.h"
#include "samples/loopStore.h"
#include "ui/parmWindow.h"
#include "ui/ui_parts.h"

void parmScroll(char *pieceList, int slot);
void parmIntScroll(char *pieceList, int slot);
void parmRadio(char *pieceList, int slot);
void cb_move_parm(GtkAdjustment *adj, void *data);
void cb_move_int_parm(GtkAdjustment *adj, void *data);
void cb_radio_clicked(GtkWidget *w, void *data);
void cb_save_rec_button(GtkWidget *w, void *data);
gboolean delete_event_parmbox(GtkWidget *w, GdkEventAny *event, void *data);

// One parameter's control in an open dialog.
struct parmControl {
  GtkAdjustment *adj = nullptr;  // '!' and '#': the slider's adjustment, which follows parm[k]
  GtkWidget *ctl = nullptr;      // the widget that carries the parameter's tooltip
  GtkWidget *label = nullptr;    // the label that adds its mapping
  std::string name;              // the label's own text
  std::string about;             // the tooltip's first line (a plugin port's range), or ""
};
// The controls of each open dialog, for MIDI learn and for following values changed elsewhere.
struct dialogControls {
  std::vector<parmControl> parms;  // by parameter index
  std::vector<GtkWidget *> radio;  // '%': the buttons of the radio group (parameter 0)
  GtkWidget *menu = nullptr;       // the last learn menu shown
  void (*follow)(int slot, void *data) = nullptr;  // a plugin dialog's own follower
  void *followData = nullptr;
};
static dialogControls controls[MAX_MODULES];
static guint followSource = 0;

static void forgetControls(int slot)
{
  if (controls[slot].menu) gtk_widget_destroy(controls[slot].menu);
  controls[slot] = dialogControls{};
}

static void onLearn(GtkMenuItem *, gpointer data)
{
  int code = GPOINTER_TO_INT(data), slot = code & 0xFF, k = code >> 8;
  if (MOD[slot]) controlLearn(MOD[slot]->ID, k);
}

static void onForget(GtkMenuItem *, gpointer data)
{
  int code = GPOINTER_TO_INT(data), slot = code & 0xFF, k = code >> 8;
  if (MOD[slot]) controlForget(MOD[slot]->ID, k);
}

// The learn menu of parameter k: learn, and the mapping with a way to forget it.
static void showLearnMenu(GtkWidget *w, int slot, int k, const GdkEvent *ev)
{
  if (controls[slot].menu) gtk_widget_destroy(controls[slot].menu);
  GtkWidget *menu = gtk_menu_new();
  controls[slot].menu = menu;
  g_object_add_weak_pointer(G_OBJECT(menu), (gpointer *)&controls[slot].menu);
  gpointer code = GINT_TO_POINTER(slot | k << 8);
  GtkWidget *learn = gtk_menu_item_new_with_label("Learn MIDI Control");
  g_signal_connect(learn, "activate", G_CALLBACK(onLearn), code);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), learn);
  std::string label = controlMappingLabel(MOD[slot]->ID, k);
  GtkWidget *forget =
      gtk_menu_item_new_with_label(label.empty() ? "No MIDI Control" : ("Forget " + label).c_str());
  gtk_widget_set_sensitive(forget, !label.empty());
  g_signal_connect(forget, "activate", G_CALLBACK(onForget), code);
  gtk_menu_shell_append(GTK_MENU_SHELL(menu), forget);
  gtk_menu_attach_to_widget(GTK_MENU(menu), w, nullptr);
  gtk_widget_show_all(menu);
  if (ev) gtk_menu_popup_at_pointer(GTK_MENU(menu), ev);
}

static gboolean onControlPress(GtkWidget *w, GdkEventButton *ev, gpointer data)
{
  if (ev->type != GDK_BUTTON_PRESS || ev->button != 3) return FALSE;
  int code = GPOINTER_TO_INT(data);
  if (!MOD[code & 0xFF]) return FALSE;
  showLearnMenu(w, code & 0xFF, code >> 8, (const GdkEvent *)ev);
  return TRUE;
}

void offerLearn(GtkWidget *w, int slot, int k)
{
  g_signal_connect(w, "button-press-event", G_CALLBACK(onControlPress),
                   GINT_TO_POINTER(slot | k << 8));
}

static void setTooltip(GtkWidget *w, const std::string &text)
{
  gchar *old = gtk_widget_get_tooltip_text(w);
  if (!old || text != old) gtk_widget_set_tooltip_text(w, text.c_str());
  g_free(old);
}

// Writes a control's value without its own handler running again.
static void showValue(GtkAdjustment *adj, double v)
{
  v = CLAMP(v, gtk_adjustment_get_lower(adj), gtk_adjustment_get_upper(adj));
  if (gtk_adjustment_get_value(adj) == v) return;
  for (void *f : {(void *)cb_move_parm, (void *)cb_move_int_parm})
    g_signal_handlers_block_matched(adj, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, f, nullptr);
  gtk_adjustment_set_value(adj, v);
  for (void *f : {(void *)cb_move_parm, (void *)cb_move_int_parm})
    g_signal_handlers_unblock_matched(adj, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr, f, nullptr);
}

static void showRadio(dialogControls &c, int sel)
{
  if (sel < 0 || sel >= (int)c.radio.size()) return;
  GtkToggleButton *b = GTK_TOGGLE_BUTTON(c.radio[sel]);
  if (gtk_toggle_button_get_active(b)) return;
  for (GtkWidget *r : c.radio)
    g_signal_handlers_block_matched(r, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                    (void *)cb_radio_clicked, nullptr);
  gtk_toggle_button_set_active(b, TRUE);
  for (GtkWidget *r : c.radio)
    g_signal_handlers_unblock_matched(r, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                      (void *)cb_radio_clicked, nullptr);
}

// About 30 times a second while a dialog is open: controls follow their parameters, and each
// control's tooltip names its MIDI mapping.
static gboolean followTick(gpointer)
{
  bool any = false;
  int learnId = -1, learnParm = -1;
  controlLearning(&learnId, &learnParm);
  for (int s = 0; s < MAX_MODULES; s++) {
    dialogControls &c = controls[s];
    if (!MOD_PARMBOX[s] || !MOD[s] || (c.parms.empty() && !c.follow)) continue;
    any = true;
    if (c.follow) c.follow(s, c.followData);
    for (int k = 0; k < (int)c.parms.size(); k++) {
      parmControl &p = c.parms[k];
      if (!p.ctl) continue;
      if (p.adj) showValue(p.adj, MOD[s]->parm[k]);
      std::string label = controlMappingLabel(MOD[s]->ID, k);
      bool learning = learnId == MOD[s]->ID && learnParm == k;
      if (p.label) {
        // The control's label names its mapping on a second line, in sight on stage.
        std::string text = learning ? p.name + "\nlearning..."
                           : label.empty() ? p.name : p.name + "\n" + label;
        if (text != gtk_label_get_text(GTK_LABEL(p.label)))
          gtk_label_set_text(GTK_LABEL(p.label), text.c_str());
      }
      if (learning)
        label = "Learning: move a MIDI control";
      else if (label.empty())
        label = "Right click: learn a MIDI control";
      setTooltip(p.ctl, p.about.empty() ? label : p.about + "\n" + label);
    }
    if (!c.radio.empty()) showRadio(c, (int)MOD[s]->parm[0]);
  }
  if (!any) followSource = 0;
  return any ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
}

void parmDialogFollow()
{
  if (followSource) followTick(nullptr);
}

// Splits a descriptor at "/" into at most max pieces, the way the dialogs count them: the last
// piece keeps the rest unsplit when the limit is reached, an empty remainder after a final "/"
// is not a piece, and an empty text has none. Free the result with g_strfreev.
static gchar **splitDesc(const char *pieceList, int max, int *n)
{
  gchar **pieces = g_strsplit(pieceList, "/", max);
  int count = (int)g_strv_length(pieces);
  if (count > 0 && pieces[count - 1][0] == '\0') {
    g_free(pieces[count - 1]);
    pieces[count - 1] = nullptr;
    count--;
  }
  *n = count;
  return pieces;
}

// The window every builder starts from, titled with the module's name (its type's, or its
// plugin's) and its ID.
GtkWidget *newParmWindow(int slot)
{
  GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_type_hint(GTK_WINDOW(win), GDK_WINDOW_TYPE_HINT_DIALOG);
  gchar *title = g_strdup_printf("%s ID: %d", moduleName(MOD[slot]).c_str(), MOD[slot]->ID);
  gtk_window_set_title(GTK_WINDOW(win), title);
  g_free(title);
  g_signal_connect(win, "delete_event", G_CALLBACK(delete_event_parmbox), GINT_TO_POINTER(slot));
  return win;
}

// The window can also go away without a delete_event (destroyed by whoever owns it at exit);
// the flags must never point at a dead window, or "R" would refuse forever and a right click
// would try to show it.
static void destroy_parmbox(GtkWidget *w, void *data)
{
  int slot = GPOINTER_TO_INT(data);
  if (MOD_PARMBOX_HANDLE[slot] == w) {
    MOD_PARMBOX[slot] = 0;
    MOD_PARMBOX_HANDLE[slot] = nullptr;
    forgetControls(slot);
  }
}

void showParmWindow(GtkWidget *win, int slot)
{
  g_signal_connect(win, "destroy", G_CALLBACK(destroy_parmbox), GINT_TO_POINTER(slot));
  gtk_widget_show_all(win);
  MOD_PARMBOX_HANDLE[slot] = win;
  MOD_PARMBOX[slot] = 1;
  if (!followSource) followSource = g_timeout_add(33, followTick, nullptr);
}

void addParmControl(int slot, int k, GtkWidget *ctl, GtkWidget *label, const char *name,
                    const char *about)
{
  std::vector<parmControl> &p = controls[slot].parms;
  if ((int)p.size() <= k) p.resize(k + 1);
  p[k].ctl = ctl;
  p[k].label = label;
  p[k].name = name ? name : "";
  p[k].about = about ? about : "";
}

void setParmFollower(int slot, void (*follow)(int slot, void *data), void *data)
{
  controls[slot].follow = follow;
  controls[slot].followData = data;
}

// One slider and its label in column k. The scale takes all the height the window is given; the
// label row keeps its natural height (an expanding label row would take half the window).
static void attachSlider(GtkWidget *grid, int k, GtkAdjustment *adj, const char *text, int slot)
{
  GtkWidget *scale = gtk_scale_new(GTK_ORIENTATION_VERTICAL, adj);
  offerLearn(scale, slot, k);
  gtk_widget_set_hexpand(scale, TRUE);
  gtk_widget_set_vexpand(scale, TRUE);
  gtk_grid_attach(GTK_GRID(grid), scale, k, 0, 1, 1);
  GtkWidget *label = gtk_label_new(text);
  gtk_widget_set_hexpand(label, TRUE);
  gtk_widget_set_margin_start(label, 10);
  gtk_widget_set_margin_end(label, 10);
  gtk_grid_attach(GTK_GRID(grid), label, k, 1, 1, 1);
  addParmControl(slot, k, scale, label, text);
  controls[slot].parms[k].adj = adj;
}

// A vertical scale's natural height is only a few pixels of travel; give the dialog room.
static void sizeSliderWindow(GtkWidget *win) { gtk_window_set_default_size(GTK_WINDOW(win), -1, 240); }

void parmDialog(int slot)
{
  if (slot < 0 || slot >= MAX_MODULES || !MOD[slot]) return;
  bool plugin = MOD[slot]->type == LV2_TYPE;
  const char *desc = typeList[MOD[slot]->type].parmDesc;
  if (!plugin && (!desc || desc[0] == '\0')) return;
  if (MOD_PARMBOX[slot]) {
    GtkWidget *win = GTK_WIDGET(MOD_PARMBOX_HANDLE[slot]);
    gtk_widget_hide(win);
    gtk_widget_show(win);
    gtk_window_present(GTK_WINDOW(win));
    return;
  }
  forgetControls(slot);
  if (plugin) {
    pluginDialog(slot);
    return;
  }
  char *rest = g_strdup(desc + 1);
  switch (desc[0]) {
    case '!': parmScroll(rest, slot); break;
    case '#': parmIntScroll(rest, slot); break;
    case '%': parmRadio(rest, slot); break;
    default: break;
  }
  g_free(rest);
}

void closeParmDialogs()
{
  for (int s = 0; s < MAX_MODULES; s++) {
    if (!MOD_PARMBOX[s]) continue;
    GtkWidget *win = GTK_WIDGET(MOD_PARMBOX_HANDLE[s]);
    MOD_PARMBOX[s] = 0;
    MOD_PARMBOX_HANDLE[s] = nullptr;
    forgetControls(s);
    if (win) gtk_widget_destroy(win);
  }
}

void parmScroll(char *pieceList, int slot)
{
  int n;
  gchar **pieces = splitDesc(pieceList, 16, &n);
  if (n == 0) {
    g_strfreev(pieces);
    return;
  }
  GtkWidget *win = newParmWindow(slot);
  sizeSliderWindow(win);
  GtkWidget *grid = gtk_grid_new();
  parmFloat *parm = MOD[slot]->parm;
  for (int k = 0; k < n; k++) {
    GtkAdjustment *adj = gtk_adjustment_new(parm[k], 0.0, 256.0, 1.0, 8.0, 0.0);
    g_signal_connect(adj, "value_changed", G_CALLBACK(cb_move_parm), &parm[k]);
    attachSlider(grid, k, adj, pieces[k], slot);
  }
  gtk_container_add(GTK_CONTAINER(win), grid);
  showParmWindow(win, slot);
  g_strfreev(pieces);
}

void parmIntScroll(char *pieceList, int slot)
{
  int np;
  gchar **pieces = splitDesc(pieceList, 48, &np);
  if (np == 0 || np % 3 != 0) {
    g_strfreev(pieces);
    return;
  }
  int n = np / 3;
  float lo[16], hi[16];
  for (int k = 0; k < n; k++) {
    lo[k] = (float)strtol(pieces[3 * k + 1], nullptr, 10);
    hi[k] = (float)strtol(pieces[3 * k + 2], nullptr, 10);
  }
  GtkWidget *win = newParmWindow(slot);
  sizeSliderWindow(win);
  GtkWidget *grid = gtk_grid_new();
  parmFloat *parm = MOD[slot]->parm;
  for (int k = 0; k < n; k++) {
    GtkAdjustment *adj = gtk_adjustment_new(parm[k], lo[k], hi[k], 1.0, 10.0, 0.0);
    g_signal_connect(adj, "value_changed", G_CALLBACK(cb_move_int_parm), &parm[k]);
    attachSlider(grid, k, adj, pieces[3 * k], slot);
  }
  gtk_container_add(GTK_CONTAINER(win), grid);
  showParmWindow(win, slot);
  g_strfreev(pieces);
}

void parmRadio(char *pieceList, int slot)
{
  int n;
  gchar **pieces = splitDesc(pieceList, 16, &n);
  if (n == 0) {
    g_strfreev(pieces);
    return;
  }
  GtkWidget *win = newParmWindow(slot);
  GtkWidget *title = gtk_label_new(gtk_window_get_title(GTK_WINDOW(win)));
  GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_box_set_homogeneous(GTK_BOX(box), FALSE);
  gtk_container_add(GTK_CONTAINER(win), box);
  // Truncation toward zero, as the recorder reads the mode.
  int sel = (int)MOD[slot]->parm[0];

  GtkWidget *button = gtk_radio_button_new_with_label(nullptr, pieces[0]);
  gtk_box_pack_start(GTK_BOX(box), title, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(box), button, TRUE, TRUE, 0);
  g_signal_connect(button, "clicked", G_CALLBACK(cb_radio_clicked), GINT_TO_POINTER(slot));
  if (sel == 0) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(button), TRUE);
  dialogControls &c = controls[slot];
  addParmControl(slot, 0, box, nullptr, nullptr);
  c.radio.push_back(button);
  offerLearn(button, slot, 0);
  for (int j = 1; j < n; j++) {
    button = gtk_radio_button_new_with_label_from_widget(GTK_RADIO_BUTTON(button), pieces[j]);
    g_signal_connect(button, "clicked", G_CALLBACK(cb_radio_clicked),
                     GINT_TO_POINTER(slot + 256 * j));
    gtk_box_pack_start(GTK_BOX(box), button, TRUE, TRUE, 0);
    c.radio.push_back(button);
    offerLearn(button, slot, 0);
    // Making it active emits "clicked" on the button switched off and then on this one, so
    // parm[0] ends up rewritten to this button's value.
    if (sel == j) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(button), TRUE);
  }
  GtkWidget *save = gtk_button_new_with_label("Save Sample");
  g_signal_connect(save, "clicked", G_CALLBACK(cb_save_rec_button), GINT_TO_POINTER(slot));
  gtk_box_pack_start(GTK_BOX(box), save, TRUE, TRUE, 0);
  showParmWindow(win, slot);
  g_strfreev(pieces);
}

void cb_move_parm(GtkAdjustment *adj, void *data)
{
  *(parmFloat *)data = (float)gtk_adjustment_get_value(adj);
}

void cb_move_int_parm(GtkAdjustment *adj, void *data)
{
  float v = (float)(int)gtk_adjustment_get_value(adj);
  // Snap to the whole number without a second "value_changed": every handler is held off for
  // the write, and those still to run in this emission (the scale's own) see the snapped value.
  guint id = g_signal_lookup("value_changed", GTK_TYPE_ADJUSTMENT);
  g_signal_handlers_block_matched(adj, G_SIGNAL_MATCH_ID, id, 0, nullptr, nullptr, nullptr);
  gtk_adjustment_set_value(adj, v);
  g_signal_handlers_unblock_matched(adj, G_SIGNAL_MATCH_ID, id, 0, nullptr, nullptr, nullptr);
  *(parmFloat *)data = v;
}

void cb_radio_clicked(GtkWidget *, void *data)
{
  int code = GPOINTER_TO_INT(data);
  int slot = code & 0xFF;
  int j = code >> 8;
  if (!MOD[slot]) return;
  MOD[slot]->parm[0] = (float)j + 0.01f;
}

void cb_save_rec_button(GtkWidget *, void *data)
{
  int slot = GPOINTER_TO_INT(data);
  if (!MOD[slot]) return;
  int i = 1;
  while (i < NUM_LOOPS && isLoopFull(i)) i++;
  if (i == NUM_LOOPS) return;
  printf("Next available loop: %d\n", i);
  fflush(stdout);

  int count = recordingLength(slot);
  if (count <= 0) return;
  // The memory is taken and touched before any lock (fresh pages of a 30-second buffer take
  // milliseconds to fault in); the copy then holds the graph lock a slice at a time.
  short *copy = (short *)g_malloc((gsize)count * 2);
  memset(copy, 0, (size_t)count * 2);
  copyRecording(slot, copy, count);
  lockLoop(i);
  putrawLoop(i, copy, count);
  unlockLoop(i);
  g_free(copy);

  gchar *name = g_strdup_printf("Mod ID:%d", MOD[slot]->ID);
  setLoopName(i, name);
  g_free(name);
  printf("Stored recorded data. \n");
  fflush(stdout);
}

gboolean delete_event_parmbox(GtkWidget *, GdkEventAny *, void *data)
{
  int slot = GPOINTER_TO_INT(data);
  MOD_PARMBOX[slot] = 0;
  return FALSE;
}
