// The parameters of a module, whatever it is: a built-in type's from its descriptor, a plugin
// module's from its plugin's control ports. Commands, mappings, MIDI learn and the observers
// all go through here, so a plugin's controls behave as every other parameter.
#include "control/control.h"
#include "engine/soundNode.h"
#include "lv2/lv2host.h"

bool describeModParm(const modRec *m, int parm, parmInfo *out)
{
  if (!m) return false;
  if (m->type != LV2_TYPE) return describeParm(m->type, parm, out);
  const std::vector<lv2Control> &c = lv2Controls(m);
  if (parm < 0 || parm >= (int)c.size()) return false;
  const lv2Control &k = c[parm];
  *out = {k.integer || k.toggled || k.enumeration ? '#' : '!', k.name, k.min, k.max, 0, false, "", -1};
  out->log = k.logarithmic;
  out->unit = k.unit;
  out->control = parm;
  return true;
}

int modParmCount(const modRec *m)
{
  if (!m) return 0;
  return m->type == LV2_TYPE ? (int)lv2Controls(m).size() : parmCount(m->type);
}

// Any thread.
float modParmGet(const modRec *m, int parm) QAF_NONBLOCKING
{
  if (m->type == LV2_TYPE) return lv2GetControl(m, parm);
  return parm >= 0 && parm < 16 ? (float)m->parm[parm] : 0.0f;
}

// Any thread.
void modParmSet(modRec *m, int parm, float v) QAF_NONBLOCKING
{
  if (m->type == LV2_TYPE)
    lv2SetControl(m, parm, v);
  else if (parm >= 0 && parm < 16)
    m->parm[parm] = v;
}

float modParmValue(const modRec *m, const parmInfo &p, double v)
{
  if (p.control >= 0 && m->type == LV2_TYPE) return lv2ControlValue(lv2Controls(m)[p.control], v);
  return dialogValue(p, v);
}

std::string moduleName(const modRec *m)
{
  if (m->type == LV2_TYPE) return lv2Name(m);
  return typeList[m->type].name;
}
