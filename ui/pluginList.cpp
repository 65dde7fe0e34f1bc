// The "LV2 Plugins" window of Insert > LV2 Plugin...: every installed plugin with its name, class
// and URI, a filter that keeps the rows whose name or URI holds what is typed (case aside), and
// Add (or a double click), which runs "lv2 URI" through the interpreter as the other Insert
// items run their commands. Plugins QAF cannot host are greyed, their reason in the tooltip, and
// cannot be added. The list is read when the window is first shown: lilv reads every installed
// bundle then, on this thread. Everything here runs on the UI thread.
#include <string.h>

#include <string>

#include "lv2/lv2host.h"
#include "ui/gui.h"
#include "ui/ui_parts.h"

enum { COL_NAME, COL_CLASS, COL_URI, COL_TIP, COL_HOSTABLE, COLS };

static pluginListWidgets widgets;
static GtkTreeModel *filtered;
static gchar *filterText;  // case-folded; null while the filter is empty

const pluginListWidgets &pluginListView() { return widgets; }

static bool holds(const gchar *text, const gchar *needle)
{
  gchar *t = g_utf8_casefold(text ? text : "", -1);
  bool found = strstr(t, needle) != nullptr;
  g_free(t);
  return found;
}

static gboolean rowVisible(GtkTreeModel *model, GtkTreeIter *it, gpointer)
{
  if (!filterText) return TRUE;
  gchar *name = nullptr, *uri = nullptr;
  gtk_tree_model_get(model, it, COL_NAME, &name, COL_URI, &uri, -1);
  bool shown = holds(name, filterText) || holds(uri, filterText);
  g_free(name);
  g_free(uri);
  return shown;
}

static void onFilterChanged(GtkEditable *e, gpointer)
{
  g_free(filterText);
  const gchar *t = gtk_entry_get_text(GTK_ENTRY(e));
  filterText = t[0] ? g_utf8_casefold(t, -1) : nullptr;
  gtk_tree_model_filter_refilter(GTK_TREE_MODEL_FILTER(filtered));
}

// The selected plugin's URI when it can be added ("" otherwise).
static std::string chosenUri()
{
  GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(widgets.view));
  GtkTreeModel *model;
  GtkTreeIter it;
  if (!gtk_tree_selection_get_selected(sel, &model, &it)) return "";
  gchar *uri = nullptr;
  gboolean hostable = FALSE;
  gtk_tree_model_get(model, &it, COL_URI, &uri, COL_HOSTABLE, &hostable, -1);
  std::string out = hostable && uri ? uri : "";
  g_free(uri);
  return out;
}

static void onSelectionChanged(GtkTreeSelection *, gpointer)
{
  gtk_widget_set_sensitive(widgets.add, !chosenUri().empty());
}

// The same path as every Insert item: the command, its messages and the canvas repaint.
static void addChosen()
{
  std::string uri = chosenUri();
  if (uri.empty()) return;
  std::string cmd = "lv2 " + uri;
  issue_cmd(nullptr, (void *)cmd.c_str());
  gtk_widget_hide(widgets.window);
}

static void onAdd(GtkButton *, gpointer) { addChosen(); }
static void onClose(GtkButton *, gpointer) { gtk_widget_hide(widgets.window); }

static void onRowActivated(GtkTreeView *, GtkTreePath *, GtkTreeViewColumn *, gpointer)
{
  addChosen();
}

static GtkListStore *readPlugins()
{
  GtkListStore *store = gtk_list_store_new(COLS, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                           G_TYPE_STRING, G_TYPE_BOOLEAN);
  for (const lv2PluginInfo &p : lv2Plugins()) {
    gchar *tip = p.refused.empty()
                     ? nullptr
                     : g_markup_printf_escaped("Cannot be added: %s", p.refused.c_str());
    gtk_list_store_insert_with_values(store, nullptr, -1, COL_NAME, p.name.c_str(), COL_CLASS,
                                      p.className.c_str(), COL_URI, p.uri.c_str(), COL_TIP, tip,
                                      COL_HOSTABLE, p.refused.empty(), -1);
    g_free(tip);
  }
  return store;
}

static void addColumn(GtkWidget *view, const char *title, int col)
{
  GtkCellRenderer *r = gtk_cell_renderer_text_new();
  GtkTreeViewColumn *c = gtk_tree_view_column_new_with_attributes(
      title, r, "text", col, "sensitive", COL_HOSTABLE, NULL);
  gtk_tree_view_column_set_resizable(c, TRUE);
  gtk_tree_view_column_set_sort_column_id(c, col);
  gtk_tree_view_append_column(GTK_TREE_VIEW(view), c);
}

static void buildPluginList()
{
  GtkListStore *store = readPlugins();
  filtered = gtk_tree_model_filter_new(GTK_TREE_MODEL(store), nullptr);
  g_object_unref(store);
  gtk_tree_model_filter_set_visible_func(GTK_TREE_MODEL_FILTER(filtered), rowVisible, nullptr,
                                         nullptr);
  // Sorting by a column's header goes on above the filter.
  GtkTreeModel *sorted = gtk_tree_model_sort_new_with_model(filtered);

  widgets.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(widgets.window), "LV2 Plugins");
  gtk_window_set_default_size(GTK_WINDOW(widgets.window), 640, 420);
  g_signal_connect(widgets.window, "delete_event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);
  GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  gtk_container_set_border_width(GTK_CONTAINER(box), 6);

  widgets.filter = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(widgets.filter), "Filter by name or URI");
  g_signal_connect(widgets.filter, "changed", G_CALLBACK(onFilterChanged), nullptr);
  gtk_box_pack_start(GTK_BOX(box), widgets.filter, FALSE, FALSE, 0);

  widgets.view = gtk_tree_view_new_with_model(sorted);
  g_object_unref(sorted);
  addColumn(widgets.view, "Name", COL_NAME);
  addColumn(widgets.view, "Class", COL_CLASS);
  addColumn(widgets.view, "URI", COL_URI);
  gtk_tree_view_set_tooltip_column(GTK_TREE_VIEW(widgets.view), COL_TIP);
  gtk_tree_view_set_enable_search(GTK_TREE_VIEW(widgets.view), FALSE);
  g_signal_connect(widgets.view, "row-activated", G_CALLBACK(onRowActivated), nullptr);
  g_signal_connect(gtk_tree_view_get_selection(GTK_TREE_VIEW(widgets.view)), "changed",
                   G_CALLBACK(onSelectionChanged), nullptr);
  GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_container_add(GTK_CONTAINER(scroll), widgets.view);
  gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);

  GtkWidget *buttons = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(buttons), GTK_BUTTONBOX_END);
  gtk_box_set_spacing(GTK_BOX(buttons), 6);
  GtkWidget *close = gtk_button_new_with_mnemonic("_Close");
  g_signal_connect(close, "clicked", G_CALLBACK(onClose), nullptr);
  widgets.add = gtk_button_new_with_mnemonic("_Add");
  gtk_widget_set_sensitive(widgets.add, FALSE);
  g_signal_connect(widgets.add, "clicked", G_CALLBACK(onAdd), nullptr);
  gtk_container_add(GTK_CONTAINER(buttons), close);
  gtk_container_add(GTK_CONTAINER(buttons), widgets.add);
  gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(widgets.window), box);
  gtk_widget_show_all(box);
}

void showPluginList()
{
  if (!widgets.window) buildPluginList();
  gtk_widget_show(widgets.window);
  gtk_window_present(GTK_WINDOW(widgets.window));
  gtk_widget_grab_focus(widgets.filter);
}
