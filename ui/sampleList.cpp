// The "Sample List" window: 64 rows, slot number and name, built hidden at start-up and shown
// by the SampleList menu item. A click on a row opens that row's "Load sample" chooser; OK loads
// the file into the slot under the slot's lock. Everything here runs on the UI thread.
#include "ui/sampleList.h"

#include <stdio.h>

#include "samples/loopStore.h"
#include "ui/ui_parts.h"

enum { COL_NUMBER, COL_FILENAME, N_COLS };

// One record per row: the row's open chooser. Its address is the chooser callbacks' data.
struct fileBoxInfo {
  GtkWidget *fileSel;
  int slot;
  int isOpen;
};

static fileBoxInfo file_box_info[NUM_LOOPS];
static char *LastGoodFileName = nullptr;
static GtkWidget *sampleWindow = nullptr;
static GtkWidget *sampleScroll = nullptr;
static GtkWidget *sampleList = nullptr;
static GtkListStore *sampleStore = nullptr;

void sampleListNameChanged(int slot)
{
  if (!sampleStore || slot < 0 || slot >= NUM_LOOPS) return;
  GtkTreeIter it;
  if (gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(sampleStore), &it, nullptr, slot))
    gtk_list_store_set(sampleStore, &it, COL_FILENAME, getLoopName(slot), -1);
}

static gboolean delete_samplist_cb(GtkWidget *, GdkEventAny *, void *)
{
  // hidden, not destroyed: the menu item shows it again with its rows as they were
  gtk_widget_hide(sampleWindow);
  return TRUE;
}

static void file_ok_cb(fileBoxInfo *rec)
{
  GtkFileChooser *chooser = GTK_FILE_CHOOSER(rec->fileSel);
  char *path = gtk_file_chooser_get_filename(chooser);
  if (!path) {
    // nothing chosen: the folder itself, which the loader refuses with its own message
    char *folder = gtk_file_chooser_get_current_folder(chooser);
    path = g_strconcat(folder ? folder : "", "/", nullptr);
    g_free(folder);
  }
  int slot = rec->slot;
  lockLoop(slot);
  int ok = loadLoop(slot, path);
  if (ok) {
    g_free(LastGoodFileName);
    LastGoodFileName = g_strdup(path);
  }
  unlockLoop(slot);
  // the name is set after the lock is released; setLoopName tells the list through the hook,
  // and the row is refreshed here as well in case no hook is installed
  setLoopName(slot, ok ? path : "");
  sampleListNameChanged(slot);
  g_free(path);
  rec->isOpen = 0;
  GtkWidget *w = rec->fileSel;
  rec->fileSel = nullptr;
  gtk_widget_destroy(w);
}

static void file_cancel_cb(fileBoxInfo *rec)
{
  rec->isOpen = 0;
  GtkWidget *w = rec->fileSel;
  rec->fileSel = nullptr;
  gtk_widget_destroy(w);
}

static gboolean file_delete_cb(GtkWidget *, GdkEventAny *, void *data)
{
  fileBoxInfo *rec = (fileBoxInfo *)data;
  rec->isOpen = 0;
  rec->fileSel = nullptr;
  return FALSE;  // the toolkit destroys the chooser
}

static void file_response_cb(GtkDialog *, int response, void *data)
{
  fileBoxInfo *rec = (fileBoxInfo *)data;
  if (!rec->isOpen) return;
  if (response == GTK_RESPONSE_ACCEPT)
    file_ok_cb(rec);
  else if (response == GTK_RESPONSE_CANCEL)
    file_cancel_cb(rec);
  // a close through the window manager goes to file_delete_cb
}

// However the chooser goes away, its row can open a new one.
static void file_destroy_cb(GtkWidget *w, void *data)
{
  fileBoxInfo *rec = (fileBoxInfo *)data;
  if (rec->fileSel == w) {
    rec->fileSel = nullptr;
    rec->isOpen = 0;
  }
}

static void select_sample_cb(int row)
{
  if (row < 0 || row >= NUM_LOOPS) return;
  fileBoxInfo *rec = &file_box_info[row];
  if (rec->isOpen) return;  // this row's chooser is open already
  rec->isOpen = 1;

  char *text = nullptr;
  GtkTreeIter it;
  if (gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(sampleStore), &it, nullptr, row))
    gtk_tree_model_get(GTK_TREE_MODEL(sampleStore), &it, COL_FILENAME, &text, -1);
  const char *initial = (text && *text) ? text : (LastGoodFileName ? LastGoodFileName : "");

  GtkWidget *fs = gtk_file_chooser_dialog_new("Load sample", nullptr,
                                              GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
                                              GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_ACCEPT,
                                              nullptr);
  if (*initial) gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(fs), initial);
  g_free(text);
  rec->fileSel = fs;
  rec->slot = row;
  g_signal_connect(fs, "response", G_CALLBACK(file_response_cb), rec);
  g_signal_connect(fs, "delete-event", G_CALLBACK(file_delete_cb), rec);
  g_signal_connect(fs, "destroy", G_CALLBACK(file_destroy_cb), rec);
  // not modal: the main window, the list and other rows' choosers stay usable
  gtk_widget_show(fs);
}

// A click on a row opens its chooser, also when the row is selected already.
static gboolean list_click_cb(GtkWidget *view, GdkEventButton *ev, void *)
{
  if (ev->type != GDK_BUTTON_PRESS || ev->button != 1) return FALSE;
  if (ev->window != gtk_tree_view_get_bin_window(GTK_TREE_VIEW(view))) return FALSE;
  GtkTreePath *path = nullptr;
  if (gtk_tree_view_get_path_at_pos(GTK_TREE_VIEW(view), int(ev->x), int(ev->y), &path, nullptr,
                                    nullptr, nullptr)) {
    int row = gtk_tree_path_get_indices(path)[0];
    gtk_tree_path_free(path);
    select_sample_cb(row);
  }
  return FALSE;  // the list still selects the row
}

// Return or a double click on the focused row.
static void list_activated_cb(GtkTreeView *, GtkTreePath *path, GtkTreeViewColumn *, void *)
{
  select_sample_cb(gtk_tree_path_get_indices(path)[0]);
}

static GtkTreeViewColumn *textColumn(const char *title, int col, int width)
{
  GtkCellRenderer *r = gtk_cell_renderer_text_new();
  GtkTreeViewColumn *c = gtk_tree_view_column_new_with_attributes(title, r, "text", col, nullptr);
  gtk_tree_view_column_set_sizing(c, GTK_TREE_VIEW_COLUMN_FIXED);
  gtk_tree_view_column_set_fixed_width(c, width);
  gtk_tree_view_column_set_resizable(c, TRUE);
  return c;
}

void buildSampleList()
{
  if (sampleWindow) return;
  sampleWindow = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_type_hint(GTK_WINDOW(sampleWindow), GDK_WINDOW_TYPE_HINT_DIALOG);
  gtk_window_set_title(GTK_WINDOW(sampleWindow), "Sample List");

  sampleScroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(sampleScroll), GTK_POLICY_AUTOMATIC,
                                 GTK_POLICY_ALWAYS);
  gtk_scrolled_window_set_shadow_type(GTK_SCROLLED_WINDOW(sampleScroll), GTK_SHADOW_OUT);

  sampleStore = gtk_list_store_new(N_COLS, G_TYPE_STRING, G_TYPE_STRING);
  for (int r = 0; r < NUM_LOOPS; r++) {
    char num[16];
    snprintf(num, sizeof num, "%d", r);
    GtkTreeIter it;
    gtk_list_store_append(sampleStore, &it);
    gtk_list_store_set(sampleStore, &it, COL_NUMBER, num, COL_FILENAME, getLoopName(r), -1);
    file_box_info[r].isOpen = 0;
    file_box_info[r].fileSel = nullptr;
    file_box_info[r].slot = r;
  }
  sampleList = gtk_tree_view_new_with_model(GTK_TREE_MODEL(sampleStore));
  g_object_unref(sampleStore);  // the view holds it from here on
  gtk_tree_view_append_column(GTK_TREE_VIEW(sampleList), textColumn("Number", COL_NUMBER, 50));
  gtk_tree_view_append_column(GTK_TREE_VIEW(sampleList), textColumn("FileName", COL_FILENAME, 350));
  gtk_tree_selection_set_mode(gtk_tree_view_get_selection(GTK_TREE_VIEW(sampleList)),
                              GTK_SELECTION_SINGLE);

  gtk_container_set_border_width(GTK_CONTAINER(sampleScroll), 10);
  gtk_container_add(GTK_CONTAINER(sampleScroll), sampleList);
  gtk_container_add(GTK_CONTAINER(sampleWindow), sampleScroll);
  gtk_window_set_default_size(GTK_WINDOW(sampleWindow), 200, 400);

  g_signal_connect(sampleWindow, "delete-event", G_CALLBACK(delete_samplist_cb), nullptr);
  g_signal_connect(sampleList, "button-press-event", G_CALLBACK(list_click_cb), nullptr);
  g_signal_connect(sampleList, "row-activated", G_CALLBACK(list_activated_cb), nullptr);
  // built whole but not shown
  gtk_widget_show_all(sampleScroll);
}

void showSampleList()
{
  buildSampleList();
  gtk_widget_show(sampleWindow);
  gtk_window_present(GTK_WINDOW(sampleWindow));
}

GtkWidget *sampleListWindow() { return sampleWindow; }
GtkWidget *sampleListView() { return sampleList; }

GtkWidget *sampleListChooser(int row)
{
  if (row < 0 || row >= NUM_LOOPS || !file_box_info[row].isOpen) return nullptr;
  return file_box_info[row].fileSel;
}

const char *sampleListLastGoodFileName() { return LastGoodFileName; }
