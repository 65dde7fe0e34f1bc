// The observers of the running rig, and the watch that finds parameter changes by looking: MIDI
// writes values on the audio thread and dialogs write them directly, so comparing on the UI
// thread catches every source without a call from any of them.
#include "control/events.h"

#include <map>

#include "control/control.h"
#include "engine/soundNode.h"

static std::map<int, controlObserver> observers;
static int nextHandle = 1;

int addControlObserver(const controlObserver &o)
{
  // The first observer starts the watch from the patch as it is now, not from the next look.
  if (observers.empty()) {
    observers[0] = {nullptr, nullptr, nullptr, nullptr};
    controlWatch();
    observers.erase(0);
  }
  observers[nextHandle] = o;
  return nextHandle++;
}

void removeControlObserver(int handle) { observers.erase(handle); }

void notifyProgramSwitched(int n, const char *name)
{
  // A copy: an observer may remove itself.
  std::map<int, controlObserver> now = observers;
  for (auto &o : now)
    if (o.second.programSwitched) o.second.programSwitched(n, name, o.second.data);
}

namespace {
struct slotLook {
  int id = -1, type = -1, count = 0;
  float parm[16];
};
slotLook seen[MAX_MODULES];
bool watching = false;
}  // namespace

void controlWatch()
{
  if (observers.empty()) {
    watching = false;
    return;
  }
  bool first = !watching, patch = false;
  watching = true;
  std::map<int, controlObserver> now = observers;
  for (int s = 0; s < MAX_MODULES; s++) {
    slotLook &l = seen[s];
    modRec *m = MOD[s];
    int id = m ? m->ID : -1, type = m ? m->type : -1;
    if (id != l.id || type != l.type) {
      // Another module here: its values are new, not changes; the observers ask for them.
      patch = patch || !first;
      l.id = id;
      l.type = type;
      l.count = m ? modParmCount(m) : 0;
      for (int p = 0; p < l.count && p < 16; p++) l.parm[p] = modParmGet(m, p);
      continue;
    }
    for (int p = 0; p < l.count && p < 16; p++) {
      float v = modParmGet(m, p);
      if (v == l.parm[p]) continue;
      l.parm[p] = v;
      for (auto &o : now)
        if (o.second.parmChanged) o.second.parmChanged(id, p, v, o.second.data);
    }
  }
  if (patch)
    for (auto &o : now)
      if (o.second.patchChanged) o.second.patchChanged(o.second.data);
}
