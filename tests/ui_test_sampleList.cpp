// The Sample List window on a virtual display: rows are clicked with real button events, files
// are chosen in the real chooser and confirmed or cancelled through its responses. The cases run
// in order in one process and share the window, as a user's session would.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "base/hooks.h"
#include "samples/loopStore.h"
#include "tests/testutil.h"
#include "ui/sampleList.h"
#include "ui/ui_parts.h"

static void settle()
{
  for (int i = 0; i < 5; i++) {
    while (gtk_events_pending()) gtk_main_iteration();
    g_usleep(2000);
  }
}

template <class F> static bool waitFor(F cond, int ms = 5000)
{
  gint64 end = g_get_monotonic_time() + gint64(ms) * 1000;
  while (!cond()) {
    if (g_get_monotonic_time() > end) return false;
    while (gtk_events_pending()) gtk_main_iteration();
    g_usleep(2000);
  }
  return true;
}

static std::string rowText(int row, int col)
{
  GtkTreeModel *m = gtk_tree_view_get_model(GTK_TREE_VIEW(sampleListView()));
  GtkTreeIter it;
  if (!gtk_tree_model_iter_nth_child(m, &it, nullptr, row)) return "<no row>";
  char *t = nullptr;
  gtk_tree_model_get(m, &it, col, &t, -1);
  std::string s = t ? t : "";
  g_free(t);
  return s;
}

// A press and release of button 1 in the middle of the row's FileName cell.
static void clickRow(int row)
{
  GtkTreeView *view = GTK_TREE_VIEW(sampleListView());
  GtkTreePath *path = gtk_tree_path_new_from_indices(row, -1);
  gtk_tree_view_scroll_to_cell(view, path, nullptr, FALSE, 0, 0);
  settle();
  GdkRectangle r;
  gtk_tree_view_get_cell_area(view, path, gtk_tree_view_get_column(view, 1), &r);
  gtk_tree_path_free(path);
  GdkWindow *bin = gtk_tree_view_get_bin_window(view);
  GdkDevice *mouse = gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_display_get_default()));
  for (GdkEventType type : {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
    GdkEvent *ev = gdk_event_new(type);
    ev->button.window = GDK_WINDOW(g_object_ref(bin));
    ev->button.send_event = TRUE;
    ev->button.time = GDK_CURRENT_TIME;
    ev->button.x = r.x + r.width / 2;
    ev->button.y = r.y + r.height / 2;
    ev->button.button = 1;
    gdk_event_set_device(ev, mouse);
    gtk_widget_event(GTK_WIDGET(view), ev);
    gdk_event_free(ev);
  }
  settle();
}

static std::string chosen(GtkWidget *chooser)
{
  char *f = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
  std::string s = f ? f : "";
  g_free(f);
  return s;
}

// Picks the file in the chooser the way a user's click would, then answers it.
static void choose(GtkWidget *chooser, const std::string &path, int response)
{
  gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(chooser), path.c_str());
  ASSERT_TRUE(waitFor([&] { return chosen(chooser) == path; })) << path;
  gtk_dialog_response(GTK_DIALOG(chooser), response);
  settle();
}

static std::string dir;

static std::string writeWav(const std::string &name, short value, int samples)
{
  std::string b = "RIFF____WAVEfmt ";
  auto le = [&](unsigned v, int n) {
    for (int i = 0; i < n; i++) b += char((v >> (8 * i)) & 255);
  };
  le(16, 4);
  le(1, 2);      // PCM
  le(1, 2);      // mono
  le(44100, 4);
  le(88200, 4);
  le(2, 2);
  le(16, 2);
  b += "data";
  le(samples * 2, 4);
  for (int i = 0; i < samples; i++) le((unsigned short)value, 2);
  std::string p = dir + "/" + name;
  FILE *f = fopen(p.c_str(), "wb");
  fwrite(b.data(), 1, b.size(), f);
  fclose(f);
  return p;
}

class SampleListWindow : public testing::Test {
protected:
  static void SetUpTestSuite()
  {
    beginCapture();
    initLoops();
    endCapture();
    installHooks({nullptr, nullptr, sampleListNameChanged});
    char tmpl[] = "/tmp/qaf_samplelist_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    buildSampleList();
  }
  void SetUp() override { beginCapture(); }  // the loader's lines are not looked at here
  void TearDown() override { endCapture(); }
};

TEST_F(SampleListWindow, StartsHiddenWith64NumberedEmptyRowsAndHidesInsteadOfClosing)
{
  GtkWidget *w = sampleListWindow();
  ASSERT_NE(w, nullptr);
  EXPECT_FALSE(gtk_widget_get_visible(w));
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(w)), "Sample List");
  GtkTreeView *view = GTK_TREE_VIEW(sampleListView());
  EXPECT_STREQ(gtk_tree_view_column_get_title(gtk_tree_view_get_column(view, 0)), "Number");
  EXPECT_STREQ(gtk_tree_view_column_get_title(gtk_tree_view_get_column(view, 1)), "FileName");
  EXPECT_EQ(gtk_tree_model_iter_n_children(gtk_tree_view_get_model(view), nullptr), 64);
  for (int r = 0; r < 64; r++) {
    EXPECT_EQ(rowText(r, 0), std::to_string(r));
    EXPECT_EQ(rowText(r, 1), "");
  }
  showSampleList();
  settle();
  EXPECT_TRUE(gtk_widget_get_mapped(w));
  gtk_window_close(GTK_WINDOW(w));  // as the window manager's close button does
  settle();
  EXPECT_FALSE(gtk_widget_get_visible(w));
  EXPECT_EQ(sampleListWindow(), w);
  EXPECT_TRUE(GTK_IS_WINDOW(w));
  showSampleList();
  settle();
  EXPECT_TRUE(gtk_widget_get_mapped(w));
}

TEST_F(SampleListWindow, FirstChooserShowsTheLastGoodFileAndLaterTheRowsOwnPath)
{
  std::string a = writeWav("a.wav", 111, 10), b = writeWav("b.wav", 222, 20);
  showSampleList();
  clickRow(5);
  GtkWidget *c = sampleListChooser(5);
  ASSERT_NE(c, nullptr);
  EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(c)), "Load sample");
  settle();
  EXPECT_EQ(chosen(c), "");  // nothing loaded yet: no name to offer
  choose(c, a, GTK_RESPONSE_ACCEPT);
  EXPECT_EQ(sampleListChooser(5), nullptr);
  ASSERT_TRUE(isLoopFull(5));
  EXPECT_EQ(loopLength[5], 20);
  EXPECT_EQ(loopData[5][9], 111);
  EXPECT_EQ(rowText(5, 1), a);
  EXPECT_STREQ(getLoopName(5), a.c_str());
  EXPECT_STREQ(sampleListLastGoodFileName(), a.c_str());

  // row 7 has no name of its own: its chooser offers the last good file
  clickRow(7);
  c = sampleListChooser(7);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(waitFor([&] { return chosen(c) == a; })) << chosen(c);
  choose(c, b, GTK_RESPONSE_ACCEPT);
  EXPECT_EQ(rowText(7, 1), b);
  EXPECT_STREQ(sampleListLastGoodFileName(), b.c_str());

  // row 5 offers its own path, not the newer last good one
  clickRow(5);
  c = sampleListChooser(5);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(waitFor([&] { return chosen(c) == a; })) << chosen(c);
  gtk_dialog_response(GTK_DIALOG(c), GTK_RESPONSE_CANCEL);
  settle();
}

TEST_F(SampleListWindow, CancelAndWindowCloseLeaveSlotAndRowAlone)
{
  std::string a = dir + "/a.wav", b = dir + "/b.wav";
  ASSERT_TRUE(isLoopFull(5));
  short *before = loopData[5];
  clickRow(5);
  GtkWidget *c = sampleListChooser(5);
  ASSERT_NE(c, nullptr);
  choose(c, b, GTK_RESPONSE_CANCEL);
  EXPECT_EQ(sampleListChooser(5), nullptr);
  EXPECT_EQ(loopData[5], before);
  EXPECT_EQ(loopData[5][0], 111);
  EXPECT_EQ(rowText(5, 1), a);

  clickRow(5);  // it opens again after a cancel
  c = sampleListChooser(5);
  ASSERT_NE(c, nullptr);
  gtk_window_close(GTK_WINDOW(c));
  settle();
  EXPECT_EQ(sampleListChooser(5), nullptr);
  EXPECT_EQ(loopData[5], before);
  EXPECT_EQ(rowText(5, 1), a);
  EXPECT_STREQ(sampleListLastGoodFileName(), b.c_str());

  clickRow(5);  // and after a close
  ASSERT_NE(sampleListChooser(5), nullptr);
  gtk_dialog_response(GTK_DIALOG(sampleListChooser(5)), GTK_RESPONSE_CANCEL);
  settle();
}

TEST_F(SampleListWindow, AFailedLoadEmptiesTheSlotAndItsRow)
{
  std::string bad = dir + "/not_a_wav.wav";
  FILE *f = fopen(bad.c_str(), "wb");
  fputs("this is no sound file at all", f);
  fclose(f);
  ASSERT_TRUE(isLoopFull(5));
  clickRow(5);
  GtkWidget *c = sampleListChooser(5);
  ASSERT_NE(c, nullptr);
  choose(c, bad, GTK_RESPONSE_ACCEPT);
  EXPECT_FALSE(isLoopFull(5));
  EXPECT_EQ(rowText(5, 1), "");
  EXPECT_STREQ(sampleListLastGoodFileName(), (dir + "/b.wav").c_str());  // unchanged
  EXPECT_EQ(isLockLoop(5), 0);  // the lock was given back
}

TEST_F(SampleListWindow, TwoRowsChoosersOpenAtOnceEachLoadOnlyTheirSlot)
{
  std::string c3 = writeWav("c.wav", -333, 4);
  clickRow(8);
  clickRow(9);
  GtkWidget *c8 = sampleListChooser(8), *c9 = sampleListChooser(9);
  ASSERT_NE(c8, nullptr);
  ASSERT_NE(c9, nullptr);
  EXPECT_NE(c8, c9);
  clickRow(8);  // a second click on a row whose chooser is open is ignored
  EXPECT_EQ(sampleListChooser(8), c8);
  choose(c9, c3, GTK_RESPONSE_ACCEPT);
  EXPECT_TRUE(isLoopFull(9));
  EXPECT_EQ(loopData[9][3], -333);
  EXPECT_FALSE(isLoopFull(8));
  EXPECT_EQ(rowText(9, 1), c3);
  EXPECT_EQ(rowText(8, 1), "");
  EXPECT_EQ(sampleListChooser(8), c8);  // still open
  choose(c8, dir + "/a.wav", GTK_RESPONSE_ACCEPT);
  EXPECT_EQ(loopData[8][0], 111);
  EXPECT_EQ(loopData[9][0], -333);
  EXPECT_EQ(rowText(8, 1), dir + "/a.wav");
}

// Names set elsewhere (a stored recording, a sample bank) show through the hook, and survive
// hiding and showing the window.
TEST_F(SampleListWindow, NamesSetByTheCoreShowInTheirRows)
{
  setLoopName(12, "Mod ID:104");
  EXPECT_EQ(rowText(12, 1), "Mod ID:104");
  EXPECT_EQ(rowText(11, 1), "");
  clickRow(20);
  GtkWidget *c = sampleListChooser(20);
  ASSERT_NE(c, nullptr);
  gtk_window_close(GTK_WINDOW(sampleListWindow()));
  settle();
  EXPECT_FALSE(gtk_widget_get_visible(sampleListWindow()));
  EXPECT_EQ(sampleListChooser(20), c);  // a chooser stays open while the list is hidden
  EXPECT_TRUE(gtk_widget_get_mapped(c));
  showSampleList();
  settle();
  EXPECT_EQ(rowText(12, 1), "Mod ID:104");
  EXPECT_EQ(rowText(9, 1), dir + "/c.wav");
  gtk_dialog_response(GTK_DIALOG(c), GTK_RESPONSE_CANCEL);
  settle();
  EXPECT_EQ(sampleListChooser(20), nullptr);
}
