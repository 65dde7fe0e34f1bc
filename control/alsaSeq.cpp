// MIDI input from the ALSA sequencer: a client "QAF" with one writable, subscribable port
// "midi_in" that any controller can be connected to. A thread of its own waits for events and
// hands the decoded ones to the receiver; it never runs on or waits for the audio thread.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

#include "control/control.h"

static snd_seq_t *seq = nullptr;
static int clientId = -1, portId = -1;
static pthread_t reader;
static int wakePipe[2] = {-1, -1};
static std::atomic<int> stopping{0};
static bool threadRunning = false;

static void quietAlsa(const char *, int, const char *, int, const char *, ...) {}

// The sequencer thread: one decoded event.
static void handle(const snd_seq_event_t *ev)
{
  const snd_seq_ev_ctrl_t &c = ev->data.control;
  unsigned char ch = c.channel & 15;
  switch (ev->type) {
    case SND_SEQ_EVENT_CONTROLLER:
      midiReceive({(unsigned char)(0xB0 | ch), (unsigned char)(c.param & 127),
                   (unsigned char)(c.value & 127)});
      break;
    case SND_SEQ_EVENT_PGMCHANGE:
      midiReceive({(unsigned char)(0xC0 | ch), (unsigned char)(c.value & 127), 0});
      break;
    case SND_SEQ_EVENT_NOTEON:
    case SND_SEQ_EVENT_NOTEOFF:
      // Ignored, but shown as the last message received.
      noteMidiMessage((unsigned char)((ev->type == SND_SEQ_EVENT_NOTEON ? 0x90 : 0x80) |
                                      (ev->data.note.channel & 15)),
                      ev->data.note.note & 127, ev->data.note.velocity & 127);
      break;
    default:  // clock, active sensing, system exclusive, everything else: ignored
      break;
  }
}

static void *readLoop(void *)
{
  int n = snd_seq_poll_descriptors_count(seq, POLLIN);
  struct pollfd fds[8];
  if (n > 7) n = 7;
  snd_seq_poll_descriptors(seq, fds, (unsigned)n, POLLIN);
  fds[n].fd = wakePipe[0];
  fds[n].events = POLLIN;
  while (!stopping.load()) {
    if (poll(fds, (nfds_t)n + 1, -1) < 0) continue;
    if (fds[n].revents) break;
    snd_seq_event_t *ev = nullptr;
    while (!stopping.load() && snd_seq_event_input(seq, &ev) >= 0 && ev) {
      handle(ev);
      if (snd_seq_event_input_pending(seq, 0) == 0) break;
    }
  }
  return nullptr;
}

bool startAlsaSeqInput()
{
  snd_lib_error_set_handler(quietAlsa);
  int err = snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK);
  snd_lib_error_set_handler(nullptr);
  if (err < 0) {
    seq = nullptr;
    fprintf(stderr, "MIDI input is off: the ALSA sequencer cannot be opened (%s)\n", snd_strerror(err));
    return false;
  }
  snd_seq_set_client_name(seq, "QAF");
  portId = snd_seq_create_simple_port(seq, "midi_in",
                                      SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (portId < 0 || pipe(wakePipe) != 0) {
    fprintf(stderr, "MIDI input is off: the ALSA sequencer port cannot be made (%s)\n", snd_strerror(portId));
    snd_seq_close(seq);
    seq = nullptr;
    portId = -1;
    return false;
  }
  clientId = snd_seq_client_id(seq);
  stopping = 0;
  threadRunning = pthread_create(&reader, nullptr, readLoop, nullptr) == 0;
  if (!threadRunning) {
    fprintf(stderr, "MIDI input is off: no thread for the ALSA sequencer\n");
    stopAlsaSeqInput();
    return false;
  }
  fprintf(stderr, "MIDI input: ALSA sequencer client \"QAF\" port %d:%d \"midi_in\"\n", clientId, portId);
  return true;
}

void stopAlsaSeqInput()
{
  if (!seq) return;
  stopping = 1;
  if (threadRunning && write(wakePipe[1], "x", 1) == 1) pthread_join(reader, nullptr);
  threadRunning = false;
  for (int &fd : wakePipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  snd_seq_close(seq);
  seq = nullptr;
  clientId = portId = -1;
}

int alsaSeqClientId() { return clientId; }
int alsaSeqPortId() { return portId; }
