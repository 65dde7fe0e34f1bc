// Plugin modules' dialogs, generated from the plugin's controls as the built-in dialogs are from
// their descriptors: a vertical slider per control in the port's own units (whole numbers for an
// integer port, moving logarithmically over a logarithmic port's range), a switch per toggled
// port, a group of option buttons per enumeration, a "File..." button per file parameter, and
// the latency the plugin reports. Every control writes through modParmSet, which the next pass
// hands to the plugin; MIDI learn and following values that MIDI changes come from the pieces
// all dialogs share (parmWindow.h). A module whose plugin is not installed gets a dialog that
// says so. Everything here runs on the UI thread.
#include <math.h>

#include <string>
#include <vector>

#include "audio/rateBridge.h"
#include "base/reply.h"
#include "control/control.h"
#include "engine/soundNode.h"
#include "lv2/lv2host.h"
#include "ui/parmWindow.h"

// Controls side by side in a row of the dialog before the next row starts.
#define CONTROLS_PER_ROW 8

// The widgets of one open plugin dialog, owned by its window.
struct pluginView {
  struct control {
    GtkAdjustment *adj = nullptr;      // a slider: the port's units, or 0..1 of a log port's travel
    GtkWidget *check = nullptr;        // a toggled port's switch
    std::vector<GtkWidget *> options;  // an enumeration's buttons, one per point
  };
  std::vector<control> controls;
  std::vector<GtkWidget *> fileLabels;
  std::vector<std::string> fileShown;  // the path each file label shows
  GtkWidget *latency = nullptr;
};

// The plugin module in slot whose control (or file parameter) k a widget stands for; null when
// the slot holds something else by now.
static modRec *pluginAt(int slot, int k, bool file = false)
{
  modRec *m = MOD[slot];
  if (!m || m->type != LV2_TYPE || k < 0) return nullptr;
  size_t n = file ? lv2FileParms(m).size() : lv2Controls(m).size();
  return (size_t)k < n ? m : nullptr;
}

// Where v lies along a logarithmic port's travel, 0..1: the inverse of lv2ControlAt.
static double positionOf(const lv2Control &c, double v)
{
  if (c.max <= c.min || v <= c.min) return 0.0;
  if (v >= c.max) return 1.0;
  return log(v / c.min) / log((double)c.max / c.min);
}

// Digits after the point that show a value of the control: fewer the wider its range (or, on a
// logarithmic port, the larger the value).
static int decimalsFor(const lv2Control &c, double v)
{
  if (c.integer || c.toggled || c.enumeration) return 0;
  if (c.logarithmic) return fabs(v) >= 100 ? 0 : fabs(v) >= 10 ? 1 : fabs(v) >= 1 ? 2 : 3;
  double span = (double)c.max - c.min;
  return span >= 1000 ? 0 : span >= 10 ? 1 : span >= 1 ? 2 : 3;
}

static int nearestPoint(const lv2Control &c, double v)
{
  int best = 0;
  for (size_t j = 1; j < c.points.size(); j++)
    if (fabs(c.points[j].first - v) < fabs(c.points[best].first - v)) best = (int)j;
  return best;
}

// A value as the plugin names it: an option's label, on or off, or the number in its units
// ("-6.0 dB").
static std::string valueText(const lv2Control &c, double v)
{
  if (c.enumeration) return c.points[nearestPoint(c, v)].second;
  if (c.toggled) return v > (c.min + c.max) / 2 ? "on" : "off";
  int d = decimalsFor(c, v);
  if (fabs(v) < 0.5 * pow(10.0, -d)) v = 0.0;  // no "-0.0"
  gchar *t = g_strdup_printf("%.*f", d, v);
  std::string s = t;
  g_free(t);
  return c.unit.empty() ? s : s + " " + c.unit;
}

// The control's range and default, the first line of its tooltip: "-20.0 dB to 20.0 dB, default
// 0.0 dB"; an enumeration's or a switch's "default Balance".
static std::string aboutText(const lv2Control &c)
{
  std::string def = "default " + valueText(c, c.def);
  if (c.enumeration || c.toggled) return def;
  return valueText(c, c.min) + " to " + valueText(c, c.max) + ", " + def;
}

// ---- the controls' handlers ----

static void codeOf(gpointer data, int *slot, int *k)
{
  int code = GPOINTER_TO_INT(data);
  *slot = code & 0xFF;
  *k = code >> 8;
}

static gchar *formatValue(GtkScale *, gdouble x, gpointer data)
{
  int slot, k;
  codeOf(data, &slot, &k);
  modRec *m = pluginAt(slot, k);
  if (!m) return g_strdup("");
  const lv2Control &c = lv2Controls(m)[k];
  return g_strdup(valueText(c, c.logarithmic ? lv2ControlAt(c, x) : x).c_str());
}

static void onSlider(GtkAdjustment *adj, gpointer data)
{
  int slot, k;
  codeOf(data, &slot, &k);
  modRec *m = pluginAt(slot, k);
  if (!m) return;
  const lv2Control &c = lv2Controls(m)[k];
  double x = gtk_adjustment_get_value(adj);
  float v = c.logarithmic ? lv2ControlAt(c, x) : lv2ControlValue(c, x);
  if (c.integer && !c.logarithmic && v != x) {
    // Snap to the whole number without a second "value_changed", as the built-in whole-number
    // sliders do: the handlers still to run in this emission see the snapped value.
    guint id = g_signal_lookup("value_changed", GTK_TYPE_ADJUSTMENT);
    g_signal_handlers_block_matched(adj, G_SIGNAL_MATCH_ID, id, 0, nullptr, nullptr, nullptr);
    gtk_adjustment_set_value(adj, v);
    g_signal_handlers_unblock_matched(adj, G_SIGNAL_MATCH_ID, id, 0, nullptr, nullptr, nullptr);
  }
  modParmSet(m, k, v);
}

static void onSwitch(GtkToggleButton *b, gpointer data)
{
  int slot, k;
  codeOf(data, &slot, &k);
  modRec *m = pluginAt(slot, k);
  if (!m) return;
  const lv2Control &c = lv2Controls(m)[k];
  modParmSet(m, k, gtk_toggle_button_get_active(b) ? c.max : c.min);
}

static void onOption(GtkToggleButton *b, gpointer data)
{
  int slot, k;
  codeOf(data, &slot, &k);
  modRec *m = pluginAt(slot, k);
  if (!m || !gtk_toggle_button_get_active(b)) return;
  int j = GPOINTER_TO_INT(g_object_get_data(G_OBJECT(b), "qaf-point"));
  modParmSet(m, k, lv2Controls(m)[k].points[j].first);
}

// ---- file parameters ----

static std::string fileText(const std::string &path)
{
  if (path.empty()) return "(none)";
  gchar *base = g_path_get_basename(path.c_str());
  std::string s = base;
  g_free(base);
  return s;
}

static void onFileChosen(GtkDialog *dialog, gint response, gpointer data)
{
  int slot, k;
  codeOf(data, &slot, &k);
  modRec *m = pluginAt(slot, k, true);
  gchar *path = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
  std::string why;
  if (response == GTK_RESPONSE_ACCEPT && m && path && !lv2SetFile(m, k, path, &why))
    sayError("%s: %s", lv2FileParms(m)[k].label.c_str(), why.c_str());
  g_free(path);
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

// A chooser of its own per press, over the dialog and gone with it.
static void onFileButton(GtkButton *button, gpointer data)
{
  int slot, k;
  codeOf(data, &slot, &k);
  modRec *m = pluginAt(slot, k, true);
  if (!m) return;
  GtkWindow *parent = GTK_WINDOW(gtk_widget_get_toplevel(GTK_WIDGET(button)));
  GtkWidget *dialog = gtk_file_chooser_dialog_new(
      lv2FileParms(m)[k].label.c_str(), parent, GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
      GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_ACCEPT, NULL);
  gtk_window_set_modal(GTK_WINDOW(dialog), FALSE);
  gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  std::string current = lv2FilePath(m, k);
  if (!current.empty()) gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(dialog), current.c_str());
  g_signal_connect(dialog, "response", G_CALLBACK(onFileChosen), data);
  gtk_widget_show(dialog);
}

// ---- following values changed elsewhere ----

static std::string latencyText(const modRec *m)
{
  int n = lv2Latency(m);
  gchar *t = g_strdup_printf("Latency: %d frames (%.1f ms)", n, n * 1000.0 / QAF_RATE);
  std::string s = t;
  g_free(t);
  return s;
}

// The follower of an open dialog: its controls show the values they stand for (set by MIDI, a
// command or a layout), its file labels the files last set, its latency the plugin's last report.
static void followView(int slot, void *data)
{
  pluginView *view = (pluginView *)data;
  modRec *m = MOD[slot];
  if (!m || m->type != LV2_TYPE) return;
  const std::vector<lv2Control> &cs = lv2Controls(m);
  for (size_t k = 0; k < view->controls.size() && k < cs.size(); k++) {
    const lv2Control &c = cs[k];
    pluginView::control &w = view->controls[k];
    float v = modParmGet(m, (int)k);
    gpointer code = GINT_TO_POINTER(slot | (int)k << 8);
    if (w.adj) {
      double x = c.logarithmic ? positionOf(c, v) : v;
      x = CLAMP(x, gtk_adjustment_get_lower(w.adj), gtk_adjustment_get_upper(w.adj));
      if (gtk_adjustment_get_value(w.adj) == x) continue;
      g_signal_handlers_block_by_func(w.adj, (gpointer)onSlider, code);
      gtk_adjustment_set_value(w.adj, x);
      g_signal_handlers_unblock_by_func(w.adj, (gpointer)onSlider, code);
    } else if (w.check) {
      bool on = v > (c.min + c.max) / 2;
      if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w.check)) == on) continue;
      g_signal_handlers_block_by_func(w.check, (gpointer)onSwitch, code);
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.check), on);
      g_signal_handlers_unblock_by_func(w.check, (gpointer)onSwitch, code);
    } else if (!w.options.empty()) {
      GtkWidget *b = w.options[nearestPoint(c, v)];
      if (gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(b))) continue;
      // The button switched off emits too: every button of the group is held off.
      for (GtkWidget *o : w.options) g_signal_handlers_block_by_func(o, (gpointer)onOption, code);
      gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(b), TRUE);
      for (GtkWidget *o : w.options) g_signal_handlers_unblock_by_func(o, (gpointer)onOption, code);
    }
  }
  for (size_t k = 0; k < view->fileLabels.size(); k++) {
    std::string path = lv2FilePath(m, (int)k);
    if (path == view->fileShown[k]) continue;
    view->fileShown[k] = path;
    gtk_label_set_text(GTK_LABEL(view->fileLabels[k]), fileText(path).c_str());
    gtk_widget_set_tooltip_text(view->fileLabels[k], path.empty() ? nullptr : path.c_str());
  }
  if (view->latency) {
    std::string text = latencyText(m);
    if (text != gtk_label_get_text(GTK_LABEL(view->latency)))
      gtk_label_set_text(GTK_LABEL(view->latency), text.c_str());
  }
}

// ---- building ----

// A slider over the control's range, its default marked.
static GtkWidget *newSlider(const lv2Control &c, float v, gpointer code, pluginView::control &w)
{
  double span = (double)c.max - c.min;
  if (c.logarithmic)
    w.adj = gtk_adjustment_new(positionOf(c, v), 0.0, 1.0, 0.01, 0.1, 0.0);
  else if (c.integer)
    w.adj = gtk_adjustment_new(v, c.min, c.max, 1.0, fmax(1.0, floor(span / 10)), 0.0);
  else
    w.adj = gtk_adjustment_new(v, c.min, c.max, span / 100, span / 10, 0.0);
  GtkWidget *scale = gtk_scale_new(GTK_ORIENTATION_VERTICAL, w.adj);
  // The scale rounds what the user moves it to at its digits.
  gtk_scale_set_digits(GTK_SCALE(scale), c.logarithmic ? 3 : decimalsFor(c, 0));
  g_signal_connect(scale, "format-value", G_CALLBACK(formatValue), code);
  // The default is marked on the scale; the range and default are in the tooltip.
  gtk_scale_add_mark(GTK_SCALE(scale), c.logarithmic ? positionOf(c, c.def) : c.def,
                     GTK_POS_LEFT, nullptr);
  g_signal_connect(w.adj, "value_changed", G_CALLBACK(onSlider), code);
  gtk_widget_set_vexpand(scale, TRUE);
  return scale;
}

static GtkWidget *newOptions(int slot, int k, const lv2Control &c, float v, gpointer code,
                             pluginView::control &w)
{
  GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  gtk_widget_set_valign(box, GTK_ALIGN_CENTER);
  int sel = nearestPoint(c, v);
  GtkWidget *prev = nullptr;
  for (size_t j = 0; j < c.points.size(); j++) {
    GtkWidget *b = gtk_radio_button_new_with_label_from_widget(
        prev ? GTK_RADIO_BUTTON(prev) : nullptr, c.points[j].second.c_str());
    g_object_set_data(G_OBJECT(b), "qaf-point", GINT_TO_POINTER((int)j));
    if ((int)j == sel) gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(b), TRUE);
    gtk_box_pack_start(GTK_BOX(box), b, FALSE, FALSE, 0);
    offerLearn(b, slot, k);
    w.options.push_back(b);
    prev = b;
  }
  // Connected once the group shows the value, so that opening the dialog writes nothing.
  for (GtkWidget *b : w.options) g_signal_connect(b, "toggled", G_CALLBACK(onOption), code);
  return box;
}

// Control k in its cell of the grid: the control above, its name below, as the built-in sliders.
static bool attachControl(GtkWidget *grid, int slot, int k, const lv2Control &c, float v,
                          pluginView::control &w)
{
  gpointer code = GINT_TO_POINTER(slot | k << 8);
  GtkWidget *ctl;
  if (c.enumeration) {
    ctl = newOptions(slot, k, c, v, code, w);
  } else if (c.toggled) {
    ctl = w.check = gtk_check_button_new();
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(ctl), v > (c.min + c.max) / 2);
    gtk_widget_set_halign(ctl, GTK_ALIGN_CENTER);
    gtk_widget_set_valign(ctl, GTK_ALIGN_CENTER);
    g_signal_connect(ctl, "toggled", G_CALLBACK(onSwitch), code);
    offerLearn(ctl, slot, k);
  } else {
    ctl = newSlider(c, v, code, w);
    offerLearn(ctl, slot, k);
  }
  gtk_widget_set_hexpand(ctl, TRUE);
  int col = k % CONTROLS_PER_ROW, row = 2 * (k / CONTROLS_PER_ROW);
  gtk_grid_attach(GTK_GRID(grid), ctl, col, row, 1, 1);
  GtkWidget *label = gtk_label_new(c.name.c_str());
  gtk_widget_set_hexpand(label, TRUE);
  gtk_widget_set_margin_start(label, 10);
  gtk_widget_set_margin_end(label, 10);
  gtk_grid_attach(GTK_GRID(grid), label, col, row + 1, 1, 1);
  addParmControl(slot, k, ctl, label, c.name.c_str(), aboutText(c).c_str());
  return w.adj != nullptr;
}

// One row per file parameter: its label, "File..." and the file's name.
static void attachFiles(GtkWidget *box, int slot, const modRec *m, pluginView *view)
{
  const std::vector<lv2FileParm> &files = lv2FileParms(m);
  for (size_t k = 0; k < files.size(); k++) {
    GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_widget_set_margin_start(row, 10);
    gtk_widget_set_margin_end(row, 10);
    gtk_box_pack_start(GTK_BOX(row), gtk_label_new(files[k].label.c_str()), FALSE, FALSE, 0);
    GtkWidget *button = gtk_button_new_with_label("File...");
    g_signal_connect(button, "clicked", G_CALLBACK(onFileButton),
                     GINT_TO_POINTER(slot | (int)k << 8));
    gtk_box_pack_start(GTK_BOX(row), button, FALSE, FALSE, 0);
    std::string path = lv2FilePath(m, (int)k);
    GtkWidget *name = gtk_label_new(fileText(path).c_str());
    if (!path.empty()) gtk_widget_set_tooltip_text(name, path.c_str());
    gtk_label_set_ellipsize(GTK_LABEL(name), PANGO_ELLIPSIZE_MIDDLE);
    gtk_box_pack_start(GTK_BOX(row), name, TRUE, TRUE, 0);
    gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 4);
    view->fileLabels.push_back(name);
    view->fileShown.push_back(path);
  }
}

// The module's plugin is not installed: the dialog says which, and what the module does.
static void missingDialog(int slot)
{
  GtkWidget *win = newParmWindow(slot);
  std::string text = "The plugin " + lv2Uri(MOD[slot]) +
                     " is not installed.\nThis module passes silence.";
  GtkWidget *label = gtk_label_new(text.c_str());
  g_object_set(label, "margin", 10, NULL);
  gtk_container_add(GTK_CONTAINER(win), label);
  showParmWindow(win, slot);
}

void pluginDialog(int slot)
{
  modRec *m = MOD[slot];
  if (lv2IsMissing(m)) {
    missingDialog(slot);
    return;
  }
  const std::vector<lv2Control> &cs = lv2Controls(m);
  bool latency = lv2ReportsLatency(m);
  // Nothing to set or see: no dialog, as for a built-in type without parameters.
  if (cs.empty() && lv2FileParms(m).empty() && !latency) return;
  GtkWidget *win = newParmWindow(slot);
  pluginView *view = new pluginView;
  g_object_set_data_full(G_OBJECT(win), "qaf-plugin-view", view,
                         [](gpointer p) { delete (pluginView *)p; });
  view->controls.resize(cs.size());
  GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  if (!cs.empty()) {
    GtkWidget *grid = gtk_grid_new();
    bool sliders = false;
    for (size_t k = 0; k < cs.size(); k++)
      sliders |= attachControl(grid, slot, (int)k, cs[k], modParmGet(m, (int)k), view->controls[k]);
    gtk_box_pack_start(GTK_BOX(box), grid, TRUE, TRUE, 0);
    // A vertical scale's natural height is only a few pixels of travel: room for each row.
    int rows = (int)(cs.size() + CONTROLS_PER_ROW - 1) / CONTROLS_PER_ROW;
    if (sliders) gtk_window_set_default_size(GTK_WINDOW(win), -1, 240 * MIN(rows, 3));
  }
  attachFiles(box, slot, m, view);
  if (latency) {
    view->latency = gtk_label_new(latencyText(m).c_str());
    gtk_widget_set_margin_top(view->latency, 4);
    gtk_widget_set_margin_bottom(view->latency, 4);
    gtk_box_pack_start(GTK_BOX(box), view->latency, FALSE, FALSE, 0);
  }
  gtk_container_add(GTK_CONTAINER(win), box);
  setParmFollower(slot, followView, view);
  showParmWindow(win, slot);
}
