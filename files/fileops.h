// Layout files (.lyo: module types, parameters and wires) and sample bank files (.sbk: the full
// sample slots with their names).
#ifndef QAF_FILEOPS_H
#define QAF_FILEOPS_H

#include <glib.h>

// UI thread. Each reports its outcome as printed lines.
void real_save(gchar *filename);
void real_load(gchar *filename);
// UI thread. Loads a layout exactly as real_load does (the same lines) and says whether it was
// installed; a refused file leaves the running patch as it was. With fade, Line Out fades out
// over about 5 ms before the swap and back in after it, so that a preset switch makes no click;
// nothing waits for it.
bool loadLayoutFile(const char *filename, bool fade);
void real_savesbank(gchar *filename);
void real_loadsbank(gchar *filename);

// UI thread. Loads a sample bank exactly as real_loadsbank does (the same lines) and says
// whether every entry of it was loaded.
bool loadSampleBankFile(const char *filename);

#endif
