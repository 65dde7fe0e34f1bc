// The sample list window (not built yet).
#include "ui/ui_parts.h"

void buildSampleList() {}
void showSampleList() {}
