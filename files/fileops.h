// Layout files (.lyo: module types, parameters and wires) and sample bank files (.sbk: the full
// sample slots with their names).
#ifndef QAF_FILEOPS_H
#define QAF_FILEOPS_H

#include <glib.h>

// UI thread. Each reports its outcome as printed lines.
void real_save(gchar *filename);
void real_load(gchar *filename);
void real_savesbank(gchar *filename);
void real_loadsbank(gchar *filename);

#endif
