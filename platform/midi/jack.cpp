/*
** The program's own JACK client, "Tamborix": a MIDI output port (midi_out) and a MIDI input
** port (midi_in) from the start of the program to its end, and, while the built-in synth
** plays on JACK, its audio ports (synth_L, synth_R). Other clients connect to them whenever
** they like; the connections are the server's and outlive every Play and Stop.
**
** The process callback does four things each cycle: it writes the queued output messages
** at their frame offsets (schedule.h, with the server's frame clock of the cycle and the
** constant latency of one period + 2 ms), renders the synth into its ports, copies the
** messages that arrived at midi_in into a ring that the input thread hands to the program
** (its callback must never run on the process thread: it sends, and a send may wait), and
** notes when the transport starts or stops rolling (or another master's tempo moves), which
** the input thread tells the transport's watch. It also keeps, for a run that follows the
** transport, when the transport started rolling and how many beats it has rolled since at
** the tempo another master publishes (TransportView).
**
** As timebase master the client fills in bar, beat and tick on the program's own grid: the
** program says which beat a time is (MasterGrid), and the frame that time's messages are
** written on, one constant latency later, carries that beat; from there the count runs at
** the tempo published. Before a run has said so, and while the transport stands, the count
** runs by frames (from frame 0 at first).
**
** A server that goes away (on_info_shutdown) leaves a dead client: every call then fails
** at once and nothing waits for a cycle that will not come; the ports' watch (devices.cpp)
** closes it (JackGone) and opens a new one when a server runs again. The queue to midi_out
** is made once and outlives the clients, so a sender never meets a freed one. Opening takes
** the server's time (a connection, an activation) without holding the lock that the other
** calls take, and a second opener does not wait for the first. libjack is kept from
** starting a server (JackNoStartServer) and from printing.
*/
#if TBX_HAVE_JACK

#include <jack/jack.h>
#include <jack/midiport.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/midi_internal.h"

namespace {

constexpr uint32_t kInRing = 1024;   /* messages from midi_in not yet handed over; a power of two */
constexpr int64_t kTightNs = 20000;  /* steady readings this close hold a reading of JACK's clock */
constexpr double kJumpNs = 1000000;  /* the server's times off the frame clock's line by more: a jump */
constexpr int kJumpCycles = 4;       /* ... that many cycles in a row: a new line */

/* The synth's ports and who fills them; replaced whole, read by the process thread. */
struct AudioHook {
  AudioRender render;
  void* user;
  jack_port_t* ports[2];
};

/* A record that one thread at a time writes and others read without a lock: `seq` is odd
** while it changes, and a read that saw it move reads again. Every field is an atomic and
** every access sequentially consistent (no fences, which ThreadSanitizer cannot follow), so
** an overlapping read is only ever retried, never torn. */
struct SeqCount {
  std::atomic<uint32_t> seq{0};
  void BeginWrite() { seq.fetch_add(1); }
  void EndWrite() { seq.fetch_add(1); }
  uint32_t BeginRead() const {
    uint32_t s;
    while ((s = seq.load()) & 1u) {
    }
    return s;
  }
  bool Retry(uint32_t s) const { return seq.load() != s; }
};

/* The rolling transport as a run that follows it sees it; the process thread writes it
** every cycle. */
struct TransportView {
  SeqCount count;
  std::atomic<bool> moving{false};        /* rolling (not waiting to start) */
  std::atomic<int64_t> startNs{0};        /* steady ns of the frame it started rolling at */
  std::atomic<int64_t> cycleNs{0};        /* steady ns of this cycle's first frame */
  std::atomic<double> rolled{0};          /* beats rolled from the start to that frame */
  std::atomic<double> bpm{0};             /* another master's tempo; 0 none */
  std::atomic<double> framesPerNs{0};     /* the cycle's frame clock */
};

/* Where the program's grid is, as the master publishes it: `dueNs` sounds as `beat`. */
struct MasterGrid {
  SeqCount count;
  std::mutex writer;                      /* one writer at a time (window, timer thread) */
  std::atomic<bool> set{false};           /* a run has said where its beats are */
  std::atomic<int64_t> dueNs{0};          /* steady ns */
  std::atomic<double> beat{0};            /* beats after 1|1|0 */
};

struct JackState {
  std::mutex openMu;                      /* one opener or closer at a time */
  std::mutex mu;                          /* guards the client's fields, attaching, connecting */
  jack_client_t* client = nullptr;
  jack_port_t* midiOut = nullptr;
  jack_port_t* midiIn = nullptr;
  std::atomic<bool> alive{false};         /* open and the server still there */
  double rate = 0;                        /* frames per second */
  std::atomic<StampQueue*> out{nullptr};  /* to midi_out: senders push, process plays; made
                                          ** at the first open, kept to the end */

  std::atomic<AudioHook*> hook{nullptr};  /* the synth's audio, or nullptr */
  std::atomic<bool> inProcess{false};     /* the process callback is using the hook */

  uint32_t inRing[kInRing];               /* packed bytes from midi_in (process writes) */
  int64_t inTime[kInRing];                /* ... and their frames' steady-clock ns */
  std::atomic<uint32_t> inHead{0};        /* written by the process thread */
  std::atomic<uint32_t> inTail{0};        /* read by the input thread */
  int wakeFd = -1;                        /* eventfd: input arrived, or quit */
  std::atomic<bool> quit{false};
  std::thread input;                      /* hands midi_in's messages to the program */

  std::atomic<int> rolling{-1};           /* the transport at the last cycle: 1 rolling (or
                                          ** starting), 0 stopped, -1 no cycle yet (process) */
  std::atomic<bool> moved{false};         /* it started or stopped: the input thread tells */
  std::atomic<JackTransportProc> watch{nullptr};
  std::atomic<bool> master{false};        /* the timebase callback is set (changed under mu) */
  std::atomic<double> bpm{120};           /* what the master publishes (any thread) */
  std::atomic<double> beatsPerBar{4};
  MasterGrid grid;                        /* ... and where its beats are */
  std::atomic<bool> recount{false};       /* count bar and beat from frame 0 again */
  TransportView view;                     /* the transport for a run that follows it */

  /* Process thread only (the timebase callback runs there too). */
  bool offsetKnown = false;               /* JACK's clock minus the steady clock, ns */
  int64_t offsetNs = 0;
  bool mapKnown = false;                  /* the frame clock's line: a cycle's first frame, */
  jack_nframes_t mapFrame = 0;            /* its steady ns and frames a ns */
  double mapStartNs = 0, mapFramesPerNs = 0;
  int mapJumps = 0;                       /* cycles in a row whose times jumped off the line */
  uint64_t cycles = 0;                    /* cycles run */
  uint64_t timebaseAt = 0;                /* the cycle the timebase callback last ran in */
  bool cycleKnown = false;                /* cycleFrame and cycleMap hold a cycle */
  jack_nframes_t cycleFrame = 0;          /* the transport's frame at the cycle's start */
  CycleMap cycleMap{};                    /* ... and the cycle's frame clock */
  bool wasMoving = false;                 /* the transport rolled in the cycle before */
  double rolled = 0;                      /* beats rolled since its start, at this cycle */
  jack_nframes_t lastFrames = 0;          /* the cycle before: its frames and the tempo */
  double lastBpm = 0;
  int shownBpm = 0;                       /* another master's tempo, rounded, last told */
  double countFrame = 0, countBeats = 0;  /* the master's count by frames: beats at a frame */

  std::mutex bornMu;                      /* guards born and clients */
  std::map<std::string, uint32_t> born;   /* ports of each name registered since the client
                                          ** opened (JACK numbers a port made again alike) */
  uint32_t clients = 0;                   /* clients opened so far */
};

JackState J;

void Quiet(const char*) {}

/* The cycle's frame clock: JACK's filtered times of this cycle and the next, moved from
** JACK's microsecond clock to the steady clock, and kept on one line from cycle to cycle, so
** that a message stamped by one cycle's clock (a clock that came in) and placed by another's
** keeps to its frame. The offset between the two clocks is taken from a reading of JACK's
** between two steady ones that lie close together (a preemption between them is no offset).
** The line follows the server's times by an eighth of their distance a cycle, and ignores a
** cycle whose times lie off it by more than kJumpNs (a busy server anchors its own clock
** anew after a cycle that came very late, for a cycle or two) unless they stay off for
** kJumpCycles: then it is a new line, taken at once. */
CycleMap MapCycle(jack_nframes_t frames) {
  const int64_t before = MidiSteadyNs();
  const int64_t jackNs = static_cast<int64_t>(jack_get_time()) * 1000;
  const int64_t after = MidiSteadyNs();
  if (!J.offsetKnown || after - before < kTightNs) {
    J.offsetNs = jackNs - (before + after) / 2;
    J.offsetKnown = true;
  }
  jack_nframes_t frame = jack_last_frame_time(J.client);
  jack_time_t currentUs = 0, nextUs = 0;
  float periodUs;
  const bool server = jack_get_cycle_times(J.client, &frame, &currentUs, &nextUs, &periodUs) == 0 && nextUs > currentUs;
  double startNs = static_cast<double>(currentUs) * 1000.0 - static_cast<double>(J.offsetNs);
  double framesPerNs = server ? static_cast<double>(frames) / (static_cast<double>(nextUs - currentUs) * 1000.0) : 0;
  if (J.mapKnown) {
    const double line = J.mapStartNs + static_cast<double>(frame - J.mapFrame) / J.mapFramesPerNs;
    if (server && std::fabs(startNs - line) <= kJumpNs) {
      J.mapJumps = 0;
      startNs = line + (startNs - line) / 8;
    } else if (!server || ++J.mapJumps < kJumpCycles) {
      startNs = line;
      framesPerNs = J.mapFramesPerNs;
    }
  } else if (!server) {
    return CycleMap{before, J.rate / 1e9, CycleLatency(frames, J.rate)};
  }
  J.mapKnown = true;
  J.mapFrame = frame;
  J.mapStartNs = startNs;
  J.mapFramesPerNs = framesPerNs;
  return CycleMap{static_cast<int64_t>(std::llround(startNs)), framesPerNs, CycleLatency(frames, J.rate)};
}

/* Keeps what a musician plays and the clock of the gear the program may follow: no system
** exclusive or active sensing. */
bool WantedInput(const unsigned char* b, size_t n) {
  return n >= 1 && n <= 3 && b[0] >= 0x80 && b[0] != 0xF0 && b[0] != 0xF7 && b[0] != 0xFE;
}

constexpr double kTicksPerBeat = 1920;   /* the BBT resolution the master publishes */

/* Whether the transport rolls (or waits for slow clients to start). */
bool Rolls(jack_transport_state_t state) {
  return state == JackTransportRolling || state == JackTransportStarting;
}

/* Beats after 1|1|0 at transport frame `frame` as the master counts them (process thread):
** while rolling, from the grid the program published, through this cycle's frame clock;
** otherwise by frames from the last count. */
double MasterBeats(jack_transport_state_t state, jack_nframes_t frame, double perFrame) {
  if (J.recount.exchange(false)) J.countFrame = J.countBeats = 0;
  if (state == JackTransportRolling && J.cycleKnown && J.grid.set.load()) {
    int64_t dueNs;
    double beat;
    uint32_t seq;
    do {
      seq = J.grid.count.BeginRead();
      dueNs = J.grid.dueNs.load();
      beat = J.grid.beat.load();
    } while (J.grid.count.Retry(seq));
    /* The frame the grid's messages are written on: their due time plus the latency. */
    const double at = J.cycleFrame + static_cast<double>(dueNs - J.cycleMap.startNs) * J.cycleMap.framesPerNs +
                      static_cast<double>(J.cycleMap.latencyFrames);
    J.countFrame = frame;
    J.countBeats = beat + (frame - at) * perFrame;
  } else {
    J.countBeats += (static_cast<double>(frame) - J.countFrame) * perFrame;
    J.countFrame = frame;
  }
  return J.countBeats;
}

/* The timebase master's callback (process thread, after the cycle's process callback; `pos`
** is the next cycle's): bar, beat and tick of its frame. Bars before the grid's 1|1|0 (the
** lead-in before a run's first step) count 0, -1, ... */
void Timebase(jack_transport_state_t state, jack_nframes_t, jack_position_t* pos, int, void*) {
  J.timebaseAt = J.cycles;
  double bpm = J.bpm.load(), perBar = J.beatsPerBar.load();
  if (bpm <= 0) bpm = 120;
  if (perBar <= 0) perBar = 4;
  const double rate = pos->frame_rate ? pos->frame_rate : J.rate;
  const double beats = rate > 0 ? MasterBeats(state, pos->frame, bpm / (60.0 * rate)) : 0;
  const double bars = std::floor(beats / perBar);
  const double inBar = std::max(0.0, beats - bars * perBar);
  const double tick = (inBar - std::floor(inBar)) * kTicksPerBeat;
  pos->valid = static_cast<jack_position_bits_t>(JackPositionBBT | JackTickDouble);
  pos->bar = static_cast<int32_t>(bars) + 1;
  pos->beat = static_cast<int32_t>(inBar) + 1;
  pos->tick = static_cast<int32_t>(tick);
  pos->tick_double = tick;   /* a whole tick is 12 frames at 120 BPM and 48 kHz: the beat exactly */
  pos->bar_start_tick = bars * perBar * kTicksPerBeat;
  pos->beats_per_bar = static_cast<float>(perBar);
  pos->beat_type = 4;
  pos->ticks_per_beat = kTicksPerBeat;
  pos->beats_per_minute = bpm;
}

/* This cycle's transport for the timebase callback and for a run that follows it; true when
** another master's tempo, as the read-out shows it, has moved. */
bool TrackTransport(jack_transport_state_t state, const jack_position_t& pos, jack_nframes_t frames,
                    const CycleMap& map) {
  J.cycles++;
  J.cycleKnown = true;
  J.cycleFrame = pos.frame;
  J.cycleMap = map;
  const bool moving = state == JackTransportRolling;
  /* The program itself is master while its callback runs (every rolling cycle). */
  const bool own = J.master.load() && (!moving || J.cycles - J.timebaseAt <= 2);
  const double bpm = !own && (pos.valid & JackPositionBBT) && pos.beats_per_minute > 0 ? pos.beats_per_minute : 0;
  if (moving && J.wasMoving) J.rolled += J.lastFrames * J.lastBpm / (60.0 * J.rate);
  else if (moving) J.rolled = 0;
  J.view.count.BeginWrite();
  if (moving && !J.wasMoving) J.view.startNs.store(map.startNs);
  J.view.moving.store(moving);
  J.view.cycleNs.store(map.startNs);
  J.view.rolled.store(J.rolled);
  J.view.bpm.store(bpm);
  J.view.framesPerNs.store(map.framesPerNs);
  J.view.count.EndWrite();
  J.wasMoving = moving;
  J.lastFrames = frames;
  J.lastBpm = bpm;
  const int shown = static_cast<int>(std::lround(bpm));
  if (shown == J.shownBpm) return false;
  J.shownBpm = shown;
  return true;
}

void Wake() {
  const uint64_t one = 1;
  if (write(J.wakeFd, &one, sizeof one) < 0) {
    /* the counter cannot overflow in practice; the next wake-up comes through */
  }
}

int Process(jack_nframes_t frames, void*) {
  const CycleMap map = MapCycle(frames);

  jack_position_t pos;
  const jack_transport_state_t state = jack_transport_query(J.client, &pos);
  const int rolling = Rolls(state) ? 1 : 0;
  const int before = J.rolling.exchange(rolling);
  const bool tempoMoved = TrackTransport(state, pos, frames, map);
  bool wake = (before >= 0 && before != rolling) || tempoMoved;   /* the first cycle only learns the state */
  if (wake) J.moved = true;

  void* in = jack_port_get_buffer(J.midiIn, frames);
  const uint32_t events = jack_midi_get_event_count(in);
  for (uint32_t i = 0; i < events; i++) {
    jack_midi_event_t ev;
    if (jack_midi_event_get(&ev, in, i) != 0 || !WantedInput(ev.buffer, ev.size)) continue;
    const uint32_t h = J.inHead.load(std::memory_order_relaxed);
    if (h - J.inTail.load(std::memory_order_acquire) >= kInRing) break;   /* full: dropped */
    J.inRing[h & (kInRing - 1)] = StampPack(ev.buffer, ev.size);
    /* The time of its frame, on the frame clock the output places messages by. */
    J.inTime[h & (kInRing - 1)] = map.startNs + static_cast<int64_t>(double(ev.time) / map.framesPerNs);
    J.inHead.store(h + 1, std::memory_order_release);
    wake = true;
  }
  if (wake) Wake();

  void* out = jack_port_get_buffer(J.midiOut, frames);
  jack_midi_clear_buffer(out);
  StampQueue* queue = J.out.load();
  StampCollect(queue);
  int64_t at;
  uint32_t bytes;
  while (StampNext(queue, map, frames, &at, &bytes)) {
    const unsigned char b[3] = {static_cast<unsigned char>(bytes), static_cast<unsigned char>(bytes >> 8),
                                static_cast<unsigned char>(bytes >> 16)};
    jack_midi_event_write(out, static_cast<jack_nframes_t>(at), b, StampSize(bytes));   /* full: dropped */
  }

  J.inProcess.store(true);
  if (AudioHook* hook = J.hook.load()) {
    float* left = static_cast<float*>(jack_port_get_buffer(hook->ports[0], frames));
    float* right = static_cast<float*>(jack_port_get_buffer(hook->ports[1], frames));
    hook->render(left, right, frames, map, hook->user);
  }
  J.inProcess.store(false);
  return 0;
}

void Shutdown(jack_status_t, const char*, void*) {
  J.alive = false;
}

/* JACK's notification thread: a port was registered (or unregistered). */
void PortBorn(jack_port_id_t id, int registered, void* arg) {
  jack_port_t* port = registered ? jack_port_by_id(static_cast<jack_client_t*>(arg), id) : nullptr;
  if (!port) return;
  std::lock_guard<std::mutex> lock(J.bornMu);
  J.born[jack_port_name(port)]++;
}

void InputThread() {
  for (;;) {
    uint64_t count;
    if (read(J.wakeFd, &count, sizeof count) < 0 && errno != EINTR) break;
    if (J.quit.load()) break;
    if (J.moved.exchange(false))
      if (JackTransportProc watch = J.watch.load()) watch(J.rolling.load() == 1);
    uint32_t t = J.inTail.load(std::memory_order_relaxed);
    const uint32_t h = J.inHead.load(std::memory_order_acquire);
    for (; t != h; t++) {
      const uint32_t bytes = J.inRing[t & (kInRing - 1)];
      const unsigned char b[3] = {static_cast<unsigned char>(bytes), static_cast<unsigned char>(bytes >> 8),
                                  static_cast<unsigned char>(bytes >> 16)};
      MidiPortInput(b, StampSize(bytes), J.inTime[t & (kInRing - 1)]);
      J.inTail.store(t + 1, std::memory_order_release);
    }
  }
}

std::string OwnName(jack_port_t* port) {
  return port ? jack_port_name(port) : "";
}

}  // namespace

/* ---------------------------------------------------------------- client */

bool JackOpen() {
  std::unique_lock<std::mutex> opening(J.openMu, std::try_to_lock);
  if (!opening.owns_lock()) return J.alive.load();   /* another thread is opening or closing */
  {
    std::lock_guard<std::mutex> lock(J.mu);
    if (J.client) return J.alive.load();
  }
  PortsSilence();
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  jack_status_t status;
  jack_client_t* client = jack_client_open(PortsName().c_str(), JackNoStartServer, &status);
  if (!client) return false;
  jack_port_t* midiOut = jack_port_register(client, "midi_out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  jack_port_t* midiIn = jack_port_register(client, "midi_in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  const int wakeFd = eventfd(0, EFD_CLOEXEC);
  if (!midiOut || !midiIn || wakeFd < 0 || jack_set_process_callback(client, Process, nullptr) != 0) {
    jack_client_close(client);
    if (wakeFd >= 0) close(wakeFd);
    return false;
  }
  jack_on_info_shutdown(client, Shutdown, nullptr);
  jack_set_port_registration_callback(client, PortBorn, client);
  {
    std::lock_guard<std::mutex> bornLock(J.bornMu);
    J.born.clear();
    J.clients++;
  }
  {
    std::lock_guard<std::mutex> lock(J.mu);
    J.client = client;
    J.midiOut = midiOut;
    J.midiIn = midiIn;
    J.wakeFd = wakeFd;
    J.rate = jack_get_sample_rate(client);
    if (!J.out.load()) J.out = new StampQueue;
    StampClear(J.out.load());   /* no process thread runs: this thread is the queue's consumer */
    J.inHead = 0;
    J.inTail = 0;
    J.quit = false;
    J.rolling = -1;
    J.moved = false;
    J.master = false;
    /* The process thread's own fields: it does not run before the activation below. */
    J.cycleKnown = J.wasMoving = J.offsetKnown = J.mapKnown = false;
    J.shownBpm = 0;
    J.recount = true;
    J.view.moving = false;
    J.view.bpm = 0;
    J.input = std::thread(InputThread);
    J.alive = true;
  }
  if (jack_activate(client) != 0) {
    J.alive = false;   /* kept, dead, until it is closed: the input thread is already running */
    return false;
  }
  return true;
}

bool JackGone() {
  std::lock_guard<std::mutex> lock(J.mu);
  return J.client && !J.alive.load();
}

void JackClose() {
  std::lock_guard<std::mutex> closing(J.openMu);
  std::unique_lock<std::mutex> lock(J.mu);
  if (!J.client) return;
  J.alive = false;
  /* The process thread ends with the client; the input thread after it. */
  jack_client_close(J.client);
  J.client = nullptr;
  J.quit = true;
  J.master = false;   /* a closed client is master no more */
  Wake();
  std::thread input = std::move(J.input);
  lock.unlock();
  if (input.joinable()) input.join();
  lock.lock();
  close(J.wakeFd);
  J.wakeFd = -1;
  J.midiOut = J.midiIn = nullptr;
  delete J.hook.exchange(nullptr);
}

bool JackAlive() {
  return J.alive.load();
}

double JackRate() {
  return J.alive.load() ? J.rate : 0;
}

/* ---------------------------------------------------------------- ports of others */

std::vector<std::string> JackPorts(bool inputs) {
  std::vector<std::string> names;
  if (!J.alive.load()) return names;   /* a server gone: not even the lock is waited for */
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load()) return names;
  /* Our outputs go to their input ports, and the other way round. */
  const char** ports =
      jack_get_ports(J.client, nullptr, JACK_DEFAULT_MIDI_TYPE, inputs ? JackPortIsOutput : JackPortIsInput);
  if (!ports) return names;
  const std::string own = std::string(jack_get_client_name(J.client)) + ":";
  for (const char** p = ports; *p; p++)
    if (std::strncmp(*p, own.c_str(), own.size()) != 0) names.push_back(*p);
  jack_free(ports);
  return names;
}

int JackConnect(const std::string& name, bool input) {
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load() || !jack_port_by_name(J.client, name.c_str())) return -1;
  jack_port_t* own = input ? J.midiIn : J.midiOut;
  if (jack_port_connected_to(own, name.c_str())) return 0;
  const std::string mine = OwnName(own);
  const std::string& from = input ? name : mine;
  const std::string& to = input ? mine : name;
  int r = jack_connect(J.client, from.c_str(), to.c_str());
  if (r == EEXIST) return 0;
  return r == 0 ? 1 : -1;
}

uint64_t JackPortIdentity(const std::string& name) {
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load() || !jack_port_by_name(J.client, name.c_str())) return 0;
  std::lock_guard<std::mutex> bornLock(J.bornMu);
  const auto it = J.born.find(name);
  return static_cast<uint64_t>(J.clients) << 32 | ((it == J.born.end() ? 0 : it->second) + 1);
}

void JackDisconnect(const std::string& name, bool input) {
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load()) return;
  const std::string mine = OwnName(input ? J.midiIn : J.midiOut);
  if (input) jack_disconnect(J.client, name.c_str(), mine.c_str());
  else jack_disconnect(J.client, mine.c_str(), name.c_str());
}

/* ---------------------------------------------------------------- links kept across a rename */

namespace {

/* The own ports by their short names (lock held): the MIDI ports and the synth's. */
std::vector<jack_port_t*> OwnPortsLocked() {
  std::vector<jack_port_t*> ports{J.midiOut, J.midiIn};
  if (AudioHook* hook = J.hook.load()) ports.insert(ports.end(), hook->ports, hook->ports + 2);
  ports.erase(std::remove(ports.begin(), ports.end(), nullptr), ports.end());
  return ports;
}

}  // namespace

std::vector<OwnPortLinks> JackLinks() {
  std::lock_guard<std::mutex> lock(J.mu);
  std::vector<OwnPortLinks> links;
  if (!J.alive.load()) return links;
  const std::string own = std::string(jack_get_client_name(J.client)) + ":";
  for (jack_port_t* port : OwnPortsLocked()) {
    OwnPortLinks l{PortApi::Jack, jack_port_short_name(port), {}};
    if (const char** others = jack_port_get_all_connections(J.client, port)) {
      for (const char** o = others; *o; o++)
        l.others.push_back(std::strncmp(*o, own.c_str(), own.size()) == 0 ? std::string(*o + own.size() - 1) : *o);
      jack_free(others);
    }
    links.push_back(std::move(l));
  }
  return links;
}

void JackRelink(const std::vector<OwnPortLinks>& links) {
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load()) return;
  const std::string own = jack_get_client_name(J.client);
  for (jack_port_t* port : OwnPortsLocked()) {
    const std::string name = jack_port_short_name(port);
    auto l = std::find_if(links.begin(), links.end(),
                          [&](const OwnPortLinks& k) { return k.api == PortApi::Jack && k.port == name; });
    if (l == links.end()) continue;
    std::vector<std::string> want;
    for (const std::string& o : l->others) want.push_back(o[0] == ':' ? own + o : o);
    const bool sends = (jack_port_flags(port) & JackPortIsOutput) != 0;
    const std::string mine = jack_port_name(port);
    if (const char** now = jack_port_get_all_connections(J.client, port)) {
      for (const char** o = now; *o; o++)
        if (std::find(want.begin(), want.end(), *o) == want.end())
          sends ? jack_disconnect(J.client, mine.c_str(), *o) : jack_disconnect(J.client, *o, mine.c_str());
      jack_free(now);
    }
    for (const std::string& o : want)
      if (jack_port_by_name(J.client, o.c_str()))
        sends ? jack_connect(J.client, mine.c_str(), o.c_str()) : jack_connect(J.client, o.c_str(), mine.c_str());
  }
}

/* ---------------------------------------------------------------- output */

bool JackQueue(int64_t dueNs, uint32_t bytes) {
  StampQueue* queue = J.out.load();
  return J.alive.load() && queue && StampPush(queue, Stamped{dueNs, bytes});
}

uint32_t JackMissedFrames() {
  StampQueue* queue = J.out.load();
  return queue ? queue->missed.load() : 0;
}

void JackDrain(int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  StampQueue* queue = J.out.load();
  while (J.alive.load() && queue && !StampIdle(queue) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  /* The cycle that wrote the last message has to reach its readers before a disconnection. */
  if (J.alive.load() && J.rate > 0) {
    const int64_t periodUs = static_cast<int64_t>(jack_get_buffer_size(J.client) * 1e6 / J.rate);
    std::this_thread::sleep_for(std::chrono::microseconds(2 * periodUs));
  }
}

/* ---------------------------------------------------------------- transport */

bool JackBuilt() {
  return true;
}

int JackTransportNow() {
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load()) return -1;
  return Rolls(jack_transport_query(J.client, nullptr)) ? 1 : 0;
}

void JackTransportRoll(bool roll) {
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load()) return;
  if (roll) jack_transport_start(J.client);
  else jack_transport_stop(J.client);
}

void JackTransportWatch(JackTransportProc proc) {
  J.watch = proc;
}

bool JackTimebase(bool on) {
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load()) return !on;
  if (on == J.master.load()) return true;
  if (on) {
    J.grid.set = false;   /* counted by frames until a run says where its beats are */
    J.recount = true;
    J.master = jack_set_timebase_callback(J.client, 0, Timebase, nullptr) == 0;
  } else if (jack_release_timebase(J.client) == 0) {
    J.master = false;
  }
  return J.master.load() == on;
}

void JackTimebaseTempo(double bpm, double beatsPerBar) {
  J.bpm = bpm;
  J.beatsPerBar = beatsPerBar;
}

void JackTimebaseBeat(double beat, int64_t dueNs) {
  std::lock_guard<std::mutex> lock(J.grid.writer);
  J.grid.count.BeginWrite();
  J.grid.dueNs.store(dueNs);
  J.grid.beat.store(beat);
  J.grid.count.EndWrite();
  J.grid.set = true;
}

void JackTransportRewind() {
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load()) return;
  J.recount = true;
  jack_transport_locate(J.client, 0);
}

double JackTransportBpm() {
  return J.alive.load() ? J.view.bpm.load() : 0;
}

bool JackTransportAt(double beats, int64_t* steadyNs) {
  if (!J.alive.load()) return false;
  bool moving;
  int64_t startNs, cycleNs;
  double rolled, bpm, framesPerNs;
  uint32_t seq;
  do {
    seq = J.view.count.BeginRead();
    moving = J.view.moving.load();
    startNs = J.view.startNs.load();
    cycleNs = J.view.cycleNs.load();
    rolled = J.view.rolled.load();
    bpm = J.view.bpm.load();
    framesPerNs = J.view.framesPerNs.load();
  } while (J.view.count.Retry(seq));
  if (!moving) return false;
  if (beats == 0) {
    *steadyNs = startNs;
    return true;
  }
  if (bpm <= 0 || framesPerNs <= 0) return false;
  const double frames = (beats - rolled) * 60.0 * J.rate / bpm;
  *steadyNs = cycleNs + static_cast<int64_t>(std::llround(frames / framesPerNs));
  return true;
}

/* ---------------------------------------------------------------- the synth's audio */

bool JackAudioAttach(AudioRender render, void* user, std::string* why) {
  std::lock_guard<std::mutex> lock(J.mu);
  if (!J.alive.load()) {
    *why = "the server has stopped";
    return false;
  }
  if (J.hook.load()) {
    *why = "the synth's ports are taken";
    return false;
  }
  AudioHook* hook = new AudioHook{render, user, {nullptr, nullptr}};
  hook->ports[0] = jack_port_register(J.client, "synth_L", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  hook->ports[1] = jack_port_register(J.client, "synth_R", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
  if (!hook->ports[0] || !hook->ports[1]) {
    for (jack_port_t* p : hook->ports)
      if (p) jack_port_unregister(J.client, p);
    delete hook;
    *why = "cannot register the audio ports";
    return false;
  }
  J.hook.store(hook);
  /* Heard at once, as a sound card would be: the first two physical playback ports. */
  const char** playback =
      jack_get_ports(J.client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | JackPortIsInput);
  if (playback) {
    for (int ch = 0; ch < 2 && playback[0]; ch++) {
      const char* to = playback[ch == 1 && playback[1] ? 1 : 0];
      jack_connect(J.client, jack_port_name(hook->ports[ch]), to);
    }
    jack_free(playback);
  }
  return true;
}

void JackAudioDetach() {
  AudioHook* hook = J.hook.exchange(nullptr);
  if (!hook) return;
  /* The process callback raises inProcess before it reads the hook, and we cleared the hook
  ** before reading inProcess (both sequentially consistent): a callback that may still use
  ** the old hook is seen here and waited for (a second at most: a server that died in the
  ** middle of a cycle does not finish it), without the lock the window's calls take. */
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (J.inProcess.load() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  {
    std::lock_guard<std::mutex> lock(J.mu);
    if (J.client)
      for (jack_port_t* p : hook->ports) jack_port_unregister(J.client, p);
  }
  delete hook;
}

#else  /* no libjack: no JACK client */

#include "platform/midi/midi_internal.h"

bool JackOpen() { return false; }
bool JackGone() { return false; }
void JackClose() {}
bool JackAlive() { return false; }
std::vector<std::string> JackPorts(bool) { return {}; }
bool JackQueue(int64_t, uint32_t) { return false; }
uint32_t JackMissedFrames() { return 0; }
void JackDrain(int) {}
int JackConnect(const std::string&, bool) { return -1; }
uint64_t JackPortIdentity(const std::string&) { return 0; }
void JackDisconnect(const std::string&, bool) {}
std::vector<OwnPortLinks> JackLinks() { return {}; }
void JackRelink(const std::vector<OwnPortLinks>&) {}
double JackRate() { return 0; }
bool JackBuilt() { return false; }
int JackTransportNow() { return -1; }
void JackTransportRoll(bool) {}
void JackTransportWatch(JackTransportProc) {}
bool JackTimebase(bool on) { return !on; }
void JackTimebaseTempo(double, double) {}
void JackTimebaseBeat(double, int64_t) {}
void JackTransportRewind() {}
double JackTransportBpm() { return 0; }
bool JackTransportAt(double, int64_t*) { return false; }
bool JackAudioAttach(AudioRender, void*, std::string* why) {
  *why = "built without JACK";
  return false;
}
void JackAudioDetach() {}

#endif
