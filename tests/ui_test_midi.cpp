// MIDI in the user interface: learn started with a right click on a dialog's control while a real
// JACK server delivers the control changes, the controls following what MIDI changes, and the
// File menu's set list items (storing a preset itself is tested through its command).
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "audio/cardfeed.h"
#include "audio/devices.h"
#include "control/control.h"
#include "control/setlist.h"
#include "engine/soundNode.h"
#include "samples/loopStore.h"
#include "tests/devtest.h"
#include "tests/jackserver.h"
#include "ui/gui.h"
#include "ui/ui_parts.h"

static bool runUntil(const std::function<bool()> &cond, int ms = 5000)
{
  for (int t = 0; t < ms; t += 5) {
    controlTick();
    while (gtk_events_pending()) gtk_main_iteration();
    if (cond()) return true;
    usleep(5000);
  }
  return cond();
}

static std::vector<std::string> labels(GtkWidget *menu)
{
  std::vector<std::string> out;
  GList *kids = gtk_container_get_children(GTK_CONTAINER(menu));
  for (GList *l = kids; l; l = l->next)
    out.push_back(GTK_IS_SEPARATOR_MENU_ITEM(l->data) ? "---"
                                                      : gtk_menu_item_get_label(GTK_MENU_ITEM(l->data)));
  g_list_free(kids);
  return out;
}

// A right click on the control, as the toolkit delivers it; the learn menu it opened.
static GtkWidget *rightClick(GtkWidget *w)
{
  GdkEvent *ev = gdk_event_new(GDK_BUTTON_PRESS);
  ev->button.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(w)));
  ev->button.button = 3;
  ev->button.time = GDK_CURRENT_TIME;
  gdk_event_set_device(ev, gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default())));
  EXPECT_TRUE(gtk_widget_event(w, ev));
  gdk_event_free(ev);
  GList *menus = gtk_menu_get_for_attach_widget(w);
  GtkWidget *menu = menus ? GTK_WIDGET(g_list_last(menus)->data) : nullptr;
  return menu;
}

static GtkWidget *item(GtkWidget *menu, int n)
{
  GList *kids = gtk_container_get_children(GTK_CONTAINER(menu));
  GtkWidget *w = GTK_WIDGET(g_list_nth_data(kids, n));
  g_list_free(kids);
  return w;
}

TEST(MidiLearn, ARightClickLearnsTheNextControlChangeAndTheControlsFollow)
{
  JackServer server(44100, 32);
  if (!server.up) GTEST_SKIP() << "JACK tests skipped: " << server.why;
  bootGraph();
  command("A 4");   // Distort, 102 in slot 2
  command("A 11");  // Record Sample, 103 in slot 3
  beginCapture();
  initLoops();
  controlSetInput(MIDI_JACK);
  ASSERT_EQ(jackBackend.open(44100, 16, 2, 5, 128), 0);
  std::thread reader([] { jackBackend.read(); });
  endCapture();
  JackMidiSender sender;
  ASSERT_TRUE(runUntil([] { return jackCallbacks.load() > 0; }));
  ASSERT_TRUE(sender.start());

  parmDialog(2);
  parmDialog(3);
  GtkWidget *grid = gtk_bin_get_child(GTK_BIN(MOD_PARMBOX_HANDLE[2]));
  GtkWidget *sat = gtk_grid_get_child_at(GTK_GRID(grid), 1, 0);
  GtkAdjustment *adj = gtk_range_get_adjustment(GTK_RANGE(sat));
  ASSERT_TRUE(runUntil([&] { return gtk_widget_get_mapped(sat); }));
  GtkWidget *menu = rightClick(sat);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(labels(menu), (std::vector<std::string>{"Learn MIDI Control", "No MIDI Control"}));
  EXPECT_FALSE(gtk_widget_get_sensitive(item(menu, 1)));
  beginCapture();
  gtk_menu_item_activate(GTK_MENU_ITEM(item(menu, 0)));
  ASSERT_TRUE(sender.send(0xB0, 7, 10));
  bool learned = runUntil([] { return controlMappingLabel(102, 1) == "CC 7 ch 1"; });
  std::vector<std::string> said = endCapture();
  ASSERT_TRUE(learned);
  EXPECT_EQ(said.back(), "Learned: CC 7 ch 1 -> module 102 parameter 1 (Sat) 0..256");
  GtkWidget *label = gtk_grid_get_child_at(GTK_GRID(grid), 1, 1);
  EXPECT_TRUE(runUntil([&] { return std::string(gtk_label_get_text(GTK_LABEL(label))) == "Sat\nCC 7 ch 1"; }));
  EXPECT_TRUE(runUntil([&] {
    gchar *t = gtk_widget_get_tooltip_text(sat);
    bool shown = t && std::string(t) == "CC 7 ch 1";
    g_free(t);
    return shown;
  }));

  // The slider follows the pedal; the radio group follows its own controller.
  ASSERT_TRUE(sender.send(0xB0, 7, 127));
  EXPECT_TRUE(runUntil([&] { return gtk_adjustment_get_value(adj) == 256.0; }));
  EXPECT_EQ(MOD[2]->parm[1], 256.0f);
  EXPECT_EQ(command("map 1 8 103 0"), (std::vector<std::string>{
                                          "Mapped CC 8 ch 1 -> module 103 parameter 0 "
                                          "(Play/Overdub/Record) 0..2"}));
  ASSERT_TRUE(sender.send(0xB0, 8, 127));
  GList *kids = gtk_container_get_children(GTK_CONTAINER(gtk_bin_get_child(GTK_BIN(MOD_PARMBOX_HANDLE[3]))));
  GtkWidget *record = GTK_WIDGET(g_list_nth_data(kids, 3));
  g_list_free(kids);
  EXPECT_TRUE(runUntil([&] { return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(record)); }));
  EXPECT_FLOAT_EQ(MOD[3]->parm[0], 2.01f);
  // Following never runs the slider's handler, which would pull this value into its range.
  MOD[2]->parm[1] = -5.0f;
  parmDialogFollow();
  EXPECT_EQ(gtk_adjustment_get_value(adj), 0.0);
  EXPECT_EQ(MOD[2]->parm[1], -5.0f);

  menu = rightClick(sat);
  ASSERT_NE(menu, nullptr);
  EXPECT_EQ(labels(menu), (std::vector<std::string>{"Learn MIDI Control", "Forget CC 7 ch 1"}));
  gtk_menu_item_activate(GTK_MENU_ITEM(item(menu, 1)));
  EXPECT_EQ(controlMappingLabel(102, 1), "");
  EXPECT_TRUE(runUntil([&] { return std::string(gtk_label_get_text(GTK_LABEL(label))) == "Sat"; }));
  ASSERT_TRUE(sender.send(0xB0, 7, 64));
  usleep(50000);
  EXPECT_EQ(MOD[2]->parm[1], -5.0f);

  closeParmDialogs();
  beginCapture();
  jackBackend.close();
  reader.join();
  endCapture();
}

TEST(SetListMenu, FileMenuOffersTheSetListItemsAboveExit)
{
  bootGraph();
  beginCapture();
  initLoops();
  buildMainWindow();
  endCapture();
  addSetListMenuItems();
  GtkWidget *file = gtk_menu_item_get_submenu(GTK_MENU_ITEM(menuItemForPath("/_File")));
  EXPECT_EQ(labels(file), (std::vector<std::string>{"_Open Layout", "_Save Layout",
                                                    "Open Sa_mplebank", "Save Sam_plebank", "---",
                                                    "Open Set _List...", "Sa_ve Set List...",
                                                    "S_tore Patch as Preset...", "---", "E_xit"}));
}
