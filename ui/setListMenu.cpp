// The File menu's set list items: open and save a set list, and store the current patch as one
// of its presets. They are added to the File menu after the menu bar is built from its table,
// above the separator before Exit. UI thread.
#include <gtk/gtk.h>

#include "control/setlist.h"
#include "ui/gui.h"
#include "ui/ui_parts.h"

static void onSetListResponse(GtkDialog *dialog, gint response, gpointer saving)
{
  if (response == GTK_RESPONSE_ACCEPT) {
    gchar *name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(dialog));
    if (name) {
      if (saving)
        saveSetList(name);
      else
        openSetList(name);
    }
    g_free(name);
  }
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

static GtkWidget *setListChooser(bool saving)
{
  GtkWidget *d = gtk_file_chooser_dialog_new(
      saving ? "Save Set List" : "Open Set List", nullptr,
      saving ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel",
      GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_ACCEPT, NULL);
  gtk_dialog_set_default_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
  GtkFileFilter *f = gtk_file_filter_new();
  gtk_file_filter_set_name(f, "Set lists (*.qset)");
  gtk_file_filter_add_pattern(f, "*.qset");
  gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(d), f);
  if (saving) {
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(d), TRUE);
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(d), setListFolder().c_str());
  }
  g_signal_connect(d, "response", G_CALLBACK(onSetListResponse), GINT_TO_POINTER(saving));
  gtk_widget_show(d);
  return d;
}

static void onOpenSetList(GtkMenuItem *, gpointer) { setListChooser(false); }
static void onSaveSetList(GtkMenuItem *, gpointer) { setListChooser(true); }

struct storeWidgets {
  GtkWidget *number, *name;
};

static void onStoreResponse(GtkDialog *dialog, gint response, gpointer data)
{
  storeWidgets *w = (storeWidgets *)data;
  if (response == GTK_RESPONSE_ACCEPT)
    storePreset(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(w->number)),
                gtk_entry_get_text(GTK_ENTRY(w->name)));
  delete w;
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

// The preset number (the program last switched to, else the first free one) and its name.
static GtkWidget *storePresetDialog()
{
  GtkWidget *d = gtk_dialog_new_with_buttons("Store Patch as Preset", nullptr, (GtkDialogFlags)0,
                                             "_Cancel", GTK_RESPONSE_CANCEL, "_Store",
                                             GTK_RESPONSE_ACCEPT, NULL);
  gtk_dialog_set_default_response(GTK_DIALOG(d), GTK_RESPONSE_ACCEPT);
  const setList &s = currentSetList();
  int n = currentProgram();
  if (n < 0)
    for (n = 0; n < SET_PRESETS - 1 && s.preset[n].used;) n++;
  storeWidgets *w = new storeWidgets;
  w->number = gtk_spin_button_new_with_range(0, SET_PRESETS - 1, 1);
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(w->number), n);
  w->name = gtk_entry_new();
  gtk_entry_set_activates_default(GTK_ENTRY(w->name), TRUE);
  if (s.preset[n].used) gtk_entry_set_text(GTK_ENTRY(w->name), s.preset[n].name.c_str());
  GtkWidget *grid = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(grid), 6);
  gtk_grid_set_column_spacing(GTK_GRID(grid), 6);
  gtk_container_set_border_width(GTK_CONTAINER(grid), 8);
  gtk_grid_attach(GTK_GRID(grid), gtk_label_new("Program"), 0, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), w->number, 1, 0, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), gtk_label_new("Name"), 0, 1, 1, 1);
  gtk_grid_attach(GTK_GRID(grid), w->name, 1, 1, 1, 1);
  gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(d))), grid);
  g_signal_connect(d, "response", G_CALLBACK(onStoreResponse), w);
  gtk_widget_show_all(d);
  return d;
}

static void onStore(GtkMenuItem *, gpointer) { storePresetDialog(); }

void addSetListMenuItems()
{
  GtkWidget *file = menuItemForPath("/_File");
  GtkWidget *menu = file ? gtk_menu_item_get_submenu(GTK_MENU_ITEM(file)) : nullptr;
  GtkWidget *after = menuItemForPath("/File/Save Sam_plebank");
  if (!menu || !after) return;
  GList *kids = gtk_container_get_children(GTK_CONTAINER(menu));
  int at = g_list_index(kids, after) + 1;
  g_list_free(kids);
  struct {
    const char *label;
    void (*cb)(GtkMenuItem *, gpointer);
  } items[] = {{nullptr, nullptr},
               {"Open Set _List...", onOpenSetList},
               {"Sa_ve Set List...", onSaveSetList},
               {"S_tore Patch as Preset...", onStore}};
  for (auto &i : items) {
    GtkWidget *item = i.label ? gtk_menu_item_new_with_mnemonic(i.label) : gtk_separator_menu_item_new();
    if (i.cb) g_signal_connect(item, "activate", G_CALLBACK(i.cb), nullptr);
    gtk_widget_show(item);
    gtk_menu_shell_insert(GTK_MENU_SHELL(menu), item, at++);
  }
}
