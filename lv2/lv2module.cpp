// Plugin modules: a record of the "LV2 Plugin" type holds one instance, built, activated and
// primed on the UI thread before any pass can see it, with the host's features, its controls
// (relaxed atomics the pass hands to the plugin's ports), its file parameters (patch:Set
// messages through a ring), its state and, when the plugin is not installed, everything a
// layout said about it.
#include <lv2/atom/forge.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/parameters/parameters.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "audio/cardfeed.h"
#include "base/reply.h"
#include "lv2/lv2internal.h"

// The typeList row, installed as the program starts: the engine knows no plugins.
static struct installRow {
  installRow() { typeList[LV2_TYPE] = {"LV2 Plugin", 0, "", fLv2, nullptr, unLv2}; }
} installed;

static const std::vector<lv2Control> noControls;
static const std::vector<lv2FileParm> noFiles;
static const std::string noUri;

// ---- Paths the plugin's state names -----------------------------------------------------------

static char *absolutePath(LV2_State_Map_Path_Handle h, const char *abstract)
{
  lv2Inst *p = (lv2Inst *)h;
  if (abstract[0] == '/' || p->pathDir.empty()) return strdup(abstract);
  return strdup((p->pathDir + "/" + abstract).c_str());
}

// Inside the folder the layout is saved in, relative to it; anywhere else absolute.
static char *abstractPath(LV2_State_Map_Path_Handle h, const char *absolute)
{
  lv2Inst *p = (lv2Inst *)h;
  std::string dir = p->pathDir;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  if (!dir.empty() && strncmp(absolute, dir.c_str(), dir.size()) == 0 && absolute[dir.size()])
    return strdup(absolute + dir.size());
  return strdup(absolute);
}

// Files a plugin makes for its state go into a folder of this run's own.
static char *makePath(LV2_State_Make_Path_Handle, const char *path)
{
  static std::string dir;
  if (dir.empty()) {
    const char *tmp = getenv("TMPDIR");
    dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/qaf-lv2-" + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
  }
  std::string full = dir + "/" + path;
  for (size_t k = dir.size() + 1; k < full.size(); k++)
    if (full[k] == '/') mkdir(full.substr(0, k).c_str(), 0700);
  return strdup(full.c_str());
}

static void freePath(LV2_State_Free_Path_Handle, char *path) { free(path); }

// ---- Building ---------------------------------------------------------------------------------

static void makeRing(lv2Ring &r)
{
  r.cap = LV2_RING_BYTES;
  r.buf = (uint8_t *)rtAlloc(r.cap);
}

static int passFrames() { return sound_chunk_size / 2; }

static void setFeatures(lv2Inst *p, std::vector<const LV2_Feature *> &f,
                        std::vector<LV2_Feature> &store)
{
  const lv2Urids &u = lv2U();
  p->schedule = {p, lv2ScheduleWork};
  p->mapPath = {p, abstractPath, absolutePath};
  p->makePath = {p, makePath};
  p->freePath = {p, freePath};
  p->log = {p, lv2LogPrintf, lv2LogVPrintf};
  p->optBlock = passFrames();
  static const int32_t minBlock = 32, maxBlock = LV2_MAX_FRAMES;
  LV2_URID intType = u.atomInt;
  p->options[0] = {LV2_OPTIONS_INSTANCE, 0, u.paramRate, sizeof(float), u.atomFloat, &p->optRate};
  p->options[1] = {LV2_OPTIONS_INSTANCE, 0, u.bufMin, sizeof(int32_t), intType, &minBlock};
  p->options[2] = {LV2_OPTIONS_INSTANCE, 0, u.bufMax, sizeof(int32_t), intType, &maxBlock};
  p->options[3] = {LV2_OPTIONS_INSTANCE, 0, u.bufNominal, sizeof(int32_t), intType, &p->optBlock};
  p->options[4] = {LV2_OPTIONS_INSTANCE, 0, u.bufSeq, sizeof(int32_t), intType, &p->optSeq};
  p->options[5] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
  store = {{LV2_URID__map, &lv2MapFeature},
           {LV2_URID__unmap, &lv2UnmapFeature},
           {LV2_OPTIONS__options, p->options},
           {LV2_BUF_SIZE__boundedBlockLength, nullptr},
           {LV2_WORKER__schedule, &p->schedule},
           {LV2_STATE__mapPath, &p->mapPath},
           {LV2_STATE__makePath, &p->makePath},
           {LV2_STATE__freePath, &p->freePath},
           {LV2_LOG__log, &p->log}};
  for (const LV2_Feature &x : store) f.push_back(&x);
  f.push_back(nullptr);
}

static void connectPorts(lv2Inst *p)
{
  lv2Desc *d = p->desc;
  LilvInstance *in = p->instance;
  for (size_t k = 0; k < d->audioIn.size(); k++)
    lilv_instance_connect_port(in, d->audioIn[k], p->rt->audio[k]);
  for (size_t k = 0; k < d->audioOut.size(); k++)
    lilv_instance_connect_port(in, d->audioOut[k], p->rt->audio[LV2_MAX_AUDIO + k]);
  for (uint32_t k : d->controlIn) lilv_instance_connect_port(in, k, &p->ports[k]);
  for (uint32_t k : d->controlOut) lilv_instance_connect_port(in, k, &p->ports[k]);
  for (uint32_t k : d->atomIn) lilv_instance_connect_port(in, k, p->atomBuf[k]);
  for (uint32_t k : d->atomOut) lilv_instance_connect_port(in, k, p->atomBuf[k]);
  for (uint32_t k : d->optional) lilv_instance_connect_port(in, k, nullptr);
}

static unsigned char termsOf(const lv2Desc *d)
{
  unsigned char t = 0;
  for (size_t k = 0; k < d->audioIn.size(); k++) t |= (unsigned char)(1 << (7 - k));
  for (size_t k = 0; k < d->audioOut.size(); k++) t |= (unsigned char)(1 << (3 - k));
  return t;
}

static lv2Inst *build(lv2Desc *d, std::string *why)
{
  int min = lv2MinBlock(d);
  if (min > passFrames()) {
    *why = "it needs blocks of at least " + std::to_string(min) + " frames; QAF's passes are " +
           std::to_string(passFrames());
    return nullptr;
  }
  lv2LogReady();
  lv2Inst *p = new lv2Inst;
  p->uri = d->uri;
  p->desc = d;
  p->rt = rtNew<lv2Rt>();
  size_t n = d->controls.size();
  p->values = (parmFloat *)rtAlloc(sizeof(parmFloat) * (n ? n : 1));
  for (size_t k = 0; k < n; k++) new (&p->values[k]) parmFloat, p->values[k] = d->controls[k].def;
  p->ports = (float *)rtAlloc(sizeof(float) * (d->ports ? d->ports : 1));
  for (size_t k = 0; k < n; k++) p->ports[d->controlIn[k]] = d->controls[k].def;
  makeRing(p->rt->fileRing);
  makeRing(p->rt->requests);
  makeRing(p->rt->responses);
  p->atomBuf.assign(d->ports, nullptr);
  for (uint32_t k : d->atomIn) p->atomBuf[k] = (uint8_t *)rtAlloc(LV2_ATOM_BYTES);
  for (uint32_t k : d->atomOut) p->atomBuf[k] = (uint8_t *)rtAlloc(LV2_ATOM_BYTES);
  p->filePaths.assign(d->files.size(), "");
  std::vector<const LV2_Feature *> f;
  std::vector<LV2_Feature> store;
  setFeatures(p, f, store);
  p->instance = lilv_plugin_instantiate(d->plugin, 44100.0, f.data());
  if (!p->instance) {
    *why = "its library did not load or would not make an instance";
    unLv2Inst(p);
    return nullptr;
  }
  p->worker = (const LV2_Worker_Interface *)lilv_instance_get_extension_data(p->instance,
                                                                            LV2_WORKER__interface);
  p->state = (const LV2_State_Interface *)lilv_instance_get_extension_data(p->instance,
                                                                          LV2_STATE__interface);
  if (p->worker) lv2WorkerAdd(p);
  connectPorts(p);
  lilv_instance_activate(p->instance);
  return p;
}

// UI thread, on a record no pass can see: two passes of silence, so that the first pass the
// listener hears is not the plugin's first (buffers, filters and answers to its worker settle).
static void prime(lv2Inst *p)
{
  for (int k = 0; k < 2; k++) {
    for (auto &ch : p->rt->audio) memset(ch, 0, sizeof ch);
    lv2Process(p, passFrames());
  }
  lv2FlushLog();
}

modRec *lv2MakeModule(const std::string &uri, std::string *why)
{
  lv2Desc *d = lv2Describe(uri);
  if (!d) {
    *why = "no plugin " + uri + " is installed";
    return nullptr;
  }
  if (!d->refused.empty()) {
    *why = d->name + " (" + uri + ") cannot be hosted: " + d->refused;
    return nullptr;
  }
  lv2Inst *p = build(d, why);
  if (!p) {
    *why = d->name + " (" + uri + ") cannot be hosted: " + *why;
    return nullptr;
  }
  prime(p);
  modRec *m = new modRec;
  m->type = LV2_TYPE;
  m->terms = termsOf(d);
  m->Extra = p;
  for (size_t k = 0; k < 16 && k < d->controls.size(); k++) m->parm[k] = d->controls[k].def;
  return m;
}

modRec *lv2MakeMissing(const std::string &uri, unsigned char terms)
{
  lv2Inst *p = new lv2Inst;
  p->uri = uri;
  p->rt = rtNew<lv2Rt>();
  modRec *m = new modRec;
  m->type = LV2_TYPE;
  m->terms = terms;
  m->Extra = p;
  return m;
}

void unLv2Inst(lv2Inst *p)
{
  if (!p) return;
  if (p->worker) lv2WorkerRemove(p);
  if (p->instance) {
    lilv_instance_deactivate(p->instance);
    lilv_instance_free(p->instance);
  }
  for (uint8_t *b : p->atomBuf) rtFree(b);
  rtFree(p->rt->fileRing.buf);
  rtFree(p->rt->requests.buf);
  rtFree(p->rt->responses.buf);
  rtFree(p->ports);
  rtFree(p->values);
  rtDelete(p->rt);
  delete p;
}

// UI thread, on a record no pass can see any more.
void unLv2(modRec *m)
{
  unLv2Inst(lv2Of(m));
  m->Extra = nullptr;
}

// ---- What a module is -------------------------------------------------------------------------

bool lv2IsMissing(const modRec *m) { return !lv2Of(m) || !lv2Of(m)->instance; }
const std::string &lv2Uri(const modRec *m) { return lv2Of(m) ? lv2Of(m)->uri : noUri; }
std::string lv2Name(const modRec *m)
{
  lv2Inst *p = lv2Of(m);
  if (!p) return "";
  return p->desc ? p->desc->name : p->uri;
}
const std::vector<lv2Control> &lv2Controls(const modRec *m)
{
  lv2Inst *p = lv2Of(m);
  return p && p->desc && p->instance ? p->desc->controls : noControls;
}
const std::vector<lv2FileParm> &lv2FileParms(const modRec *m)
{
  lv2Inst *p = lv2Of(m);
  return p && p->desc && p->instance ? p->desc->files : noFiles;
}
int lv2Latency(const modRec *m)
{
  lv2Inst *p = lv2Of(m);
  return p && p->rt ? p->rt->latency.load(std::memory_order_relaxed) : 0;
}
bool lv2ReportsLatency(const modRec *m)
{
  lv2Inst *p = lv2Of(m);
  return p && p->desc && p->instance && p->desc->latencyPort >= 0;
}

// ---- Controls ---------------------------------------------------------------------------------

// Any thread, the audio thread among them (a mapped controller).
float lv2GetControl(const modRec *m, int k) QAF_NONBLOCKING
{
  lv2Inst *p = lv2Of(m);
  if (!p || !p->instance || k < 0 || k >= (int)p->desc->controls.size()) return 0.0f;
  return p->values[k];
}

// Any thread, the audio thread among them (a mapped controller).
void lv2SetControl(modRec *m, int k, float v) QAF_NONBLOCKING
{
  lv2Inst *p = lv2Of(m);
  if (!p || !p->instance || k < 0 || k >= (int)p->desc->controls.size()) return;
  p->values[k] = v;
  if (k < 16) m->parm[k] = v;
}

float lv2ControlValue(const lv2Control &c, double v)
{
  if (!(v == v)) v = c.def;
  if (c.enumeration) {
    float best = c.points[0].first;
    for (const auto &pt : c.points)
      if (fabs(pt.first - v) < fabs(best - v)) best = pt.first;
    return best;
  }
  double x = v < c.min ? c.min : v > c.max ? c.max : v;
  if (c.toggled) return x > (c.min + c.max) / 2 ? c.max : c.min;
  if (c.integer) return (float)floor(x + 0.5);
  return (float)x;
}

float lv2ControlAt(const lv2Control &c, double t)
{
  t = t < 0 ? 0 : t > 1 ? 1 : t;
  if (c.enumeration) {
    size_t k = (size_t)(t * (double)c.points.size());
    return c.points[k < c.points.size() ? k : c.points.size() - 1].first;
  }
  double v = c.logarithmic ? c.min * pow((double)c.max / c.min, t) : c.min + t * (c.max - c.min);
  return lv2ControlValue(c, v);
}

// ---- File parameters --------------------------------------------------------------------------

bool lv2SetFile(modRec *m, int k, const std::string &path, std::string *why)
{
  lv2Inst *p = lv2Of(m);
  if (!p || !p->instance || k < 0 || k >= (int)p->desc->files.size()) {
    *why = "no file parameter " + std::to_string(k);
    return false;
  }
  if (p->desc->atomIn.empty()) {
    *why = "the plugin has no input for messages";
    return false;
  }
  uint8_t buf[4096];
  LV2_Atom_Forge forge;
  lv2_atom_forge_init(&forge, &lv2MapFeature);
  lv2_atom_forge_set_buffer(&forge, buf, sizeof buf);
  const lv2Urids &u = lv2U();
  LV2_Atom_Forge_Frame frame;
  LV2_Atom_Forge_Ref set = lv2_atom_forge_object(&forge, &frame, 0, u.patchSet);
  lv2_atom_forge_key(&forge, u.patchProperty);
  lv2_atom_forge_urid(&forge, lv2Map(p->desc->files[k].property.c_str()));
  lv2_atom_forge_key(&forge, u.patchValue);
  LV2_Atom_Forge_Ref val = lv2_atom_forge_path(&forge, path.c_str(), (uint32_t)path.size());
  lv2_atom_forge_pop(&forge, &frame);
  if (!set || !val) {
    *why = "the path is too long";
    return false;
  }
  const LV2_Atom *a = (const LV2_Atom *)buf;
  if (!p->rt->fileRing.write(a, (uint32_t)sizeof(LV2_Atom) + a->size, nullptr, 0)) {
    *why = "too many messages wait for the plugin";
    return false;
  }
  p->filePaths[k] = path;
  return true;
}

std::string lv2FilePath(const modRec *m, int k)
{
  lv2Inst *p = lv2Of(m);
  return p && k >= 0 && k < (int)p->filePaths.size() ? p->filePaths[k] : "";
}

std::vector<std::pair<std::string, std::string>> lv2Files(const modRec *m)
{
  lv2Inst *p = lv2Of(m);
  if (!p) return {};
  if (!p->instance) return p->keptFiles;
  std::vector<std::pair<std::string, std::string>> v;
  for (size_t k = 0; k < p->filePaths.size(); k++)
    if (!p->filePaths[k].empty()) v.push_back({p->desc->files[k].property, p->filePaths[k]});
  return v;
}

void lv2KeepFiles(modRec *m, const std::vector<std::pair<std::string, std::string>> &files)
{
  lv2Inst *p = lv2Of(m);
  if (!p) return;
  if (!p->instance) {
    p->keptFiles = files;
    return;
  }
  std::string why;
  for (const auto &f : files)
    for (size_t k = 0; k < p->desc->files.size(); k++)
      if (p->desc->files[k].property == f.first && !lv2SetFile(m, (int)k, f.second, &why))
        say("%s: %s not sent: %s", p->desc->name.c_str(), f.second.c_str(), why.c_str());
}

void lv2Prime(modRec *m)
{
  lv2Inst *p = lv2Of(m);
  if (p && p->instance) prime(p);
}

// ---- Missing plugins' values ------------------------------------------------------------------

void lv2KeepValues(modRec *m, const std::vector<std::pair<std::string, float>> &values)
{
  lv2Inst *p = lv2Of(m);
  if (!p) return;
  if (!p->instance) {
    p->kept = values;
    return;
  }
  const std::vector<lv2Control> &c = p->desc->controls;
  for (const auto &v : values)
    for (size_t k = 0; k < c.size(); k++)
      if (c[k].symbol == v.first) lv2SetControl(m, (int)k, lv2ControlValue(c[k], v.second));
}

std::vector<std::pair<std::string, float>> lv2Values(const modRec *m)
{
  lv2Inst *p = lv2Of(m);
  if (!p) return {};
  if (!p->instance) return p->kept;
  std::vector<std::pair<std::string, float>> v;
  for (size_t k = 0; k < p->desc->controls.size(); k++)
    v.push_back({p->desc->controls[k].symbol, p->values[k]});
  return v;
}
