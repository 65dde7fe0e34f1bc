// Writes the example files into the folder it is given: six layouts built through the core's own
// calls (modules made, wired with text commands, parameters set, saved by real_save), the looper
// rig's sample bank of synthesized drums and bass, a demo recording of a plucked-string riff
// (Karplus-Strong) to render through them, and a guitar cabinet's impulse response for a
// convolver plugin. Run by the build; nothing here is hand-made bytes.
#include <fcntl.h>
#include <math.h>
#include <sndfile.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <type_traits>
#include <vector>

#include "audio/cardfeed.h"
#include "command/cmdparse.h"
#include "engine/soundNode.h"
#include "files/fileops.h"
#include "lv2/lv2host.h"
#include "samples/loopStore.h"

static const int RATE = 44100;
static std::string outDir;
static bool failed = false;

// ---- Patches ------------------------------------------------------------------------------------

// A fresh patch: Line In and Line Out only.
static void newPatch() { Init_SoundNode_Data(); }

// Creates a module and returns its slot (New_Mod takes the lowest free one).
static int add(int type)
{
  int slot = 0;
  while (slot < MAX_MODULES && MOD[slot]) slot++;
  New_Mod(type);
  return slot;
}

// Output `out` of the module in slot `from` to input `in` of the module in slot `to` (terminal
// indices 0..3), through the same text command the canvas forms.
static void wire(int from, int out, int to, int in)
{
  char cmd[64];
  snprintf(cmd, sizeof cmd, "C %d-%d %c %c", MOD[from]->ID, MOD[to]->ID, 'A' + out, 'A' + in);
  cmdparse(cmd);
  if (I_TERM_CONNECT[to * 4 + in] != from * 4 + out) {
    fprintf(stderr, "make_examples: %s did not wire\n", cmd);
    failed = true;
  }
}

static void setParms(int slot, std::initializer_list<float> values)
{
  int k = 0;
  for (float v : values) MOD[slot]->parm[k++] = v;
}

static void save(const char *name)
{
  std::string path = outDir + "/" + name;
  unlink(path.c_str());
  real_save(&path[0]);
  if (access(path.c_str(), R_OK) != 0) {
    fprintf(stderr, "make_examples: %s was not written\n", path.c_str());
    failed = true;
  }
}

// Module type numbers, as in the type table.
enum {
  LINE_IN_SLOT = 0, LINE_OUT_SLOT = 1,
  PASSTHROUGH = 2, MIXER = 3, DISTORT = 4, REVERB = 5, SPLITTER = 6, TONE = 7, LOOPER = 8,
  XFADER = 9, OCTAVE_DOWN = 10, RECORD_10S = 12, SYNC_SEQUENCER = 14, PANNING_MIXER = 15,
  CHORUS = 16, COMPRESSOR = 17, SCRATCHER = 18, MULTIPLY = 19,
};

// The guitar comes in on the left input; every preset ends in both outputs.
static void toBothOutputs(int slot)
{
  int split = add(SPLITTER);
  wire(slot, 0, split, 0);
  wire(split, 0, LINE_OUT_SLOT, 0);
  wire(split, 1, LINE_OUT_SLOT, 1);
}

// A gentle compressor, 1.1 times the level (Multiply's Bias 560 / 512), and a touch of treble
// above 2.5 kHz.
static void cleanBoost()
{
  newPatch();
  int comp = add(COMPRESSOR), mult = add(MULTIPLY), tone = add(TONE);
  setParms(comp, {2, 4, 40});         // Noise Threshold, Compression, Gate Width
  setParms(mult, {560, 0});           // Bias, Scale: input B is left open
  setParms(tone, {180, 256, 24});     // Frequency (2.5 kHz), Bass 1x, Treble 1.5x
  wire(LINE_IN_SLOT, 0, comp, 0);
  wire(comp, 0, mult, 0);
  wire(mult, 0, tone, 0);
  toBothOutputs(tone);
  save("clean-boost.lyo");
}

// Mids in, drive of six, the fizz above 2 kHz rolled off; a Panning Mixer puts it in the centre.
static void crunch()
{
  newPatch();
  int pre = add(TONE), dist = add(DISTORT), post = add(TONE), pan = add(PANNING_MIXER);
  setParms(pre, {120, 160, 20});
  setParms(dist, {96, 0, 120});       // Drive (x6), Sat, Level
  setParms(post, {160, 256, 6});
  setParms(pan, {256, 0, 0, 0, 128, 128, 128, 128});
  wire(LINE_IN_SLOT, 0, pre, 0);
  wire(pre, 0, dist, 0);
  wire(dist, 0, post, 0);
  wire(post, 0, pan, 0);
  wire(pan, 0, LINE_OUT_SLOT, 0);
  wire(pan, 1, LINE_OUT_SLOT, 1);
  save("crunch.lyo");
}

// Sustain from the compressor, heavy drive, a slow chorus, and a quarter-second echo.
static void lead()
{
  newPatch();
  int comp = add(COMPRESSOR), dist = add(DISTORT), tone = add(TONE), chorus = add(CHORUS),
      echo = add(REVERB);
  setParms(comp, {3, 40, 20});
  setParms(dist, {200, 1, 90});
  setParms(tone, {150, 230, 8});
  setParms(chorus, {20, 4, 0, 110, 200, 0});  // Depth, Speed, Mode, Wet, Dry, Regen
  setParms(echo, {250, 100, 256, 90});        // Delay, Wet, Dry, Regen
  wire(LINE_IN_SLOT, 0, comp, 0);
  wire(comp, 0, dist, 0);
  wire(dist, 0, tone, 0);
  wire(tone, 0, chorus, 0);
  wire(chorus, 0, echo, 0);
  toBothOutputs(echo);
  save("lead.lyo");
}

// A darkened signal into two long-feedback reverbs, one swept by a slow flanger, spread left and
// right with a little of the dry sound in the middle.
static void ambientWash()
{
  newPatch();
  int tone = add(TONE), split = add(SPLITTER), verbA = add(REVERB), verbB = add(REVERB),
      flange = add(CHORUS), dry = add(PASSTHROUGH), pan = add(PANNING_MIXER);
  setParms(tone, {140, 256, 4});
  setParms(verbA, {90, 180, 0, 200});
  setParms(verbB, {160, 180, 0, 190});
  setParms(flange, {40, 2, 1, 200, 100, 60});
  setParms(dry, {110, 0, 0, 0});
  setParms(pan, {256, 256, 256, 0, 40, 216, 128, 128});
  wire(LINE_IN_SLOT, 0, tone, 0);
  wire(tone, 0, split, 0);
  wire(split, 0, verbA, 0);
  wire(split, 1, verbB, 0);
  wire(split, 2, dry, 0);
  wire(verbB, 0, flange, 0);
  wire(verbA, 0, pan, 0);
  wire(flange, 0, pan, 1);
  wire(dry, 0, pan, 2);
  wire(pan, 0, LINE_OUT_SLOT, 0);
  wire(pan, 1, LINE_OUT_SLOT, 1);
  save("ambient-wash.lyo");
}

// A fuzz and the same fuzz an octave down, blended by a cross-fader, then tamed.
static void octaveFuzz()
{
  newPatch();
  int split = add(SPLITTER), octave = add(OCTAVE_DOWN), fuzzLow = add(DISTORT),
      fuzz = add(DISTORT), blend = add(XFADER), tone = add(TONE);
  setParms(fuzzLow, {255, 3, 100});
  setParms(fuzz, {255, 0, 110});
  setParms(blend, {140});
  setParms(tone, {130, 240, 6});
  wire(LINE_IN_SLOT, 0, split, 0);
  wire(split, 0, octave, 0);
  wire(octave, 0, fuzzLow, 0);
  wire(split, 1, fuzz, 0);
  wire(fuzz, 0, blend, 0);
  wire(fuzzLow, 0, blend, 1);
  wire(blend, 0, tone, 0);
  toBothOutputs(tone);
  save("octave-fuzz.lyo");
}

// The drum loop of sample slot 0 plays on and sends a sync pulse every beat; a Sync Sequencer
// lets three beats of eight through to trigger the bass note in slot 1. The guitar goes through
// a 10-second recorder (switch it to Record, then Overdub, to build a loop of your own). The
// drums pass a Scratcher (its slider scratches them).
static void looperRig()
{
  newPatch();
  int drums = add(LOOPER), scratch = add(SCRATCHER), seq = add(SYNC_SEQUENCER),
      bass = add(LOOPER), rec = add(RECORD_10S), mix = add(MIXER);
  setParms(drums, {0, 0, 1024, 100, 0, 8});  // Sample, Start, End, Speed%, TrigOnly, Trigger Beats
  setParms(bass, {1, 0, 1024, 100, 1, 1});
  setParms(seq, {1, 0, 0, 1, 0, 0, 1, 0});
  setParms(rec, {0});                        // Play
  setParms(mix, {220, 120, 140, 0});
  wire(drums, 0, scratch, 0);
  wire(drums, 3, seq, 3);
  wire(seq, 3, bass, 3);
  wire(LINE_IN_SLOT, 0, rec, 0);
  wire(rec, 0, mix, 0);
  wire(scratch, 0, mix, 1);
  wire(bass, 0, mix, 2);
  toBothOutputs(mix);
  save("looper-rig.lyo");
}

// ---- Sound --------------------------------------------------------------------------------------

// The same noise on every build: a plain linear congruential generator, -1..1.
static unsigned noiseState = 1;
static float noise()
{
  noiseState = noiseState * 1664525u + 1013904223u;
  return (float)((int)(noiseState >> 8) - (1 << 23)) / (float)(1 << 23);
}

// A plucked string (Karplus-Strong): a burst of noise circulating in a delay line one period
// long, averaged and damped on every trip. `bright` 0..1 keeps more of the burst's highs.
static void pluck(std::vector<float> &out, size_t at, double freq, double seconds, float level,
                  float bright)
{
  int period = (int)lrint(RATE / freq);
  std::vector<float> line((size_t)period);
  float prev = 0;
  for (float &s : line) {
    float n = noise();
    s = bright * n + (1 - bright) * prev;  // a one-pole low-pass on the burst for darker notes
    prev = s;
  }
  size_t len = (size_t)(seconds * RATE);
  size_t fade = RATE / 100;  // the string is damped over 10 ms at the end
  for (size_t i = 0; i < len && at + i < out.size(); i++) {
    size_t k = i % (size_t)period;
    float y = line[k];
    line[k] = 0.4985f * (y + line[(k + 1) % (size_t)period]);
    float g = i + fade > len ? (float)(len - i) / (float)fade : 1.0f;
    out[at + i] += level * y * g;
  }
}

static double noteHz(int midi) { return 440.0 * pow(2.0, (midi - 69) / 12.0); }

static std::vector<short> toShorts(const std::vector<float> &x, float peak)
{
  float m = 1e-9f;
  for (float v : x) m = fmaxf(m, fabsf(v));
  std::vector<short> s(x.size());
  for (size_t i = 0; i < x.size(); i++) s[i] = (short)lrintf(x[i] / m * peak * 32767.0f);
  return s;
}

// Mono 44100 Hz sound as a WAV file in the output folder: 16-bit from shorts, 32-bit float from
// floats.
template <class T>
static void writeWav(const char *name, const std::vector<T> &x)
{
  constexpr bool shorts = std::is_same<T, short>::value;
  SF_INFO info;
  memset(&info, 0, sizeof info);
  info.samplerate = RATE;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | (shorts ? SF_FORMAT_PCM_16 : SF_FORMAT_FLOAT);
  std::string path = outDir + "/" + name;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  sf_count_t n = (sf_count_t)x.size(), written = 0;
  if constexpr (shorts) {
    if (f) written = sf_writef_short(f, x.data(), n);
  } else {
    if (f) written = sf_writef_float(f, x.data(), n);
  }
  if (written != n) {
    fprintf(stderr, "make_examples: writing %s: %s\n", path.c_str(), sf_strerror(f));
    failed = true;
  }
  if (f) sf_close(f);
}

// Eight seconds of an E minor riff at 120 beats a minute, eighth notes with a few held ones,
// peaking at -6 dBFS: mono, 44100 Hz, 16 bits.
static void demoRiff()
{
  // MIDI note and length in eighths; 0 is a rest.
  static const int riff[][2] = {
      {40, 1}, {40, 1}, {43, 1}, {40, 1}, {45, 1}, {40, 1}, {46, 1}, {45, 1},
      {40, 1}, {40, 1}, {43, 1}, {40, 1}, {38, 2}, {40, 2},
      {52, 1}, {50, 1}, {47, 1}, {45, 1}, {43, 1}, {45, 1}, {47, 2},
      {40, 1}, {43, 1}, {45, 1}, {46, 1}, {47, 2}, {0, 1}, {40, 1},
  };
  const double eighth = 0.25;
  std::vector<float> x((size_t)(8.5 * RATE), 0.0f);
  size_t at = RATE / 4;
  for (auto &n : riff) {
    double len = n[1] * eighth;
    if (n[0]) pluck(x, at, noteHz(n[0]), len, 1.0f, n[0] > 48 ? 0.9f : 0.7f);
    at += (size_t)(len * RATE);
  }
  writeWav("demo-riff.wav", toShorts(x, 0.5f));
}

// A kick: a sine falling from 120 to 45 Hz, dying away in a quarter second.
static void kick(std::vector<float> &x, size_t at)
{
  double phase = 0;
  for (size_t i = 0; i < (size_t)(0.3 * RATE) && at + i < x.size(); i++) {
    double t = (double)i / RATE;
    phase += 2 * M_PI * (45 + 75 * exp(-t * 30)) / RATE;
    x[at + i] += (float)(sin(phase) * exp(-t * 12));
  }
}

// A snare: noise and a 180 Hz body, both short.
static void snare(std::vector<float> &x, size_t at)
{
  for (size_t i = 0; i < (size_t)(0.2 * RATE) && at + i < x.size(); i++) {
    double t = (double)i / RATE;
    x[at + i] += (float)(0.5 * noise() * exp(-t * 25) + 0.4 * sin(2 * M_PI * 180 * t) * exp(-t * 30));
  }
}

// A closed hi-hat: the difference of successive noise samples (only the highs), very short.
static void hat(std::vector<float> &x, size_t at)
{
  float prev = 0;
  for (size_t i = 0; i < (size_t)(0.05 * RATE) && at + i < x.size(); i++) {
    float n = noise();
    x[at + i] += 0.25f * (n - prev) * (float)exp(-(double)i / RATE * 90);
    prev = n;
  }
}

// Slot 0: two bars of drums at 120 beats a minute (4 s, eight beats, so the Looper's eight
// sync pulses fall on the beats). Slot 1: one bass note, E1, plucked, ending in silence so a
// Looper that holds its last sample holds nothing.
static void looperBank()
{
  const size_t beat = RATE / 2;
  std::vector<float> drums(8 * beat, 0.0f);
  for (int b = 0; b < 8; b++) {
    if (b % 2 == 0) kick(drums, b * beat);
    if (b % 2 == 1) snare(drums, b * beat);
    hat(drums, b * beat);
    hat(drums, b * beat + beat / 2);
  }
  kick(drums, 7 * beat + beat / 2);
  std::vector<short> d = toShorts(drums, 0.7f);
  std::vector<float> bassNote((size_t)(0.6 * RATE), 0.0f);
  pluck(bassNote, 0, noteHz(28), 0.55, 1.0f, 0.5f);
  std::vector<short> b = toShorts(bassNote, 0.7f);

  initLoops();
  lockLoop(0);
  putrawLoop(0, d.data(), (int)d.size());
  unlockLoop(0);
  setLoopName(0, "drums-120bpm-2bars");
  lockLoop(1);
  putrawLoop(1, b.data(), (int)b.size());
  unlockLoop(1);
  setLoopName(1, "bass-pluck-E1");
  std::string path = outDir + "/looper-rig.sbk";
  unlink(path.c_str());
  real_savesbank(&path[0]);
  if (access(path.c_str(), R_OK) != 0) {
    fprintf(stderr, "make_examples: %s was not written\n", path.c_str());
    failed = true;
  }
}

// ---- A guitar cabinet's impulse response ------------------------------------------------------

// A second-order section (the audio EQ cookbook's filters), run over a signal in place.
struct biquad {
  double b0, b1, b2, a1, a2;
  void run(std::vector<double> &x) const
  {
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (double &v : x) {
      double y = b0 * v + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
      x2 = x1;
      x1 = v;
      y2 = y1;
      y1 = y;
      v = y;
    }
  }
};

// kind: 'l' low-pass, 'h' high-pass, 'p' peak of gainDb at f.
static biquad section(char kind, double f, double q, double gainDb = 0)
{
  double w = 2 * M_PI * f / RATE, alpha = sin(w) / (2 * q), c = cos(w);
  double A = pow(10.0, gainDb / 40), b0, b1, b2, a0, a1, a2;
  if (kind == 'p') {
    b0 = 1 + alpha * A, b1 = -2 * c, b2 = 1 - alpha * A;
    a0 = 1 + alpha / A, a1 = -2 * c, a2 = 1 - alpha / A;
  } else {
    double k = kind == 'l' ? 1 - c : 1 + c;
    b0 = k / 2, b1 = kind == 'l' ? k : -k, b2 = k / 2;
    a0 = 1 + alpha, a1 = -2 * c, a2 = 1 - alpha;
  }
  return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

// 40 ms of a closed 4x12 cabinet miked close: a burst of noise dying away by 60 dB in 20 ms,
// shaped as such a cabinet shapes a guitar: nothing below the box's 80 Hz, a thump at 110 Hz,
// less of the boxy 500 Hz, the speakers' presence around 2.5 kHz and their steep fall above
// 5 kHz (four poles); the last 5 ms fade out. Scaled to unit energy, so that a convolver's output
// is about as loud as its input. Mono, 44100 Hz, 32-bit float: cab-4x12.wav.
static void cabinetImpulse()
{
  noiseState = 4121;  // its own seed: the same response on every build
  std::vector<double> x((size_t)(0.040 * RATE));
  for (size_t i = 0; i < x.size(); i++)
    x[i] = noise() * exp(-6.9 * (double)i / (0.020 * RATE));
  for (const biquad &b : {section('h', 80, 0.7), section('p', 110, 1.2, 3),
                          section('p', 500, 1.0, -4), section('p', 2500, 1.5, 6),
                          section('l', 5000, 0.7), section('l', 5000, 0.7)})
    b.run(x);
  size_t fade = (size_t)(0.005 * RATE);
  double energy = 0;
  for (size_t i = 0; i < x.size(); i++) {
    size_t left = x.size() - i;
    if (left <= fade) x[i] *= 0.5 - 0.5 * cos(M_PI * (double)(left - 1) / (double)fade);
    energy += x[i] * x[i];
  }
  std::vector<float> ir(x.size());
  for (size_t i = 0; i < x.size(); i++) ir[i] = (float)(x[i] / sqrt(energy));
  writeWav("cab-4x12.wav", ir);
}

// ---- A preset of Debian's plugins ----------------------------------------------------------------

// A plugin module made as "lv2 URI" makes it; where the plugin is not installed (a build without
// swh-lv2 or x42-plugins), a module that keeps its URI and settings, so that the preset still
// opens, passes silence there, and plays once the package is installed.
static int addPlugin(const char *uri, unsigned char terms)
{
  std::string why;
  modRec *m = lv2MakeModule(uri, &why);
  if (!m) {
    fprintf(stderr, "make_examples: %s; amp-cab.lyo keeps it as a missing plugin\n", why.c_str());
    m = lv2MakeMissing(uri, terms);
  }
  return addModule(m);
}

// Guitar amp and cabinet from Debian's plugins: swh's Fast overdrive (drive 2.2), then x42's
// convolver loading cab-4x12.wav (kept relative to the preset's folder, so the installed preset
// finds the installed impulse). The convolver takes blocks of 64 frames or more: QAF's -b 1 or
// larger.
static void ampCab()
{
  sound_buffer_size = 256;
  sound_chunk_size = 128;
  newPatch();
  int drive = addPlugin("http://plugin.org.uk/swh-plugins/foverdrive", 0x88);
  int cab = addPlugin("http://gareus.org/oss/lv2/convoLV2#Mono", 0x88);
  if (drive < 0 || cab < 0) {
    failed = true;
    return;
  }
  std::string ir = outDir + "/cab-4x12.wav";
  if (lv2IsMissing(MOD[cab])) {
    lv2KeepFiles(MOD[cab], {{"http://gareus.org/oss/lv2/convoLV2#impulse", ir}});
  } else {
    std::string why;
    if (!lv2SetFile(MOD[cab], 0, ir, &why)) {
      fprintf(stderr, "make_examples: the impulse was not sent: %s\n", why.c_str());
      failed = true;
    }
  }
  if (lv2IsMissing(MOD[drive]))
    lv2KeepValues(MOD[drive], {{"drive", 2.2f}});
  else
    lv2SetControl(MOD[drive], 0, 2.2f);
  wire(LINE_IN_SLOT, 0, drive, 0);
  wire(drive, 0, cab, 0);
  toBothOutputs(cab);
  save("amp-cab.lyo");
}

int main(int argc, char **argv)
{
  if (argc != 2) {
    fprintf(stderr, "usage: make_examples FOLDER\n");
    return 2;
  }
  outDir = argv[1];
  mkdir(outDir.c_str(), 0777);
  // The core reports every step on standard output; the build wants only failures.
  int keep = dup(1);
  int null = open("/dev/null", O_WRONLY);
  if (null >= 0) dup2(null, 1);
  cleanBoost();
  crunch();
  lead();
  ambientWash();
  octaveFuzz();
  looperRig();
  looperBank();
  demoRiff();
  cabinetImpulse();
  ampCab();
  fflush(stdout);
  dup2(keep, 1);
  return failed ? 1 : 0;
}
