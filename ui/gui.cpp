// The main window (not built yet: no window is made).
#include "ui/ui_parts.h"

void buildMainWindow() {}
