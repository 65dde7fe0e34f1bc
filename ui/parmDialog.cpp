// Parameter dialogs (not built yet: nothing opens).
#include "ui/ui_parts.h"

void parmDialog(int) {}
void closeParmDialogs() {}
