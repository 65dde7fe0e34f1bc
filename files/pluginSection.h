// Plugin modules in layout files: the section after the wire tables that holds each plugin
// module's URI, terminals, control values, file parameters and state.
#ifndef QAF_PLUGINSECTION_H
#define QAF_PLUGINSECTION_H

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "files/fileio.h"

struct modRec;

// The slot count of a layout that has the section: above any count the built-in types allow,
// so that an older reader refuses the file ("wrong version") rather than misreading it.
#define PLUGIN_LAYOUT_COUNT 0x10040

// One plugin module as a layout holds it.
struct pluginEntry {
  int slot = -1;
  std::string uri;
  unsigned char terms = 0;
  std::vector<std::pair<std::string, float>> values;       // control symbol, value
  std::vector<std::pair<std::string, std::string>> files;  // property URI, path as stored
  std::string state;
};

// UI thread. Whether the patch holds plugin modules (the layout then gets the section).
bool layoutHasPlugins();
// UI thread. Writes the section for the patch; dir is the layout's folder.
void writePluginSection(leWriter &w, const std::string &dir);
// Reads the section; false when it is short or not one.
bool readPluginSection(FILE *f, std::vector<pluginEntry> &out);
// UI thread. A record for the entry, built and primed beside the running graph; for a plugin
// that is not installed (or can no longer be hosted as saved) a record that keeps everything
// and passes silence, with one line naming the URI.
modRec *buildPluginModule(const pluginEntry &e, const std::string &dir);

#endif
