// Entry point of the UI test programs: GTK is initialised on the real (virtual) display first.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

int main(int argc, char **argv)
{
  gtk_init(&argc, &argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
