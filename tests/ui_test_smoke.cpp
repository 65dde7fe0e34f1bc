// The UI test harness itself: a real window can be made, shown and drawn on the virtual display.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

TEST(UiHarness, WindowIsShownOnTheDisplay)
{
  GtkWidget *w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_widget_show_all(w);
  while (gtk_events_pending()) gtk_main_iteration();
  EXPECT_TRUE(gtk_widget_get_mapped(w));
  gtk_widget_destroy(w);
}
