/* Other gear on a JACK server, for tests/e2e/jack_sync.sh and the PlaybackJackSync tests:
**
**   jack_sync_helper clock        a MIDI clock source, client "tbxclock", port "out", driven by
**                                 lines on stdin: "start BPM [CLOCKS BPM2]" (Start, then 24
**                                 clocks a beat, each on its exact frame; after CLOCKS clocks at
**                                 BPM2), "stop" (Stop), "quit"
**   jack_sync_helper roll | halt  starts or stops the transport
**   jack_sync_helper query        prints the transport: "rolling|stopped BPM BEATS_PER_BAR"
**                                 (BPM and beats per bar 0 when no timebase master publishes
**                                 bar and beat)
**   jack_sync_helper watch FILE   reads the transport every cycle, client "tbxwatch", and writes
**                                 to FILE: "roll FRAME POS" when it starts rolling (FRAME the
**                                 server's frame of that cycle, POS the transport's), "stop
**                                 FRAME", "beat FRAME BEAT" for every beat the master publishes
**                                 (BEAT counted from 1|1|0, on its exact frame), "note FRAME"
**                                 and "clock FRAME" for every note-on and Timing Clock that
**                                 reaches its port "in", and "xrun FRAME" when the server
**                                 reports a cycle it ran late (its frames then lie off the
**                                 wall clock's line by the delay)
**   jack_sync_helper watch FILE BPM [hold]
**                                 as watch, and the timebase master, counting bars of 4 beats
**                                 at BPM from frame 0 (BPM 0: a master that publishes no bar
**                                 and beat). With "hold" it is a slow-sync client that keeps a
**                                 start waiting until the line "go". Both end at "quit" or the
**                                 end of stdin.
*/
#include <jack/jack.h>
#include <jack/midiport.h>
#include <math.h>
#include <poll.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static jack_client_t* client;
static jack_port_t* out;
static jack_port_t* in;
static _Atomic double bpm;             /* 0: not running */
static _Atomic double bpmLater;        /* ... after the clocks below */
static atomic_long clocksLeft;         /* clocks before bpmLater; < 0 never */
static atomic_int startPending, stopPending;
static double nextClock = -1;          /* absolute frame of the next clock (process thread) */

static int Process(jack_nframes_t n, void* arg) {
  (void)arg;
  void* buf = jack_port_get_buffer(out, n);
  jack_midi_clear_buffer(buf);
  const jack_nframes_t start = jack_last_frame_time(client);
  const double rate = jack_get_sample_rate(client);
  unsigned char b;
  if (atomic_exchange(&stopPending, 0)) {
    b = 0xFC;
    jack_midi_event_write(buf, 0, &b, 1);
    nextClock = -1;
  }
  if (bpm <= 0) return 0;
  if (atomic_exchange(&startPending, 0)) {
    nextClock = start;
    b = 0xFA;
    jack_midi_event_write(buf, 0, &b, 1);
  }
  while (nextClock >= 0 && nextClock < (double)start + n) {
    double at = nextClock - start;
    if (at < 0) at = 0;
    b = 0xF8;
    jack_midi_event_write(buf, (jack_nframes_t)at, &b, 1);
    if (atomic_fetch_sub(&clocksLeft, 1) == 1) bpm = bpmLater;
    nextClock += rate * 60.0 / (bpm * 24.0);
  }
  return 0;
}

static int Clock(void) {
  jack_status_t status;
  client = jack_client_open("tbxclock", JackNoStartServer, &status);
  if (!client) return 1;
  out = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  jack_set_process_callback(client, Process, NULL);
  if (!out || jack_activate(client) != 0) return 1;
  printf("ready\n");
  fflush(stdout);
  char line[128];
  while (fgets(line, sizeof line, stdin)) {
    double value = 0, later = 0;
    long clocks = -1;
    if (sscanf(line, "start %lf %ld %lf", &value, &clocks, &later) >= 1) {
      bpmLater = later;
      clocksLeft = later > 0 ? clocks : -1;
      bpm = value;
      startPending = 1;
    } else if (strncmp(line, "stop", 4) == 0) {
      bpm = 0;
      stopPending = 1;
    } else if (strncmp(line, "quit", 4) == 0) {
      break;
    }
  }
  usleep(100000);   /* a Stop asked for last leaves in the next cycle */
  jack_client_close(client);
  return 0;
}

static int Transport(const char* what) {
  jack_status_t status;
  client = jack_client_open("tbxtransport", JackNoStartServer, &status);
  if (!client) return 1;
  if (strcmp(what, "roll") == 0) {
    jack_transport_start(client);
  } else if (strcmp(what, "halt") == 0) {
    jack_transport_stop(client);
  } else {
    jack_position_t pos;
    const jack_transport_state_t state = jack_transport_query(client, &pos);
    const int bbt = (pos.valid & JackPositionBBT) != 0;
    printf("%s %.1f %.1f\n", state == JackTransportStopped ? "stopped" : "rolling", bbt ? pos.beats_per_minute : 0.0,
           bbt ? (double)pos.beats_per_bar : 0.0);
  }
  jack_client_close(client);
  return 0;
}

/* ---------------------------------------------------------------- watch and master */

/* What the process thread saw, for the main thread to write: a ring of lines. */
#define EVENTS 4096
static struct {
  char kind;               /* 'r' roll, 's' stop, 'b' beat, 'n' note, 'c' clock */
  long long frame;
  double value;            /* the transport's frame, or the beat */
} events[EVENTS];
static atomic_uint eventsIn, eventsOut;
static int wasRolling;
static double masterBpm;               /* the master's tempo; 0 no bar and beat */
static atomic_int holding;             /* a start waits for "go" */

/* Frames of the server's xruns, from its notification thread (a ring of its own: Note's ring
** has the process thread as its one writer). */
#define XRUNS 256
static long long xruns[XRUNS];
static atomic_uint xrunsIn, xrunsOut;

static int XRun(void* arg) {
  (void)arg;
  const unsigned i = xrunsIn;
  if (i - xrunsOut < XRUNS) {
    xruns[i % XRUNS] = jack_frame_time(client);
    xrunsIn = i + 1;
  }
  return 0;
}

static void Note(char kind, long long frame, double value) {
  const unsigned i = eventsIn;
  if (i - eventsOut >= EVENTS) return;
  events[i % EVENTS].kind = kind;
  events[i % EVENTS].frame = frame;
  events[i % EVENTS].value = value;
  eventsIn = i + 1;
}

static int Watch(jack_nframes_t n, void* arg) {
  (void)arg;
  jack_position_t pos;
  const jack_transport_state_t state = jack_transport_query(client, &pos);
  const long long abs = jack_last_frame_time(client);
  const int rolling = state == JackTransportRolling;
  void* buf = jack_port_get_buffer(in, n);
  for (uint32_t i = 0; i < jack_midi_get_event_count(buf); i++) {
    jack_midi_event_t ev;
    if (jack_midi_event_get(&ev, buf, i) != 0) continue;
    if (ev.size == 3 && (ev.buffer[0] & 0xF0) == 0x90 && ev.buffer[2]) Note('n', abs + ev.time, 0);
    if (ev.size == 1 && ev.buffer[0] == 0xF8) Note('c', abs + ev.time, 0);
  }
  if (rolling && !wasRolling) Note('r', abs, pos.frame);
  if (!rolling && wasRolling) Note('s', abs, 0);
  wasRolling = rolling;
  if (!rolling || !(pos.valid & JackPositionBBT) || pos.beats_per_minute <= 0) return 0;
  const double tick = (pos.valid & JackTickDouble) ? pos.tick_double : pos.tick;
  const double beats = (pos.bar - 1) * (double)pos.beats_per_bar + (pos.beat - 1) + tick / pos.ticks_per_beat;
  const double perBeat = 60.0 * pos.frame_rate / pos.beats_per_minute;   /* frames */
  for (double beat = ceil(beats - 1e-9); (beat - beats) * perBeat < n; beat += 1)
    Note('b', abs + llround((beat - beats) * perBeat), beat);
  return 0;
}

static void Timebase(jack_transport_state_t state, jack_nframes_t n, jack_position_t* pos, int fresh, void* arg) {
  (void)state, (void)n, (void)fresh, (void)arg;
  if (masterBpm <= 0) {
    pos->valid = 0;
    return;
  }
  const double beats = pos->frame * masterBpm / (60.0 * pos->frame_rate);
  const double bars = floor(beats / 4);
  const double tick = (beats - floor(beats)) * 1920;
  pos->valid = JackPositionBBT | JackTickDouble;
  pos->bar = (int32_t)bars + 1;
  pos->beat = (int32_t)(beats - bars * 4) + 1;
  pos->tick = (int32_t)tick;
  pos->tick_double = tick;
  pos->bar_start_tick = bars * 4 * 1920;
  pos->beats_per_bar = 4;
  pos->beat_type = 4;
  pos->ticks_per_beat = 1920;
  pos->beats_per_minute = masterBpm;
}

static int Sync(jack_transport_state_t state, jack_position_t* pos, void* arg) {
  (void)state, (void)pos, (void)arg;
  return !holding;
}

static int Observe(const char* file, int master, double tempo, int hold) {
  FILE* to = fopen(file, "w");
  jack_status_t status;
  client = jack_client_open("tbxwatch", JackNoStartServer, &status);
  if (!to || !client) return 1;
  masterBpm = tempo;
  holding = hold;
  in = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  jack_set_process_callback(client, Watch, NULL);
  jack_set_xrun_callback(client, XRun, NULL);
  if (hold) jack_set_sync_callback(client, Sync, NULL);
  if (!in || jack_activate(client) != 0) return 1;
  if (master && jack_set_timebase_callback(client, 0, Timebase, NULL) != 0) return 1;
  printf("ready\n");
  fflush(stdout);
  char line[128];
  for (;;) {
    struct pollfd in = {0, POLLIN, 0};
    if (poll(&in, 1, 5) > 0) {
      if (!fgets(line, sizeof line, stdin) || strncmp(line, "quit", 4) == 0) break;
      if (strncmp(line, "go", 2) == 0) holding = 0;
    }
    for (; eventsOut != eventsIn; eventsOut++) {
      const unsigned i = eventsOut % EVENTS;
      if (events[i].kind == 'r') fprintf(to, "roll %lld %.0f\n", events[i].frame, events[i].value);
      else if (events[i].kind == 's') fprintf(to, "stop %lld\n", events[i].frame);
      else if (events[i].kind == 'n') fprintf(to, "note %lld\n", events[i].frame);
      else if (events[i].kind == 'c') fprintf(to, "clock %lld\n", events[i].frame);
      else fprintf(to, "beat %lld %.0f\n", events[i].frame, events[i].value);
    }
    for (; xrunsOut != xrunsIn; xrunsOut++) fprintf(to, "xrun %lld\n", xruns[xrunsOut % XRUNS]);
    fflush(to);
  }
  if (master) jack_release_timebase(client);
  jack_client_close(client);
  fclose(to);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "clock") == 0) return Clock();
  if (argc >= 3 && argc <= 5 && strcmp(argv[1], "watch") == 0)
    return Observe(argv[2], argc >= 4, argc >= 4 ? atof(argv[3]) : 0, argc == 5 && strcmp(argv[4], "hold") == 0);
  if (argc == 2) return Transport(argv[1]);
  fprintf(stderr, "usage: jack_sync_helper clock | roll | halt | query | watch FILE [BPM [hold]]\n");
  return 2;
}
