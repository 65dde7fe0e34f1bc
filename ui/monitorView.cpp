// The monitor's windows: the status line under the command entry (device, buffer, DSP load,
// xruns and the peak meters of Line In and Line Out, refreshed 20 times a second), its Tuner
// menu, and the Tuner window. The status line rides in the main window's box as an internal
// child below the packed ones, so the box's own children and the canvas stay as they are.
#include <math.h>
#include <stdio.h>

#include <string>

#include "audio/devices.h"
#include "monitor/monitor.h"
#include "monitor/pitch.h"
#include "ui/gui.h"
#include "ui/ui_parts.h"

// ---- The main window's box: a vertical GtkBox with one more child below its own -------------

struct QafMainBox {
  GtkBox parent;
  GtkWidget *below;  // the status line, or null
};
struct QafMainBoxClass {
  GtkBoxClass parent_class;
};
G_DEFINE_TYPE(QafMainBox, qaf_main_box, GTK_TYPE_BOX)

static void qaf_main_box_init(QafMainBox *box) { box->below = nullptr; }

static GtkWidget *belowOf(GtkWidget *w) { return ((QafMainBox *)w)->below; }

static int belowHeight(GtkWidget *w, int width)
{
  GtkWidget *b = belowOf(w);
  if (!b || !gtk_widget_get_visible(b)) return 0;
  int nat = 0;
  if (width < 0)
    gtk_widget_get_preferred_height(b, nullptr, &nat);
  else
    gtk_widget_get_preferred_height_for_width(b, width, nullptr, &nat);
  return nat;
}

static void mainBoxHeight(GtkWidget *w, int *min, int *nat)
{
  GTK_WIDGET_CLASS(qaf_main_box_parent_class)->get_preferred_height(w, min, nat);
  int h = belowHeight(w, -1);
  *min += h;
  *nat += h;
}

static void mainBoxHeightForWidth(GtkWidget *w, int width, int *min, int *nat)
{
  GTK_WIDGET_CLASS(qaf_main_box_parent_class)->get_preferred_height_for_width(w, width, min, nat);
  int h = belowHeight(w, width);
  *min += h;
  *nat += h;
}

static void mainBoxHeightAndBaseline(GtkWidget *w, int width, int *min, int *nat, int *minBase,
                                     int *natBase)
{
  mainBoxHeightForWidth(w, width, min, nat);
  if (minBase) *minBase = -1;
  if (natBase) *natBase = -1;
}

// The box's own width rules; the status line only asks that its minimum fits.
static void mainBoxWidth(GtkWidget *w, int *min, int *nat)
{
  GTK_WIDGET_CLASS(qaf_main_box_parent_class)->get_preferred_width(w, min, nat);
  GtkWidget *b = belowOf(w);
  if (b && gtk_widget_get_visible(b)) {
    int bmin = 0;
    gtk_widget_get_preferred_width(b, &bmin, nullptr);
    if (bmin > *min) *min = bmin;
    if (*min > *nat) *nat = *min;
  }
}

static void mainBoxWidthForHeight(GtkWidget *w, int, int *min, int *nat) { mainBoxWidth(w, min, nat); }

static void mainBoxAllocate(GtkWidget *w, GtkAllocation *a)
{
  int h = belowHeight(w, a->width);
  GtkAllocation top = *a;
  top.height = a->height - h > 0 ? a->height - h : 0;
  GTK_WIDGET_CLASS(qaf_main_box_parent_class)->size_allocate(w, &top);
  GtkWidget *b = belowOf(w);
  if (b && gtk_widget_get_visible(b)) {
    GtkAllocation bottom = {a->x, a->y + top.height, a->width, h};
    gtk_widget_size_allocate(b, &bottom);
  }
  // The box covers the status line too, so that it is drawn.
  gtk_widget_set_allocation(w, a);
  gtk_widget_set_clip(w, a);
}

static void mainBoxForall(GtkContainer *c, gboolean internals, GtkCallback cb, gpointer data)
{
  GTK_CONTAINER_CLASS(qaf_main_box_parent_class)->forall(c, internals, cb, data);
  GtkWidget *b = belowOf(GTK_WIDGET(c));
  if (internals && b) cb(b, data);
}

static void mainBoxRemove(GtkContainer *c, GtkWidget *child)
{
  QafMainBox *box = (QafMainBox *)c;
  if (child == box->below) {
    box->below = nullptr;
    gtk_widget_unparent(child);
    gtk_widget_queue_resize(GTK_WIDGET(c));
    return;
  }
  GTK_CONTAINER_CLASS(qaf_main_box_parent_class)->remove(c, child);
}

static void mainBoxDestroy(GtkWidget *w)
{
  QafMainBox *box = (QafMainBox *)w;
  if (box->below) {
    GtkWidget *b = box->below;
    box->below = nullptr;
    gtk_widget_unparent(b);
  }
  GTK_WIDGET_CLASS(qaf_main_box_parent_class)->destroy(w);
}

static void qaf_main_box_class_init(QafMainBoxClass *k)
{
  GtkWidgetClass *wc = GTK_WIDGET_CLASS(k);
  wc->get_preferred_height = mainBoxHeight;
  wc->get_preferred_height_for_width = mainBoxHeightForWidth;
  wc->get_preferred_height_and_baseline_for_width = mainBoxHeightAndBaseline;
  wc->get_preferred_width = mainBoxWidth;
  wc->get_preferred_width_for_height = mainBoxWidthForHeight;
  wc->size_allocate = mainBoxAllocate;
  wc->destroy = mainBoxDestroy;
  GtkContainerClass *cc = GTK_CONTAINER_CLASS(k);
  cc->forall = mainBoxForall;
  cc->remove = mainBoxRemove;
}

GtkWidget *newMainBox()
{
  return GTK_WIDGET(g_object_new(qaf_main_box_get_type(), "orientation", GTK_ORIENTATION_VERTICAL,
                                 "spacing", 0, nullptr));
}

static void setBelow(GtkWidget *mainBox, GtkWidget *child)
{
  QafMainBox *box = (QafMainBox *)mainBox;
  box->below = child;
  gtk_widget_set_parent(child, mainBox);
}

// ---- The status line ----------------------------------------------------------------------------

static statusWidgets status;  // all null once the main window is gone

// What the meters show: a level falling 20 dB a second after each peak, and the moment until
// which each clip mark stays lit.
static double shownDb[4] = {-INFINITY, -INFINITY, -INFINITY, -INFINITY};
static gint64 clipUntil[4] = {0, 0, 0, 0};
static long passesAtLastTick = 0;
static gint64 flowingSince = 0;  // when the refresh first saw passes run
static gint64 lastXrunPoll = 0;
static long xruns = -2;          // -2: not asked yet, -1: the device cannot tell
static long seenPeriodChanges = 0;
static gint64 changeShownUntil = 0;
#define METER_FLOOR_DB -60.0

const statusWidgets &statusView() { return status; }

static void setTextIfNew(GtkWidget *label, const std::string &text)
{
  if (text != gtk_label_get_text(GTK_LABEL(label))) gtk_label_set_text(GTK_LABEL(label), text.c_str());
}

static std::string statusText(gint64 now)
{
  // The xrun count is asked of the device (on OSS a request to it) once a second, and only
  // while sound flows: a run that stalls or ends at once is not asked more than at shutdown.
  long passes = monitorPasses();
  bool flowing = passes != passesAtLastTick;
  passesAtLastTick = passes;
  if (flowing && !flowingSince) flowingSince = now;
  if (flowing && now - flowingSince >= G_USEC_PER_SEC && now - lastXrunPoll >= G_USEC_PER_SEC) {
    xruns = currentSoundXruns();
    lastXrunPoll = now;
  }
  std::string t = soundDeviceName();
  long long period = monitorPeriodNs();
  char part[96];
  if (period <= 0) {
    t += " \xc2\xb7 no sound yet";
    return t;
  }
  long changes = monitorPeriodChanges();
  if (changes != seenPeriodChanges) {
    seenPeriodChanges = changes;
    changeShownUntil = now + 3 * G_USEC_PER_SEC;
  }
  snprintf(part, sizeof part, " \xc2\xb7 %s%lld frames (%.2f ms)",
           now < changeShownUntil ? "buffer changed to " : "", llround(period * 44100.0 / 1e9),
           period / 1e6);
  t += part;
  double rt = soundRoundTripMs();
  if (rt >= 0) {
    snprintf(part, sizeof part, " \xc2\xb7 round trip %.1f ms", rt);
    t += part;
  }
  double load = monitorLoadPercent();
  if (load < 0)
    snprintf(part, sizeof part, " \xc2\xb7 DSP --");
  else
    snprintf(part, sizeof part, " \xc2\xb7 DSP %.1f%%", load);
  t += part;
  if (xruns == -2)
    t += " \xc2\xb7 xruns --";
  else if (xruns < 0)
    t += " \xc2\xb7 xruns n/a";
  else
    t += " \xc2\xb7 xruns " + std::to_string(xruns);
  return t;
}

static gboolean refreshStatus(gpointer)
{
  if (!status.text) return G_SOURCE_REMOVE;
  gint64 now = g_get_monotonic_time();
  setTextIfNew(status.text, statusText(now));
  meterPeaks p = monitorTakePeaks(READER_WINDOW);
  int peaks[4] = {p.in[0], p.in[1], p.out[0], p.out[1]};
  for (int k = 0; k < 4; k++) {
    double db = peakDbfs(peaks[k]);
    double fallen = shownDb[k] - 1.0;  // 20 dB a second at 20 refreshes a second
    shownDb[k] = db > fallen ? db : fallen < METER_FLOOR_DB ? -INFINITY : fallen;
    if (peakClipped(peaks[k])) clipUntil[k] = now + G_USEC_PER_SEC;
  }
  gtk_widget_queue_draw(status.meters);
  return G_SOURCE_CONTINUE;
}

// One group of two bars (left above right) with its label, clip marks and figures.
static void drawMeterGroup(cairo_t *cr, double x, double w, double h, const char *label, int first,
                           bool muted, gint64 now)
{
  cairo_set_font_size(cr, 10);
  cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
  cairo_move_to(cr, x, h - 5);
  cairo_show_text(cr, label);
  double bx = x + 26, textW = 78, bw = w - 26 - 12 - textW, barH = (h - 6) / 2;
  if (bw < 20) bw = 20;
  char figures[48];
  for (int c = 0; c < 2; c++) {
    double y = 2 + c * (barH + 2);
    cairo_set_source_rgb(cr, 0.15, 0.15, 0.15);
    cairo_rectangle(cr, bx, y, bw, barH);
    cairo_fill(cr);
    double db = shownDb[first + c];
    if (db > METER_FLOOR_DB) {
      double f = (db - METER_FLOOR_DB) / -METER_FLOOR_DB;
      if (f > 1) f = 1;
      if (db > -3)
        cairo_set_source_rgb(cr, 0.9, 0.15, 0.1);
      else if (db > -12)
        cairo_set_source_rgb(cr, 0.9, 0.8, 0.1);
      else
        cairo_set_source_rgb(cr, 0.2, 0.8, 0.2);
      cairo_rectangle(cr, bx, y, bw * f, barH);
      cairo_fill(cr);
    }
    if (now < clipUntil[first + c])
      cairo_set_source_rgb(cr, 1, 0, 0);
    else
      cairo_set_source_rgb(cr, 0.35, 0.1, 0.1);
    cairo_rectangle(cr, bx + bw + 2, y, 8, barH);
    cairo_fill(cr);
  }
  if (muted) {
    snprintf(figures, sizeof figures, "muted");
  } else {
    char l[16], r[16];
    for (int c = 0; c < 2; c++) {
      double db = shownDb[first + c];
      snprintf(c ? r : l, 16, db > METER_FLOOR_DB ? "%.1f" : "-inf", db);
    }
    snprintf(figures, sizeof figures, "%s/%s dB", l, r);
  }
  cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
  cairo_move_to(cr, bx + bw + 14, h - 5);
  cairo_show_text(cr, figures);
}

static gboolean drawMeters(GtkWidget *w, cairo_t *cr, gpointer)
{
  double W = gtk_widget_get_allocated_width(w), H = gtk_widget_get_allocated_height(w);
  gint64 now = g_get_monotonic_time();
  drawMeterGroup(cr, 2, W / 2 - 6, H, "In", 0, false, now);
  drawMeterGroup(cr, W / 2 + 4, W / 2 - 6, H, "Out", 2, outputMuted(), now);
  return TRUE;
}

static void tunerItemActivated(GtkWidget *, gpointer) { showTuner(); }

// The toolkit destroyed the main window: the refresh stops touching the status line.
static void statusDestroyed(GtkWidget *, gpointer) { status = statusWidgets(); }

void buildStatusLine(GtkWidget *mainBox)
{
  GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  GtkWidget *text = gtk_label_new("");
  gtk_label_set_ellipsize(GTK_LABEL(text), PANGO_ELLIPSIZE_END);
  gtk_label_set_xalign(GTK_LABEL(text), 0);
  gtk_widget_set_margin_start(text, 4);
  GtkWidget *row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
  GtkWidget *meters = gtk_drawing_area_new();
  gtk_widget_set_size_request(meters, 300, 22);
  GtkWidget *bar = gtk_menu_bar_new();
  GtkWidget *item = gtk_menu_item_new_with_mnemonic("_Tuner");
  gtk_menu_shell_append(GTK_MENU_SHELL(bar), item);
  g_signal_connect(item, "activate", G_CALLBACK(tunerItemActivated), nullptr);
  g_signal_connect(meters, "draw", G_CALLBACK(drawMeters), nullptr);
  gtk_box_pack_start(GTK_BOX(row), meters, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(row), bar, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), text, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), row, FALSE, FALSE, 0);
  gtk_widget_show_all(box);
  setBelow(mainBox, box);
  status = {box, text, meters, item};
  g_signal_connect(box, "destroy", G_CALLBACK(statusDestroyed), nullptr);
  setTunerOpener(showTuner);
  refreshStatus(nullptr);
  g_timeout_add(50, refreshStatus, nullptr);
}

// ---- The Tuner window -------------------------------------------------------------------------

static tunerWidgets tuner;
static guint tunerTimer = 0;
static pitchReading shown;
static gint64 lastNoteAt = 0;
#define NOTE_HOLD_US 600000  // a string fading under the floor keeps its last reading this long

const tunerWidgets &tunerView() { return tuner; }

// The needle: -50..+50 cents across the width, the middle band green when within 3 cents.
static gboolean drawNeedle(GtkWidget *w, cairo_t *cr, gpointer)
{
  double W = gtk_widget_get_allocated_width(w), H = gtk_widget_get_allocated_height(w);
  cairo_set_source_rgb(cr, 0.12, 0.12, 0.12);
  cairo_paint(cr);
  bool inTune = shown.note && fabs(shown.cents) <= 3.0;
  if (inTune)
    cairo_set_source_rgb(cr, 40 / 255.0, 180 / 255.0, 40 / 255.0);
  else
    cairo_set_source_rgb(cr, 0.25, 0.3, 0.25);
  cairo_rectangle(cr, W / 2 - W * 3 / 100, 0, W * 6 / 100, H);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 0.7, 0.7, 0.7);
  cairo_set_line_width(cr, 1);
  for (int c = -50; c <= 50; c += 10) {
    double x = W / 2 + c * W / 100;
    cairo_move_to(cr, x + 0.5, H - (c % 50 == 0 || c == 0 ? H / 2 : H / 4));
    cairo_line_to(cr, x + 0.5, H);
    cairo_stroke(cr);
  }
  if (shown.note) {
    double x = W / 2 + shown.cents * W / 100;
    cairo_set_source_rgb(cr, inTune ? 0.3 : 1.0, inTune ? 1.0 : 0.55, inTune ? 0.3 : 0.1);
    cairo_set_line_width(cr, 3);
    cairo_move_to(cr, x, 2);
    cairo_line_to(cr, x, H);
    cairo_stroke(cr);
  }
  return TRUE;
}

static gboolean refreshTuner(gpointer)
{
  pitchReading r = tunerLatest();
  gint64 now = g_get_monotonic_time();
  if (r.note) {
    // the needle settles over a few readings of the same note rather than trembling with each
    if (shown.note && r.midi == shown.midi) r.cents = 0.5 * r.cents + 0.5 * shown.cents;
    shown = r;
    lastNoteAt = now;
  } else if (now - lastNoteAt > NOTE_HOLD_US) {
    shown = r;
  }
  if (shown.note) {
    std::string name = noteName(shown.midi);
    char *markup = g_markup_printf_escaped("<span size=\"xx-large\" weight=\"bold\">%s</span>",
                                           name.c_str());
    gtk_label_set_markup(GTK_LABEL(tuner.note), markup);
    g_free(markup);
    char t[32];
    snprintf(t, sizeof t, "%+ld cents", lround(shown.cents));
    gtk_label_set_text(GTK_LABEL(tuner.cents), t);
    snprintf(t, sizeof t, "%.2f Hz", shown.hz);
    gtk_label_set_text(GTK_LABEL(tuner.hz), t);
  } else {
    gtk_label_set_markup(GTK_LABEL(tuner.note), "<span size=\"xx-large\" weight=\"bold\">-</span>");
    gtk_label_set_text(GTK_LABEL(tuner.cents), "no note");
    gtk_label_set_text(GTK_LABEL(tuner.hz), "");
  }
  gtk_widget_queue_draw(tuner.needle);
  return G_SOURCE_CONTINUE;
}

static void applyMute()
{
  setOutputMuted(tuner.window && gtk_widget_get_visible(tuner.window) &&
                 gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(tuner.mute)));
}

static void tunerShown(GtkWidget *, gpointer)
{
  shown = pitchReading();
  lastNoteAt = 0;
  tunerStart();
  applyMute();
  if (!tunerTimer) tunerTimer = g_timeout_add(50, refreshTuner, nullptr);
  refreshTuner(nullptr);
}

static void tunerHidden(GtkWidget *, gpointer)
{
  if (tunerTimer) g_source_remove(tunerTimer);
  tunerTimer = 0;
  tunerStop();
  setOutputMuted(false);
}

static void referenceChanged(GtkSpinButton *spin, gpointer)
{
  setTunerReference(gtk_spin_button_get_value(spin));
}

static void buildTuner()
{
  GtkWidget *win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(win), "Tuner");
  gtk_window_set_default_size(GTK_WINDOW(win), 320, -1);
  if (Parent) gtk_window_set_transient_for(GTK_WINDOW(win), GTK_WINDOW(Parent->window));
  GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_container_set_border_width(GTK_CONTAINER(box), 10);
  GtkWidget *note = gtk_label_new(nullptr);
  GtkWidget *cents = gtk_label_new("no note");
  GtkWidget *hz = gtk_label_new("");
  GtkWidget *needle = gtk_drawing_area_new();
  gtk_widget_set_size_request(needle, 300, 48);
  g_signal_connect(needle, "draw", G_CALLBACK(drawNeedle), nullptr);
  GtkWidget *refRow = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
  GtkWidget *ref = gtk_spin_button_new_with_range(430, 450, 1);
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(ref), tunerReference());
  g_signal_connect(ref, "value-changed", G_CALLBACK(referenceChanged), nullptr);
  gtk_box_pack_start(GTK_BOX(refRow), gtk_label_new("A4 ="), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(refRow), ref, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(refRow), gtk_label_new("Hz"), FALSE, FALSE, 0);
  GtkWidget *mute = gtk_check_button_new_with_mnemonic("_Mute while tuning");
  g_signal_connect_swapped(mute, "toggled", G_CALLBACK(applyMute), nullptr);
  gtk_box_pack_start(GTK_BOX(box), note, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), cents, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), needle, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), hz, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), refRow, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), mute, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(win), box);
  g_signal_connect(win, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
  g_signal_connect(win, "show", G_CALLBACK(tunerShown), nullptr);
  g_signal_connect(win, "hide", G_CALLBACK(tunerHidden), nullptr);
  gtk_widget_show_all(box);
  tuner = {win, note, cents, hz, needle, ref, mute};
}

void showTuner()
{
  if (!tuner.window) buildTuner();
  gtk_window_present(GTK_WINDOW(tuner.window));
}
