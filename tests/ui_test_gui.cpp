// The main window on a virtual X server: the menu, canvas painting and mouse patching, driven by
// pointer and key events sent through the X server to the real widgets at pixel positions worked
// out here from the canvas grid (column = tier, row = place in the tier, margins a tenth).
// All cases share one process and one main window; each starts from Line In and Line Out alone.
#include <gtest/gtest.h>
#include <X11/extensions/XTest.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <math.h>
#include <pthread.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "audio/devices.h"
#include "command/cmdparse.h"
#include "base/hooks.h"
#include "engine/soundNode.h"
#include "lv2/lv2host.h"
#include "monitor/monitor.h"
#include "monitor/pitch.h"
#include "tests/lv2need.h"
#include "tests/testutil.h"
#include "samples/loopStore.h"
#include "ui/gui.h"
#include "ui/sampleList.h"
#include "ui/ui_parts.h"

// ---- stand-ins for the parameter dialogs and the file choosers: they count their calls ----
// (defined here, so the linker takes these and not ui/parmDialog.cpp and ui/fileDialogs.cpp;
// the sample list is the real one)

static int parmDialogCalls = 0, parmDialogSlot = -1, closeParmDialogsCalls = 0;
static int saveLayoutCalls = 0, loadLayoutCalls = 0, saveSBankCalls = 0, loadSBankCalls = 0;

void parmDialog(int slot)
{
  parmDialogCalls++;
  parmDialogSlot = slot;
}
void closeParmDialogs() { closeParmDialogsCalls++; }
void SaveLayout() { saveLayoutCalls++; }
void LoadLayout() { loadLayoutCalls++; }
void SaveSBank() { saveSBankCalls++; }
void LoadSBank() { loadSBankCalls++; }

// ---- the event loop ----

static int canvasPresses = 0;  // button presses (of any click count) that reached the canvas

static void countingEventHandler(GdkEvent *event, gpointer)
{
  if (Parent && Parent->drawArea && event->any.window == gtk_widget_get_window(Parent->drawArea) &&
      (event->type == GDK_BUTTON_PRESS || event->type == GDK_2BUTTON_PRESS ||
       event->type == GDK_3BUTTON_PRESS))
    canvasPresses++;
  gtk_main_do_event(event);
}

static void drain()
{
  gdk_display_sync(gdk_display_get_default());
  while (gtk_events_pending()) gtk_main_iteration();
}

// Runs the loop until cond holds or two seconds pass (a synchronisation guard, not a timing check).
template <class F>
static bool runUntil(F cond)
{
  gint64 end = g_get_monotonic_time() + 2 * G_USEC_PER_SEC;
  while (!cond() && g_get_monotonic_time() < end) {
    drain();
    g_usleep(1000);
  }
  return cond();
}

static void settle(int ms = 30)
{
  gint64 end = g_get_monotonic_time() + ms * 1000;
  while (g_get_monotonic_time() < end) {
    drain();
    g_usleep(1000);
  }
}

// ---- the grid, worked out from the allocation as the canvas lays it out ----

struct Grid {
  int colW, rowH, mX, mY, boxW, boxH, tW, tH, step;
};

static Grid grid()
{
  int W = gtk_widget_get_allocated_width(Parent->drawArea);
  int H = gtk_widget_get_allocated_height(Parent->drawArea);
  Grid g;
  g.colW = W / (MAX_TIER + 1);
  g.rowH = MAX_NUM_IN_TIER > 0 ? H / MAX_NUM_IN_TIER : H;
  g.mX = g.colW / 10;
  g.mY = g.rowH / 10;
  g.boxW = g.colW - 2 * g.mX;
  g.boxH = g.rowH - 2 * g.mY;
  g.tW = g.mX / 2;
  g.tH = g.mY / 2;
  g.step = g.boxH / 5;
  return g;
}

static int cellX(int s) { return grid().colW * MOD_TIER[s]; }
static int cellY(int s) { return grid().rowH * MOD_NUM_IN_TIER[s]; }

// A point on the box edge at the height where terminal k's wires end: inside its band.
static int termX(int s, bool input)
{
  Grid g = grid();
  return cellX(s) + g.mX + (input ? 0 : g.boxW);
}
static int termY(int s, int k)
{
  Grid g = grid();
  return cellY(s) + g.mY + g.step * (k + 1);
}

// ---- input: XTest events, which the X server delivers like a real mouse and keyboard ----

static Display *xdisplay() { return GDK_DISPLAY_XDISPLAY(gdk_display_get_default()); }

static void pointerTo(GdkWindow *win, int x, int y)
{
  int ox, oy;
  gdk_window_get_origin(win, &ox, &oy);
  XTestFakeMotionEvent(xdisplay(), -1, ox + x, oy + y, 0);
}

static void click(int x, int y, guint button = 1)
{
  int before = canvasPresses;
  pointerTo(gtk_widget_get_window(Parent->drawArea), x, y);
  XTestFakeButtonEvent(xdisplay(), button, True, 0);
  XTestFakeButtonEvent(xdisplay(), button, False, 0);
  XFlush(xdisplay());
  ASSERT_TRUE(runUntil([&] { return canvasPresses > before; })) << "press never arrived";
  drain();
}

static void clickTerm(int s, bool input, int k) { click(termX(s, input), termY(s, k)); }
// A point inside the cell's box, clear of both terminal bands.
static void clickBoxMiddle(int s)
{
  Grid g = grid();
  click(cellX(s) + g.colW / 2, cellY(s) + g.mY + g.boxH / 2);
}

static void activate(const char *path)
{
  GtkWidget *item = menuItemForPath(path);
  ASSERT_NE(item, nullptr) << path;
  gtk_menu_item_activate(GTK_MENU_ITEM(item));
  drain();
}

// Presses and releases a key, with Control or Alt held when asked; the pointer rests on the
// window so that the keyboard goes to it.
static void sendKey(KeySym sym, KeySym modifier = NoSymbol)
{
  Display *d = xdisplay();
  KeyCode mod = modifier != NoSymbol ? XKeysymToKeycode(d, modifier) : 0;
  KeyCode kc = XKeysymToKeycode(d, sym);
  if (mod) XTestFakeKeyEvent(d, mod, True, 0);
  XTestFakeKeyEvent(d, kc, True, 0);
  XTestFakeKeyEvent(d, kc, False, 0);
  if (mod) XTestFakeKeyEvent(d, mod, False, 0);
  XFlush(d);
}

static void key(KeySym sym, KeySym modifier = NoSymbol)
{
  pointerTo(gtk_widget_get_window(Parent->window), 20, 20);
  sendKey(sym, modifier);
  settle(30);
}

// ---- pixels of the canvas, painted into an image over a white ground ----

struct Picture {
  cairo_surface_t *surf;
  int w, h;
  explicit Picture(GtkWidget *widget = nullptr)
  {
    if (!widget) widget = Parent->drawArea;
    w = gtk_widget_get_allocated_width(widget);
    h = gtk_widget_get_allocated_height(widget);
    surf = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_t *cr = cairo_create(surf);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    gtk_widget_draw(widget, cr);
    cairo_destroy(cr);
    cairo_surface_flush(surf);
  }
  ~Picture() { cairo_surface_destroy(surf); }
  guint32 at(int x, int y) const
  {
    if (x < 0 || y < 0 || x >= w || y >= h) return 0xffffffff;
    const unsigned char *row = cairo_image_surface_get_data(surf) + y * cairo_image_surface_get_stride(surf);
    return ((const guint32 *)row)[x] & 0xffffff;
  }
};

static const guint32 RED = 0xff0000, YELLOW = 0xffff00, GREEN = 0x00ff00, BLUE = 0x0000ff,
                     BLACK = 0x000000, WHITE = 0xffffff;
static const guint32 TERM_COLOUR[4] = {RED, YELLOW, GREEN, BLUE};

static bool isDark(guint32 p) { return ((p >> 16) & 255) < 96 && ((p >> 8) & 255) < 96 && (p & 255) < 96; }

// ---- the patch ----

static bool tablesConsistent()
{
  for (int t = 0; t < TERMS_I_OR_O; t++) {
    if (O_TERM_CONNECT[t] != -1 && I_TERM_CONNECT[O_TERM_CONNECT[t]] != t) return false;
    if (I_TERM_CONNECT[t] != -1 && O_TERM_CONNECT[I_TERM_CONNECT[t]] != t) return false;
  }
  return true;
}

static int wiresCount()
{
  int n = 0;
  for (int t = 0; t < TERMS_I_OR_O; t++) n += O_TERM_CONNECT[t] != -1;
  return n;
}

static bool hasLine(const std::vector<std::string> &lines, const std::string &l)
{
  for (auto &x : lines)
    if (x == l) return true;
  return false;
}

static bool hasLineStarting(const std::vector<std::string> &lines, const std::string &l)
{
  for (auto &x : lines)
    if (x.compare(0, l.size(), l) == 0) return true;
  return false;
}

// Creates a module of a type through the interpreter and returns its slot.
static int addModule(int type)
{
  auto out = command("a" + std::to_string(type));
  for (int s = MAX_MODULES - 1; s >= 0; s--)
    if (MOD[s] && MOD[s]->ID == sUID - 1) return s;
  ADD_FAILURE() << "no module of type " << type;
  return -1;
}

static void wire(int src, int ok, int dst, int ik)
{
  command("c " + std::to_string(MOD[src]->ID) + "-" + std::to_string(MOD[dst]->ID) + " " +
          std::string(1, 'a' + ok) + " " + std::string(1, 'a' + ik));
}

static int repaints = 0;
static void countRepaint() { repaints++; }

static void resetPatch()
{
  beginCapture();
  GET_MODGRAPH_LOCK();
  for (int t = 0; t < TERMS_I_OR_O; t++) I_TERM_CONNECT[t] = O_TERM_CONNECT[t] = -1;
  for (int s = 2; s < MAX_MODULES; s++) {
    if (!MOD[s]) continue;
    Clean_Module(s);
    delete MOD[s];
    MOD[s] = nullptr;
  }
  for (int s = 0; s < MAX_MODULES; s++) MOD_PARMBOX[s] = 0;
  assignModuleTiers();
  RELEASE_MODGRAPH_LOCK();
  endCapture();
  selTerm = selIsI = oldSelTerm = oldSelIsI = isPatchMode = isPatchI = 0;
  selMOD = selNUM = oldSelMOD = oldSelNUM = patchMOD = patchNUM = -1;
  parmDialogCalls = 0;
  parmDialogSlot = -1;
  repaints = 0;
  installGuiHooks();  // some cases count repaints instead
  gtk_entry_set_text(GTK_ENTRY(Parent->cmdLine), "");
  drain();
}

// ---- one main window for the whole program ----

struct InitialState {
  int selTerm, selIsI, selMOD, selNUM, oldSelTerm, oldSelIsI, oldSelMOD, oldSelNUM;
  int isPatchMode, isPatchI, patchMOD, patchNUM;
  mainGui *parent;
} initial;

class GuiEnvironment : public testing::Environment {
 public:
  void SetUp() override
  {
    initial = {selTerm,    selIsI,    selMOD,      selNUM,   oldSelTerm, oldSelIsI, oldSelMOD,
               oldSelNUM,  isPatchMode, isPatchI,  patchMOD, patchNUM,   Parent};
    bootGraph();
    beginCapture();
    initLoops();
    endCapture();
    gdk_event_handler_set(countingEventHandler, nullptr, nullptr);
    // the test clicks faster than any hand: two clicks on one spot would also make a
    // double-click press, which only the case about double clicks wants
    gdk_display_set_double_click_time(gdk_display_get_default(), 0);
    buildMainWindow();
    runUntil([] { return gtk_widget_get_mapped(Parent->drawArea); });
    settle(100);
  }
};
static testing::Environment *const guiEnv = testing::AddGlobalTestEnvironment(new GuiEnvironment);

// forcePaint must invalidate the whole canvas, which the next frame then redraws.
static bool forcePaintQueuesADraw()
{
  // a queued draw shows as an invalid region on the canvas window until the next frame
  drain();
  settle(50);
  forcePaint();
  cairo_region_t *r = gdk_window_get_update_area(gtk_widget_get_window(Parent->drawArea));
  bool queued = r != nullptr;
  if (r) {
    int W = gtk_widget_get_allocated_width(Parent->drawArea);
    int H = gtk_widget_get_allocated_height(Parent->drawArea);
    cairo_rectangle_int_t all = {0, 0, W, H};
    queued = cairo_region_contains_rectangle(r, &all) == CAIRO_REGION_OVERLAP_IN;
    cairo_region_destroy(r);
  }
  return queued;
}

class Gui : public testing::Test {
 protected:
  void SetUp() override { resetPatch(); }
};

// ======== the window and its menu ========

TEST(GuiStart, SelectionStartsEmptyAndParentIsNullUntilTheWindowIsBuilt)
{
  EXPECT_EQ(initial.parent, nullptr);
  EXPECT_EQ(initial.selTerm, 0);
  EXPECT_EQ(initial.selIsI, 0);
  EXPECT_EQ(initial.selMOD, -1);
  EXPECT_EQ(initial.selNUM, -1);
  EXPECT_EQ(initial.oldSelTerm, 0);
  EXPECT_EQ(initial.oldSelIsI, 0);
  EXPECT_EQ(initial.oldSelMOD, -1);
  EXPECT_EQ(initial.oldSelNUM, -1);
  EXPECT_EQ(initial.isPatchMode, 0);
  EXPECT_EQ(initial.isPatchI, 0);
  EXPECT_EQ(initial.patchMOD, -1);
  EXPECT_EQ(initial.patchNUM, -1);
}

TEST(GuiStart, ForcePaintRedrawsTheWholeCanvasThroughTheInstalledHook)
{
  ASSERT_NE(Parent, nullptr);
  EXPECT_TRUE(forcePaintQueuesADraw());
}

TEST_F(Gui, WindowIsTitledQAFWithMenuCanvasAndEntryTopToBottom)
{
  ASSERT_NE(Parent, nullptr);
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(Parent->window)), "QAF");
  EXPECT_TRUE(gtk_widget_get_mapped(Parent->window));
  // the sample list window is built with it, hidden, and reachable from Parent
  ASSERT_NE(sampleListWindow(), nullptr);
  EXPECT_EQ(Parent->sampleWindow, sampleListWindow());
  EXPECT_EQ(Parent->sampleList, sampleListView());
  EXPECT_EQ(gtk_widget_get_parent(Parent->sampleList), Parent->sampleScroll);
  EXPECT_EQ(gtk_widget_get_parent(Parent->sampleScroll), Parent->sampleWindow);
  EXPECT_FALSE(gtk_widget_get_visible(Parent->sampleWindow));
  // and a slot's new name reaches its row through the hooks the window installed
  setLoopName(5, "/tmp/kick.wav");
  GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(Parent->sampleList));
  GtkTreeIter it;
  ASSERT_TRUE(gtk_tree_model_iter_nth_child(model, &it, nullptr, 5));
  char *name = nullptr;
  gtk_tree_model_get(model, &it, 1, &name, -1);
  EXPECT_STREQ(name, "/tmp/kick.wav");
  g_free(name);
  setLoopName(5, "");

  int rw, rh;
  gtk_widget_get_size_request(Parent->drawArea, &rw, &rh);
  EXPECT_EQ(rw, 500);
  EXPECT_EQ(rh, 400);
  EXPECT_GE(gtk_widget_get_allocated_width(Parent->drawArea), 500);
  EXPECT_GE(gtk_widget_get_allocated_height(Parent->drawArea), 400);

  GList *children = gtk_container_get_children(GTK_CONTAINER(Parent->vbox));
  ASSERT_EQ(g_list_length(children), 3u);
  EXPECT_EQ(g_list_nth_data(children, 0), Parent->menuBar);
  EXPECT_EQ(g_list_nth_data(children, 1), Parent->drawArea);
  EXPECT_EQ(g_list_nth_data(children, 2), Parent->cmdLine);
  g_list_free(children);
  EXPECT_EQ(gtk_widget_get_parent(Parent->vbox), Parent->window);
  EXPECT_TRUE(GTK_IS_MENU_BAR(Parent->menuBar));
  EXPECT_TRUE(GTK_IS_ENTRY(Parent->cmdLine));

  GtkAllocation m, c, e;
  gtk_widget_get_allocation(Parent->menuBar, &m);
  gtk_widget_get_allocation(Parent->drawArea, &c);
  gtk_widget_get_allocation(Parent->cmdLine, &e);
  EXPECT_LE(m.y + m.height, c.y);
  EXPECT_LE(c.y + c.height, e.y);
  // only the canvas takes the window's extra height
  int ew;
  gtk_widget_get_preferred_height(Parent->cmdLine, &ew, nullptr);
  EXPECT_EQ(e.height, ew);

  GdkEventMask mask = (GdkEventMask)gtk_widget_get_events(Parent->drawArea);
  EXPECT_TRUE(mask & GDK_BUTTON_PRESS_MASK);
  EXPECT_TRUE(mask & GDK_POINTER_MOTION_MASK);
  EXPECT_TRUE(mask & GDK_LEAVE_NOTIFY_MASK);
}

static std::vector<std::string> labelsOf(GtkWidget *shell)
{
  std::vector<std::string> out;
  GList *children = gtk_container_get_children(GTK_CONTAINER(shell));
  for (GList *l = children; l; l = l->next) {
    GtkWidget *w = (GtkWidget *)l->data;
    if (GTK_IS_SEPARATOR_MENU_ITEM(w))
      out.push_back("---");
    else
      out.push_back(gtk_menu_item_get_label(GTK_MENU_ITEM(w)));
  }
  g_list_free(children);
  return out;
}

static GtkWidget *submenuOf(const char *path)
{
  GtkWidget *item = menuItemForPath(path);
  return item ? gtk_menu_item_get_submenu(GTK_MENU_ITEM(item)) : nullptr;
}

TEST_F(Gui, MenuBarHoldsItsBranchesAndItemsInOrderWithHelpAtTheRightEnd)
{
  EXPECT_EQ(labelsOf(Parent->menuBar),
            (std::vector<std::string>{"_File", "_Insert", "_Disconnect", "_Remove", "_Patch",
                                      "_SampleList", "_Help"}));
  ASSERT_NE(submenuOf("/_File"), nullptr);
  EXPECT_EQ(labelsOf(submenuOf("/_File")),
            (std::vector<std::string>{"_Open Layout", "_Save Layout", "Open Sa_mplebank",
                                      "Save Sam_plebank", "---", "E_xit"}));
  ASSERT_NE(submenuOf("/_Insert"), nullptr);
  EXPECT_EQ(labelsOf(submenuOf("/_Insert")),
            (std::vector<std::string>{
                "_Passthrough", "_Mixer", "_Distortion", "_Reverb", "_Chorus", "_Splitter", "_Tone",
                "_Looper", "M_ultiply", "_XFader", "_Volume Compressor", "_OctaveDown", "S_kratcher",
                "Record _1 Second", "Record 1_0 Seconds", "Record _30 Seconds", "S_ync Sequencer",
                "Pa_nning Mixer", "---", "LV2 Plu_gin..."}));
  ASSERT_NE(submenuOf("/_Help"), nullptr);
  EXPECT_EQ(labelsOf(submenuOf("/_Help")), (std::vector<std::string>{"About"}));
  // the bar items act themselves: no submenus
  for (const char *p : {"/_Disconnect", "/_Remove", "/_Patch", "/_SampleList"})
    EXPECT_EQ(submenuOf(p), nullptr) << p;

  // Help sits at the right end with a gap before it; the others are packed from the left
  GtkAllocation bar, help, samp;
  gtk_widget_get_allocation(Parent->menuBar, &bar);
  gtk_widget_get_allocation(menuItemForPath("/_Help"), &help);
  gtk_widget_get_allocation(menuItemForPath("/_SampleList"), &samp);
  EXPECT_GT(help.x, samp.x + samp.width + 20);
  EXPECT_GE(help.x + help.width, bar.x + bar.width - 12);
}

TEST_F(Gui, InsertItemsCreateTheirModuleTypes)
{
  // Insert item -> type number, from the list of module types
  struct {
    const char *path;
    int type;
  } items[] = {{"/Insert/_Passthrough", 2},        {"/Insert/_Mixer", 3},
               {"/Insert/_Distortion", 4},         {"/Insert/_Reverb", 5},
               {"/Insert/_Chorus", 16},            {"/Insert/_Splitter", 6},
               {"/Insert/_Tone", 7},               {"/Insert/_Looper", 8},
               {"/Insert/M_ultiply", 19},          {"/Insert/_XFader", 9},
               {"/Insert/_Volume Compressor", 17}, {"/Insert/_OctaveDown", 10},
               {"/Insert/S_kratcher", 18},         {"/Insert/Record _1 Second", 11},
               {"/Insert/Record 1_0 Seconds", 12}, {"/Insert/Record _30 Seconds", 13},
               {"/Insert/S_ync Sequencer", 14},    {"/Insert/Pa_nning Mixer", 15}};
  int slot = 2;
  for (auto &it : items) {
    beginCapture();
    activate(it.path);
    auto out = endCapture();
    ASSERT_NE(MOD[slot], nullptr) << it.path;
    EXPECT_EQ(MOD[slot]->type, it.type) << it.path;
    EXPECT_TRUE(hasLine(out, "Created new module ID=" + std::to_string(MOD[slot]->ID) +
                                 " Slot=" + std::to_string(slot) + " Type=" + std::to_string(it.type)))
        << it.path;
    slot++;
  }
  // the table's own texts are left as they were (the interpreter gets a copy to upper-case)
  for (int n = 0; n < MAIN_MENU_ENTRIES; n++)
    if (mainGui_menu[n].action) {
      EXPECT_EQ(mainGui_menu[n].action[0], 'a') << mainGui_menu[n].path;
    }
}

TEST_F(Gui, FileItemsCallTheFileDialogsAndControlKeysReachTheLayoutOnes)
{
  int load = loadLayoutCalls, save = saveLayoutCalls, lsb = loadSBankCalls, ssb = saveSBankCalls;
  key(XK_o, XK_Control_L);
  EXPECT_EQ(loadLayoutCalls, load + 1);
  key(XK_s, XK_Control_L);
  EXPECT_EQ(saveLayoutCalls, save + 1);
  EXPECT_EQ(loadLayoutCalls, load + 1);
  activate("/File/Open Sa_mplebank");
  EXPECT_EQ(loadSBankCalls, lsb + 1);
  activate("/File/Save Sam_plebank");
  EXPECT_EQ(saveSBankCalls, ssb + 1);
  EXPECT_EQ(saveLayoutCalls, save + 1);

  // the File branch's own accelerator opens its menu
  EXPECT_TRUE(gtk_accel_groups_activate(G_OBJECT(Parent->window), GDK_KEY_f, GDK_MOD1_MASK));
  EXPECT_TRUE(runUntil([] { return gtk_widget_get_mapped(submenuOf("/_File")); }));
  gtk_menu_shell_deactivate(GTK_MENU_SHELL(Parent->menuBar));
  EXPECT_TRUE(runUntil([] { return !gtk_widget_get_mapped(submenuOf("/_File")); }));
  EXPECT_EQ(loadLayoutCalls, load + 1);

  activate("/_SampleList");
  EXPECT_TRUE(gtk_widget_get_visible(Parent->sampleWindow));
  gtk_widget_hide(Parent->sampleWindow);

  beginCapture();
  activate("/_Help/About");
  EXPECT_TRUE(endCapture().empty());
  EXPECT_EQ(wiresCount(), 0);
}

// The URIs the plugin list shows; the row of select, when given, is selected.
static std::vector<std::string> listedUris(const std::string &select = "")
{
  std::vector<std::string> out;
  GtkTreeView *view = GTK_TREE_VIEW(pluginListView().view);
  GtkTreeModel *model = gtk_tree_view_get_model(view);
  GtkTreeIter it;
  for (bool ok = gtk_tree_model_get_iter_first(model, &it); ok;
       ok = gtk_tree_model_iter_next(model, &it)) {
    gchar *uri = nullptr;
    gtk_tree_model_get(model, &it, 2, &uri, -1);
    out.push_back(uri);
    g_free(uri);
    if (out.back() == select)
      gtk_tree_selection_select_iter(gtk_tree_view_get_selection(view), &it);
  }
  return out;
}

static bool holdsAmp(const std::string &text)
{
  gchar *t = g_utf8_casefold(text.c_str(), -1);
  bool found = strstr(t, "amp") != nullptr;
  g_free(t);
  return found;
}

// The plugin list: every installed plugin, filtered as the user types, and Add running the same
// command as "lv2 URI" typed in the entry.
TEST_F(Gui, PluginListFiltersAsYouTypeAndAddsThroughTheLv2Command)
{
  activate("/Insert/LV2 Plu_gin...");
  const pluginListWidgets &w = pluginListView();
  ASSERT_NE(w.window, nullptr);
  EXPECT_TRUE(gtk_widget_get_visible(w.window));
  NEED(SWH "amp", "swh-lv2");
  const std::vector<lv2PluginInfo> &all = lv2Plugins();
  EXPECT_EQ(listedUris().size(), all.size());  // refused ones too, greyed

  // "AMP" matches names and URIs whatever their case: the rows left are exactly those.
  gtk_entry_set_text(GTK_ENTRY(w.filter), "AMP");
  std::vector<std::string> want, got = listedUris();
  for (const lv2PluginInfo &p : all)
    if (holdsAmp(p.name) || holdsAmp(p.uri)) want.push_back(p.uri);
  std::sort(want.begin(), want.end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, want);
  EXPECT_LT(got.size(), all.size());
  EXPECT_FALSE(gtk_widget_get_sensitive(w.add));  // nothing chosen yet

  // A plugin QAF cannot host is listed but cannot be added.
  for (const lv2PluginInfo &p : all)
    if (!p.refused.empty()) {
      gtk_entry_set_text(GTK_ENTRY(w.filter), p.uri.c_str());
      EXPECT_EQ(listedUris(p.uri), std::vector<std::string>{p.uri});
      EXPECT_FALSE(gtk_widget_get_sensitive(w.add)) << p.uri;
      break;
    }
  gtk_entry_set_text(GTK_ENTRY(w.filter), "simple AMPLIFIER");
  EXPECT_EQ(listedUris(SWH "amp"), std::vector<std::string>{SWH "amp"});
  EXPECT_TRUE(gtk_widget_get_sensitive(w.add));
  beginCapture();
  gtk_button_clicked(GTK_BUTTON(w.add));
  auto out = endCapture();
  ASSERT_NE(MOD[2], nullptr);
  EXPECT_EQ(lv2Uri(MOD[2]), SWH "amp");
  EXPECT_TRUE(hasLine(out, "Plugin: Simple amplifier"));
  EXPECT_FALSE(gtk_widget_get_visible(w.window));  // chosen: the list goes away
  gtk_entry_set_text(GTK_ENTRY(w.filter), "");
}

// ======== painting ========

TEST_F(Gui, BoxesTerminalsAndLabelsArePaintedAtTheirGridPlaces)
{
  int p = addModule(2);  // Passthrough: every terminal
  ASSERT_EQ(p, 2);
  ASSERT_EQ(MAX_TIER, 0);
  ASSERT_EQ(MAX_NUM_IN_TIER, 3);
  Grid g = grid();
  Picture pic;
  for (int s = 0; s < 3; s++) {
    int cx = cellX(s), cy = cellY(s);
    EXPECT_EQ(cy, g.rowH * s);
    // the box outline covers x = cx+mX .. cx+mX+boxW and y = cy+mY .. cy+mY+boxH
    EXPECT_EQ(pic.at(cx + g.mX + 3, cy + g.mY), BLACK) << s;
    EXPECT_EQ(pic.at(cx + g.mX + g.boxW - 3, cy + g.mY + g.boxH), BLACK) << s;
    EXPECT_EQ(pic.at(cx + g.mX + 3, cy + g.mY - 1), WHITE) << s;
    EXPECT_EQ(pic.at(cx + g.mX + 3, cy + g.mY + 1), WHITE) << s;
    EXPECT_EQ(pic.at(cx + g.mX + g.boxW - 3, cy + g.mY + g.boxH + 1), WHITE) << s;

    for (int k = 0; k < 4; k++) {
      int ty = cy + (3 * g.mY) / 4 + g.step * (k + 1);
      int ix = cx + (3 * g.mX) / 4, ox = ix + g.boxW;
      bool in = typeHasInput(MOD[s]->type, k), out = typeHasOutput(MOD[s]->type, k);
      // the terminal is tW x tH from its top-left corner; sample its outer part, off the box line
      EXPECT_EQ(pic.at(ix + 1, ty + g.tH / 2), in ? TERM_COLOUR[k] : WHITE) << s << " in " << k;
      EXPECT_EQ(pic.at(ix, ty), in ? TERM_COLOUR[k] : WHITE) << s << " in " << k;
      EXPECT_EQ(pic.at(ix + g.tW - 1, ty + g.tH - 1), in ? TERM_COLOUR[k] : WHITE) << s << " in " << k;
      EXPECT_EQ(pic.at(ix - 1, ty + g.tH / 2), WHITE);
      EXPECT_EQ(pic.at(ix + 1, ty + g.tH), WHITE);
      EXPECT_EQ(pic.at(ox + g.tW - 1, ty + g.tH / 2), out ? TERM_COLOUR[k] : WHITE) << s << " out " << k;
      EXPECT_EQ(pic.at(ox + g.tW, ty + g.tH / 2), WHITE) << s << " out " << k;
    }

    // the label: dark pixels inside the box, centred on the column, with its baseline half its
    // height above the middle of the cell (the old toolkit's baseline at (rowH - height) / 2)
    int left = 1 << 30, right = -1, top = 1 << 30, bottom = -1;
    for (int y = cy + g.mY + 2; y < cy + g.mY + g.boxH - 1; y++)
      for (int x = cx + g.mX + 2; x < cx + g.mX + g.boxW - 1; x++)
        if (isDark(pic.at(x, y))) {
          left = std::min(left, x);
          right = std::max(right, x);
          top = std::min(top, y);
          bottom = std::max(bottom, y);
        }
    ASSERT_GE(right, 0) << "no label in box " << s;
    EXPECT_NEAR((left + right) / 2.0, cx + g.colW / 2.0, 4.0) << s;
    EXPECT_GT(right - left, 40) << s;  // "Line In ID: 100" is many characters wide
    if (MOD[s]->type != 2) {           // "Passthrough" has a descender; the others sit on the baseline
      int inkH = bottom - top + 1;
      EXPECT_NEAR(bottom + 1, cy + (g.rowH - inkH) / 2, 2.0) << s;
    }
  }
}

// The width of the label's ink in slot s's box, and of a text in the label's font.
static int labelInkWidth(const Picture &pic, int s)
{
  Grid g = grid();
  int left = 1 << 30, right = -1;
  for (int y = cellY(s) + g.mY + 2; y < cellY(s) + g.mY + g.boxH - 1; y++)
    for (int x = cellX(s) + g.mX + 2; x < cellX(s) + g.mX + g.boxW - 1; x++)
      if (isDark(pic.at(x, y))) left = std::min(left, x), right = std::max(right, x);
  return right < 0 ? 0 : right - left + 1;
}

static int textInkWidth(const std::string &text)
{
  PangoLayout *layout = gtk_widget_create_pango_layout(Parent->cmdLine, text.c_str());
  PangoRectangle ink;
  pango_layout_get_pixel_extents(layout, &ink, nullptr);
  g_object_unref(layout);
  return ink.width;
}

TEST_F(Gui, APluginModuleIsLabelledWithItsPluginsName)
{
  NEED(SWH "amp", "swh-lv2");
  command("lv2 " SWH "amp");
  ASSERT_NE(MOD[2], nullptr);
  std::string id = " ID: " + std::to_string(MOD[2]->ID);
  int named = textInkWidth("Simple amplifier" + id), typed = textInkWidth("LV2 Plugin" + id);
  ASSERT_GT(named, typed + 10);  // the two texts are told apart by their width
  EXPECT_NEAR(labelInkWidth(Picture(), 2), named, 2);
}

TEST_F(Gui, SelectedTerminalIsDrawnAsABlackOutline)
{
  int p = addModule(2);
  clickTerm(p, true, 1);
  ASSERT_EQ(selTerm, 1);
  Grid g = grid();
  int cx = cellX(p), cy = cellY(p);
  int ix = cx + (3 * g.mX) / 4, ox = ix + g.boxW;
  int ty1 = cy + (3 * g.mY) / 4 + g.step * 2;
  {
    Picture pic;
    // outline: the corners and edges are black, the inside keeps the background
    EXPECT_EQ(pic.at(ix, ty1), BLACK);
    EXPECT_EQ(pic.at(ix + g.tW, ty1 + g.tH), BLACK);
    EXPECT_EQ(pic.at(ix, ty1 + g.tH / 2), BLACK);
    EXPECT_EQ(pic.at(ix + 2, ty1 + g.tH / 2), WHITE);
    // the output terminal of the same index and the other inputs keep their colour
    EXPECT_EQ(pic.at(ox + g.tW - 1, ty1 + g.tH / 2), YELLOW);
    EXPECT_EQ(pic.at(ix + 2, ty1 - g.step + g.tH / 2), RED);
  }
  clickTerm(p, false, 3);  // same module's output 3, an output: a pair (sends the wire)
  EXPECT_EQ(O_TERM_CONNECT[p * 4 + 3], p * 4 + 1);
  clickTerm(p, false, 2);
  ASSERT_EQ(selTerm, 1);
  {
    Picture pic;
    int ty2 = cellY(p) + (3 * grid().mY) / 4 + grid().step * 3;
    int ox2 = cellX(p) + (3 * grid().mX) / 4 + grid().boxW;
    EXPECT_EQ(pic.at(ox2 + grid().tW, ty2), BLACK);
    EXPECT_EQ(pic.at(ox2 + grid().tW - 2, ty2 + grid().tH / 2), WHITE);
    EXPECT_EQ(pic.at(cellX(p) + (3 * grid().mX) / 4 + 2, ty2 + grid().tH / 2), GREEN);
  }
  // a selection left on a slot that no longer holds a module draws nothing and breaks nothing
  selMOD = 40;
  Picture pic;
  EXPECT_EQ(pic.at(0, 0), WHITE);
}

TEST_F(Gui, WiresAreStraightBlackLinesDrawnOverTheTerminals)
{
  wire(0, 0, 1, 0);  // Line In -> Line Out: two columns of one row
  ASSERT_EQ(MAX_TIER, 1);
  ASSERT_EQ(MAX_NUM_IN_TIER, 1);
  Grid g = grid();
  // from the right edge of Line In's box to the left edge of Line Out's, at a fifth of the height
  int x1 = g.mX + g.boxW, y = g.mY + g.step, x2 = g.colW + g.mX;
  Picture pic;
  for (int x = x1; x <= x2; x++) EXPECT_EQ(pic.at(x, y), BLACK) << x;
  EXPECT_EQ(pic.at((x1 + x2) / 2, y - 1), WHITE);
  EXPECT_EQ(pic.at((x1 + x2) / 2, y + 1), WHITE);
  // over Line Out's red input terminal the wire lies on top
  int ix = g.colW + (3 * g.mX) / 4;
  EXPECT_EQ(pic.at(ix + 1, y), BLACK);
  EXPECT_EQ(pic.at(ix + 1, y - 1), RED);
  EXPECT_EQ(pic.at(x1 + 2, y - 1), RED);  // Line In's output 0
}

// True when a black pixel lies within one pixel of the point.
static bool blackNear(const Picture &pic, double x, double y)
{
  for (int dy = -1; dy <= 1; dy++)
    for (int dx = -1; dx <= 1; dx++)
      if (pic.at((int)x + dx, (int)y + dy) == BLACK) return true;
  return false;
}

TEST_F(Gui, AWireBackToAnEarlierColumnIsStillAStraightLine)
{
  int a = addModule(2), b = addModule(2);
  wire(0, 0, a, 0);
  wire(a, 1, b, 0);
  wire(b, 0, a, 1);  // back from column 2 to column 1
  ASSERT_EQ(MOD_TIER[a], 1);
  ASSERT_EQ(MOD_TIER[b], 2);
  Grid g = grid();
  double x1 = cellX(b) + g.mX + g.boxW, y1 = cellY(b) + g.mY + g.step;
  double x2 = cellX(a) + g.mX, y2 = cellY(a) + g.mY + 2 * g.step;
  Picture pic;
  for (double f = 0.1; f < 0.95; f += 0.1)
    EXPECT_TRUE(blackNear(pic, x1 + (x2 - x1) * f, y1 + (y2 - y1) * f)) << f;
}

TEST_F(Gui, SixtyFourModulesInOneColumnHaveBoxesButNoTerminalArea)
{
  beginCapture();
  for (int n = 0; n < 62; n++) {
    char cmd[] = "a2";
    cmdparse(cmd);
  }
  endCapture();
  ASSERT_EQ(MAX_TIER, 0);
  ASSERT_EQ(MAX_NUM_IN_TIER, 64);
  Grid g = grid();
  int H = gtk_widget_get_allocated_height(Parent->drawArea);
  EXPECT_EQ(g.rowH, H / 64);
  Picture pic;
  int coloured = 0;
  for (int y = 0; y < pic.h; y++)
    for (int x = 0; x < pic.w; x++) {
      guint32 p = pic.at(x, y);
      coloured += p == RED || p == YELLOW || p == GREEN || p == BLUE;
    }
  EXPECT_EQ(g.tH, 0);
  EXPECT_EQ(coloured, 0);
  for (int s = 0; s < 64; s++) EXPECT_EQ(pic.at(g.mX + 3, cellY(s) + g.mY), BLACK) << s;
}

struct LockHolder {
  pthread_t th;
  GMutex m;
  GCond c;
  bool locked = false, painted = false, paintBlocked = false;
};

static void *holdGraphLock(void *p)
{
  LockHolder *h = (LockHolder *)p;
  GET_MODGRAPH_LOCK();
  g_mutex_lock(&h->m);
  h->locked = true;
  g_cond_broadcast(&h->c);
  gint64 end = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
  while (!h->painted)
    if (!g_cond_wait_until(&h->c, &h->m, end)) {
      h->paintBlocked = true;  // the painter is waiting for the lock: let it go and say so
      break;
    }
  g_mutex_unlock(&h->m);
  RELEASE_MODGRAPH_LOCK();
  return nullptr;
}

TEST_F(Gui, PaintingAndClicksNeverWaitForTheGraphLock)
{
  int d = addModule(4);
  wire(0, 0, d, 0);
  LockHolder h;
  g_mutex_init(&h.m);
  g_cond_init(&h.c);
  pthread_create(&h.th, nullptr, holdGraphLock, &h);
  g_mutex_lock(&h.m);
  while (!h.locked) g_cond_wait(&h.c, &h.m);
  g_mutex_unlock(&h.m);

  { Picture pic; }
  clickTerm(d, true, 0);  // a selection, no change to the graph
  clickBoxMiddle(d);

  g_mutex_lock(&h.m);
  h.painted = true;
  g_cond_broadcast(&h.c);
  g_mutex_unlock(&h.m);
  pthread_join(h.th, nullptr);
  EXPECT_FALSE(h.paintBlocked);
}

TEST_F(Gui, TheWindowShowsAWireOnceTheCommandHasMadeIt)
{
  wire(0, 1, 1, 1);
  Grid g = grid();
  int x = (g.mX + g.boxW + g.colW + g.mX) / 2, y = g.mY + 2 * g.step;
  guint32 px = 0;
  ASSERT_TRUE(runUntil([&] {
    GdkPixbuf *pb = gdk_pixbuf_get_from_window(gtk_widget_get_window(Parent->drawArea), x, y, 1, 1);
    if (!pb) return false;
    const guchar *d = gdk_pixbuf_read_pixels(pb);
    px = (d[0] << 16) | (d[1] << 8) | d[2];
    g_object_unref(pb);
    return px == BLACK;
  })) << std::hex << px;
}

// ======== hit test ========

TEST_F(Gui, ClicksExactlyOnTheBandEdgesCount)
{
  // Line In (row 0: outputs 0, 1) and Line Out (row 1: inputs 0, 1), one column
  Grid g = grid();
  int outY = cellY(0) + g.mY + g.step, inY = cellY(1) + g.mY + g.step;
  struct {
    int xIn, y;
    int selected, isI, mod;
  } cases[] = {
      {g.mX / 2, inY, 1, 1, 1},                   // left band, outer edge
      {g.mX / 2 - 1, inY, 0, -1, -1},             // just outside it
      {2 * g.mX, inY, 1, 1, 1},                   // left band, inner edge
      {2 * g.mX + 1, inY, 0, -1, -1},             // inside the box, between the bands
      {g.boxW, outY, 1, 0, 0},                    // right band, inner edge
      {g.boxW - 1, outY, 0, -1, -1},
      {g.boxW + g.mX + g.mX / 2, outY, 1, 0, 0},  // right band, outer edge
      {g.boxW + g.mX + g.mX / 2 + 1, outY, 0, -1, -1},
  };
  for (auto &c : cases) {
    resetPatch();
    click(c.xIn, c.y);
    EXPECT_EQ(selTerm, c.selected) << c.xIn;
    EXPECT_EQ(selMOD, c.mod) << c.xIn;  // a miss leaves the last hit where it was (-1 at start)
    if (c.selected) {
      EXPECT_EQ(selIsI, c.isI) << c.xIn;
      EXPECT_EQ(selNUM, 0) << c.xIn;
    }
  }
}

TEST_F(Gui, TerminalBandsSplitTheBoxHeightAndTheLowestTenthSelectsNothing)
{
  int p = addModule(2);  // four inputs
  Grid g = grid();
  int x = cellX(p) + g.mX, top = cellY(p) + g.mY;
  int tenth = g.boxH / 10, fifth = g.boxH / 5;
  // yIn - mY runs from 0 (top edge) to boxH (bottom edge); index = (yIn - mY - tenth) / fifth
  struct {
    int dy, num, selected;
  } cases[] = {
      {0, 0, 1},                      // the top edge: a negative quotient truncates to 0
      {tenth + fifth - 1, 0, 1},      {tenth + fifth, 1, 1},
      {tenth + 2 * fifth - 1, 1, 1},  {tenth + 2 * fifth, 2, 1},
      {tenth + 3 * fifth, 3, 1},      {tenth + 4 * fifth - 1, 3, 1},
      {tenth + 4 * fifth, 4, 0},      // the lowest tenth: index 4, no terminal
      {g.boxH, (g.boxH - tenth) / fifth, 0},  // the bottom edge itself
  };
  for (auto &c : cases) {
    resetPatch();
    p = addModule(2);
    click(x, top + c.dy);
    EXPECT_EQ(selMOD, p) << c.dy;
    EXPECT_EQ(selIsI, 1) << c.dy;
    EXPECT_EQ(selNUM, c.num) << c.dy;
    EXPECT_EQ(selTerm, c.selected) << c.dy;
  }
  // above the box is outside every band
  resetPatch();
  p = addModule(2);
  click(x, top - 1);
  EXPECT_EQ(selMOD, -1);
  EXPECT_EQ(selTerm, 0);
}

TEST_F(Gui, ABandWithoutATerminalRecordsTheHitButSelectsNothing)
{
  // Line In has no inputs: its left band is hit, nothing is selected
  clickTerm(0, true, 0);
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(selMOD, 0);
  EXPECT_EQ(selIsI, 1);
  EXPECT_EQ(selNUM, 0);
  // Line Out has inputs 0 and 1 only
  clickTerm(1, true, 3);
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(selMOD, 1);
  EXPECT_EQ(selNUM, 3);
}

TEST_F(Gui, RightClickInsideABoxOpensItsDialogEdgesIncludedAndChangesNothingElse)
{
  int p = addModule(4);
  clickTerm(p, true, 0);
  ASSERT_EQ(selTerm, 1);
  Grid g = grid();
  int cx = cellX(p), cy = cellY(p);
  struct {
    int x, y;
    bool opens;
  } cases[] = {
      {cx + g.mX, cy + g.mY, true},
      {cx + g.mX + g.boxW, cy + g.mY + g.boxH, true},
      {cx + g.mX - 1, cy + g.mY + 5, false},
      {cx + g.mX + g.boxW + 1, cy + g.mY + 5, false},
      {cx + g.mX + 5, cy + g.mY - 1, false},
      {cx + g.mX + 5, cy + g.mY + g.boxH + 1, false},
  };
  installHooks({countRepaint, nullptr, nullptr});
  for (auto &c : cases) {
    parmDialogCalls = 0;
    parmDialogSlot = -1;
    click(c.x, c.y, 3);
    EXPECT_EQ(parmDialogCalls, c.opens ? 1 : 0) << c.x << "," << c.y;
    if (c.opens) {
      EXPECT_EQ(parmDialogSlot, p);
    }
  }
  EXPECT_EQ(repaints, 0);
  EXPECT_EQ(selTerm, 1);
  EXPECT_EQ(selMOD, p);
  EXPECT_EQ(oldSelTerm, 0);
  EXPECT_EQ(selIsI, 1);
}

TEST_F(Gui, RightClickOnAnEmptyCellOpensNothing)
{
  wire(0, 0, 1, 0);  // two columns of one row; the cell below Line Out's does not exist
  Grid g = grid();
  click(g.colW + g.mX + 5, g.mY + 5, 3);
  EXPECT_EQ(parmDialogSlot, 1);
  parmDialogCalls = 0;
  int p = addModule(4);  // Distort goes to column 0, row 1; column 1 row 1 stays empty
  ASSERT_EQ(MAX_NUM_IN_TIER, 2);
  ASSERT_EQ(MOD_TIER[p], 0);
  g = grid();
  click(g.colW + g.mX + 5, g.rowH + g.mY + 5, 3);
  EXPECT_EQ(parmDialogCalls, 0);
}

// ======== selection and wiring ========

TEST_F(Gui, FirstClickOnlySelects)
{
  beginCapture();
  clickTerm(1, true, 0);
  auto out = endCapture();
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(selTerm, 1);
  EXPECT_EQ(oldSelTerm, 0);
  EXPECT_EQ(selIsI, 1);
  EXPECT_EQ(selMOD, 1);
  EXPECT_EQ(selNUM, 0);
  EXPECT_EQ(wiresCount(), 0);
}

TEST_F(Gui, OutputThenInputSendsTheWiringCommandAndReturnsToIdle)
{
  clickTerm(0, false, 0);
  beginCapture();
  clickTerm(1, true, 1);
  auto out = endCapture();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0], "Wiring module# 0 term 0 to module# 1 term 1");
  EXPECT_TRUE(hasLine(out, "MOD_EXEC_NUM 2"));
  EXPECT_EQ(O_TERM_CONNECT[0], 5);
  EXPECT_EQ(I_TERM_CONNECT[5], 0);
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(oldSelTerm, 0);
  EXPECT_EQ(MOD_TIER[1], 1);
}

TEST_F(Gui, InputThenOutputWiresTheSameWay)
{
  int d = addModule(4);
  clickTerm(d, true, 0);
  beginCapture();
  clickTerm(0, false, 1);
  auto out = endCapture();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0], "Wiring module# 0 term 1 to module# " + std::to_string(d) + " term 0");
  EXPECT_EQ(O_TERM_CONNECT[1], d * 4);
  EXPECT_EQ(selTerm, 0);
}

TEST_F(Gui, SecondTerminalOfTheSameKindTakesOverTheSelection)
{
  clickTerm(1, true, 0);
  beginCapture();
  clickTerm(1, true, 1);
  EXPECT_TRUE(endCapture().empty());
  EXPECT_EQ(selTerm, 1);
  EXPECT_EQ(selNUM, 1);
  EXPECT_EQ(oldSelTerm, 1);
  EXPECT_EQ(oldSelNUM, 0);
  clickBoxMiddle(0);
  clickTerm(0, false, 0);
  clickTerm(0, false, 1);
  EXPECT_EQ(selIsI, 0);
  EXPECT_EQ(selNUM, 1);
  EXPECT_EQ(wiresCount(), 0);
}

TEST_F(Gui, ClickAwayFromTerminalsDeselectsButKeepsTheLastHit)
{
  clickBoxMiddle(0);  // idle: stays idle
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(selMOD, -1);
  clickTerm(1, true, 1);
  clickBoxMiddle(0);
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(selMOD, 1);
  EXPECT_EQ(selNUM, 1);
  EXPECT_EQ(selIsI, 1);
  // and the next terminal click does not pair with the old one
  beginCapture();
  clickTerm(0, false, 0);
  EXPECT_TRUE(endCapture().empty());
  EXPECT_EQ(selTerm, 1);
  EXPECT_EQ(wiresCount(), 0);
}

TEST_F(Gui, OutputThenInputOfOneModuleWiresItToItself)
{
  int d = addModule(4);
  clickTerm(d, false, 0);
  beginCapture();
  clickTerm(d, true, 0);
  auto out = endCapture();
  ASSERT_FALSE(out.empty());
  std::string s = std::to_string(d);
  EXPECT_EQ(out[0], "Wiring module# " + s + " term 0 to module# " + s + " term 0");
  EXPECT_EQ(O_TERM_CONNECT[d * 4], d * 4);
  EXPECT_EQ(I_TERM_CONNECT[d * 4], d * 4);
}

TEST_F(Gui, WiringAnOutputThatAlreadyHasAWireReplacesIt)
{
  clickTerm(0, false, 0);
  clickTerm(1, true, 0);
  clickTerm(0, false, 0);
  clickTerm(1, true, 1);
  EXPECT_EQ(O_TERM_CONNECT[0], 5);
  EXPECT_EQ(I_TERM_CONNECT[4], -1);
  EXPECT_EQ(wiresCount(), 1);
  EXPECT_TRUE(tablesConsistent());
}

TEST_F(Gui, EveryPressOfADoubleClickCounts)
{
  // a double click delivers press, press, double-press: the first completes the pair, the next
  // two select the input again. The new wire leaves Line Out where it was (column 1, row 0).
  int d = addModule(4);
  wire(0, 0, 1, 0);
  gdk_display_set_double_click_time(gdk_display_get_default(), 60000);
  clickTerm(d, false, 0);
  int before = canvasPresses;
  clickTerm(1, true, 1);
  clickTerm(1, true, 1);
  gdk_display_set_double_click_time(gdk_display_get_default(), 0);
  EXPECT_EQ(canvasPresses, before + 3);
  EXPECT_EQ(O_TERM_CONNECT[d * 4], 5);
  EXPECT_EQ(selTerm, 1);
  EXPECT_EQ(selMOD, 1);
  EXPECT_EQ(selIsI, 1);
  EXPECT_EQ(selNUM, 1);
}

TEST_F(Gui, AnyOtherButtonOnlyRepaints)
{
  clickTerm(1, true, 0);
  installHooks({countRepaint, nullptr, nullptr});
  click(termX(0, false), termY(0, 0), 2);
  EXPECT_EQ(repaints, 1);
  EXPECT_EQ(selTerm, 1);
  EXPECT_EQ(selMOD, 1);
  EXPECT_EQ(parmDialogCalls, 0);
  EXPECT_EQ(wiresCount(), 0);
}

TEST_F(Gui, APairWhoseModuleWasRemovedIsDroppedSilently)
{
  int d = addModule(4);
  clickTerm(d, false, 0);
  beginCapture();
  activate("/_Remove");
  endCapture();
  ASSERT_EQ(MOD[d], nullptr);
  EXPECT_EQ(selTerm, 1);  // Remove leaves the selection
  beginCapture();
  clickTerm(1, true, 0);
  auto out = endCapture();
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(oldSelTerm, 0);
  EXPECT_EQ(wiresCount(), 0);
}

// ======== Disconnect, Remove ========

TEST_F(Gui, DisconnectRemovesTheWireAtTheSelectionAndLeavesTiersAlone)
{
  int d = addModule(4);
  wire(0, 0, d, 0);
  wire(d, 0, 1, 0);
  ASSERT_EQ(MOD_TIER[d], 1);
  ASSERT_EQ(MOD_TIER[1], 2);
  int order[MAX_MODULES];
  memcpy(order, MOD_EXEC_ORDER, sizeof order);
  clickTerm(d, true, 0);
  installHooks({countRepaint, nullptr, nullptr});
  beginCapture();
  activate("/_Disconnect");
  EXPECT_TRUE(endCapture().empty());
  EXPECT_EQ(repaints, 1);
  EXPECT_EQ(O_TERM_CONNECT[0], -1);
  EXPECT_EQ(I_TERM_CONNECT[d * 4], -1);
  EXPECT_EQ(O_TERM_CONNECT[d * 4], 4);  // the other wire stays
  EXPECT_EQ(MOD_TIER[d], 1);            // columns and order as they were
  EXPECT_EQ(MOD_TIER[1], 2);
  EXPECT_EQ(memcmp(order, MOD_EXEC_ORDER, sizeof order), 0);
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(oldSelTerm, 0);
  EXPECT_TRUE(tablesConsistent());

  // the next change reassigns them: the Distort is a source now
  command("a2");
  EXPECT_EQ(MOD_TIER[d], 0);
  EXPECT_EQ(MOD_TIER[1], 1);
}

TEST_F(Gui, DisconnectAtAnOutputAndWithoutASelection)
{
  wire(0, 1, 1, 1);
  activate("/_Disconnect");  // idle: nothing
  EXPECT_EQ(O_TERM_CONNECT[1], 5);
  clickTerm(0, false, 1);
  activate("/_Disconnect");
  EXPECT_EQ(O_TERM_CONNECT[1], -1);
  EXPECT_EQ(I_TERM_CONNECT[5], -1);
  // an unwired terminal: nothing to break, the selection still goes
  clickTerm(0, false, 0);
  activate("/_Disconnect");
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(wiresCount(), 0);
}

TEST_F(Gui, RemoveOfAWiredModuleIsRefusedAndTheSelectionStays)
{
  int d = addModule(4);
  wire(0, 0, d, 0);
  clickTerm(d, false, 0);
  std::string refusal = "Can't remove module# " + std::to_string(d) + " as it is still connected.";
  for (int n = 0; n < 2; n++) {
    beginCapture();
    activate("/_Remove");
    auto out = endCapture();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], refusal);
    EXPECT_NE(MOD[d], nullptr);
    EXPECT_EQ(selTerm, 1);
    EXPECT_EQ(selMOD, d);
  }
  // unwired it goes, the selection still names its slot, and a further Remove does nothing
  command("d " + std::to_string(MOD[0]->ID) + " a");
  beginCapture();
  activate("/_Remove");
  endCapture();
  EXPECT_EQ(MOD[d], nullptr);
  EXPECT_EQ(selTerm, 1);
  beginCapture();
  activate("/_Remove");
  EXPECT_TRUE(endCapture().empty());
}

TEST_F(Gui, RemoveRefusesLineModulesAndOpenDialogsAndNeedsASelection)
{
  beginCapture();
  activate("/_Remove");
  EXPECT_TRUE(endCapture().empty());
  clickTerm(1, true, 0);
  beginCapture();
  activate("/_Remove");
  auto out = endCapture();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], "Line In or Line Out modules cannot be removed or added.");
  int d = addModule(7);
  MOD_PARMBOX[d] = 1;
  clickTerm(d, true, 0);
  beginCapture();
  activate("/_Remove");
  out = endCapture();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], "Can't remove module# " + std::to_string(d) + " as it still has an active dialog box");
}

// ======== Patch and the splice ========

TEST_F(Gui, PatchThenAnotherModulesTerminalsInsertItIntoTheWire)
{
  int d = addModule(4);
  wire(0, 0, 1, 0);  // Line In 0 -> Line Out 0
  clickTerm(1, true, 0);
  activate("/_Patch");  // Selected -> Patch armed
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(isPatchMode, 1);
  EXPECT_EQ(isPatchI, 1);
  EXPECT_EQ(patchMOD, 1);
  EXPECT_EQ(patchNUM, 0);
  clickBoxMiddle(d);  // Patch armed, elsewhere: still armed
  EXPECT_EQ(isPatchMode, 1);
  EXPECT_EQ(selTerm, 0);
  clickTerm(0, false, 1);  // Patch armed -> Patch selected
  EXPECT_EQ(selTerm, 1);
  EXPECT_EQ(isPatchMode, 1);
  clickTerm(d, false, 0);  // same kind: the new one
  EXPECT_EQ(selMOD, d);
  EXPECT_EQ(isPatchMode, 1);
  beginCapture();
  clickTerm(d, true, 0);  // other kind: splice
  auto out = endCapture();
  EXPECT_FALSE(hasLineStarting(out, "Wiring"));  // not sent as a command
  EXPECT_FALSE(hasLine(out, "Deleting mismatched wires"));
  EXPECT_TRUE(hasLine(out, "MOD_EXEC_NUM 3"));
  // Line In 0 -> Distort in 0, Distort out 0 -> Line Out 0
  EXPECT_EQ(O_TERM_CONNECT[0], d * 4);
  EXPECT_EQ(I_TERM_CONNECT[d * 4], 0);
  EXPECT_EQ(O_TERM_CONNECT[d * 4], 4);
  EXPECT_EQ(I_TERM_CONNECT[4], d * 4);
  EXPECT_EQ(wiresCount(), 2);
  EXPECT_EQ(MOD_TIER[d], 1);
  EXPECT_EQ(MOD_TIER[1], 2);
  EXPECT_EQ(isPatchMode, 0);
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(oldSelTerm, 0);
}

TEST_F(Gui, PatchOnAnOutputSplicesInTheOtherOrderToo)
{
  int d = addModule(4);
  wire(0, 1, 1, 1);
  clickTerm(0, false, 1);
  activate("/_Patch");
  EXPECT_EQ(isPatchI, 0);
  clickTerm(d, true, 0);  // input first, then output
  clickTerm(d, false, 0);
  EXPECT_EQ(O_TERM_CONNECT[1], d * 4);
  EXPECT_EQ(O_TERM_CONNECT[d * 4], 5);
  EXPECT_TRUE(tablesConsistent());
}

TEST_F(Gui, SplicingWithTheWiresOwnTerminalsLeavesItAsItWas)
{
  wire(0, 0, 1, 0);
  clickTerm(0, false, 0);
  activate("/_Patch");
  beginCapture();
  clickTerm(1, true, 0);
  clickTerm(0, false, 0);
  auto out = endCapture();
  EXPECT_FALSE(hasLine(out, "Deleting mismatched wires"));
  EXPECT_EQ(O_TERM_CONNECT[0], 4);
  EXPECT_EQ(I_TERM_CONNECT[4], 0);
  EXPECT_EQ(wiresCount(), 1);
  EXPECT_EQ(isPatchMode, 0);
}

TEST_F(Gui, ASpliceHoldingOneEndOfTheWireRewiresThatEndAndKeepsTheTablesPaired)
{
  // The old wire's own output with a foreign input: the output now feeds that input and the old
  // destination is left unwired (nothing can sit between a terminal and itself).
  int d = addModule(4), e = addModule(4);
  wire(0, 0, 1, 0);
  wire(d, 0, e, 0);  // a wire at the chosen input, which the splice replaces
  clickTerm(1, true, 0);
  activate("/_Patch");
  beginCapture();
  clickTerm(0, false, 0);
  clickTerm(e, true, 0);
  auto out = endCapture();
  EXPECT_FALSE(hasLine(out, "Deleting mismatched wires"));
  EXPECT_EQ(O_TERM_CONNECT[0], e * 4);
  EXPECT_EQ(I_TERM_CONNECT[e * 4], 0);
  EXPECT_EQ(I_TERM_CONNECT[4], -1);
  EXPECT_EQ(O_TERM_CONNECT[d * 4], -1);
  EXPECT_EQ(wiresCount(), 1);
  EXPECT_TRUE(tablesConsistent());
  EXPECT_EQ(MOD_TIER[e], 1);

  // A foreign output with the old wire's own input: that output feeds it, the old source is free.
  resetPatch();
  d = addModule(4);
  wire(0, 0, 1, 0);
  wire(0, 1, d, 0);
  clickTerm(0, false, 0);
  activate("/_Patch");
  clickTerm(d, false, 0);
  clickTerm(1, true, 0);
  EXPECT_EQ(O_TERM_CONNECT[d * 4], 4);
  EXPECT_EQ(I_TERM_CONNECT[4], d * 4);
  EXPECT_EQ(O_TERM_CONNECT[0], -1);
  EXPECT_EQ(O_TERM_CONNECT[1], d * 4);  // Line In 1 -> Distort stays
  EXPECT_EQ(wiresCount(), 2);
  EXPECT_TRUE(tablesConsistent());
  EXPECT_EQ(MOD_TIER[1], 2);
}

TEST_F(Gui, PatchOnATerminalWithoutAWireChangesNothing)
{
  int d = addModule(4);
  activate("/_Patch");  // idle: nothing
  EXPECT_EQ(isPatchMode, 0);
  clickTerm(0, false, 0);
  activate("/_Patch");
  ASSERT_EQ(isPatchMode, 1);
  beginCapture();
  clickTerm(d, false, 0);
  clickTerm(1, true, 0);
  EXPECT_TRUE(endCapture().empty());
  EXPECT_EQ(wiresCount(), 0);
  EXPECT_EQ(isPatchMode, 0);
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(oldSelTerm, 0);
}

TEST_F(Gui, ASpliceWhoseModuleWasRemovedChangesNothing)
{
  int d = addModule(4);
  wire(0, 0, 1, 0);
  clickTerm(0, false, 0);
  activate("/_Patch");
  clickTerm(d, false, 0);  // Patch selected, on the Distort
  beginCapture();
  activate("/_Remove");  // unwired: it goes, the selection stays
  endCapture();
  ASSERT_EQ(MOD[d], nullptr);
  beginCapture();
  clickTerm(1, true, 1);
  EXPECT_TRUE(endCapture().empty());
  EXPECT_EQ(O_TERM_CONNECT[0], 4);
  EXPECT_EQ(I_TERM_CONNECT[4], 0);
  EXPECT_EQ(wiresCount(), 1);
  EXPECT_EQ(isPatchMode, 0);
  EXPECT_EQ(selTerm, 0);
}

TEST_F(Gui, InPatchModeAMissDisconnectAndPatchKeepItArmed)
{
  int d = addModule(4);
  wire(0, 0, 1, 0);
  wire(0, 1, d, 0);
  clickTerm(1, true, 0);
  activate("/_Patch");

  clickTerm(d, true, 0);  // Patch selected
  clickBoxMiddle(0);      // elsewhere: deselect, still armed
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(isPatchMode, 1);

  clickTerm(d, true, 0);
  activate("/_Disconnect");  // the wire at the selection goes, still armed
  EXPECT_EQ(I_TERM_CONNECT[d * 4], -1);
  EXPECT_EQ(O_TERM_CONNECT[1], -1);
  EXPECT_EQ(selTerm, 0);
  EXPECT_EQ(isPatchMode, 1);
  EXPECT_EQ(patchMOD, 1);

  clickTerm(0, false, 0);
  activate("/_Patch");  // the selection becomes the patched terminal
  EXPECT_EQ(isPatchMode, 1);
  EXPECT_EQ(isPatchI, 0);
  EXPECT_EQ(patchMOD, 0);
  EXPECT_EQ(patchNUM, 0);
  EXPECT_EQ(selTerm, 0);

  // right click in patch mode opens a dialog and leaves the state
  clickTerm(d, true, 0);
  click(cellX(d) + grid().colW / 2, cellY(d) + grid().rowH / 2, 3);
  EXPECT_EQ(parmDialogSlot, d);
  EXPECT_EQ(selTerm, 1);
  EXPECT_EQ(isPatchMode, 1);

  clickTerm(d, false, 0);  // splice Line In 0 -> Line Out 0 through the Distort
  EXPECT_EQ(O_TERM_CONNECT[0], d * 4);
  EXPECT_EQ(O_TERM_CONNECT[d * 4], 4);
  EXPECT_EQ(isPatchMode, 0);
  EXPECT_TRUE(tablesConsistent());
}

// ======== the command entry ========

static std::string entryTextAtRepaint;
static void recordEntryAtRepaint() { entryTextAtRepaint = gtk_entry_get_text(GTK_ENTRY(Parent->cmdLine)); }

static void typeLine(const char *text)
{
  gtk_widget_grab_focus(Parent->cmdLine);
  for (const char *c = text; *c; c++) key(*c == ' ' ? XK_space : *c == '-' ? XK_minus : (KeySym)*c);
  EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(Parent->cmdLine)), text);
  key(XK_Return);
}

TEST_F(Gui, TypedLinesGoToTheInterpreterWithTheEntryAlreadyEmpty)
{
  installHooks({recordEntryAtRepaint, nullptr, nullptr});
  entryTextAtRepaint = "unset";
  beginCapture();
  typeLine("a4");
  auto out = endCapture();
  EXPECT_EQ(entryTextAtRepaint, "");
  EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(Parent->cmdLine)), "");
  ASSERT_NE(MOD[2], nullptr);
  EXPECT_EQ(MOD[2]->type, 4);
  EXPECT_TRUE(hasLine(out, "Created new module ID=" + std::to_string(MOD[2]->ID) + " Slot=2 Type=4"));

  // lower case and leading blanks reach the interpreter as typed
  std::string line = "  c " + std::to_string(MOD[0]->ID) + "-" + std::to_string(MOD[2]->ID) + " a a";
  beginCapture();
  typeLine(line.c_str());
  out = endCapture();
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0], "Wiring module# 0 term 0 to module# 2 term 0");
  EXPECT_EQ(O_TERM_CONNECT[0], 8);

  beginCapture();
  key(XK_Return);  // an empty line
  EXPECT_TRUE(endCapture().empty());
}

// ======== ending the program (last: the window goes away) ========

static bool timedOut = false;
static gboolean watchdog(gpointer)
{
  timedOut = true;
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

static bool fileMenuShown = false;
static gboolean pressX(gpointer)
{
  fileMenuShown = gtk_widget_get_mapped(submenuOf("/_File"));
  sendKey(XK_x);
  return G_SOURCE_REMOVE;
}

static gboolean pressAltF(gpointer)
{
  pointerTo(gtk_widget_get_window(Parent->window), 20, 20);
  sendKey(XK_f, XK_Alt_L);
  g_timeout_add(300, pressX, nullptr);
  return G_SOURCE_REMOVE;
}

// ---- the status line and the tuner ----

// Pixels of the colour in a band of the widget, from x0 to x1 percent of its width.
static int pixelsOf(GtkWidget *w, int x0, int x1, guint32 colour)
{
  Picture pic(w);
  int n = 0;
  for (int y = 0; y < pic.h; y++)
    for (int x = x0 * pic.w / 100; x < x1 * pic.w / 100; x++) n += pic.at(x, y) == colour;
  return n;
}

// 32-frame passes of Line In (left a sine of the given peak and pitch, right silent) through the
// monitor as the audio thread feeds it, the output a copy of the input.
static void passes(int n, double peak, double hz)
{
  static long t = 0;
  short frames[64];
  for (int p = 0; p < n; p++) {
    for (int i = 0; i < 32; i++, t++) {
      double v = peak * sin(2 * M_PI * hz * t / 44100.0);
      frames[2 * i] = (short)lround(v > 32767 ? 32767 : v < -32768 ? -32768 : v);
      frames[2 * i + 1] = 0;
    }
    monitorLineIn(frames, 32);
    monitorPass(frames, 32);
    notePassTime(72500, 725624);  // a tenth of the period
  }
}

TEST_F(Gui, StatusLineUnderTheEntryShowsDeviceBufferLoadAndMeters)
{
  const statusWidgets &st = statusView();
  ASSERT_NE(st.box, nullptr);
  EXPECT_EQ(gtk_widget_get_parent(st.box), Parent->vbox);
  EXPECT_TRUE(gtk_widget_get_mapped(st.box));
  GtkAllocation e, b;
  gtk_widget_get_allocation(Parent->cmdLine, &e);
  gtk_widget_get_allocation(st.box, &b);
  EXPECT_GE(b.y, e.y + e.height);
  EXPECT_GT(b.height, 10);
  EXPECT_TRUE(gtk_widget_get_mapped(st.tunerItem));

  // no device in this process: no pass yet, and no xrun count to show
  monitorReset();
  ASSERT_TRUE(runUntil([&] { return std::string(gtk_label_get_text(GTK_LABEL(st.text))) == "OSS /dev/dsp \u00b7 no sound yet"; }))
      << gtk_label_get_text(GTK_LABEL(st.text));
  passes(40, 16384, 1000);
  ASSERT_TRUE(runUntil([&] {
    return std::string(gtk_label_get_text(GTK_LABEL(st.text))) ==
           "OSS /dev/dsp \u00b7 32 frames (0.73 ms) \u00b7 DSP 10.0% \u00b7 xruns --";
  })) << gtk_label_get_text(GTK_LABEL(st.text));
  // the count is asked once sound has flowed for a second; without a device there is none
  ASSERT_TRUE(runUntil([&] {
    passes(2, 16384, 1000);
    return std::string(gtk_label_get_text(GTK_LABEL(st.text))) ==
           "OSS /dev/dsp \u00b7 32 frames (0.73 ms) \u00b7 DSP 10.0% \u00b7 xruns n/a";
  })) << gtk_label_get_text(GTK_LABEL(st.text));

  // a level in the yellow band on In's half and Out's half; a full-scale peak lights the clip
  // mark (pure red) for about a second
  const guint32 METER_YELLOW = 0xe6cc19, CLIP_RED = 0xff0000;  // as the meters paint them
  passes(4, 16384, 1000);
  settle(120);
  EXPECT_GT(pixelsOf(st.meters, 0, 50, METER_YELLOW), 20);
  EXPECT_GT(pixelsOf(st.meters, 50, 100, METER_YELLOW), 20);
  EXPECT_EQ(pixelsOf(st.meters, 0, 100, CLIP_RED), 0);
  passes(4, 40000, 1000);
  settle(120);
  EXPECT_GT(pixelsOf(st.meters, 0, 50, CLIP_RED), 10);
  EXPECT_GT(pixelsOf(st.meters, 50, 100, CLIP_RED), 10);
  settle(1200);
  EXPECT_EQ(pixelsOf(st.meters, 0, 100, CLIP_RED), 0);

  // a new period (64 frames) is said to be one, and its load is not known yet
  notePassTime(14512, 1451247);
  EXPECT_TRUE(runUntil([&] {
    return std::string(gtk_label_get_text(GTK_LABEL(st.text))) ==
           "OSS /dev/dsp \u00b7 buffer changed to 64 frames (1.45 ms) \u00b7 DSP -- \u00b7 xruns n/a";
  })) << gtk_label_get_text(GTK_LABEL(st.text));
}

TEST_F(Gui, TunerMenuAndCommandOpenTheTunerWhichReadsLineInAndMutesWhileOpen)
{
  monitorReset();
  gtk_menu_item_activate(GTK_MENU_ITEM(statusView().tunerItem));
  drain();
  const tunerWidgets &tu = tunerView();
  ASSERT_NE(tu.window, nullptr);
  ASSERT_TRUE(runUntil([&] { return gtk_widget_get_mapped(tu.window); }));
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(tu.window)), "Tuner");
  EXPECT_TRUE(tunerRunning());
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(tu.cents)), "no note");

  // an E2 7 cents sharp, as sound arrives: the worker's reading reaches the window
  double hz = 440.0 * pow(2.0, (-29 * 100 + 7) / 1200.0);
  EXPECT_TRUE(runUntil([&] {
    passes(28, 12000, hz);
    return std::string(gtk_label_get_text(GTK_LABEL(tu.note))) == "E2" &&
           std::string(gtk_label_get_text(GTK_LABEL(tu.cents))) == "+7 cents";
  })) << gtk_label_get_text(GTK_LABEL(tu.note)) << " " << gtk_label_get_text(GTK_LABEL(tu.cents));
  EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(tu.hz)), "82.74 Hz");

  gtk_spin_button_set_value(GTK_SPIN_BUTTON(tu.reference), 442);
  EXPECT_EQ(tunerReference(), 442.0);
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(tu.reference), 440);

  // mute while tuning: only while the switch is on and the window open
  EXPECT_FALSE(outputMuted());
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(tu.mute), TRUE);
  EXPECT_TRUE(outputMuted());
  gtk_widget_hide(tu.window);
  drain();
  EXPECT_FALSE(outputMuted());
  EXPECT_FALSE(tunerRunning());

  // the command opens it again (and prints the reading), mute switch and all
  beginCapture();
  char line[] = "tuner";
  cmdparse(line);
  auto out = endCapture();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(runUntil([&] { return gtk_widget_get_mapped(tu.window); }));
  EXPECT_TRUE(outputMuted());
  gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(tu.mute), FALSE);
  gtk_widget_hide(tu.window);
  drain();
  EXPECT_FALSE(tunerRunning());
}

TEST_F(Gui, AltFThenXEndsTheMainLoop)
{
  timedOut = false;
  guint dog = g_timeout_add(10000, watchdog, nullptr);
  g_timeout_add(50, pressAltF, nullptr);
  gtk_main();
  if (!timedOut) g_source_remove(dog);
  EXPECT_FALSE(timedOut);
  EXPECT_TRUE(fileMenuShown);
  EXPECT_NE(Parent->drawArea, nullptr);  // File/Exit leaves the window to the shutdown
  settle(100);
}

TEST_F(Gui, ExitItemEndsTheMainLoop)
{
  timedOut = false;
  guint dog = g_timeout_add(10000, watchdog, nullptr);
  g_idle_add(
      [](gpointer) -> gboolean {
        gtk_menu_item_activate(GTK_MENU_ITEM(menuItemForPath("/File/E_xit")));
        return G_SOURCE_REMOVE;
      },
      nullptr);
  gtk_main();
  if (!timedOut) g_source_remove(dog);
  EXPECT_FALSE(timedOut);
}

TEST_F(Gui, ClosingTheWindowEndsTheMainLoopAndLaterRepaintsAreHarmless)
{
  timedOut = false;
  guint dog = g_timeout_add(10000, watchdog, nullptr);
  g_idle_add(
      [](gpointer) -> gboolean {
        gtk_window_close(GTK_WINDOW(Parent->window));
        return G_SOURCE_REMOVE;
      },
      nullptr);
  gtk_main();
  if (!timedOut) g_source_remove(dog);
  EXPECT_FALSE(timedOut);
  drain();
  EXPECT_EQ(Parent->drawArea, nullptr);  // the toolkit destroyed the window
  installGuiHooks();
  forcePaint();  // must not touch the destroyed canvas
  command("a4");
}

