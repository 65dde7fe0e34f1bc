// The File menu's file choosers on the real GTK widgets: titles and kinds, OK runs the saver or
// loader with the chosen name and closes the dialog, Cancel and closing the window only close it,
// and several dialogs open at once each act on their own name.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "engine/soundNode.h"
#include "samples/loopStore.h"
#include "tests/filetest_util.h"
#include "tests/testutil.h"
#include "ui/fileDialogs.h"
#include "ui/ui_parts.h"

static void pump()
{
  while (gtk_events_pending()) gtk_main_iteration();
}

// Runs the main loop until cond holds or two seconds pass (the chooser loads folders
// asynchronously).
template <class F> static bool pumpUntil(F cond)
{
  gint64 end = g_get_monotonic_time() + 2 * G_USEC_PER_SEC;
  while (!cond()) {
    if (g_get_monotonic_time() > end) return false;
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(1000);
  }
  return true;
}

static std::vector<GtkWindow *> windowsTitled(const char *title)
{
  std::vector<GtkWindow *> found;
  GList *all = gtk_window_list_toplevels();
  for (GList *l = all; l; l = l->next) {
    GtkWindow *w = GTK_WINDOW(l->data);
    const char *t = gtk_window_get_title(w);
    if (t && strcmp(t, title) == 0 && gtk_widget_get_visible(GTK_WIDGET(w))) found.push_back(w);
  }
  g_list_free(all);
  return found;
}

// Opens a dialog with the given opener and returns the one new window of that title.
static GtkWidget *openDialog(void (*opener)(), const char *title)
{
  size_t before = windowsTitled(title).size();
  opener();
  pump();
  std::vector<GtkWindow *> now = windowsTitled(title);
  if (now.size() != before + 1) return nullptr;
  return GTK_WIDGET(now.back());
}

// Watches a dialog and says whether it has been destroyed.
struct destroyWatch {
  explicit destroyWatch(GtkWidget *w) : widget(w) { g_object_add_weak_pointer(G_OBJECT(w), (gpointer *)&widget); }
  ~destroyWatch()
  {
    if (widget) g_object_remove_weak_pointer(G_OBJECT(widget), (gpointer *)&widget);
  }
  bool gone() const { return widget == nullptr; }
  GtkWidget *widget;
};

static void chooseSaveName(GtkWidget *dialog, const char *folder, const char *name)
{
  GtkFileChooser *fc = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_current_folder(fc, folder);
  ASSERT_TRUE(pumpUntil([&] {
    gchar *f = gtk_file_chooser_get_current_folder(fc);
    bool ok = f && strcmp(f, folder) == 0;
    g_free(f);
    return ok;
  }));
  gtk_file_chooser_set_current_name(fc, name);
  pump();
}

static void chooseFile(GtkWidget *dialog, const std::string &path)
{
  GtkFileChooser *fc = GTK_FILE_CHOOSER(dialog);
  gtk_file_chooser_set_filename(fc, path.c_str());
  ASSERT_TRUE(pumpUntil([&] {
    gchar *f = gtk_file_chooser_get_filename(fc);
    bool ok = f && path == f;
    g_free(f);
    return ok;
  })) << path;
}

// Clicks the dialog's button for the response; true once the dialog has been destroyed (a save
// chooser checks the chosen name asynchronously before it answers).
static bool clickResponse(GtkWidget *dialog, int response)
{
  GtkWidget *b = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
  if (!b) return false;
  destroyWatch w(dialog);
  beginCapture();
  gtk_button_clicked(GTK_BUTTON(b));
  bool gone = pumpUntil([&] { return w.gone(); });
  pump();
  endCapture();
  return gone;
}

class FileDialogs : public testing::Test {
protected:
  static void SetUpTestSuite()
  {
    bootGraph();
    beginCapture();
    initLoops();
    endCapture();
  }
};

TEST_F(FileDialogs, EachOpensANonModalChooserOfItsKindAndTitle)
{
  struct {
    void (*opener)();
    const char *title;
    GtkFileChooserAction action;
  } kinds[] = {{SaveLayout, "Save Layout", GTK_FILE_CHOOSER_ACTION_SAVE},
               {LoadLayout, "Load Layout", GTK_FILE_CHOOSER_ACTION_OPEN},
               {SaveSBank, "Save Sample Bank", GTK_FILE_CHOOSER_ACTION_SAVE},
               {LoadSBank, "Load Sample Bank", GTK_FILE_CHOOSER_ACTION_OPEN}};
  for (auto &k : kinds) {
    GtkWidget *d = openDialog(k.opener, k.title);
    ASSERT_NE(d, nullptr) << k.title;
    EXPECT_TRUE(GTK_IS_FILE_CHOOSER_DIALOG(d));
    EXPECT_EQ(gtk_file_chooser_get_action(GTK_FILE_CHOOSER(d)), k.action) << k.title;
    EXPECT_FALSE(gtk_window_get_modal(GTK_WINDOW(d))) << k.title;
    EXPECT_NE(gtk_dialog_get_widget_for_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT), nullptr);
    EXPECT_NE(gtk_dialog_get_widget_for_response(GTK_DIALOG(d), GTK_RESPONSE_CANCEL), nullptr);
    EXPECT_TRUE(clickResponse(d, GTK_RESPONSE_CANCEL)) << k.title;
  }
}

TEST_F(FileDialogs, SaveLayoutOkWritesTheChosenNameWithItsExtensionAndCloses)
{
  scratchDir dir;
  GtkWidget *d = openDialog(SaveLayout, "Save Layout");
  ASSERT_NE(d, nullptr);
  chooseSaveName(d, dir.path, "song");
  EXPECT_TRUE(clickResponse(d, GTK_RESPONSE_ACCEPT));
  // Line In and Line Out alone
  EXPECT_EQ(readAll(dir.file("song.lyo")).size(), 2447u);
}

TEST_F(FileDialogs, CancelAndClosingTheWindowWriteNothing)
{
  scratchDir dir;
  GtkWidget *d = openDialog(SaveLayout, "Save Layout");
  ASSERT_NE(d, nullptr);
  chooseSaveName(d, dir.path, "cancelled");
  EXPECT_TRUE(clickResponse(d, GTK_RESPONSE_CANCEL));

  GtkWidget *d2 = openDialog(SaveSBank, "Save Sample Bank");
  ASSERT_NE(d2, nullptr);
  chooseSaveName(d2, dir.path, "closed");
  destroyWatch w2(d2);
  GdkEvent *ev = gdk_event_new(GDK_DELETE);
  ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(d2)));
  ev->any.send_event = TRUE;
  gtk_main_do_event(ev);
  gdk_event_free(ev);
  pump();
  EXPECT_TRUE(w2.gone());
  EXPECT_FALSE(fileExists(dir.file("cancelled.lyo")));
  EXPECT_FALSE(fileExists(dir.file("closed.sbk")));
}

TEST_F(FileDialogs, LoadLayoutOkLoadsTheChosenFile)
{
  scratchDir dir;
  Bytes b;
  putText(b, "QAF_LAYOUT\n");
  put32(b, 64);
  for (int s = 0; s < 64; s++) {
    int type = s == 0 ? 0 : s == 1 ? 1 : s == 30 ? 17 : -1;  // a Compressor in slot 30
    put32(b, type);
    if (type == -1) continue;
    for (int p = 0; p < 16; p++) put32(b, (int32_t)floatBits(type == 17 ? p * 2.0f : 0.0f));
  }
  for (int t = 0; t < 256; t++) {
    put32(b, t == 120 ? 0 : -1);  // input 120 (Compressor A) fed by output 0
    put32(b, t == 0 ? 120 : -1);
  }
  writeAll(dir.file("comp.lyo"), b);

  GtkWidget *d = openDialog(LoadLayout, "Load Layout");
  ASSERT_NE(d, nullptr);
  chooseFile(d, dir.file("comp.lyo"));
  EXPECT_TRUE(clickResponse(d, GTK_RESPONSE_ACCEPT));
  ASSERT_NE(MOD[30], nullptr);
  EXPECT_EQ(MOD[30]->type, 17);
  EXPECT_EQ(MOD[30]->parm[5], 10.0f);
  EXPECT_EQ(I_TERM_CONNECT[120], 0);
}

TEST_F(FileDialogs, SampleBankSavedAndLoadedThroughTheChoosers)
{
  scratchDir dir;
  short snd[3] = {3, -3, 300};
  lockLoop(21);
  putrawLoop(21, snd, 3);
  unlockLoop(21);
  setLoopName(21, "Mod ID:130");

  GtkWidget *d = openDialog(SaveSBank, "Save Sample Bank");
  ASSERT_NE(d, nullptr);
  chooseSaveName(d, dir.path, "kit");
  EXPECT_TRUE(clickResponse(d, GTK_RESPONSE_ACCEPT));
  Bytes b = readAll(dir.file("kit.sbk"));
  // 14 + slot 4 + "Mod ID:130" and NUL 11 + length 4 + 6 bytes of samples
  ASSERT_EQ(b.size(), 39u);

  lockLoop(21);
  deleteLoop(21);
  unlockLoop(21);
  setLoopName(21, "");
  GtkWidget *l = openDialog(LoadSBank, "Load Sample Bank");
  ASSERT_NE(l, nullptr);
  chooseFile(l, dir.file("kit.sbk"));
  EXPECT_TRUE(clickResponse(l, GTK_RESPONSE_ACCEPT));
  ASSERT_TRUE(isLoopFull(21));
  EXPECT_EQ(loopLength[21], 6);
  EXPECT_EQ(loopData[21][2], 300);
  EXPECT_STREQ(getLoopName(21), "Mod ID:130");
}

TEST_F(FileDialogs, TwoOpenDialogsEachSaveUnderTheirOwnName)
{
  scratchDir dir;
  GtkWidget *a = openDialog(SaveLayout, "Save Layout");
  GtkWidget *b = openDialog(SaveLayout, "Save Layout");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(a, b);
  chooseSaveName(a, dir.path, "first");
  chooseSaveName(b, dir.path, "second");
  EXPECT_TRUE(clickResponse(b, GTK_RESPONSE_ACCEPT));
  EXPECT_TRUE(fileExists(dir.file("second.lyo")));
  EXPECT_FALSE(fileExists(dir.file("first.lyo")));
  EXPECT_TRUE(clickResponse(a, GTK_RESPONSE_ACCEPT));
  EXPECT_TRUE(fileExists(dir.file("first.lyo")));
}

TEST_F(FileDialogs, OkWithoutAFileNameSavesTheDefaultNameInTheFolder)
{
  scratchDir dir;
  GtkWidget *d = openDialog(SaveLayout, "Save Layout");
  ASSERT_NE(d, nullptr);
  chooseSaveName(d, dir.path, "");
  // the chooser's own button refuses an empty name, so the callback is run as the button would
  beginCapture();
  save_ok_cb(nullptr, d);
  pump();
  endCapture();
  EXPECT_TRUE(fileExists(dir.file("default.lyo")));
}
