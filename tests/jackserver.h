// A JACK server of a test's own: jackd with its dummy driver (no sound hardware, no real-time
// rights needed) under a name of its own, which the test's JACK clients and the programs it starts
// find through JACK_DEFAULT_SERVER. `up` is false, with the reason in `why`, when it cannot start.
#ifndef QAF_JACKSERVER_H
#define QAF_JACKSERVER_H

#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <math.h>

#include <atomic>
#include <string>
#include <vector>

struct JackServer {
  pid_t pid = -1;
  bool up = false;
  std::string why;

  JackServer(int rate, int period)
  {
    static int serial = 0;
    std::string name = "qaftest" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    std::string r = std::to_string(rate), p = std::to_string(period);
    pid = fork();
    if (pid == 0) {
      // The server goes with the test, also when a timeout kills the test outright.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      FILE *devnull = fopen("/dev/null", "w");
      if (devnull) {
        dup2(fileno(devnull), 1);
        dup2(fileno(devnull), 2);
      }
      // A long client timeout: on a loaded machine without real-time rights a late client
      // would otherwise be thrown out of the graph.
      execlp("jackd", "jackd", "--no-realtime", "-t", "10000", "-n", name.c_str(), "-d", "dummy", "-r",
             r.c_str(), "-p", p.c_str(), (char *)nullptr);
      _exit(127);
    }
    setenv("JACK_DEFAULT_SERVER", name.c_str(), 1);
    for (int tries = 0; tries < 100 && !up; tries++) {
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        why = WIFEXITED(status) && WEXITSTATUS(status) == 127 ? "jackd is not installed"
                                                              : "jackd exited at start-up";
        pid = -1;
        return;
      }
      jack_status_t st;
      jack_client_t *c = jack_client_open("probe", JackNoStartServer, &st);
      if (c) {
        jack_client_close(c);
        up = true;
      } else {
        usleep(50000);
      }
    }
    if (!up) why = "jackd did not answer within 5 s";
  }
  ~JackServer()
  {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 100; i++) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) return;
      usleep(20000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

// A client "sender" with one MIDI output port wired to qaf:midi_in: send() queues a message that
// goes out at the start of the next period.
struct JackMidiSender {
  jack_client_t *c = nullptr;
  jack_port_t *port = nullptr;
  std::atomic<int> pending{0};  // status << 16 | d1 << 8 | d2, 0: nothing

  static int process(jack_nframes_t n, void *arg)
  {
    JackMidiSender *s = (JackMidiSender *)arg;
    void *mb = jack_port_get_buffer(s->port, n);
    jack_midi_clear_buffer(mb);
    int m = s->pending.exchange(0);
    if (m) {
      unsigned char b[3] = {(unsigned char)(m >> 16), (unsigned char)(m >> 8), (unsigned char)m};
      jack_midi_event_write(mb, 0, b, (b[0] & 0xF0) == 0xC0 ? 2 : 3);
    }
    return 0;
  }
  bool start()
  {
    jack_status_t st;
    c = jack_client_open("sender", JackNoStartServer, &st);
    if (!c) return false;
    port = jack_port_register(c, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    jack_set_process_callback(c, process, this);
    return jack_activate(c) == 0 && jack_connect(c, "sender:midi_out", "qaf:midi_in") == 0;
  }
  // Queues a message; false when the one before has not gone out within a second.
  bool send(int status, int d1, int d2)
  {
    for (int i = 0; i < 200 && pending.load(); i++) usleep(5000);
    int expected = 0;
    return pending.compare_exchange_strong(expected, status << 16 | d1 << 8 | d2);
  }
  ~JackMidiSender()
  {
    if (!c) return;
    jack_deactivate(c);
    jack_client_close(c);
  }
};

// ---- A second client that plays a known signal into QAF and records what comes back -----------

#define RECORD_FRAMES 16384
struct Observer {
  explicit Observer(long frames = RECORD_FRAMES, bool sine = false)
      : capacity(frames), sine(sine), left(frames), right(frames)
  {
  }
  long capacity;  // frames it records
  bool sine;      // plays a 220 Hz sine at half scale instead of the counting signal
  double rate = 44100;  // the server's rate, for the sine
  std::atomic<long> recordStart{-1};  // the frame sent in the cycle the recording began with
  jack_client_t *c = nullptr;
  jack_port_t *out = nullptr;
  jack_port_t *backL = nullptr;
  jack_port_t *backR = nullptr;
  long sent = 0;
  std::atomic<long> recorded{0};
  std::vector<float> left;
  std::vector<float> right;

  // The signal: frame i carries ((i % 20000) + 1) / 32768, exact in float and in 16 bits and
  // never zero, so silence in the recording can only come from QAF.
  static float at(long i) { return (float)((i % 20000) + 1) / 32768.0f; }

  static int process(jack_nframes_t n, void *arg)
  {
    Observer *o = (Observer *)arg;
    float *out = (float *)jack_port_get_buffer(o->out, n);
    const float *l = (const float *)jack_port_get_buffer(o->backL, n);
    const float *r = (const float *)jack_port_get_buffer(o->backR, n);
    long cycleStart = o->sent;
    for (jack_nframes_t i = 0; i < n; i++, o->sent++)
      out[i] = o->sine ? (float)(0.5 * sin(2 * M_PI * 220.0 * (double)o->sent / o->rate)) : at(o->sent);
    long k = o->recorded;
    if (k == 0) o->recordStart = cycleStart;
    for (jack_nframes_t i = 0; i < n && k < o->capacity; i++, k++) {
      o->left[k] = l[i];
      o->right[k] = r[i];
    }
    o->recorded = k;
    return 0;
  }

  // The client "observer" with its port out and its ports back_l and back_r.
  bool open()
  {
    jack_status_t st;
    c = jack_client_open("observer", JackNoStartServer, &st);
    if (!c) return false;
    out = jack_port_register(c, "out", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    backL = jack_port_register(c, "back_l", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    backR = jack_port_register(c, "back_r", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    return true;
  }
  bool start()
  {
    if (!open()) return false;
    jack_set_process_callback(c, process, this);
    return jack_activate(c) == 0;
  }
  void stop()
  {
    if (c) {
      jack_deactivate(c);
      jack_client_close(c);
    }
    c = nullptr;
  }
};

#endif
