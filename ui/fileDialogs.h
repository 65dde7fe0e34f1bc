// The callbacks of the File menu's file choosers. Each takes the dialog as its data: an OK runs
// the saver or loader with the chosen name and destroys the dialog, whatever the outcome; a
// Cancel destroys it. UI thread.
#ifndef QAF_FILEDIALOGS_H
#define QAF_FILEDIALOGS_H

#include <gtk/gtk.h>

void save_ok_cb(GtkWidget *w, gpointer dialog);
void load_ok_cb(GtkWidget *w, gpointer dialog);
void save_sbank_ok_cb(GtkWidget *w, gpointer dialog);
void load_sbank_ok_cb(GtkWidget *w, gpointer dialog);
void save_cancel_cb(GtkWidget *w, gpointer dialog);
void load_cancel_cb(GtkWidget *w, gpointer dialog);

#endif
