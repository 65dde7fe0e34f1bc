// The installed plugins: lilv's world, read on first use on the UI thread, the URID map that
// every plugin shares, and each plugin's description as the host uses it (its ports, controls
// and file parameters, and whether it can be hosted at all, decided before its library loads).
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/patch/patch.h>
#include <lv2/port-props/port-props.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>
#include <lv2/units/units.h>
#include <lv2/worker/worker.h>
#include <math.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "lv2/lv2internal.h"

static LilvWorld *world;

LilvWorld *lv2World()
{
  if (!world) {
    world = lilv_world_new();
    lilv_world_load_all(world);
  }
  return world;
}

// ---- URIDs ----------------------------------------------------------------------------------

static std::mutex mapLock;
static std::unordered_map<std::string, LV2_URID> uridOf;
static std::vector<std::unique_ptr<std::string>> uriOf;  // index id - 1; never moves a string

LV2_URID lv2Map(const char *uri)
{
  std::lock_guard<std::mutex> g(mapLock);
  auto it = uridOf.find(uri);
  if (it != uridOf.end()) return it->second;
  uriOf.push_back(std::make_unique<std::string>(uri));
  LV2_URID id = (LV2_URID)uriOf.size();
  uridOf.emplace(uri, id);
  return id;
}

const char *lv2Unmap(LV2_URID id)
{
  std::lock_guard<std::mutex> g(mapLock);
  return id >= 1 && id <= uriOf.size() ? uriOf[id - 1]->c_str() : nullptr;
}

static LV2_URID mapCb(LV2_URID_Map_Handle, const char *uri) { return lv2Map(uri); }
static const char *unmapCb(LV2_URID_Unmap_Handle, LV2_URID id) { return lv2Unmap(id); }
LV2_URID_Map lv2MapFeature = {nullptr, mapCb};
LV2_URID_Unmap lv2UnmapFeature = {nullptr, unmapCb};

// The host's URIDs (see lv2U and lv2PassU).
static lv2Urids urids;

const lv2Urids &lv2U()
{
  static const bool mapped = [] {
    lv2Urids &v = urids;
    v.atomChunk = lv2Map(LV2_ATOM__Chunk);
    v.atomSequence = lv2Map(LV2_ATOM__Sequence);
    v.atomPath = lv2Map(LV2_ATOM__Path);
    v.atomFloat = lv2Map(LV2_ATOM__Float);
    v.atomInt = lv2Map(LV2_ATOM__Int);
    v.atomLong = lv2Map(LV2_ATOM__Long);
    v.atomDouble = lv2Map(LV2_ATOM__Double);
    v.atomObject = lv2Map(LV2_ATOM__Object);
    v.atomUrid = lv2Map(LV2_ATOM__URID);
    v.atomBool = lv2Map(LV2_ATOM__Bool);
    v.patchSet = lv2Map(LV2_PATCH__Set);
    v.patchProperty = lv2Map(LV2_PATCH__property);
    v.patchValue = lv2Map(LV2_PATCH__value);
    v.timePosition = lv2Map(LV2_TIME__Position);
    v.timeFrame = lv2Map(LV2_TIME__frame);
    v.timeSpeed = lv2Map(LV2_TIME__speed);
    v.bufMin = lv2Map(LV2_BUF_SIZE__minBlockLength);
    v.bufMax = lv2Map(LV2_BUF_SIZE__maxBlockLength);
    v.bufNominal = lv2Map(LV2_BUF_SIZE__nominalBlockLength);
    v.bufSeq = lv2Map(LV2_BUF_SIZE__sequenceSize);
    v.paramRate = lv2Map(LV2_PARAMETERS__sampleRate);
    return true;
  }();
  (void)mapped;
  return urids;
}

const lv2Urids &lv2PassU() QAF_NONBLOCKING { return urids; }

// ---- Descriptions ---------------------------------------------------------------------------

// The features a plugin may require: what the host passes, and what needs nothing passed.
static const char *const providedFeatures[] = {
    LV2_URID__map, LV2_URID__unmap, LV2_OPTIONS__options, LV2_BUF_SIZE__boundedBlockLength,
    LV2_BUF_SIZE__fixedBlockLength, LV2_BUF_SIZE__powerOf2BlockLength,
    LV2_BUF_SIZE__coarseBlockLength, LV2_WORKER__schedule, LV2_STATE__mapPath,
    LV2_STATE__makePath, LV2_STATE__freePath, LV2_LOG__log, LV2_CORE__isLive,
    LV2_CORE__inPlaceBroken, LV2_CORE__hardRTCapable, LV2_STATE__threadSafeRestore};
static const char *const providedOptions[] = {
    LV2_PARAMETERS__sampleRate, LV2_BUF_SIZE__minBlockLength, LV2_BUF_SIZE__maxBlockLength,
    LV2_BUF_SIZE__nominalBlockLength, LV2_BUF_SIZE__sequenceSize};

static bool listed(const char *const *list, size_t n, const char *uri)
{
  for (size_t k = 0; k < n; k++)
    if (!strcmp(list[k], uri)) return true;
  return false;
}

struct nodes {
  LilvNode *audio, *control, *cv, *atom, *input, *output, *optional, *integer, *toggled,
      *enumeration, *logarithmic, *sampleRate, *unit, *unitSymbol, *writable, *range, *path,
      *label, *supports, *timePos, *requiredOption, *minBlock;
};
static const nodes &N()
{
  static nodes n = [] {
    LilvWorld *w = lv2World();
    nodes v;
    v.audio = lilv_new_uri(w, LV2_CORE__AudioPort);
    v.control = lilv_new_uri(w, LV2_CORE__ControlPort);
    v.cv = lilv_new_uri(w, LV2_CORE__CVPort);
    v.atom = lilv_new_uri(w, LV2_ATOM__AtomPort);
    v.input = lilv_new_uri(w, LV2_CORE__InputPort);
    v.output = lilv_new_uri(w, LV2_CORE__OutputPort);
    v.optional = lilv_new_uri(w, LV2_CORE__connectionOptional);
    v.integer = lilv_new_uri(w, LV2_CORE__integer);
    v.toggled = lilv_new_uri(w, LV2_CORE__toggled);
    v.enumeration = lilv_new_uri(w, LV2_CORE__enumeration);
    v.logarithmic = lilv_new_uri(w, LV2_PORT_PROPS__logarithmic);
    v.sampleRate = lilv_new_uri(w, LV2_CORE__sampleRate);
    v.unit = lilv_new_uri(w, LV2_UNITS__unit);
    v.unitSymbol = lilv_new_uri(w, LV2_UNITS__symbol);
    v.writable = lilv_new_uri(w, LV2_PATCH__writable);
    v.range = lilv_new_uri(w, "http://www.w3.org/2000/01/rdf-schema#range");
    v.path = lilv_new_uri(w, LV2_ATOM__Path);
    v.label = lilv_new_uri(w, "http://www.w3.org/2000/01/rdf-schema#label");
    v.supports = lilv_new_uri(w, LV2_ATOM__supports);
    v.timePos = lilv_new_uri(w, LV2_TIME__Position);
    v.requiredOption = lilv_new_uri(w, LV2_OPTIONS__requiredOption);
    v.minBlock = lilv_new_uri(w, LV2_BUF_SIZE__minBlockLength);
    return v;
  }();
  return n;
}

static std::string nodeText(const LilvNode *n)
{
  if (!n) return "";
  if (lilv_node_is_uri(n)) return lilv_node_as_uri(n);
  const char *s = lilv_node_as_string(n);
  return s ? s : "";
}

// The short name of a unit: its units:symbol ("dB", "Hz"), else the end of its URI.
static std::string unitOf(const LilvPlugin *p, const LilvPort *port)
{
  LilvNodes *units = lilv_port_get_value(p, port, N().unit);
  std::string u;
  if (units && lilv_nodes_size(units)) {
    const LilvNode *unit = lilv_nodes_get_first(units);
    LilvNode *sym = lilv_world_get(lv2World(), unit, N().unitSymbol, nullptr);
    if (sym) {
      u = nodeText(sym);
      lilv_node_free(sym);
    } else if (lilv_node_is_uri(unit)) {
      u = lilv_node_as_uri(unit);
      size_t h = u.find_last_of("#/");
      if (h != std::string::npos) u = u.substr(h + 1);
    }
  }
  lilv_nodes_free(units);
  return u;
}

static lv2Control describeControl(const LilvPlugin *p, const LilvPort *port, float lo, float hi,
                                  float def)
{
  lv2Control c;
  c.symbol = nodeText(lilv_port_get_symbol(p, port));
  LilvNode *name = lilv_port_get_name(p, port);
  c.name = name ? nodeText(name) : c.symbol;
  lilv_node_free(name);
  c.integer = lilv_port_has_property(p, port, N().integer);
  c.toggled = lilv_port_has_property(p, port, N().toggled);
  c.enumeration = lilv_port_has_property(p, port, N().enumeration);
  c.logarithmic = lilv_port_has_property(p, port, N().logarithmic);
  float scale = lilv_port_has_property(p, port, N().sampleRate) ? 44100.0f : 1.0f;
  c.min = isnan(lo) ? 0.0f : lo * scale;
  c.max = isnan(hi) ? (c.toggled ? 1.0f : c.min + 1.0f) : hi * scale;
  if (c.max < c.min) std::swap(c.min, c.max);
  c.def = isnan(def) ? c.min : std::min(c.max, std::max(c.min, def * scale));
  c.unit = unitOf(p, port);
  if (c.logarithmic && c.min <= 0) c.logarithmic = false;  // no logarithm through zero
  LilvScalePoints *pts = lilv_port_get_scale_points(p, port);
  LILV_FOREACH (scale_points, i, pts) {
    const LilvScalePoint *sp = lilv_scale_points_get(pts, i);
    const LilvNode *v = lilv_scale_point_get_value(sp);
    if (lilv_node_is_float(v) || lilv_node_is_int(v))
      c.points.push_back({lilv_node_as_float(v), nodeText(lilv_scale_point_get_label(sp))});
  }
  lilv_scale_points_free(pts);
  std::sort(c.points.begin(), c.points.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
  if (c.points.empty()) c.enumeration = false;
  return c;
}

// Why the plugin cannot be hosted ("" when it can), from its description alone.
static std::string refusal(const LilvPlugin *p, lv2Desc &d)
{
  LilvNodes *req = lilv_plugin_get_required_features(p);
  std::string why;
  LILV_FOREACH (nodes, i, req) {
    const char *f = lilv_node_as_uri(lilv_nodes_get(req, i));
    if (!listed(providedFeatures, sizeof providedFeatures / sizeof *providedFeatures, f)) {
      why = std::string("it needs the feature ") + f + ", which QAF does not provide";
      break;
    }
  }
  lilv_nodes_free(req);
  if (!why.empty()) return why;
  LilvNodes *opts = lilv_plugin_get_value(p, N().requiredOption);
  LILV_FOREACH (nodes, i, opts) {
    const char *o = lilv_node_as_uri(lilv_nodes_get(opts, i));
    if (!listed(providedOptions, sizeof providedOptions / sizeof *providedOptions, o)) {
      why = std::string("it needs the option ") + o + ", which QAF does not provide";
      break;
    }
  }
  lilv_nodes_free(opts);
  if (!why.empty()) return why;
  for (uint32_t k = 0; k < d.ports; k++) {
    const LilvPort *port = lilv_plugin_get_port_by_index(p, k);
    if (lilv_port_is_a(p, port, N().cv)) return "it has CV ports";
    bool known = lilv_port_is_a(p, port, N().audio) || lilv_port_is_a(p, port, N().control) ||
                 lilv_port_is_a(p, port, N().atom);
    bool dir = lilv_port_is_a(p, port, N().input) || lilv_port_is_a(p, port, N().output);
    if ((!known || !dir) && !lilv_port_has_property(p, port, N().optional))
      return "port \"" + nodeText(lilv_port_get_symbol(p, port)) + "\" is of a kind QAF cannot connect";
  }
  if (d.audioIn.size() > LV2_MAX_AUDIO || d.audioOut.size() > LV2_MAX_AUDIO)
    return "it has " + std::to_string(d.audioIn.size()) + " audio inputs and " +
           std::to_string(d.audioOut.size()) + " outputs; a module has at most 4 of each";
  return "";
}

static lv2Desc *describe(const LilvPlugin *p)
{
  lv2Desc *d = new lv2Desc;
  d->plugin = p;
  d->uri = lilv_node_as_uri(lilv_plugin_get_uri(p));
  LilvNode *name = lilv_plugin_get_name(p);
  d->name = name ? nodeText(name) : d->uri;
  lilv_node_free(name);
  d->ports = lilv_plugin_get_num_ports(p);
  std::vector<float> lo(d->ports), hi(d->ports), def(d->ports);
  lilv_plugin_get_port_ranges_float(p, lo.data(), hi.data(), def.data());
  for (uint32_t k = 0; k < d->ports; k++) {
    const LilvPort *port = lilv_plugin_get_port_by_index(p, k);
    bool in = lilv_port_is_a(p, port, N().input), out = lilv_port_is_a(p, port, N().output);
    if (lilv_port_is_a(p, port, N().audio)) {
      (in ? d->audioIn : d->audioOut).push_back(k);
    } else if (lilv_port_is_a(p, port, N().control) && (in || out)) {
      if (in) {
        d->controlIn.push_back(k);
        d->controls.push_back(describeControl(p, port, lo[k], hi[k], def[k]));
      } else {
        d->controlOut.push_back(k);
      }
    } else if (lilv_port_is_a(p, port, N().atom) && (in || out)) {
      (in ? d->atomIn : d->atomOut).push_back(k);
      if (in && lilv_port_supports_event(p, port, N().timePos)) d->wantsTime = true;
    } else {
      d->optional.push_back(k);
    }
  }
  if (lilv_plugin_has_latency(p)) d->latencyPort = (int)lilv_plugin_get_latency_port_index(p);
  // File parameters: writable properties whose values are paths.
  LilvNodes *props = lilv_plugin_get_value(p, N().writable);
  LILV_FOREACH (nodes, i, props) {
    const LilvNode *prop = lilv_nodes_get(props, i);
    if (!lilv_world_ask(lv2World(), prop, N().range, N().path)) continue;
    LilvNode *label = lilv_world_get(lv2World(), prop, N().label, nullptr);
    d->files.push_back({nodeText(prop), label ? nodeText(label) : nodeText(prop)});
    lilv_node_free(label);
  }
  lilv_nodes_free(props);
  d->refused = refusal(p, *d);
  return d;
}

static std::map<std::string, std::unique_ptr<lv2Desc>> descs;
static std::vector<lv2PluginInfo> catalogue;
static bool scanned;

lv2Desc *lv2Describe(const std::string &uri)
{
  auto it = descs.find(uri);
  if (it != descs.end()) return it->second.get();
  LilvNode *u = lilv_new_uri(lv2World(), uri.c_str());
  const LilvPlugin *p = u ? lilv_plugins_get_by_uri(lilv_world_get_all_plugins(lv2World()), u)
                          : nullptr;
  lilv_node_free(u);
  if (!p) return nullptr;
  lv2Desc *d = describe(p);
  descs[uri].reset(d);
  return d;
}

const std::vector<lv2PluginInfo> &lv2Plugins()
{
  if (scanned) return catalogue;
  scanned = true;
  const LilvPlugins *all = lilv_world_get_all_plugins(lv2World());
  LILV_FOREACH (plugins, i, all) {
    const LilvPlugin *p = lilv_plugins_get(all, i);
    lv2Desc *d = lv2Describe(lilv_node_as_uri(lilv_plugin_get_uri(p)));
    if (!d) continue;
    lv2PluginInfo info;
    info.uri = d->uri;
    info.name = d->name;
    const LilvPluginClass *cls = lilv_plugin_get_class(p);
    info.className = cls ? nodeText(lilv_plugin_class_get_label(cls)) : "";
    // "Amplifier Plugin", "Reverb Plugin": the kind is the first word(s).
    size_t tail = info.className.rfind(" Plugin");
    if (tail != std::string::npos && tail + 7 == info.className.size() && tail > 0)
      info.className.resize(tail);
    info.audioIn = (int)d->audioIn.size();
    info.audioOut = (int)d->audioOut.size();
    info.refused = d->refused;
    catalogue.push_back(info);
  }
  std::sort(catalogue.begin(), catalogue.end(), [](const lv2PluginInfo &a, const lv2PluginInfo &b) {
    int c = g_ascii_strcasecmp(a.name.c_str(), b.name.c_str());
    return c ? c < 0 : a.uri < b.uri;
  });
  return catalogue;
}

const lv2PluginInfo *lv2FindPlugin(const std::string &uri)
{
  for (const lv2PluginInfo &p : lv2Plugins())
    if (p.uri == uri) return &p;
  return nullptr;
}

// Smallest block the plugin takes (bufsz:minBlockLength), 0 when it names none.
int lv2MinBlock(const lv2Desc *d)
{
  LilvNodes *v = lilv_plugin_get_value(d->plugin, N().minBlock);
  int n = v && lilv_nodes_size(v) ? lilv_node_as_int(lilv_nodes_get_first(v)) : 0;
  lilv_nodes_free(v);
  return n;
}
