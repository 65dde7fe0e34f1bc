// MIDI input and the mapping engine. Control changes from any receiver land in a latch (the
// latest value of each channel's controller, and how many presses it saw), which the audio
// thread drains at the start of a pass through the mapping table; program changes and learned
// controllers go to the UI thread through a ring and an atomic it polls.
#include <glib.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>

#include "audio/period.h"
#include "control/control.h"
#include "control/events.h"
#include "control/setlist.h"
#include "engine/soundNode.h"
#include "lv2/lv2host.h"
#include "engine/taps.h"

// ---- Raw bytes ------------------------------------------------------------------------------------

// Any thread (the JACK callback among them); touches only the parser.
bool midiByteParser::feed(unsigned char b, midiMessage *out)
{
  if (b >= 0xF8) return false;  // real-time bytes may sit anywhere and change nothing
  if (b >= 0x80) {
    have = 0;
    inSysex = b == 0xF0;
    // System common and exclusive messages cancel running status; their data bytes are skipped.
    running = b < 0xF0 ? b : (b == 0xF1 || b == 0xF2 || b == 0xF3) ? b : 0;
    return false;
  }
  if (inSysex || running == 0) return false;
  data[have++] = b;
  int need = 2;
  unsigned char hi = running & 0xF0;
  if (hi == 0xC0 || hi == 0xD0 || running == 0xF1 || running == 0xF3) need = 1;
  if (have < need) return false;
  have = 0;
  if (running >= 0xF0) {
    running = 0;
    return false;
  }
  out->status = running;
  out->d1 = data[0];
  out->d2 = need == 2 ? data[1] : 0;
  return true;
}

// ---- Parameters -----------------------------------------------------------------------------------

// The descriptor's pieces, split as the dialogs split them.
static std::vector<std::string> descPieces(const char *list, int max)
{
  std::vector<std::string> v;
  gchar **p = g_strsplit(list, "/", max);
  int n = (int)g_strv_length(p);
  if (n > 0 && p[n - 1][0] == '\0') n--;
  for (int i = 0; i < n; i++) v.push_back(p[i]);
  g_strfreev(p);
  return v;
}

bool describeParm(int type, int parm, parmInfo *out)
{
  if (type < 0 || type >= MAX_TYPES || parm < 0) return false;
  const char *d = typeList[type].parmDesc;
  if (!d || !d[0]) return false;
  if (d[0] == '!') {
    std::vector<std::string> p = descPieces(d + 1, 16);
    if (parm >= (int)p.size()) return false;
    *out = {'!', p[parm], 0.0f, 256.0f, 0, false, "", -1};
    return true;
  }
  if (d[0] == '#') {
    std::vector<std::string> p = descPieces(d + 1, 48);
    if (p.size() % 3 != 0 || parm >= (int)p.size() / 3) return false;
    *out = {'#', p[3 * parm], (float)strtol(p[3 * parm + 1].c_str(), nullptr, 10),
            (float)strtol(p[3 * parm + 2].c_str(), nullptr, 10), 0, false, "", -1};
    return true;
  }
  if (d[0] == '%') {
    std::vector<std::string> p = descPieces(d + 1, 16);
    if (parm != 0 || p.empty()) return false;
    *out = {'%', d + 1, 0.0f, (float)(p.size() - 1), (int)p.size(), false, "", -1};
    return true;
  }
  return false;
}

int parmCount(int type)
{
  parmInfo p;
  int n = 0;
  while (describeParm(type, n, &p)) n++;
  return n;
}

float dialogValue(const parmInfo &p, double v)
{
  if (v != v) v = p.lo;
  if (v < p.lo) v = p.lo;
  if (v > p.hi) v = p.hi;
  if (p.kind == '#') return (float)(int)v;
  if (p.kind == '%') return (float)(int)v + 0.01f;
  return (float)v;
}

// Any thread, the audio thread among them: arithmetic only.
bool mappedValue(const ctlMapping &m, int value, bool pressed, float current, float *out)
{
  double v;
  if (m.mode == MAP_SWITCH) {
    v = value >= 64 ? m.hi : m.lo;
  } else if (m.mode == MAP_TOGGLE) {
    if (!pressed) return false;
    double c = current;
    if (m.kind == '%') c = (double)(int)c;
    v = std::abs(c - m.hi) < std::abs(c - m.lo) ? m.lo : m.hi;
  } else if (m.kind == '%') {
    // The options of the range, chosen evenly over the controller's 128 values.
    int lo = (int)m.lo, hi = (int)m.hi;
    int step = hi >= lo ? 1 : -1;
    int count = (hi - lo) * step + 1;
    v = lo + step * (value * count / 128);
  } else if (m.log) {
    v = m.lo * pow((double)m.hi / m.lo, value / 127.0);
  } else {
    v = m.lo + (double)(m.hi - m.lo) * value / 127.0;
  }
  if (m.kind == '#') {
    *out = (float)(int)v;
  } else if (m.kind == '%') {
    *out = (float)(int)v + 0.01f;
  } else {
    *out = (float)v;
  }
  return true;
}

// ---- The latch between receivers and the audio thread ---------------------------------------------

#define CTL_KEYS (16 * 128)
static std::atomic<unsigned char> latchValue[CTL_KEYS];
static std::atomic<unsigned short> latchPresses[CTL_KEYS];
static std::atomic<unsigned long long> latchDirty[CTL_KEYS / 64];
static std::atomic<int> latchAny{0};

// Program changes for the UI thread: a single-producer, single-consumer ring (one receiver
// runs at a time: the JACK callback or the sequencer thread).
#define PROGRAM_RING 64
static std::atomic<int> programRing[PROGRAM_RING];
static std::atomic<unsigned> programHead{0}, programTail{0};

static std::atomic<unsigned char> bankMsb[16], bankLsb[16];
static std::atomic<int> learnArmed{0};
static std::atomic<int> learnedKey{-1};
static std::atomic<unsigned> lastMessage{0};  // 1 << 24 | status << 16 | d1 << 8 | d2
static std::atomic<long> messageCount{0};

// Any receiver (the JACK callback among them): two relaxed atomic writes.
void noteMidiMessage(unsigned char status, unsigned char d1, unsigned char d2)
{
  lastMessage.store(1u << 24 | (unsigned)status << 16 | (unsigned)d1 << 8 | d2,
                    std::memory_order_relaxed);
  messageCount.fetch_add(1, std::memory_order_relaxed);
}

// The JACK callback (real-time) or the sequencer thread: atomics only, nothing waits.
// Every channel message, for plugins that take MIDI: a ring from the receiver to the pass, which
// hands the messages of each pass to the plugin modules. Messages beyond its size are dropped.
#define MIDI_RING 512
static std::atomic<uint32_t> midiRing[MIDI_RING];
static std::atomic<unsigned> midiHead{0}, midiTail{0};
static uint32_t passMidi[MIDI_RING];

void midiReceive(const midiMessage &m)
{
  noteMidiMessage(m.status, m.d1, m.d2);
  unsigned h = midiHead.load(std::memory_order_relaxed);
  if (h - midiTail.load(std::memory_order_acquire) < MIDI_RING) {
    midiRing[h % MIDI_RING].store(m.status | (uint32_t)m.d1 << 8 | (uint32_t)m.d2 << 16,
                                  std::memory_order_relaxed);
    midiHead.store(h + 1, std::memory_order_release);
  }
  int ch = m.status & 15;
  switch (m.status & 0xF0) {
    case 0xB0: {
      if (m.d1 == 0) bankMsb[ch].store(m.d2, std::memory_order_relaxed);
      if (m.d1 == 32) bankLsb[ch].store(m.d2, std::memory_order_relaxed);
      int key = ch * 128 + m.d1;
      if (learnArmed.load(std::memory_order_relaxed) && learnArmed.exchange(0)) learnedKey.store(key);
      latchValue[key].store(m.d2, std::memory_order_relaxed);
      if (m.d2 >= 64) latchPresses[key].fetch_add(1, std::memory_order_relaxed);
      latchDirty[key / 64].fetch_or(1ull << (key % 64), std::memory_order_release);
      latchAny.store(1, std::memory_order_release);
      break;
    }
    case 0xC0: {
      int bank = bankMsb[ch].load(std::memory_order_relaxed) * 128 +
                 bankLsb[ch].load(std::memory_order_relaxed);
      unsigned h = programHead.load(std::memory_order_relaxed);
      if (h - programTail.load(std::memory_order_acquire) < PROGRAM_RING) {
        programRing[h % PROGRAM_RING].store(bank * 128 + m.d1, std::memory_order_relaxed);
        programHead.store(h + 1, std::memory_order_release);
      }
      break;
    }
    default:  // notes, pressure, pitch bend: not used
      break;
  }
}

// ---- The mapping table ----------------------------------------------------------------------------

// The mappings ordered by controller: those of controller cc are m[first[cc]] up to
// m[first[cc + 1]], so a pass looks only at the mappings of the controllers that moved.
struct ctlTable {
  int n;
  ctlMapping *m;
  int first[129];
};

// The table the audio thread reads, published with one store; a replaced one is freed once no
// pass can read it.
static std::atomic<ctlTable *> liveTable{nullptr};

// Audio thread, inside a pass.
static void applyControl(int key, int value, bool pressed) QAF_NONBLOCKING
{
  const ctlTable *t = liveTable.load(std::memory_order_acquire);
  if (!t) return;
  int ch = key / 128 + 1, cc = key % 128;
  for (int i = t->first[cc]; i < t->first[cc + 1]; i++) {
    const ctlMapping &m = t->m[i];
    if (m.cc != cc || (m.channel != 0 && m.channel != ch)) continue;
    modRec *r = passMod(m.slot);
    if (!r || r->ID != m.id) continue;
    float v;
    if (mappedValue(m, value, pressed, modParmGet(r, m.parm), &v)) modParmSet(r, m.parm, v);
  }
}

// Audio thread, inside a pass.
void controlPass() QAF_NONBLOCKING
{
  int n = 0;
  unsigned t = midiTail.load(std::memory_order_relaxed), h = midiHead.load(std::memory_order_acquire);
  for (; t != h; t++) passMidi[n++] = midiRing[t % MIDI_RING].load(std::memory_order_relaxed);
  midiTail.store(t, std::memory_order_release);
  lv2SetPassMidi(passMidi, n);
  if (!latchAny.load(std::memory_order_relaxed) || !latchAny.exchange(0, std::memory_order_acquire))
    return;
  for (int w = 0; w < CTL_KEYS / 64; w++) {
    unsigned long long bits = latchDirty[w].exchange(0, std::memory_order_acquire);
    while (bits) {
      int b = __builtin_ctzll(bits);
      bits &= bits - 1;
      int key = w * 64 + b;
      int value = latchValue[key].load(std::memory_order_relaxed);
      int presses = latchPresses[key].exchange(0, std::memory_order_relaxed);
      applyControl(key, value, presses & 1);
    }
  }
}

// ---- The UI thread's mappings ----------------------------------------------------------------------

static std::vector<ctlMapping> uiMaps;

static void freeTable(void *p)
{
  ctlTable *t = (ctlTable *)p;
  delete[] t->m;
  delete t;
}

// Builds the table beside and swaps it in; the old one goes once no pass can read it.
static void publish()
{
  ctlTable *t = nullptr;
  if (!uiMaps.empty()) {
    t = new ctlTable;
    t->n = (int)uiMaps.size();
    t->m = new ctlMapping[uiMaps.size()];
    int n = 0;
    for (int cc = 0; cc < 128; cc++) {
      t->first[cc] = n;
      for (const ctlMapping &m : uiMaps)
        if (m.cc == cc) t->m[n++] = m;
    }
    t->first[128] = n;
  }
  GET_MODGRAPH_LOCK();
  ctlTable *old = liveTable.exchange(t, std::memory_order_acq_rel);
  if (old) retireLater(freeTable, old);
  RELEASE_MODGRAPH_LOCK();
  collectRetired();
}

bool controlMap(int channel, int cc, int id, int parm, bool ranged, float lo, float hi, int mode,
                std::string *why)
{
  char text[200];
  if (channel < 0 || channel > 16 || cc < 0 || cc > 127) {
    *why = "channel must be 1 to 16 or *, controller 0 to 127";
    return false;
  }
  int slot = slotOfModuleId(id);
  if (slot < 0) {
    g_snprintf(text, sizeof text, "module %d does not exist", id);
    *why = text;
    return false;
  }
  parmInfo p;
  if (!describeModParm(MOD[slot], parm, &p)) {
    int n = modParmCount(MOD[slot]);
    if (n == 0)
      g_snprintf(text, sizeof text, "module %d (%s) has no parameters", id,
                 moduleName(MOD[slot]).c_str());
    else
      g_snprintf(text, sizeof text, "module %d (%s) has no parameter %d (it has 0 to %d)", id,
                 moduleName(MOD[slot]).c_str(), parm, n - 1);
    *why = text;
    return false;
  }
  if (ranged) {
    if (lo != lo || hi != hi || lo < p.lo || lo > p.hi || hi < p.lo || hi > p.hi) {
      g_snprintf(text, sizeof text, "MIN and MAX must lie within %g..%g for parameter %d (%s)",
                 p.lo, p.hi, parm, p.name.c_str());
      *why = text;
      return false;
    }
    if (p.kind != '!') {
      lo = (float)(int)lo;
      hi = (float)(int)hi;
    }
  } else {
    lo = p.lo;
    hi = p.hi;
  }
  ctlMapping m = {channel, cc, slot, id, parm, ranged, lo, hi, mode, p.kind, p.options};
  m.log = p.log && lo > 0 && hi > 0;
  for (auto &e : uiMaps) {
    if (e.channel == channel && e.cc == cc && e.id == id && e.parm == parm) {
      e = m;
      publish();
      return true;
    }
  }
  uiMaps.push_back(m);
  publish();
  return true;
}

template <class Pred>
static int dropWhere(Pred pred)
{
  size_t before = uiMaps.size();
  std::vector<ctlMapping> kept;
  for (const auto &m : uiMaps)
    if (!pred(m)) kept.push_back(m);
  int n = (int)(before - kept.size());
  if (n > 0) {
    uiMaps.swap(kept);
    publish();
  }
  return n;
}

int controlUnmap(int channel, int cc)
{
  return dropWhere([&](const ctlMapping &m) { return m.channel == channel && m.cc == cc; });
}

int controlForget(int id, int parm)
{
  return dropWhere([&](const ctlMapping &m) { return m.id == id && m.parm == parm; });
}

void controlClearMaps()
{
  dropWhere([](const ctlMapping &) { return true; });
}

void controlModulesChanged()
{
  dropWhere([](const ctlMapping &m) { return !MOD[m.slot] || MOD[m.slot]->ID != m.id; });
  int id, parm;
  if (controlLearning(&id, &parm) && slotOfModuleId(id) < 0) controlLearnCancel();
}

const std::vector<ctlMapping> &controlMappings() { return uiMaps; }

static std::string ccName(int channel, int cc)
{
  char t[40];
  if (channel == 0)
    g_snprintf(t, sizeof t, "CC %d any ch", cc);
  else
    g_snprintf(t, sizeof t, "CC %d ch %d", cc, channel);
  return t;
}

std::string mappingLine(const ctlMapping &m)
{
  parmInfo p;
  std::string name = "?";
  if (MOD[m.slot] && describeModParm(MOD[m.slot], m.parm, &p)) name = p.name;
  char t[300];
  g_snprintf(t, sizeof t, "%s -> module %d parameter %d (%s) %g..%g%s", ccName(m.channel, m.cc).c_str(),
             m.id, m.parm, name.c_str(), m.lo, m.hi,
             m.mode == MAP_SWITCH ? " switch" : m.mode == MAP_TOGGLE ? " toggle" : "");
  return t;
}

std::string controlMappingLabel(int id, int parm)
{
  std::string s;
  for (const auto &m : uiMaps) {
    if (m.id != id || m.parm != parm) continue;
    if (!s.empty()) s += ", ";
    s += ccName(m.channel, m.cc);
  }
  return s;
}

// ---- Learn ----------------------------------------------------------------------------------------

static int learnId = -1, learnParm = -1;

void controlLearn(int id, int parm)
{
  learnId = id;
  learnParm = parm;
  learnedKey.store(-1);
  learnArmed.store(1);
  printf("Learning: the next control change received is mapped to module %d parameter %d\n", id,
         parm);
}

void controlLearnCancel()
{
  learnArmed.store(0);
  learnedKey.store(-1);
  learnId = learnParm = -1;
}

bool controlLearning(int *id, int *parm)
{
  if (learnId < 0) return false;
  *id = learnId;
  *parm = learnParm;
  return true;
}

void controlTick()
{
  lv2FlushLog();  // what plugins logged inside passes
  int key = learnedKey.exchange(-1);
  if (key >= 0 && learnId >= 0) {
    int id = learnId, parm = learnParm;
    learnId = learnParm = -1;
    std::string why;
    int ch = key / 128 + 1, cc = key % 128;
    if (controlMap(ch, cc, id, parm, false, 0, 0, MAP_LINEAR, &why)) {
      for (const auto &m : uiMaps)
        if (m.channel == ch && m.cc == cc && m.id == id && m.parm == parm)
          printf("Learned: %s\n", mappingLine(m).c_str());
    } else {
      printf("Learn failed: %s\n", why.c_str());
    }
  }
  // Program changes: only the latest since the last tick is switched to, so a player stepping
  // through several presets quickly lands on the last one without loading each on the way.
  int program = -1;
  for (;;) {
    unsigned t = programTail.load(std::memory_order_relaxed);
    if (t == programHead.load(std::memory_order_acquire)) break;
    program = programRing[t % PROGRAM_RING].load(std::memory_order_relaxed);
    programTail.store(t + 1, std::memory_order_release);
  }
  if (program >= 0) switchProgram(program, true);
  controlWatch();
}

// ---- Input choice and state ---------------------------------------------------------------------------

static midiInputKind inputKind = MIDI_NONE;
static bool inputRunning = false;
static guint tickSource = 0;

// The device's real-time thread (a JACK MIDI port): the period's bytes, parsed here, with the
// running status carried from one period to the next.
static midiByteParser deviceParser;
static void deviceMidi(const unsigned char *bytes, int n) QAF_NONBLOCKING
{
  midiMessage m;
  for (int i = 0; i < n; i++)
    if (deviceParser.feed(bytes[i], &m)) midiReceive(m);
}

void controlSetInput(midiInputKind k)
{
  inputKind = k;
  deviceParser = midiByteParser();
  periodCalls.wantsDeviceMidi = k == MIDI_JACK;
  periodCalls.midi = deviceMidi;
}
midiInputKind controlInput() { return inputKind; }

static gboolean tickCb(gpointer)
{
  controlTick();
  return G_SOURCE_CONTINUE;
}

void controlStart()
{
  if (inputKind == MIDI_ALSA) inputRunning = startAlsaSeqInput();
  if (inputKind == MIDI_JACK) inputRunning = true;
  if (!tickSource) tickSource = g_timeout_add(33, tickCb, nullptr);
}

void controlStop()
{
  if (inputKind == MIDI_ALSA && inputRunning) stopAlsaSeqInput();
  inputRunning = false;
}

std::vector<std::string> midiStatusLines()
{
  std::vector<std::string> out;
  char t[200];
  if (inputKind == MIDI_ALSA && alsaSeqClientId() >= 0)
    g_snprintf(t, sizeof t, "MIDI input: ALSA sequencer client \"QAF\" port %d:%d \"midi_in\"",
               alsaSeqClientId(), alsaSeqPortId());
  else if (inputKind == MIDI_JACK)
    g_snprintf(t, sizeof t, "MIDI input: JACK port qaf:midi_in");
  else
    g_snprintf(t, sizeof t, "MIDI input: off");
  out.push_back(t);
  unsigned last = lastMessage.load(std::memory_order_relaxed);
  if (!(last >> 24)) {
    out.push_back("No MIDI message received yet");
  } else {
    int st = (last >> 16) & 255, d1 = (last >> 8) & 255, d2 = last & 255, ch = (st & 15) + 1;
    switch (st & 0xF0) {
      case 0xB0: g_snprintf(t, sizeof t, "control change CC %d value %d ch %d", d1, d2, ch); break;
      case 0xC0: g_snprintf(t, sizeof t, "program change %d ch %d", d1, ch); break;
      case 0x90: g_snprintf(t, sizeof t, "note on %d velocity %d ch %d (ignored)", d1, d2, ch); break;
      case 0x80: g_snprintf(t, sizeof t, "note off %d ch %d (ignored)", d1, ch); break;
      default: g_snprintf(t, sizeof t, "status 0x%02X data %d %d (ignored)", st, d1, d2); break;
    }
    out.push_back(std::string("Last MIDI message (") +
                  std::to_string(messageCount.load(std::memory_order_relaxed)) +
                  " received): " + t);
  }
  return out;
}

// The mappings ride on every pass and follow the patch.
static const bool tapsHung = [] {
  taps.beforePass = controlPass;
  taps.modulesChanged = controlModulesChanged;
  return true;
}();
