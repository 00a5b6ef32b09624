/* Other gear on a JACK server, for tests/e2e/jack_sync.sh and the PlaybackJackSync tests:
**
**   jack_sync_helper clock        a MIDI clock source, client "tbxclock", port "out", driven by
**                                 lines on stdin: "start BPM" (Start, then 24 clocks a beat,
**                                 each on its exact frame), "stop" (Stop), "quit"
**   jack_sync_helper roll | halt  starts or stops the transport
**   jack_sync_helper query        prints the transport: "rolling|stopped BPM BEATS_PER_BAR"
**                                 (BPM and beats per bar 0 when no timebase master publishes
**                                 bar and beat)
*/
#include <jack/jack.h>
#include <jack/midiport.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static jack_client_t* client;
static jack_port_t* out;
static _Atomic double bpm;             /* 0: not running */
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
  const double tempo = bpm;
  if (tempo <= 0) return 0;
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
    nextClock += rate * 60.0 / (tempo * 24.0);
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
    double value = 0;
    if (sscanf(line, "start %lf", &value) == 1) {
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

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "clock") == 0) return Clock();
  if (argc == 2) return Transport(argv[1]);
  fprintf(stderr, "usage: jack_sync_helper clock | roll | halt | query\n");
  return 2;
}
