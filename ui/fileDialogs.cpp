// The File menu's file choosers: Save Layout, Load Layout, Save Sample Bank, Load Sample Bank.
// Each is a non-modal GtkFileChooserDialog acting on its own chosen name; several may be open at
// once. UI thread.
#include "ui/fileDialogs.h"

#include "files/fileops.h"
#include "ui/ui_parts.h"

// The chosen name: the chosen file, or the current folder and "/" when no file is chosen (or a
// save dialog's choice is a folder), so that a save there writes the default name in that folder.
static gchar *chosenName(gpointer dialog)
{
  GtkFileChooser *fc = GTK_FILE_CHOOSER(dialog);
  gchar *name = gtk_file_chooser_get_filename(fc);
  bool saving = gtk_file_chooser_get_action(fc) == GTK_FILE_CHOOSER_ACTION_SAVE;
  if (name && saving && g_file_test(name, G_FILE_TEST_IS_DIR)) {
    gchar *dir = g_strconcat(name, "/", NULL);
    g_free(name);
    return dir;
  }
  if (name) return name;
  gchar *folder = gtk_file_chooser_get_current_folder(fc);
  name = folder ? g_strconcat(folder, "/", NULL) : g_strdup("");
  g_free(folder);
  return name;
}

static void runAndClose(void (*fileOp)(gchar *), gpointer dialog)
{
  gchar *name = chosenName(dialog);
  fileOp(name);
  g_free(name);
  gtk_widget_destroy(GTK_WIDGET(dialog));
}

void save_ok_cb(GtkWidget *, gpointer dialog) { runAndClose(real_save, dialog); }
void load_ok_cb(GtkWidget *, gpointer dialog) { runAndClose(real_load, dialog); }
void save_sbank_ok_cb(GtkWidget *, gpointer dialog) { runAndClose(real_savesbank, dialog); }
void load_sbank_ok_cb(GtkWidget *, gpointer dialog) { runAndClose(real_loadsbank, dialog); }
void save_cancel_cb(GtkWidget *, gpointer dialog) { gtk_widget_destroy(GTK_WIDGET(dialog)); }
void load_cancel_cb(GtkWidget *, gpointer dialog) { gtk_widget_destroy(GTK_WIDGET(dialog)); }

struct fileDialogKind {
  const char *title;
  GtkFileChooserAction action;
  void (*ok)(GtkWidget *, gpointer);
  void (*cancel)(GtkWidget *, gpointer);
};

static const fileDialogKind saveLayoutKind = {"Save Layout", GTK_FILE_CHOOSER_ACTION_SAVE,
                                              save_ok_cb, save_cancel_cb};
static const fileDialogKind loadLayoutKind = {"Load Layout", GTK_FILE_CHOOSER_ACTION_OPEN,
                                              load_ok_cb, load_cancel_cb};
static const fileDialogKind saveBankKind = {"Save Sample Bank", GTK_FILE_CHOOSER_ACTION_SAVE,
                                            save_sbank_ok_cb, save_cancel_cb};
static const fileDialogKind loadBankKind = {"Load Sample Bank", GTK_FILE_CHOOSER_ACTION_OPEN,
                                            load_sbank_ok_cb, load_cancel_cb};

// OK (also a double-click on a file, or Return in the name entry) and Cancel; closing the window
// lets the dialog destroy itself and does nothing else.
static void onResponse(GtkDialog *dialog, gint response, gpointer data)
{
  const fileDialogKind *kind = (const fileDialogKind *)data;
  GtkWidget *button = gtk_dialog_get_widget_for_response(dialog, response);
  if (response == GTK_RESPONSE_ACCEPT) kind->ok(button, dialog);
  else if (response == GTK_RESPONSE_CANCEL) kind->cancel(button, dialog);
}

static void openFileDialog(const fileDialogKind &kind)
{
  GtkWidget *dialog = gtk_file_chooser_dialog_new(kind.title, nullptr, kind.action, "_Cancel",
                                                  GTK_RESPONSE_CANCEL, "_OK",
                                                  GTK_RESPONSE_ACCEPT, NULL);
  gtk_window_set_modal(GTK_WINDOW(dialog), FALSE);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
  // Saving over an existing file asks first: a slip of the mouse must not lose a patch.
  if (kind.action == GTK_FILE_CHOOSER_ACTION_SAVE)
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(dialog), TRUE);
  g_signal_connect(dialog, "response", G_CALLBACK(onResponse), (gpointer)&kind);
  gtk_widget_show(dialog);
}

void SaveLayout() { openFileDialog(saveLayoutKind); }
void LoadLayout() { openFileDialog(loadLayoutKind); }
void SaveSBank() { openFileDialog(saveBankKind); }
void LoadSBank() { openFileDialog(loadBankKind); }
