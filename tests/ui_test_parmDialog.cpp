// Parameter dialogs on the real widgets: what each type's dialog offers, one dialog per module,
// the sliders and radio buttons writing the module's parameters, and "Save Sample" copying a
// recorder's buffer into a free sample slot, also while an audio thread is running the patch.
// Plugin modules' dialogs, generated from installed swh and x42 plugins (each case skipped,
// naming the Debian package, where its plugin is missing).
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <math.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "audio/cardfeed.h"
#include "control/control.h"
#include "engine/audioThread.h"
#include "base/hooks.h"
#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"
#include "files/fileops.h"
#include "lv2/lv2host.h"
#include "modules/pump.h"
#include "samples/loopStore.h"
#include "tests/lv2need.h"
#include "tests/testutil.h"
#include "ui/sampleList.h"
#include "ui/ui_parts.h"

void cb_save_rec_button(GtkWidget *w, void *data);

using Lines = std::vector<std::string>;

static void runEvents()
{
  while (gtk_events_pending()) gtk_main_iteration();
}

// The graph, the sample slots and the chunk pool are made once for the whole program (the UI
// tests share one process); each case starts from an empty patch and empty sample slots.
class ParmDialog : public testing::Test {
 protected:
  static void SetUpTestSuite()
  {
    bootGraph();
    beginCapture();
    initLoops();
    endCapture();
    initChunkPool();
    sound_buffer_size = 128;
    sound_chunk_size = 64;
    buf = (char *)g_malloc0(4096);
  }

  void SetUp() override { reset(); }
  void TearDown() override { reset(); }

  static void reset()
  {
    installHooks({nullptr, nullptr, nullptr});
    closeParmDialogs();
    runEvents();
    beginCapture();
    GET_MODGRAPH_LOCK();
    for (int t = 0; t < TERMS_I_OR_O; t++) {
      break_I_WIRE(t);
      break_O_WIRE(t);
    }
    assignModuleTiers();
    RELEASE_MODGRAPH_LOCK();
    for (int s = 2; s < MAX_MODULES; s++)
      if (MOD[s]) Remove_Mod(s);
    endCapture();
    for (int i = 0; i < NUM_LOOPS; i++) {
      lockLoop(i);
      deleteLoop(i);
      unlockLoop(i);
      setLoopName(i, "");
    }
    memset(buf, 0, 4096);
  }

  // Creates a module and returns its slot.
  static int make(int type)
  {
    beginCapture();
    New_Mod(type);
    endCapture();
    for (int s = MAX_MODULES - 1; s >= 2; s--)
      if (MOD[s] && MOD[s]->ID == sUID - 1) return s;
    return -1;
  }

  static GtkWidget *dialogOf(int slot) { return GTK_WIDGET(MOD_PARMBOX_HANDLE[slot]); }

  static GtkAdjustment *adjOf(int slot, int k)
  {
    GtkWidget *grid = gtk_bin_get_child(GTK_BIN(dialogOf(slot)));
    GtkWidget *scale = gtk_grid_get_child_at(GTK_GRID(grid), k, 0);
    return gtk_range_get_adjustment(GTK_RANGE(scale));
  }

  static std::vector<GtkWidget *> childrenOf(GtkWidget *container)
  {
    GList *l = gtk_container_get_children(GTK_CONTAINER(container));
    std::vector<GtkWidget *> out;
    for (GList *p = l; p; p = p->next) out.push_back(GTK_WIDGET(p->data));
    g_list_free(l);
    return out;
  }
  // The children of a radio dialog's (or a plugin dialog's) box, in packing order.
  static std::vector<GtkWidget *> radioChildren(int slot)
  {
    return childrenOf(gtk_bin_get_child(GTK_BIN(dialogOf(slot))));
  }

  static int toplevelsTitled(const std::string &title)
  {
    GList *l = gtk_window_list_toplevels();
    int n = 0;
    for (GList *p = l; p; p = p->next) {
      const char *t = gtk_window_get_title(GTK_WINDOW(p->data));
      if (t && title == t) n++;
    }
    g_list_free(l);
    return n;
  }

  // Closes a window the way the window manager does: a delete event through GTK's main handler.
  static void closeLikeTheUser(GtkWidget *win)
  {
    GdkEvent *ev = gdk_event_new(GDK_DELETE);
    ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(win)));
    ev->any.send_event = TRUE;
    gtk_main_do_event(ev);
    gdk_event_free(ev);
    runEvents();
  }
};

// What each type's dialog must offer, written out from the type table's descriptors.
struct Slider {
  const char *label;
  double lo, hi;
};
struct Expected {
  int type;
  char kind;  // '!', '#', '%' or 0 for no dialog
  std::vector<Slider> sliders;
  std::vector<const char *> buttons;
};

static std::vector<Expected> everyType()
{
  std::vector<Slider> vols = {{"VolumeA", 0, 256}, {"VolumeB", 0, 256}, {"VolumeC", 0, 256},
                              {"VolumeD", 0, 256}};
  std::vector<const char *> rec = {"Play", "Overdub", "Record"};
  return {
      {0, 0, {}, {}},
      {1, 0, {}, {}},
      {2, '!', vols, {}},
      {3, '!', vols, {}},
      {4, '!', {{"Drive", 0, 256}, {"Sat", 0, 256}, {"Level", 0, 256}}, {}},
      {5, '!', {{"Delay", 0, 256}, {"Wet", 0, 256}, {"Dry", 0, 256}, {"Regen", 0, 256}}, {}},
      {6, 0, {}, {}},
      {7, '!', {{"Frequency", 0, 256}, {"Bass", 0, 256}, {"Treble", 0, 256}}, {}},
      {8, '#',
       {{"Sample", 0, 63}, {"Start", 0, 1024}, {"End", 0, 1024}, {"Speed%", 10, 800},
        {"TrigOnly", 0, 1}, {"Trigger Beats", 1, 8}},
       {}},
      {9, '!', {{"Fade", 0, 256}}, {}},
      {10, 0, {}, {}},
      {11, '%', {}, rec},
      {12, '%', {}, rec},
      {13, '%', {}, rec},
      {14, '#',
       {{"1", 0, 1}, {"2", 0, 1}, {"3", 0, 1}, {"4", 0, 1}, {"5", 0, 1}, {"6", 0, 1},
        {"7", 0, 1}, {"8", 0, 1}},
       {}},
      {15, '!',
       {{"VolA", 0, 256}, {"VolB", 0, 256}, {"VolC", 0, 256}, {"VolD", 0, 256},
        {"PanA", 0, 256}, {"PanB", 0, 256}, {"PanC", 0, 256}, {"PanD", 0, 256}},
       {}},
      {16, '#',
       {{"Depth", 0, 100}, {"Speed", 0, 100}, {"Mode", 0, 1}, {"Wet", 0, 256}, {"Dry", 0, 256},
        {"Regen", 0, 256}},
       {}},
      {17, '#', {{"Noise Threshold", 0, 256}, {"Compression", 0, 100}, {"Gate Width", 1, 256}}, {}},
      {18, '!', {{"Move this", 0, 256}}, {}},
      {19, '!', {{"Bias", 0, 256}, {"Scale", 0, 256}}, {}},
  };
}

TEST_F(ParmDialog, EveryTypeGetsTheControlsOfItsDescriptor)
{
  for (const Expected &e : everyType()) {
    SCOPED_TRACE(typeList[e.type].name);
    int slot = e.type <= 1 ? e.type : make(e.type);
    ASSERT_GE(slot, 0);
    int before = (int)g_list_length(gtk_window_list_toplevels());
    parmDialog(slot);
    runEvents();
    if (e.kind == 0) {
      EXPECT_EQ(MOD_PARMBOX[slot], 0);
      EXPECT_EQ((int)g_list_length(gtk_window_list_toplevels()), before);
      continue;
    }
    ASSERT_EQ(MOD_PARMBOX[slot], 1);
    GtkWidget *win = dialogOf(slot);
    ASSERT_TRUE(GTK_IS_WINDOW(win));
    EXPECT_TRUE(gtk_widget_get_visible(win));
    EXPECT_EQ(gtk_window_get_type_hint(GTK_WINDOW(win)), GDK_WINDOW_TYPE_HINT_DIALOG);
    std::string title = std::string(typeList[e.type].name) + " ID: " + std::to_string(MOD[slot]->ID);
    EXPECT_EQ(gtk_window_get_title(GTK_WINDOW(win)), title);

    if (e.kind == '%') {
      std::vector<GtkWidget *> kids = radioChildren(slot);
      ASSERT_EQ(kids.size(), e.buttons.size() + 2);
      ASSERT_TRUE(GTK_IS_LABEL(kids[0]));
      EXPECT_EQ(gtk_label_get_text(GTK_LABEL(kids[0])), title);
      for (size_t j = 0; j < e.buttons.size(); j++) {
        ASSERT_TRUE(GTK_IS_RADIO_BUTTON(kids[j + 1]));
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(kids[j + 1])), e.buttons[j]);
        GSList *group = gtk_radio_button_get_group(GTK_RADIO_BUTTON(kids[j + 1]));
        EXPECT_EQ(g_slist_length(group), e.buttons.size());
      }
      GtkWidget *save = kids.back();
      EXPECT_FALSE(GTK_IS_TOGGLE_BUTTON(save));
      EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(save)), "Save Sample");
      continue;
    }

    GtkWidget *grid = gtk_bin_get_child(GTK_BIN(win));
    ASSERT_TRUE(GTK_IS_GRID(grid));
    GList *kids = gtk_container_get_children(GTK_CONTAINER(grid));
    EXPECT_EQ(g_list_length(kids), 2 * e.sliders.size());
    g_list_free(kids);
    double page = e.kind == '!' ? 8.0 : 10.0;
    for (size_t k = 0; k < e.sliders.size(); k++) {
      SCOPED_TRACE(e.sliders[k].label);
      GtkWidget *scale = gtk_grid_get_child_at(GTK_GRID(grid), (int)k, 0);
      GtkWidget *label = gtk_grid_get_child_at(GTK_GRID(grid), (int)k, 1);
      ASSERT_TRUE(GTK_IS_SCALE(scale));
      ASSERT_TRUE(GTK_IS_LABEL(label));
      EXPECT_EQ(gtk_orientable_get_orientation(GTK_ORIENTABLE(scale)), GTK_ORIENTATION_VERTICAL);
      EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label)), e.sliders[k].label);
      EXPECT_EQ(gtk_widget_get_margin_start(label), 10);
      EXPECT_EQ(gtk_widget_get_margin_end(label), 10);
      GtkAdjustment *adj = gtk_range_get_adjustment(GTK_RANGE(scale));
      EXPECT_EQ(gtk_adjustment_get_lower(adj), e.sliders[k].lo);
      EXPECT_EQ(gtk_adjustment_get_upper(adj), e.sliders[k].hi);
      EXPECT_EQ(gtk_adjustment_get_step_increment(adj), 1.0);
      EXPECT_EQ(gtk_adjustment_get_page_increment(adj), page);
      EXPECT_EQ(gtk_adjustment_get_page_size(adj), 0.0);
      // The slider starts at the module's value (the toolkit keeps it inside the range).
      double v = MOD[slot]->parm[k];
      v = v < e.sliders[k].lo ? e.sliders[k].lo : v > e.sliders[k].hi ? e.sliders[k].hi : v;
      EXPECT_EQ(gtk_adjustment_get_value(adj), v);
    }
    EXPECT_EQ(gtk_grid_get_child_at(GTK_GRID(grid), (int)e.sliders.size(), 0), nullptr);
  }
}

TEST_F(ParmDialog, SlidersStartAtTheModulesCurrentValues)
{
  int d = make(4);
  MOD[d]->parm[0] = 12.5f;
  MOD[d]->parm[1] = 300.0f;  // beyond the slider: shown at the top, stored value untouched
  MOD[d]->parm[2] = 0.25f;
  parmDialog(d);
  EXPECT_EQ(gtk_adjustment_get_value(adjOf(d, 0)), 12.5);
  EXPECT_EQ(gtk_adjustment_get_value(adjOf(d, 1)), 256.0);
  EXPECT_EQ(gtk_adjustment_get_value(adjOf(d, 2)), 0.25);
  EXPECT_EQ(MOD[d]->parm[1], 300.0f);
}

TEST_F(ParmDialog, SlidersTakeTheWindowsHeightAndLabelsSitBelowThem)
{
  int d = make(17);
  parmDialog(d);
  runEvents();
  GtkWidget *grid = gtk_bin_get_child(GTK_BIN(dialogOf(d)));
  GtkAllocation scale, label;
  gtk_widget_get_allocation(gtk_grid_get_child_at(GTK_GRID(grid), 0, 0), &scale);
  gtk_widget_get_allocation(gtk_grid_get_child_at(GTK_GRID(grid), 0, 1), &label);
  // The window opens 240 pixels high; one line of text is far less than half of that.
  EXPECT_GT(scale.height, 3 * label.height);
  EXPECT_GE(label.y, scale.y + scale.height);
}

TEST_F(ParmDialog, RightClickOnAnOpenModuleBringsUpTheSameWindow)
{
  int d = make(4);
  parmDialog(d);
  runEvents();
  GtkWidget *first = dialogOf(d);
  std::string title = "Distort ID: " + std::to_string(MOD[d]->ID);
  EXPECT_EQ(toplevelsTitled(title), 1);
  gtk_widget_hide(first);  // as if it had been hidden behind or away from the user
  runEvents();
  parmDialog(d);
  runEvents();
  EXPECT_EQ(dialogOf(d), first);
  EXPECT_TRUE(gtk_widget_get_visible(first));
  EXPECT_TRUE(gtk_widget_get_mapped(first));
  EXPECT_EQ(MOD_PARMBOX[d], 1);
  EXPECT_EQ(toplevelsTitled(title), 1);
}

TEST_F(ParmDialog, DialogsOfDifferentModulesAreIndependent)
{
  int a = make(4), b = make(4);
  parmDialog(a);
  parmDialog(b);
  runEvents();
  ASSERT_EQ(MOD_PARMBOX[a], 1);
  ASSERT_EQ(MOD_PARMBOX[b], 1);
  EXPECT_NE(dialogOf(a), dialogOf(b));
  gtk_adjustment_set_value(adjOf(b, 0), 77.0);
  EXPECT_EQ(MOD[b]->parm[0], 77.0f);
  EXPECT_NE(MOD[a]->parm[0], 77.0f);
  closeLikeTheUser(dialogOf(a));
  EXPECT_EQ(MOD_PARMBOX[a], 0);
  EXPECT_EQ(MOD_PARMBOX[b], 1);
}

TEST_F(ParmDialog, AnOpenDialogBlocksRemovalAndClosingItAllowsIt)
{
  int d = make(4);
  int id = MOD[d]->ID;
  parmDialog(d);
  runEvents();
  GtkWidget *win = dialogOf(d);
  g_object_add_weak_pointer(G_OBJECT(win), (gpointer *)&win);
  std::string r = "R" + std::to_string(id);
  EXPECT_EQ(command(r), (Lines{"Can't remove module# " + std::to_string(d) +
                               " as it still has an active dialog box"}));
  EXPECT_NE(MOD[d], nullptr);

  closeLikeTheUser(win);
  EXPECT_EQ(MOD_PARMBOX[d], 0);
  EXPECT_EQ(win, nullptr);  // the toolkit destroyed the window
  command(r);
  EXPECT_EQ(MOD[d], nullptr);
}

TEST_F(ParmDialog, AClosedDialogOpensAfreshOnTheNextRightClick)
{
  int d = make(9);
  parmDialog(d);
  runEvents();
  GtkWidget *first = dialogOf(d);
  g_object_add_weak_pointer(G_OBJECT(first), (gpointer *)&first);
  closeLikeTheUser(first);
  ASSERT_EQ(first, nullptr);
  MOD[d]->parm[0] = 40.0f;
  parmDialog(d);
  runEvents();
  ASSERT_EQ(MOD_PARMBOX[d], 1);
  EXPECT_TRUE(gtk_widget_get_visible(dialogOf(d)));
  EXPECT_EQ(gtk_adjustment_get_value(adjOf(d, 0)), 40.0);
}

TEST_F(ParmDialog, ClosingAllDialogsDestroysEveryWindowAndClearsTheFlags)
{
  installHooks({nullptr, closeParmDialogs, nullptr});
  int a = make(4), b = make(8), c = make(11);
  parmDialog(a);
  parmDialog(b);
  parmDialog(c);
  runEvents();
  GtkWidget *w[3] = {dialogOf(a), dialogOf(b), dialogOf(c)};
  for (auto &x : w) g_object_add_weak_pointer(G_OBJECT(x), (gpointer *)&x);
  closeAllParmDialogs();  // what the layout loader calls
  runEvents();
  installHooks({nullptr, nullptr, nullptr});
  for (int s : {a, b, c}) {
    EXPECT_EQ(MOD_PARMBOX[s], 0);
    EXPECT_EQ(MOD_PARMBOX_HANDLE[s], nullptr);
  }
  for (auto x : w) EXPECT_EQ(x, nullptr);
  // and removal is allowed again
  command("R" + std::to_string(MOD[a]->ID));
  EXPECT_EQ(MOD[a], nullptr);
}

TEST_F(ParmDialog, LoadingALayoutClosesEveryOpenDialogFirst)
{
  installHooks({nullptr, closeParmDialogs, nullptr});
  int a = make(4), b = make(12);
  parmDialog(a);
  parmDialog(b);
  runEvents();
  GtkWidget *w[2] = {dialogOf(a), dialogOf(b)};
  for (auto &x : w) g_object_add_weak_pointer(G_OBJECT(x), (gpointer *)&x);
  char path[] = "/tmp/qaf-parm-XXXXXX.lyo";
  int fdTmp = mkstemps(path, 4);
  ASSERT_GE(fdTmp, 0);
  close(fdTmp);
  beginCapture();
  real_save(path);
  real_load(path);  // the same patch again, in new records
  Lines said = endCapture();
  EXPECT_NE(std::find(said.begin(), said.end(), "Closing all parameter dialog boxes"), said.end());
  unlink(path);
  runEvents();
  for (auto x : w) EXPECT_EQ(x, nullptr);  // the windows are gone, not just forgotten
  for (int s = 0; s < MAX_MODULES; s++) EXPECT_EQ(MOD_PARMBOX[s], 0);
  ASSERT_NE(MOD[a], nullptr);
  parmDialog(a);  // the new module's dialog opens on its own parameters
  EXPECT_EQ(MOD_PARMBOX[a], 1);
  gtk_adjustment_set_value(adjOf(a, 0), 99.0);
  EXPECT_EQ(MOD[a]->parm[0], 99.0f);
}

TEST_F(ParmDialog, AWindowDestroyedOtherwiseNeverLeavesAStaleFlag)
{
  int d = make(4);
  parmDialog(d);
  gtk_widget_destroy(dialogOf(d));
  EXPECT_EQ(MOD_PARMBOX[d], 0);
  EXPECT_EQ(MOD_PARMBOX_HANDLE[d], nullptr);
  parmDialog(d);  // opens a new one rather than showing a dead window
  EXPECT_EQ(MOD_PARMBOX[d], 1);
  EXPECT_TRUE(GTK_IS_WINDOW(dialogOf(d)));
}

TEST_F(ParmDialog, FloatSliderStoresTheValueUnchangedFractionsIncluded)
{
  int d = make(4);
  parmDialog(d);
  GtkAdjustment *drive = adjOf(d, 0);
  gtk_adjustment_set_value(drive, 12.345);
  EXPECT_EQ(MOD[d]->parm[0], (float)12.345);
  gtk_adjustment_set_value(drive, 255.75);
  EXPECT_EQ(MOD[d]->parm[0], 255.75f);
  gtk_adjustment_set_value(adjOf(d, 2), 0.5);
  EXPECT_EQ(MOD[d]->parm[2], 0.5f);
  EXPECT_EQ(MOD[d]->parm[0], 255.75f);  // each slider writes only its own parameter

  // Through the scale's own key binding: one page (8) down from 100.
  gtk_adjustment_set_value(drive, 100.0);
  GtkWidget *grid = gtk_bin_get_child(GTK_BIN(dialogOf(d)));
  GtkWidget *scale = gtk_grid_get_child_at(GTK_GRID(grid), 0, 0);
  g_signal_emit_by_name(scale, "move-slider", GTK_SCROLL_PAGE_BACKWARD);
  EXPECT_EQ(gtk_adjustment_get_value(drive), 92.0);
  EXPECT_EQ(MOD[d]->parm[0], 92.0f);
}

TEST_F(ParmDialog, IntegerSliderTruncatesAndSnapsToTheWholeNumber)
{
  int l = make(8);
  parmDialog(l);
  GtkAdjustment *start = adjOf(l, 1);
  gtk_adjustment_set_value(start, 3.7);
  EXPECT_EQ(MOD[l]->parm[1], 3.0f);
  EXPECT_EQ(gtk_adjustment_get_value(start), 3.0);
  gtk_adjustment_set_value(start, 1023.99);
  EXPECT_EQ(MOD[l]->parm[1], 1023.0f);
  EXPECT_EQ(gtk_adjustment_get_value(start), 1023.0);

  // The snap notifies nobody a second time, and whoever listens after the dialog sees the
  // whole number.
  std::vector<double> seen;
  gulong h = g_signal_connect(start, "value_changed",
                              G_CALLBACK(+[](GtkAdjustment *a, std::vector<double> *s) {
                                s->push_back(gtk_adjustment_get_value(a));
                              }),
                              &seen);
  gtk_adjustment_set_value(start, 10.5);
  EXPECT_EQ(seen, std::vector<double>{10.0});
  EXPECT_EQ(MOD[l]->parm[1], 10.0f);
  g_signal_handler_disconnect(start, h);

  // A range that does not start at 0: Compressor's Gate Width, 1..256.
  int c = make(17);
  parmDialog(c);
  gtk_adjustment_set_value(adjOf(c, 2), 200.99);
  EXPECT_EQ(MOD[c]->parm[2], 200.0f);
  gtk_adjustment_set_value(adjOf(c, 2), -5.0);  // held at the lower end by the toolkit
  EXPECT_EQ(MOD[c]->parm[2], 1.0f);
}

TEST_F(ParmDialog, SyncSequencerHasEightOnOffSteps)
{
  int s = make(14);
  parmDialog(s);
  for (int k = 0; k < 8; k++) {
    gtk_adjustment_set_value(adjOf(s, k), k % 2 ? 0.9 : 1.0);
    EXPECT_EQ(MOD[s]->parm[k], k % 2 ? 0.0f : 1.0f);
  }
}

// The recorder dialog: which button starts active for a mode, and what the toolkit's "clicked"
// emissions leave in parm[0].
TEST_F(ParmDialog, RecorderDialogShowsTheModeAndRewritesItAsTheToolkitEmits)
{
  struct Case {
    float parm0;
    int active;     // button shown active
    float after;    // parm[0] once the dialog is open
  };
  // sel = parm[0] truncated toward zero; a button other than the first is made active, which
  // emits "clicked" on it and stores j + 0.01; the first button is active already (no emission),
  // and a sel that matches no button leaves the first one active and parm[0] as it was.
  const Case cases[] = {
      {2.01f, 2, 2.0f + 0.01f}, {1.99f, 1, 1.0f + 0.01f}, {0.0f, 0, 0.0f},
      {0.75f, 0, 0.75f},        {-0.5f, 0, -0.5f},        {-1.5f, 0, -1.5f},
      {3.2f, 0, 3.2f},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.parm0);
    int r = make(12);
    MOD[r]->parm[0] = c.parm0;
    parmDialog(r);
    runEvents();
    std::vector<GtkWidget *> kids = radioChildren(r);
    ASSERT_EQ(kids.size(), 5u);
    for (int j = 0; j < 3; j++)
      EXPECT_EQ(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(kids[j + 1])), j == c.active);
    EXPECT_EQ(MOD[r]->parm[0], c.after);
    closeParmDialogs();
    beginCapture();
    Remove_Mod(r);
    endCapture();
  }
}

TEST_F(ParmDialog, ClickingARadioButtonStoresItsIndexPlusAHundredth)
{
  int r = make(11);
  int other = make(11);
  MOD[other]->parm[0] = 2.01f;
  parmDialog(r);
  parmDialog(other);
  std::vector<GtkWidget *> kids = radioChildren(r);
  gtk_button_clicked(GTK_BUTTON(kids[3]));  // Record
  EXPECT_EQ(MOD[r]->parm[0], 2.0f + 0.01f);
  EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(kids[3])));
  gtk_button_clicked(GTK_BUTTON(kids[2]));  // Overdub: Record is switched off first, then this
  EXPECT_EQ(MOD[r]->parm[0], 1.0f + 0.01f);
  gtk_button_clicked(GTK_BUTTON(kids[1]));  // Play
  EXPECT_EQ(MOD[r]->parm[0], 0.01f);
  MOD[r]->parm[0] = 9.0f;
  gtk_button_clicked(GTK_BUTTON(kids[1]));  // the active button again rewrites its own value
  EXPECT_EQ(MOD[r]->parm[0], 0.01f);
  EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(kids[1])));
  EXPECT_EQ(MOD[other]->parm[0], 2.0f + 0.01f);  // the slot travels with each button
  // Whatever the recorder makes of it, truncation gives back the button's index.
  EXPECT_EQ((int)MOD[r]->parm[0], 0);
}

// Descriptors other than the built-in ones, to pin down how they are split and when they yield
// no dialog. The type's row is borrowed and given back.
class Descriptor : public ParmDialog {
 protected:
  const char *saved = nullptr;
  void SetUp() override
  {
    ParmDialog::SetUp();
    saved = typeList[4].parmDesc;
  }
  void TearDown() override
  {
    ParmDialog::TearDown();
    typeList[4].parmDesc = saved;
  }
  // Opens a Distort under the given descriptor; the slot, or -1 when no dialog opened.
  int openWith(const char *desc)
  {
    typeList[4].parmDesc = desc;
    int d = make(4);
    int before = (int)g_list_length(gtk_window_list_toplevels());
    parmDialog(d);
    if (!MOD_PARMBOX[d]) {
      EXPECT_EQ((int)g_list_length(gtk_window_list_toplevels()), before);
      return -1;
    }
    return d;
  }
  static std::vector<std::string> labels(int slot)
  {
    GtkWidget *grid = gtk_bin_get_child(GTK_BIN(dialogOf(slot)));
    std::vector<std::string> out;
    for (int k = 0; GtkWidget *l = gtk_grid_get_child_at(GTK_GRID(grid), k, 1); k++)
      out.push_back(gtk_label_get_text(GTK_LABEL(l)));
    return out;
  }
};

TEST_F(Descriptor, MalformedOrUnknownDescriptorsOpenNothing)
{
  EXPECT_EQ(openWith("#A/0/1/B/0/1/C"), -1);  // 7 pieces: not whole triples
  EXPECT_EQ(openWith("#A/0"), -1);
  EXPECT_EQ(openWith("#"), -1);
  EXPECT_EQ(openWith("!"), -1);
  EXPECT_EQ(openWith("%"), -1);
  EXPECT_EQ(openWith("?Drive"), -1);
  EXPECT_EQ(openWith("Drive"), -1);
  for (int s = 0; s < MAX_MODULES; s++) EXPECT_EQ(MOD_PARMBOX[s], 0);
}

TEST_F(Descriptor, AFinalSlashAddsNoControl)
{
  int d = openWith("!Drive/Sat/");
  ASSERT_GE(d, 0);
  EXPECT_EQ(labels(d), (std::vector<std::string>{"Drive", "Sat"}));
  // An empty piece inside the list is still a control, with an empty label.
  int e = openWith("!A//B");
  ASSERT_GE(e, 0);
  EXPECT_EQ(labels(e), (std::vector<std::string>{"A", "", "B"}));
  // "#A/0/5/" is one triple.
  int f = openWith("#A/0/5/");
  ASSERT_GE(f, 0);
  EXPECT_EQ(labels(f), (std::vector<std::string>{"A"}));
}

TEST_F(Descriptor, SeventeenLabelsMakeSixteenSlidersTheLastKeepingTheRest)
{
  int d = openWith("!a/b/c/d/e/f/g/h/i/j/k/l/m/n/o/p/q");
  ASSERT_GE(d, 0);
  std::vector<std::string> l = labels(d);
  ASSERT_EQ(l.size(), 16u);
  EXPECT_EQ(l[0], "a");
  EXPECT_EQ(l[14], "o");
  EXPECT_EQ(l[15], "p/q");
  // The sixteenth slider writes the last parameter and nothing beyond.
  float guard = MOD[d]->parm[15];
  gtk_adjustment_set_value(adjOf(d, 15), 33.0);
  EXPECT_EQ(MOD[d]->parm[15], 33.0f);
  EXPECT_NE(guard, 33.0f);
}

TEST_F(Descriptor, IntegerRangesAreReadAsBase10WholeNumbers)
{
  // "x" is no number (0); "010" is ten, not octal eight; "7.9" reads as 7; " -3" as -3.
  int d = openWith("#A/x/010/B/-3/7.9/C/ 2/5");
  ASSERT_GE(d, 0);
  EXPECT_EQ(gtk_adjustment_get_lower(adjOf(d, 0)), 0.0);
  EXPECT_EQ(gtk_adjustment_get_upper(adjOf(d, 0)), 10.0);
  EXPECT_EQ(gtk_adjustment_get_lower(adjOf(d, 1)), -3.0);
  EXPECT_EQ(gtk_adjustment_get_upper(adjOf(d, 1)), 7.0);
  EXPECT_EQ(gtk_adjustment_get_lower(adjOf(d, 2)), 2.0);
  EXPECT_EQ(gtk_adjustment_get_upper(adjOf(d, 2)), 5.0);
  // A negative fraction truncates toward zero, not down.
  gtk_adjustment_set_value(adjOf(d, 1), -2.6);
  EXPECT_EQ(MOD[d]->parm[1], -2.0f);
}

TEST_F(Descriptor, FortyEightPieceLimitLeavesTheRestInTheLastMaximum)
{
  // 17 triples P0/0/9 .. P16/0/9 are 51 pieces: the 48th is "9/P16/0/9", read as 9, and 16
  // sliders are made.
  std::string desc = "#P0/0/9";
  for (int k = 1; k < 17; k++) desc += "/P" + std::to_string(k) + "/0/9";
  int d = openWith(desc.c_str());
  ASSERT_GE(d, 0);
  std::vector<std::string> l = labels(d);
  ASSERT_EQ(l.size(), 16u);
  EXPECT_EQ(l[15], "P15");
  EXPECT_EQ(gtk_adjustment_get_upper(adjOf(d, 15)), 9.0);
}

TEST_F(Descriptor, RadioDescriptorsOfOtherLengths)
{
  int d = openWith("%Only");
  ASSERT_GE(d, 0);
  std::vector<GtkWidget *> kids = radioChildren(d);
  ASSERT_EQ(kids.size(), 3u);  // title, one button, Save Sample
  EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(kids[1])), "Only");
  // Sixteen buttons: the last one's data still names this slot.
  int e = openWith("%0/1/2/3/4/5/6/7/8/9/10/11/12/13/14/15");
  ASSERT_GE(e, 0);
  kids = radioChildren(e);
  ASSERT_EQ(kids.size(), 18u);
  float other = MOD[d]->parm[0];
  gtk_button_clicked(GTK_BUTTON(kids[16]));
  EXPECT_EQ(MOD[e]->parm[0], 15.0f + 0.01f);
  EXPECT_EQ(MOD[d]->parm[0], other);  // the other dialog's module is untouched
}

// ---- Save Sample ----

// Presses "Save Sample" in the slot's open dialog; returns the printed lines.
static Lines pressSave(int slot)
{
  std::vector<GtkWidget *> kids;
  GtkWidget *box = gtk_bin_get_child(GTK_BIN(GTK_WIDGET(MOD_PARMBOX_HANDLE[slot])));
  GList *l = gtk_container_get_children(GTK_CONTAINER(box));
  GtkWidget *save = GTK_WIDGET(g_list_last(l)->data);
  g_list_free(l);
  beginCapture();
  gtk_button_clicked(GTK_BUTTON(save));
  return endCapture();
}

TEST_F(ParmDialog, SaveSampleWithEverySlotFullDoesNothing)
{
  int r = make(11);
  parmDialog(r);
  short one = 5;
  for (int i = 1; i < NUM_LOOPS; i++) {
    lockLoop(i);
    putrawLoop(i, &one, 1);
    unlockLoop(i);
    setLoopName(i, "kept");
  }
  // Slot 0 is empty, but it is never a target.
  EXPECT_EQ(pressSave(r), Lines{});
  EXPECT_FALSE(isLoopFull(0));
  for (int i = 1; i < NUM_LOOPS; i++) {
    EXPECT_EQ(loopLength[i], 2);
    EXPECT_STREQ(getLoopName(i), "kept");
  }
}

// A recorder patch: Line In's left output into the recorder's input 0. Returns the recorder's
// slot, or -1 when the new recorder has no buffer (its init keeps one in Extra).
static int recorderPatch(int type)
{
  beginCapture();
  New_Mod(type);
  endCapture();
  int r = -1;
  for (int s = 2; s < MAX_MODULES; s++)
    if (MOD[s] && MOD[s]->ID == sUID - 1) r = s;
  if (!MOD[r]->Extra) return -1;
  command("C " + std::to_string(MOD[0]->ID) + "-" + std::to_string(MOD[r]->ID) + " a a");
  return r;
}

// One pass with every left sample of the buffer set to v (right channel 0).
static void passWith(short v)
{
  short *frames = (short *)buf;
  for (int i = 0; i < sound_buffer_size / 4; i++) {
    frames[2 * i] = v;
    frames[2 * i + 1] = 0;
  }
  pumpAllModules();
}

TEST_F(ParmDialog, TwoSaveSamplePressesFillTwoSlotsWithTheSameRecording)
{
  int r = recorderPatch(11);
  ASSERT_GE(r, 0) << "a new recorder has no buffer";
  ASSERT_EQ(I_TERM_CONNECT[r * 4 + 0], 0);
  int id = MOD[r]->ID;
  MOD[r]->parm[0] = 2.01f;
  parmDialog(r);
  ASSERT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(radioChildren(r)[3])));
  // Record mode writes pass p's samples (value p + 1) at positions 32p .. 32p + 31 (32 samples
  // per chunk with a 128-byte buffer), starting at 0; 100 passes fill the first 3200 samples.
  for (int p = 0; p < 100; p++) passWith((short)(p + 1));

  EXPECT_EQ(pressSave(r), (Lines{"Next available loop: 1", "Stored recorded data. "}));
  EXPECT_EQ(pressSave(r), (Lines{"Next available loop: 2", "Stored recorded data. "}));
  EXPECT_FALSE(isLoopFull(0));
  EXPECT_FALSE(isLoopFull(3));
  std::string name = "Mod ID:" + std::to_string(id);
  for (int i : {1, 2}) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(isLoopFull(i));
    EXPECT_EQ(loopLength[i], 88200);  // the whole second, not only the recorded part
    EXPECT_STREQ(getLoopName(i), name.c_str());
    EXPECT_NE(loopData[i], loopData[3 - i]);  // each slot owns its copy
    for (int s = 0; s < 44100; s++) {
      short want = s < 3200 ? (short)(s / 32 + 1) : 0;
      if (loopData[i][s] != want) {
        ADD_FAILURE() << "sample " << s << " is " << loopData[i][s] << ", want " << want;
        break;
      }
    }
  }
  // The copies are the module's buffer as it was: recording on does not change them.
  for (int p = 0; p < 10; p++) passWith(-7);
  EXPECT_EQ(loopData[1][0], 1);
  EXPECT_EQ(loopData[2][3200], 0);
}

TEST_F(ParmDialog, SaveSampleNamesTheRowInTheSampleList)
{
  int r = recorderPatch(13);
  ASSERT_GE(r, 0) << "a new recorder has no buffer";
  buildSampleList();
  installHooks({nullptr, closeParmDialogs, sampleListNameChanged});
  parmDialog(r);
  pressSave(r);
  runEvents();
  GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(sampleListView()));
  GtkTreeIter it;
  ASSERT_TRUE(gtk_tree_model_iter_nth_child(model, &it, nullptr, 1));
  gchar *number = nullptr, *name = nullptr;
  gtk_tree_model_get(model, &it, 0, &number, 1, &name, -1);
  EXPECT_STREQ(number, "1");
  EXPECT_EQ(std::string(name ? name : ""), "Mod ID:" + std::to_string(MOD[r]->ID));
  g_free(number);
  g_free(name);
  ASSERT_TRUE(gtk_tree_model_iter_nth_child(model, &it, nullptr, 0));
  gtk_tree_model_get(model, &it, 1, &name, -1);
  EXPECT_STREQ(name, "");  // slot 0 untouched
  g_free(name);
  installHooks({nullptr, nullptr, nullptr});
}

TEST_F(ParmDialog, SaveSampleTakesTheFirstEmptySlotAfterZero)
{
  int r = recorderPatch(11);
  ASSERT_GE(r, 0) << "a new recorder has no buffer";
  short one = 1;
  for (int i : {1, 2, 4}) {
    lockLoop(i);
    putrawLoop(i, &one, 1);
    unlockLoop(i);
  }
  parmDialog(r);
  EXPECT_EQ(pressSave(r)[0], "Next available loop: 3");
  EXPECT_EQ(pressSave(r)[0], "Next available loop: 5");
  EXPECT_EQ(loopLength[4], 2);  // the full slot in between was left alone
}

TEST_F(ParmDialog, SaveSampleCopiesTheWholeBufferOfEachRecorderLength)
{
  // 1, 10 and 30 seconds at 44100 samples a second, two bytes a sample.
  const int types[3] = {11, 12, 13};
  const int bytes[3] = {88200, 882000, 2646000};
  for (int n = 0; n < 3; n++) {
    int r = recorderPatch(types[n]);
    ASSERT_GE(r, 0) << "a new recorder has no buffer";
    parmDialog(r);
    EXPECT_EQ(pressSave(r), (Lines{"Next available loop: " + std::to_string(n + 1),
                                   "Stored recorded data. "}));
    EXPECT_EQ(loopLength[n + 1], bytes[n]);
  }
}

// An audio-like thread runs passes under the graph lock while Save Sample is pressed thousands
// of times; a Looper in the patch tries the target slot's lock on every pass. Each copy must be a
// snapshot taken between passes.
static std::atomic<bool> stopAudio;
static std::atomic<int> passes;

static void *audioLike(void *)
{
  short v = 1;
  while (!stopAudio.load()) {
    short *frames = (short *)buf;
    for (int i = 0; i < sound_buffer_size / 4; i++) frames[2 * i] = v;
    pumpAllModules();
    v = (short)(v % 20000 + 1);
    passes++;
  }
  return nullptr;
}

// A snapshot of the ring the recorder writes: each pass leaves a run of 32 equal samples (its
// own value) and consecutive passes differ, so read around the ring every run is 32 long except
// the one that was partly overwritten (or the never-written zeros). A copy torn by a pass in
// the middle shows a cut run.
static int oddRuns(const short *d, int len)
{
  int start = 0;
  while (start < len && d[start] == d[(start + len - 1) % len]) start++;
  if (start == len) return 0;
  int odd = 0, run = 0;
  for (int k = 0; k < len; k++) {
    int i = (start + k) % len;
    run++;
    if (d[(i + 1) % len] != d[i]) {
      if (run != 32) odd++;
      run = 0;
    }
  }
  return odd;
}

TEST_F(ParmDialog, SaveSampleUnderLoadCopiesConsistentBuffersWithoutDeadlock)
{
  int r = recorderPatch(11);
  ASSERT_GE(r, 0) << "a new recorder has no buffer";
  int looper = make(8);
  MOD[looper]->parm[0] = 1.0f;  // plays sample slot 1, the slot every press fills
  MOD[r]->parm[0] = 2.01f;
  parmDialog(r);
  stopAudio = false;
  passes = 0;
  pthread_t th;
  ASSERT_EQ(pthread_create(&th, nullptr, audioLike, nullptr), 0);
  while (passes.load() < 1400) sched_yield();  // the whole second has been written once

  const int presses = 2000;
  int bad = 0, stored = 0;
  for (int n = 0; n < presses; n++) {
    Lines out = pressSave(r);
    if (out == Lines{"Next available loop: 1", "Stored recorded data. "}) stored++;
    if (loopLength[1] != 88200 || oddRuns(loopData[1], 44100) > 1) bad++;
    // Emptied under both locks, in the same order, since the Looper reads the slot's data.
    lockLoop(1);
    GET_MODGRAPH_LOCK();
    deleteLoop(1);
    RELEASE_MODGRAPH_LOCK();
    unlockLoop(1);
  }
  stopAudio = true;
  pthread_join(th, nullptr);
  EXPECT_EQ(stored, presses);
  EXPECT_EQ(bad, 0);
  EXPECT_GT(passes.load(), 1400);
}

// Parameters moved in the dialog reach the sound from the next chunk on.
TEST_F(ParmDialog, AMovedSliderChangesTheSoundFromTheNextChunk)
{
  int p = make(2);
  ASSERT_EQ(MOD[p]->parm[0], 200.0f);  // the default VolumeA
  command("C " + std::to_string(MOD[0]->ID) + "-" + std::to_string(MOD[p]->ID) + " a a");
  command("C " + std::to_string(MOD[p]->ID) + "-" + std::to_string(MOD[1]->ID) + " a a");
  parmDialog(p);
  short *frames = (short *)buf;
  // Passthrough: out = (in * int(VolumeA)) / 256; 1000 at the default 200 gives 781, at 64
  // gives 250.
  passWith(1000);
  EXPECT_EQ(frames[0], 781);
  gtk_adjustment_set_value(adjOf(p, 0), 64.9);
  passWith(1000);
  EXPECT_EQ(frames[0], 250);
  EXPECT_EQ(frames[2 * 31], 250);
}

// ---- plugin modules ----

class PluginDialog : public ParmDialog {
 protected:
  // A plugin module made by the command, its dialog open; its slot.
  static int open(const std::string &uri)
  {
    int id = sUID;
    command("lv2 " + uri);
    for (int s = 2; s < MAX_MODULES; s++)
      if (MOD[s] && MOD[s]->ID == id) {
        parmDialog(s);
        return s;
      }
    return -1;
  }
  // Control k's widget (row 0) or name label (row 1) in the grid heading the dialog.
  static GtkWidget *cell(int slot, int k, int row = 0)
  {
    GtkWidget *grid = radioChildren(slot)[0];
    return gtk_grid_get_child_at(GTK_GRID(grid), k % 8, 2 * (k / 8) + row);
  }
  static std::string text(GtkWidget *w)
  {
    return GTK_IS_LABEL(w) ? gtk_label_get_text(GTK_LABEL(w)) : gtk_button_get_label(GTK_BUTTON(w));
  }
  static GtkAdjustment *sliderOf(int slot, int k)
  {
    return gtk_range_get_adjustment(GTK_RANGE(cell(slot, k)));
  }
  // The text the slider shows for its value.
  static std::string shown(int slot, int k)
  {
    gchar *t = nullptr;
    double v = gtk_adjustment_get_value(sliderOf(slot, k));
    g_signal_emit_by_name(cell(slot, k), "format-value", v, &t);
    std::string out = t ? t : "";
    g_free(t);
    return out;
  }
  static std::string tooltip(GtkWidget *w)
  {
    gchar *t = gtk_widget_get_tooltip_text(w);
    std::string out = t ? t : "";
    g_free(t);
    return out;
  }
};

TEST_F(PluginDialog, AmplifierHasOneSliderOverItsGainRangeThatWritesTheControl)
{
  NEED(SWH "amp", "swh-lv2");
  int a = open(SWH "amp");
  ASSERT_EQ(MOD_PARMBOX[a], 1);
  EXPECT_EQ(gtk_window_get_title(GTK_WINDOW(dialogOf(a))),
            "Simple amplifier ID: " + std::to_string(MOD[a]->ID));
  ASSERT_TRUE(GTK_IS_SCALE(cell(a, 0)));
  EXPECT_EQ(text(cell(a, 0, 1)), "Amps gain (dB)");
  EXPECT_EQ(cell(a, 1), nullptr);  // one control, one slider
  GtkAdjustment *gain = sliderOf(a, 0);
  EXPECT_EQ(gtk_adjustment_get_lower(gain), -70.0);
  EXPECT_EQ(gtk_adjustment_get_upper(gain), 70.0);
  EXPECT_EQ(gtk_adjustment_get_value(gain), 0.0);  // the port's default
  gtk_adjustment_set_value(gain, -6.0);
  EXPECT_EQ(modParmGet(MOD[a], 0), -6.0f);
  EXPECT_EQ(shown(a, 0), "-6.0");  // the port names no unit: the number alone
  // A value set elsewhere (MIDI, "set") moves the slider, which does not write it back.
  modParmSet(MOD[a], 0, 12.5f);
  parmDialogFollow();
  EXPECT_EQ(gtk_adjustment_get_value(gain), 12.5);
  EXPECT_EQ(modParmGet(MOD[a], 0), 12.5f);
  EXPECT_EQ(tooltip(cell(a, 0)), "-70.0 to 70.0, default 0.0\nRight click: learn a MIDI control");
}

TEST_F(PluginDialog, UnitsSwitchesOptionsAndWholeNumbersGetTheirOwnWidgets)
{
  NEED(X42 "balance", "x42-plugins");
  int b = open(X42 "balance");
  ASSERT_GE(b, 0);
  modRec *m = MOD[b];
  const std::vector<lv2Control> &cs = lv2Controls(m);
  ASSERT_EQ(cs.size(), 8u);
  // Trim/Gain [dB]: a slider in the port's unit.
  gtk_adjustment_set_value(sliderOf(b, 0), -6.0);
  EXPECT_EQ(shown(b, 0), "-6.0 dB");
  // Phase Invert Left: a toggled port is a switch writing the port's ends.
  GtkWidget *phase = cell(b, 1);
  ASSERT_TRUE(GTK_IS_CHECK_BUTTON(phase) && !GTK_IS_RADIO_BUTTON(phase));
  EXPECT_EQ(text(cell(b, 1, 1)), "Phase Invert Left");
  gtk_button_clicked(GTK_BUTTON(phase));
  EXPECT_EQ(modParmGet(m, 1), 1.0f);
  gtk_button_clicked(GTK_BUTTON(phase));
  EXPECT_EQ(modParmGet(m, 1), 0.0f);
  // Gain Mode: an enumeration is a group of option buttons with the points' labels, the default
  // active, each writing its point's value.
  std::vector<GtkWidget *> modes = childrenOf(cell(b, 4));
  ASSERT_EQ(modes.size(), cs[4].points.size());
  for (size_t j = 0; j < modes.size(); j++) {
    EXPECT_EQ(text(modes[j]), cs[4].points[j].second);
    EXPECT_EQ(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(modes[j])),
              cs[4].points[j].first == cs[4].def);
  }
  gtk_button_clicked(GTK_BUTTON(modes[2]));
  EXPECT_EQ(modParmGet(m, 4), cs[4].points[2].first);
  // Delay Left [samples]: an integer port snaps to the nearest whole number.
  gtk_adjustment_set_value(sliderOf(b, 5), 3.7);
  EXPECT_EQ(modParmGet(m, 5), 4.0f);
  EXPECT_EQ(gtk_adjustment_get_value(sliderOf(b, 5)), 4.0);
  // Values set elsewhere show on the switch and the options; nothing writes them back.
  modParmSet(m, 1, 1.0f);
  modParmSet(m, 4, cs[4].points[1].first);
  parmDialogFollow();
  EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(phase)));
  EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(modes[1])));
  EXPECT_EQ(modParmGet(m, 4), cs[4].points[1].first);
}

TEST_F(PluginDialog, ALogarithmicPortsSliderMovesAlongItsRangeLogarithmically)
{
  NEED(SWH "bandpass_iir", "swh-lv2");
  int f = open(SWH "bandpass_iir");
  ASSERT_GE(f, 0);
  const lv2Control &c = lv2Controls(MOD[f])[0];  // Center Frequency, 4.41 .. 19845 Hz
  ASSERT_TRUE(c.logarithmic);
  gtk_adjustment_set_value(sliderOf(f, 0), 0.5);  // halfway: the range's geometric middle
  EXPECT_NEAR(modParmGet(MOD[f], 0), sqrt((double)c.min * c.max), 0.01);
  EXPECT_EQ(shown(f, 0), "296");
  modParmSet(MOD[f], 0, 441.0f);
  parmDialogFollow();
  EXPECT_NEAR(gtk_adjustment_get_value(sliderOf(f, 0)), log(441.0 / c.min) / log(c.max / c.min),
              1e-6);
}

TEST_F(PluginDialog, LatencyAndFileParametersAreShownBelowTheControls)
{
  NEED(X42 "nodelay", "x42-plugins");
  int n = open(X42 "nodelay");
  ASSERT_GE(n, 0);
  EXPECT_EQ(shown(n, 0), "0 frames");
  GtkWidget *latency = radioChildren(n).back();
  EXPECT_EQ(text(latency), "Latency: 0 frames (0.0 ms)");
  gtk_adjustment_set_value(sliderOf(n, 0), 441.0);
  for (int p = 0; p < 4; p++) passWith(0);  // the plugin reports from its next run on
  parmDialogFollow();
  EXPECT_EQ(text(latency), "Latency: 441 frames (10.0 ms)");

  NEED(X42 "convoLV2#Mono", "x42-plugins");
  int chunk = sound_chunk_size;
  sound_chunk_size = 256;  // the convolver takes blocks of 64 frames or more
  int c = open(X42 "convoLV2#Mono");
  sound_chunk_size = chunk;
  ASSERT_GE(c, 0);
  std::vector<GtkWidget *> row = childrenOf(radioChildren(c).back());
  ASSERT_EQ(row.size(), 3u);
  EXPECT_EQ(text(row[0]), lv2FileParms(MOD[c])[0].label);
  EXPECT_EQ(text(row[1]), "File...");
  EXPECT_EQ(text(row[2]), "(none)");
  std::string why;
  ASSERT_TRUE(lv2SetFile(MOD[c], 0, "/tmp/somewhere/room.wav", &why)) << why;
  parmDialogFollow();
  EXPECT_EQ(text(row[2]), "room.wav");
}

TEST_F(PluginDialog, AMissingPluginsDialogSaysItIsNotInstalled)
{
  beginCapture();
  int s = addModule(lv2MakeMissing("urn:qaf:test:gone", 0x88));
  endCapture();
  ASSERT_GE(s, 0);
  parmDialog(s);
  ASSERT_EQ(MOD_PARMBOX[s], 1);
  GtkWidget *label = gtk_bin_get_child(GTK_BIN(dialogOf(s)));
  EXPECT_EQ(text(label),
            "The plugin urn:qaf:test:gone is not installed.\nThis module passes silence.");
}
