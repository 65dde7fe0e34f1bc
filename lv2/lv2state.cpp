// A plugin's own state (what its state:interface saves beyond its control ports: a loaded
// impulse response's path, a model, internal tables) as bytes a layout can hold: one record per
// property, each named by URI so that another run, with other URIDs, reads it back. Paths go
// through the plugin's map-path feature: inside the layout's folder relative to it, elsewhere
// absolute.
#include <string.h>

#include "lv2/lv2internal.h"

static const char stateMagic[] = "QAFLV2STATE1";

static void putU32(std::string &s, uint32_t v) { s.append((const char *)&v, 4); }
static void putStr(std::string &s, const char *t, size_t n)
{
  putU32(s, (uint32_t)n);
  s.append(t, n);
}

struct saved {
  std::string out;
  int count = 0;
};

static LV2_State_Status store(LV2_State_Handle h, uint32_t key, const void *value, size_t size,
                              uint32_t type, uint32_t flags)
{
  saved *s = (saved *)h;
  const char *k = lv2Unmap(key), *t = lv2Unmap(type);
  if (!k || !t || size > 0x7fffffff) return LV2_STATE_ERR_UNKNOWN;
  putStr(s->out, k, strlen(k));
  putStr(s->out, t, strlen(t));
  putU32(s->out, flags);
  putStr(s->out, (const char *)value, size);
  s->count++;
  return LV2_STATE_SUCCESS;
}

static const LV2_Feature *const *stateFeatures(lv2Inst *p, LV2_Feature store[4],
                                               const LV2_Feature *list[5])
{
  store[0] = {LV2_STATE__mapPath, &p->mapPath};
  store[1] = {LV2_STATE__makePath, &p->makePath};
  store[2] = {LV2_STATE__freePath, &p->freePath};
  store[3] = {LV2_WORKER__schedule, &p->schedule};
  for (int k = 0; k < 4; k++) list[k] = &store[k];
  list[4] = nullptr;
  return list;
}

std::string lv2SaveState(modRec *m, const std::string &dir)
{
  lv2Inst *p = lv2Of(m);
  if (!p) return "";
  if (!p->instance) return p->keptState;
  if (!p->state || !p->state->save) return "";
  saved s;
  s.out = stateMagic;
  p->pathDir = dir;
  LV2_Feature fs[4];
  const LV2_Feature *list[5];
  auto hold = lv2WorkerHold();
  p->state->save(lilv_instance_get_handle(p->instance), store, &s,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, stateFeatures(p, fs, list));
  p->pathDir.clear();
  return s.count ? s.out : "";
}

// The records of saved state, as restore asks for them.
struct loaded {
  struct rec {
    LV2_URID key, type;
    uint32_t flags;
    std::string value;
  };
  std::vector<rec> recs;
};

static bool getU32(const std::string &s, size_t &at, uint32_t *v)
{
  if (at + 4 > s.size()) return false;
  memcpy(v, s.data() + at, 4);
  at += 4;
  return true;
}
static bool getStr(const std::string &s, size_t &at, std::string *out)
{
  uint32_t n;
  if (!getU32(s, at, &n) || n > s.size() - at) return false;
  out->assign(s.data() + at, n);
  at += n;
  return true;
}

static const void *retrieve(LV2_State_Handle h, uint32_t key, size_t *size, uint32_t *type,
                            uint32_t *flags)
{
  loaded *l = (loaded *)h;
  for (const loaded::rec &r : l->recs)
    if (r.key == key) {
      *size = r.value.size();
      *type = r.type;
      *flags = r.flags;
      return r.value.data();
    }
  return nullptr;
}

bool lv2RestoreState(modRec *m, const std::string &state, const std::string &dir)
{
  lv2Inst *p = lv2Of(m);
  if (!p) return false;
  size_t at = sizeof stateMagic - 1;
  if (state.compare(0, at, stateMagic) != 0) return state.empty();
  loaded l;
  while (at < state.size()) {
    std::string k, t, v;
    uint32_t flags;
    if (!getStr(state, at, &k) || !getStr(state, at, &t) || !getU32(state, at, &flags) ||
        !getStr(state, at, &v))
      return false;
    l.recs.push_back({lv2Map(k.c_str()), lv2Map(t.c_str()), flags, v});
  }
  if (!p->instance) {
    p->keptState = state;
    return true;
  }
  if (!p->state || !p->state->restore) return true;
  p->pathDir = dir;
  LV2_Feature fs[4];
  const LV2_Feature *list[5];
  auto hold = lv2WorkerHold();
  p->state->restore(lilv_instance_get_handle(p->instance), retrieve, &l, 0,
                    stateFeatures(p, fs, list));
  p->pathDir.clear();
  return true;
}
