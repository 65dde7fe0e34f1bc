// The File menu's file choosers (not built yet: nothing opens).
#include "ui/ui_parts.h"

void SaveLayout() {}
void LoadLayout() {}
void SaveSBank() {}
void LoadSBank() {}
