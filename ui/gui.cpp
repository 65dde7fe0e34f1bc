// The main window: the menu bar built from mainGui_menu, the patch canvas (painted from the module,
// tier and wire tables), mouse patching with its selection state, the Patch splice, and the
// command entry. Everything here runs on the UI thread; painting and hit tests read the tables
// without the graph lock, because this thread is their only writer.
#include "ui/gui.h"

#include <math.h>
#include <string.h>

#include <map>
#include <string>

#include "command/cmdparse.h"
#include "control/control.h"
#include "base/hooks.h"
#include "engine/io_term_inlines.h"
#include "engine/soundNode.h"
#include "ui/sampleList.h"
#include "ui/ui_parts.h"

mainGui *Parent = nullptr;

int selTerm = 0, selIsI = 0, selMOD = -1, selNUM = -1;
int oldSelTerm = 0, oldSelIsI = 0, oldSelMOD = -1, oldSelNUM = -1;
int isPatchMode = 0, isPatchI = 0, patchMOD = -1, patchNUM = -1;

// clang-format off
const menuEntry mainGui_menu[MAIN_MENU_ENTRIES] = {
  {"/_File",                      "<alt>F",     nullptr,        nullptr, "<Branch>"},
  {"/File/_Open Layout",          "<control>O", mnu_openlayout, nullptr, nullptr},
  {"/File/_Save Layout",          "<control>S", mnu_savelayout, nullptr, nullptr},
  {"/File/Open Sa_mplebank",      nullptr,      mnu_opensbank,  nullptr, nullptr},
  {"/File/Save Sam_plebank",      nullptr,      mnu_savesbank,  nullptr, nullptr},
  {"/File/sep1",                  nullptr,      nullptr,        nullptr, "<Separator>"},
  {"/File/E_xit",                 nullptr,      mnu_exit,       nullptr, nullptr},
  {"/_Insert",                    nullptr,      nullptr,        nullptr, "<Branch>"},
  {"/Insert/_Passthrough",        nullptr,      issue_cmd,      "a2",    nullptr},
  {"/Insert/_Mixer",              nullptr,      issue_cmd,      "a3",    nullptr},
  {"/Insert/_Distortion",         nullptr,      issue_cmd,      "a4",    nullptr},
  {"/Insert/_Reverb",             nullptr,      issue_cmd,      "a5",    nullptr},
  {"/Insert/_Chorus",             nullptr,      issue_cmd,      "a16",   nullptr},
  {"/Insert/_Splitter",           nullptr,      issue_cmd,      "a6",    nullptr},
  {"/Insert/_Tone",               nullptr,      issue_cmd,      "a7",    nullptr},
  {"/Insert/_Looper",             nullptr,      issue_cmd,      "a8",    nullptr},
  {"/Insert/M_ultiply",           nullptr,      issue_cmd,      "a19",   nullptr},
  {"/Insert/_XFader",             nullptr,      issue_cmd,      "a9",    nullptr},
  {"/Insert/_Volume Compressor",  nullptr,      issue_cmd,      "a17",   nullptr},
  {"/Insert/_OctaveDown",         nullptr,      issue_cmd,      "a10",   nullptr},
  {"/Insert/S_kratcher",          nullptr,      issue_cmd,      "a18",   nullptr},
  {"/Insert/Record _1 Second",    nullptr,      issue_cmd,      "a11",   nullptr},
  {"/Insert/Record 1_0 Seconds",  nullptr,      issue_cmd,      "a12",   nullptr},
  {"/Insert/Record _30 Seconds",  nullptr,      issue_cmd,      "a13",   nullptr},
  {"/Insert/S_ync Sequencer",     nullptr,      issue_cmd,      "a14",   nullptr},
  {"/Insert/Pa_nning Mixer",      nullptr,      issue_cmd,      "a15",   nullptr},
  {"/Insert/sep2",                nullptr,      nullptr,        nullptr, "<Separator>"},
  {"/Insert/LV2 Plu_gin...",      nullptr,      mnu_plugins,    nullptr, nullptr},
  {"/_Disconnect",                nullptr,      mnu_disconnect, nullptr, nullptr},
  {"/_Remove",                    nullptr,      mnu_remove,     nullptr, nullptr},
  {"/_Patch",                     nullptr,      mnu_patch,      nullptr, nullptr},
  {"/_SampleList",                nullptr,      mnu_samplist,   nullptr, nullptr},
  {"/_Help",                      nullptr,      nullptr,        nullptr, "<LastBranch>"},
  {"/_Help/About",                nullptr,      nullptr,        nullptr, nullptr},
};
// clang-format on

static GtkWidget *menuItems[MAIN_MENU_ENTRIES];

GtkWidget *menuItemForPath(const char *path)
{
  for (int n = 0; n < MAIN_MENU_ENTRIES; n++)
    if (strcmp(mainGui_menu[n].path, path) == 0) return menuItems[n];
  return nullptr;
}

// ---- canvas geometry, shared by painting and the hit test ----

struct canvasGeom {
  int colW, rowH, mX, mY, boxW, boxH, tW, tH, step;
};

static canvasGeom geometryFor(int W, int H)
{
  canvasGeom g;
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

static canvasGeom canvasGeometry(GtkWidget *canvas)
{
  return geometryFor(gtk_widget_get_allocated_width(canvas),
                     gtk_widget_get_allocated_height(canvas));
}

// ---- painting ----

struct rgb {
  double r, g, b;
};
static const rgb RED = {1, 0, 0}, GREEN = {0, 1, 0}, BLUE = {0, 0, 1}, YELLOW = {1, 1, 0},
                 BLACK = {0, 0, 0};
static const rgb *const termColour[4] = {&RED, &YELLOW, &GREEN, &BLUE};

static void setColour(cairo_t *cr, const rgb &c) { cairo_set_source_rgb(cr, c.r, c.g, c.b); }

// An outline covers the pixels x..x+w and y..y+h, a filled rectangle x..x+w-1 and y..y+h-1, as
// on the X server: the half-pixel offset puts the 1-pixel pen on whole pixels.
static void outlineRect(cairo_t *cr, int x, int y, int w, int h)
{
  cairo_rectangle(cr, x + 0.5, y + 0.5, w, h);
  cairo_stroke(cr);
}

static void fillRect(cairo_t *cr, int x, int y, int w, int h)
{
  if (w <= 0 || h <= 0) return;
  cairo_rectangle(cr, x, y, w, h);
  cairo_fill(cr);
}

static void drawLine(cairo_t *cr, int x1, int y1, int x2, int y2)
{
  cairo_move_to(cr, x1 + 0.5, y1 + 0.5);
  cairo_line_to(cr, x2 + 0.5, y2 + 0.5);
  cairo_stroke(cr);
}

static void drawTerminal(cairo_t *cr, int x, int y, const canvasGeom &g, int k, bool selected)
{
  if (selected) {
    setColour(cr, BLACK);
    outlineRect(cr, x, y, g.tW, g.tH);
  } else {
    setColour(cr, *termColour[k]);
    fillRect(cr, x, y, g.tW, g.tH);
  }
}

gboolean paint_drawArea(GtkWidget *widget, cairo_t *cr, void *data)
{
  mainGui *gui = (mainGui *)data;
  int W = gtk_widget_get_allocated_width(widget);
  int H = gtk_widget_get_allocated_height(widget);
  // cairo arrives clipped to the exposed region; clear it to the theme's background
  gtk_render_background(gtk_widget_get_style_context(widget), cr, 0, 0, W, H);

  cairo_save(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  cairo_set_line_width(cr, 1.0);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
  canvasGeom g = geometryFor(W, H);

  for (int s = 0; s < MAX_MODULES; s++) {
    modRec *m = MOD[s];
    if (!m) continue;
    int cx = g.colW * MOD_TIER[s], cy = g.rowH * MOD_NUM_IN_TIER[s];

    setColour(cr, BLACK);
    outlineRect(cr, cx + g.mX, cy + g.mY, g.boxW, g.boxH);

    // the label's baseline starts where the old toolkit put a string of this width and height;
    // a plugin module is named by its plugin
    char *text = g_strdup_printf("%s ID: %d", moduleName(m).c_str(), m->ID);
    PangoLayout *layout = gtk_widget_create_pango_layout(gui->cmdLine, text);
    PangoRectangle ink, logical;
    pango_layout_get_pixel_extents(layout, &ink, &logical);
    int textWidth = logical.width, textHeight = ink.height;
    int baseline = pango_layout_get_baseline(layout) / PANGO_SCALE;
    cairo_move_to(cr, cx + (g.colW - textWidth) / 2, cy + (g.rowH - textHeight) / 2 - baseline);
    pango_cairo_show_layout(cr, layout);
    g_object_unref(layout);
    g_free(text);

    for (int k = 0; k < 4; k++) {
      int ty = cy + (3 * g.mY) / 4 + g.step * (k + 1);
      int ix = cx + (3 * g.mX) / 4;
      if (modHasInput(m, k))
        drawTerminal(cr, ix, ty, g, k, selTerm && selIsI && selMOD == s && selNUM == k);
      if (modHasOutput(m, k))
        drawTerminal(cr, ix + g.boxW, ty, g, k, selTerm && !selIsI && selMOD == s && selNUM == k);
    }
  }

  // wires last, so that they lie on top of the boxes they cross
  setColour(cr, BLACK);
  for (int s = 0; s < MAX_MODULES; s++) {
    if (!MOD[s]) continue;
    for (int k = 0; k < 4; k++) {
      int i = O_TERM_WIRE(s * 4 + k);
      if (i == -1) continue;
      int d = i / 4, j = i % 4;
      int x1 = g.colW * MOD_TIER[s] + g.mX + g.boxW;
      int y1 = g.rowH * MOD_NUM_IN_TIER[s] + g.mY + g.step * (k + 1);
      int x2 = g.colW * MOD_TIER[d] + g.mX;
      int y2 = g.rowH * MOD_NUM_IN_TIER[d] + g.mY + g.step * (j + 1);
      drawLine(cr, x1, y1, x2, y2);
    }
  }
  cairo_restore(cr);
  return TRUE;
}

// The hook behind forcePaint: a full redraw of the canvas, once the window exists.
static void repaintCanvas()
{
  if (Parent && Parent->drawArea) gtk_widget_queue_draw(Parent->drawArea);
}

static void canvasDestroyed(GtkWidget *, void *data)
{
  ((mainGui *)data)->drawArea = nullptr;
}

// ---- mouse patching ----

// The module whose cell holds the point, with the point's position inside that cell; -1 when the
// cell is empty (or the canvas is too small to hold a grid).
static int moduleAtPoint(const canvasGeom &g, double x, double y, int *xIn, int *yIn)
{
  if (g.colW <= 0 || g.rowH <= 0) return -1;
  if (!(fabs(x) < 1e7 && fabs(y) < 1e7)) return -1;
  int col = (int)(x / g.colW), row = (int)(y / g.rowH);
  *xIn = (int)x - col * g.colW;
  *yIn = (int)y - row * g.rowH;
  for (int s = 0; s < MAX_MODULES; s++)
    if (MOD[s] && MOD_TIER[s] == col && MOD_NUM_IN_TIER[s] == row) return s;
  return -1;
}

// UI thread; takes the graph lock itself. Splices the patched terminal's wire Po -> Pi with the
// chosen output O and input I: Po -> I and O -> Pi, which inserts a module picked this way into
// the old wire. When the pair holds exactly one end of the old wire, nothing can be inserted
// between a terminal and itself: the pair is then wired as an ordinary connection O -> I and the
// old wire's other end is left unwired, so that both wire tables still name each other.
static void spliceWire(int outMod, int outNum, int inMod, int inNum)
{
  isPatchMode = 0;
  int Po, Pi;
  if (isPatchI) {
    Pi = patchMOD * 4 + patchNUM;
    Po = I_TERM_WIRE(Pi);
    if (Po == -1) return;
  } else {
    Po = patchMOD * 4 + patchNUM;
    Pi = O_TERM_WIRE(Po);
    if (Pi == -1) return;
  }
  if (!MOD[outMod] || !MOD[inMod]) return;

  GET_MODGRAPH_LOCK();
  if (isPatchI)
    break_O_WIRE(Po);
  else
    break_I_WIRE(Pi);
  int O = outMod * 4 + outNum, I = inMod * 4 + inNum;
  break_O_WIRE(O);
  break_I_WIRE(I);
  if ((O == Po) != (I == Pi)) {
    make_IO_WIRE(I, O);
  } else {
    make_IO_WIRE(Pi, O);
    make_IO_WIRE(I, Po);
  }
  // The accessors keep both tables in step, so this finds nothing (and prints nothing) unless
  // the tables were already broken.
  validateModuleConnections();
  computeModuleTiers();
  RELEASE_MODGRAPH_LOCK();
  printExecOrder();
}

static void leftClick(const canvasGeom &g, int s, int xIn, int yIn)
{
  oldSelTerm = selTerm;
  oldSelIsI = selIsI;
  oldSelMOD = selMOD;
  oldSelNUM = selNUM;
  selTerm = 0;

  bool inBand = g.mX / 2 <= xIn && xIn <= g.boxW + g.mX + g.mX / 2 && g.mY <= yIn &&
                yIn <= g.mY + g.boxH && (xIn <= 2 * g.mX || xIn >= g.boxW);
  // a box under 5 pixels high has no terminal bands (only a canvas below its requested size)
  if (s >= 0 && inBand && g.boxH / 5 > 0) {
    selMOD = s;
    selIsI = xIn < g.colW / 2 ? 1 : 0;
    selNUM = (yIn - g.mY - g.boxH / 10) / (g.boxH / 5);
    if (selNUM >= 0 && selNUM <= 3) {
      if (selIsI ? modHasInput(MOD[s], selNUM) : modHasOutput(MOD[s], selNUM)) selTerm = 1;
    }
  }

  if (oldSelTerm == 1 && selTerm == 1 && oldSelIsI != selIsI) {
    int outMod = selIsI ? oldSelMOD : selMOD, outNum = selIsI ? oldSelNUM : selNUM;
    int inMod = selIsI ? selMOD : oldSelMOD, inNum = selIsI ? selNUM : oldSelNUM;
    if (!isPatchMode) {
      if (MOD[outMod] && MOD[inMod]) {
        char *cmd = g_strdup_printf("C %d-%d%c%c\n", MOD[outMod]->ID, MOD[inMod]->ID,
                                    'a' + outNum, 'a' + inNum);
        cmdparse(cmd);
        g_free(cmd);
      }
    } else {
      spliceWire(outMod, outNum, inMod, inNum);
    }
    selTerm = 0;
    oldSelTerm = 0;
  }
}

gboolean mouse_click_cb(GtkWidget *widget, GdkEventButton *event, void *)
{
  canvasGeom g = canvasGeometry(widget);
  int xIn = 0, yIn = 0;
  if (event->button == 3) {
    int s = moduleAtPoint(g, event->x, event->y, &xIn, &yIn);
    if (s >= 0 && g.mX <= xIn && xIn <= g.mX + g.boxW && g.mY <= yIn && yIn <= g.mY + g.boxH)
      parmDialog(s);
    return TRUE;
  }
  if (event->button == 1) {
    int s = moduleAtPoint(g, event->x, event->y, &xIn, &yIn);
    leftClick(g, s, xIn, yIn);
  }
  forcePaint();
  return TRUE;
}

// ---- menu and entry handlers ----

void issue_cmd(GtkWidget *, void *action)
{
  char *cmd = g_strdup((const char *)action);
  cmdparse(cmd);
  g_free(cmd);
}

// UI thread; takes the graph lock itself. Leaves tiers and the execution order as they were.
void mnu_disconnect(GtkWidget *, void *)
{
  if (selTerm == 0) return;
  GET_MODGRAPH_LOCK();
  int t = selMOD * 4 + selNUM;
  if (selIsI)
    break_I_WIRE(t);
  else
    break_O_WIRE(t);
  oldSelTerm = 0;
  selTerm = 0;
  RELEASE_MODGRAPH_LOCK();
  forcePaint();
}

void mnu_remove(GtkWidget *, void *)
{
  if (selTerm != 1 || !MOD[selMOD]) return;
  char *cmd = g_strdup_printf("R%d", MOD[selMOD]->ID);
  cmdparse(cmd);
  g_free(cmd);
}

void mnu_patch(GtkWidget *, void *)
{
  if (selTerm != 1) return;
  selTerm = 0;
  isPatchMode = 1;
  isPatchI = selIsI;
  patchMOD = selMOD;
  patchNUM = selNUM;
  forcePaint();
}

void mnu_samplist(GtkWidget *, void *) { showSampleList(); }
void mnu_plugins(GtkWidget *, void *) { showPluginList(); }
void mnu_openlayout(GtkWidget *, void *) { LoadLayout(); }
void mnu_savelayout(GtkWidget *, void *) { SaveLayout(); }
void mnu_opensbank(GtkWidget *, void *) { LoadSBank(); }
void mnu_savesbank(GtkWidget *, void *) { SaveSBank(); }
void mnu_exit(GtkWidget *, void *) { gtk_main_quit(); }

void enter_cmdLine(GtkWidget *, GtkWidget *entry)
{
  char *line = g_strdup(gtk_entry_get_text(GTK_ENTRY(entry)));
  gtk_entry_set_text(GTK_ENTRY(entry), "");
  cmdparse(line);
  g_free(line);
}

gboolean delete_event_cb(GtkWidget *, GdkEventAny *, void *)
{
  gtk_main_quit();
  return FALSE;
}

// ---- construction ----

// A branch's accelerator opens its menu, as its mnemonic does. Connected swapped: the item
// comes first, the accelerator group last.
static gboolean openBranch(GtkWidget *item, GObject *, guint, GdkModifierType, GtkAccelGroup *)
{
  return gtk_widget_mnemonic_activate(item, FALSE);
}

static std::string withoutMnemonics(const std::string &path)
{
  std::string out;
  for (char c : path)
    if (c != '_') out += c;
  return out;
}

void mainGui::makeMenu(GtkWidget *window, GtkWidget **menuBar)
{
  GtkAccelGroup *accel = gtk_accel_group_new();
  GtkWidget *bar = gtk_menu_bar_new();
  std::map<std::string, GtkWidget *> branches;  // a branch's path without mnemonics -> its menu

  for (int n = 0; n < MAIN_MENU_ENTRIES; n++) {
    const menuEntry &e = mainGui_menu[n];
    std::string path = e.path;
    size_t cut = path.rfind('/');
    std::string parentPath = withoutMnemonics(path.substr(0, cut));
    std::string label = path.substr(cut + 1);
    GtkWidget *shell = parentPath.empty() ? bar : branches[parentPath];
    g_return_if_fail(shell != nullptr);

    std::string type = e.itemType ? e.itemType : "";
    GtkWidget *item;
    if (type == "<Separator>") {
      item = gtk_separator_menu_item_new();
    } else {
      item = gtk_menu_item_new_with_mnemonic(label.c_str());
      if (type == "<Branch>" || type == "<LastBranch>") {
        GtkWidget *menu = gtk_menu_new();
        gtk_menu_set_accel_group(GTK_MENU(menu), accel);
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), menu);
        branches[withoutMnemonics(path)] = menu;
        if (type == "<LastBranch>") {
          G_GNUC_BEGIN_IGNORE_DEPRECATIONS
          gtk_menu_item_set_right_justified(GTK_MENU_ITEM(item), TRUE);
          G_GNUC_END_IGNORE_DEPRECATIONS
        }
      }
      if (e.handler) g_signal_connect(item, "activate", G_CALLBACK(e.handler), (gpointer)e.action);
      if (e.accelerator) {
        guint key;
        GdkModifierType mods;
        gtk_accelerator_parse(e.accelerator, &key, &mods);
        if (key != 0 && gtk_menu_item_get_submenu(GTK_MENU_ITEM(item)))
          gtk_accel_group_connect(accel, key, mods, GTK_ACCEL_VISIBLE,
                                  g_cclosure_new_swap(G_CALLBACK(openBranch), item, nullptr));
        else if (key != 0)
          gtk_widget_add_accelerator(item, "activate", accel, key, mods, GTK_ACCEL_VISIBLE);
      }
    }
    gtk_menu_shell_append(GTK_MENU_SHELL(shell), item);
    menuItems[n] = item;
  }

  gtk_window_add_accel_group(GTK_WINDOW(window), accel);
  if (menuBar) *menuBar = bar;
}

mainGui::mainGui()
    : window(nullptr), vbox(nullptr), menuBar(nullptr), drawArea(nullptr), cmdLine(nullptr),
      sampleWindow(nullptr), sampleScroll(nullptr), sampleList(nullptr)
{
  window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  vbox = newMainBox();
  makeMenu(window, &menuBar);
  drawArea = gtk_drawing_area_new();
  gtk_widget_set_size_request(drawArea, 500, 400);
  cmdLine = gtk_entry_new();

  gtk_box_pack_start(GTK_BOX(vbox), menuBar, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(vbox), drawArea, TRUE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(vbox), cmdLine, FALSE, FALSE, 0);
  buildStatusLine(vbox);
  gtk_container_add(GTK_CONTAINER(window), vbox);
  gtk_window_set_title(GTK_WINDOW(window), "QAF");

  g_signal_connect(drawArea, "draw", G_CALLBACK(paint_drawArea), this);
  g_signal_connect(drawArea, "button_press_event", G_CALLBACK(mouse_click_cb), this);
  g_signal_connect(drawArea, "destroy", G_CALLBACK(canvasDestroyed), this);
  gtk_widget_set_events(drawArea, GDK_EXPOSURE_MASK | GDK_POINTER_MOTION_MASK |
                                      GDK_BUTTON_PRESS_MASK | GDK_LEAVE_NOTIFY_MASK);
  g_signal_connect(cmdLine, "activate", G_CALLBACK(enter_cmdLine), cmdLine);
  g_signal_connect(window, "delete_event", G_CALLBACK(delete_event_cb), nullptr);

  gtk_widget_show_all(window);
  Parent = this;
  buildSampleList();
  sampleWindow = sampleListWindow();
  sampleList = sampleListView();
  sampleScroll = sampleList ? gtk_widget_get_parent(sampleList) : nullptr;
}

// The widgets belong to the toolkit for the life of the process.
mainGui::~mainGui() {}

void installGuiHooks()
{
  qafHooks h = {repaintCanvas, closeParmDialogs, sampleListNameChanged};
  installHooks(h);
}

void buildMainWindow()
{
  installGuiHooks();
  new mainGui;
}
