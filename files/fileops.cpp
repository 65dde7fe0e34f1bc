// Layout and sample bank files (not built yet: saving and loading do nothing).
#include "files/fileops.h"

void real_save(gchar *) {}
void real_load(gchar *) {}
void real_savesbank(gchar *) {}
void real_loadsbank(gchar *) {}
