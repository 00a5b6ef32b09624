/*
** The program's own ALSA sequencer client, "Tamborix": an output port ("MIDI Out", readable
** and subscribable) and an input port ("MIDI In", writable and subscribable) from the start
** of the program to its end. Other programs (aconnect, qjackctl, a DAW, a2jmidid) subscribe
** to them whenever they like; the subscriptions are the sequencer's and outlive every Play
** and Stop. Messages leave at once (direct delivery to the subscribers): the sequencer has
** no frame clock of a sound card to place them on.
**
** One handle serves all: its input thread reads (poll, snd_seq_event_input), while sending,
** subscribing and listing ports run under mu on other threads. Input and output use apart
** buffers of the handle and the rest are ioctls, so the two sides never meet.
**
** Ports of other clients are named as RtMidi and most tools name them, "client:port c:p",
** and found again by that name; a port of that name without its " c:p" stands for it when
** it is the only one (a device plugged in again, a synth started again, may get another
** client number but keeps its names).
*/
#if TBX_HAVE_ALSA

#include <alsa/asoundlib.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/midi_internal.h"

namespace {

struct AlsaState {
  std::mutex mu;                        /* guards everything but the input thread's reading */
  snd_seq_t* seq = nullptr;
  int client = -1;                      /* our client number */
  int outPort = -1, inPort = -1;        /* our two ports */
  snd_midi_event_t* encoder = nullptr;  /* bytes to events (senders, under mu) */
  snd_midi_event_t* decoder = nullptr;  /* events to bytes (input thread) */
  int quitPipe[2] = {-1, -1};           /* written to end the input thread */
  std::atomic<bool> alive{false};
  std::thread input;
};

AlsaState A;

/* Keeps what a musician plays and the clock of the gear the program may follow: no system
** exclusive, active sensing or tick. */
bool WantedEvent(const snd_seq_event_t* ev) {
  return ev->type != SND_SEQ_EVENT_SYSEX && ev->type != SND_SEQ_EVENT_SENSING && ev->type != SND_SEQ_EVENT_TICK;
}

void InputThread() {
  const int n = snd_seq_poll_descriptors_count(A.seq, POLLIN);
  std::vector<pollfd> fds(n + 1);
  snd_seq_poll_descriptors(A.seq, fds.data(), n, POLLIN);
  fds[n] = pollfd{A.quitPipe[0], POLLIN, 0};
  for (;;) {
    if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
    if (fds[n].revents) break;
    snd_seq_event_t* ev = nullptr;
    int r;
    while ((r = snd_seq_event_input(A.seq, &ev)) >= 0 || r == -ENOSPC) {
      if (r < 0 || !ev) continue;   /* -ENOSPC: the kernel's buffer overran; go on */
      if (ev->dest.port != A.inPort || !WantedEvent(ev)) continue;
      unsigned char b[16];
      snd_midi_event_reset_decode(A.decoder);
      const long size = snd_midi_event_decode(A.decoder, b, sizeof b, ev);
      if (size >= 1 && size <= 3 && b[0] >= 0x80) MidiPortInput(b, static_cast<size_t>(size), MidiSteadyNs());
    }
  }
}

/* Each port of another client that can take (inputs = false) or give messages, with its
** address. Lock held. */
struct Found {
  std::string name;
  snd_seq_addr_t addr;
};

std::vector<Found> ListLocked(bool inputs) {
  std::vector<Found> found;
  snd_seq_client_info_t* cinfo;
  snd_seq_port_info_t* pinfo;
  snd_seq_client_info_alloca(&cinfo);
  snd_seq_port_info_alloca(&pinfo);
  const unsigned need = inputs ? (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ)
                               : (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
  snd_seq_client_info_set_client(cinfo, -1);
  while (snd_seq_query_next_client(A.seq, cinfo) >= 0) {
    const int c = snd_seq_client_info_get_client(cinfo);
    if (c == A.client || c == SND_SEQ_CLIENT_SYSTEM) continue;
    snd_seq_port_info_set_client(pinfo, c);
    snd_seq_port_info_set_port(pinfo, -1);
    while (snd_seq_query_next_port(A.seq, pinfo) >= 0) {
      const unsigned caps = snd_seq_port_info_get_capability(pinfo);
      const unsigned type = snd_seq_port_info_get_type(pinfo);
      if ((caps & need) != need || (caps & SND_SEQ_PORT_CAP_NO_EXPORT)) continue;
      if (!(type & (SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_SYNTH | SND_SEQ_PORT_TYPE_APPLICATION)))
        continue;
      const int p = snd_seq_port_info_get_port(pinfo);
      std::string name = std::string(snd_seq_client_info_get_name(cinfo)) + ":" + snd_seq_port_info_get_name(pinfo) +
                         " " + std::to_string(c) + ":" + std::to_string(p);
      found.push_back(Found{name, snd_seq_addr_t{static_cast<unsigned char>(c), static_cast<unsigned char>(p)}});
    }
  }
  return found;
}

bool FindLocked(const std::string& name, bool inputs, snd_seq_addr_t* addr) {
  const std::vector<Found> found = ListLocked(inputs);
  for (const Found& f : found)
    if (f.name == name) {
      *addr = f.addr;
      return true;
    }
  int alike = 0;
  for (const Found& f : found)
    if (MidiPortNamesAlike(f.name, name) && alike++ == 0) *addr = f.addr;
  return alike == 1;
}

/* The subscription between our port and `other`, in the direction of `input`. */
void Subscription(snd_seq_port_subscribe_t* sub, const snd_seq_addr_t& other, bool input) {
  const snd_seq_addr_t own{static_cast<unsigned char>(A.client),
                           static_cast<unsigned char>(input ? A.inPort : A.outPort)};
  snd_seq_port_subscribe_set_sender(sub, input ? &other : &own);
  snd_seq_port_subscribe_set_dest(sub, input ? &own : &other);
}

void CloseLocked() {
  if (A.encoder) snd_midi_event_free(A.encoder);
  if (A.decoder) snd_midi_event_free(A.decoder);
  if (A.seq) snd_seq_close(A.seq);
  for (int& fd : A.quitPipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  A.encoder = A.decoder = nullptr;
  A.seq = nullptr;
  A.client = A.outPort = A.inPort = -1;
}

}  // namespace

bool AlsaSeqOpen() {
  std::lock_guard<std::mutex> lock(A.mu);
  if (A.seq) return A.alive.load();
  PortsSilence();
  if (snd_seq_open(&A.seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
    A.seq = nullptr;
    return false;
  }
  snd_seq_set_client_name(A.seq, PortsName().c_str());
  A.client = snd_seq_client_id(A.seq);
  const unsigned type = SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION;
  A.outPort = snd_seq_create_simple_port(A.seq, "MIDI Out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ, type);
  A.inPort = snd_seq_create_simple_port(A.seq, "MIDI In", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, type);
  if (A.client < 0 || A.outPort < 0 || A.inPort < 0 || snd_midi_event_new(16, &A.encoder) < 0 ||
      snd_midi_event_new(16, &A.decoder) < 0 || pipe(A.quitPipe) != 0) {
    CloseLocked();
    return false;
  }
  snd_midi_event_no_status(A.decoder, 1);   /* every decoded message carries its status */
  A.alive = true;
  A.input = std::thread(InputThread);
  return true;
}

void AlsaSeqClose() {
  std::unique_lock<std::mutex> lock(A.mu);
  if (!A.seq) return;
  A.alive = false;
  const char quit = 1;
  if (write(A.quitPipe[1], &quit, 1) < 0) {
    /* a pipe with nothing in it takes one byte */
  }
  std::thread input = std::move(A.input);
  lock.unlock();
  if (input.joinable()) input.join();
  lock.lock();
  CloseLocked();
}

bool AlsaSeqAlive() {
  return A.alive.load();
}

std::vector<std::string> AlsaSeqPorts(bool inputs) {
  std::lock_guard<std::mutex> lock(A.mu);
  std::vector<std::string> names;
  if (!A.alive.load()) return names;
  for (const Found& f : ListLocked(inputs)) names.push_back(f.name);
  return names;
}

bool AlsaSeqSend(uint32_t bytes) {
  std::lock_guard<std::mutex> lock(A.mu);
  if (!A.alive.load()) return false;
  const unsigned char b[3] = {static_cast<unsigned char>(bytes), static_cast<unsigned char>(bytes >> 8),
                              static_cast<unsigned char>(bytes >> 16)};
  snd_seq_event_t ev;
  snd_seq_ev_clear(&ev);
  snd_midi_event_reset_encode(A.encoder);
  if (snd_midi_event_encode(A.encoder, b, static_cast<long>(StampSize(bytes)), &ev) <= 0 ||
      ev.type == SND_SEQ_EVENT_NONE)
    return false;
  snd_seq_ev_set_source(&ev, A.outPort);
  snd_seq_ev_set_subs(&ev);
  snd_seq_ev_set_direct(&ev);
  return snd_seq_event_output_direct(A.seq, &ev) >= 0;
}

int AlsaSeqConnect(const std::string& name, bool input) {
  std::lock_guard<std::mutex> lock(A.mu);
  snd_seq_addr_t other;
  if (!A.alive.load() || !FindLocked(name, input, &other)) return -1;
  snd_seq_port_subscribe_t* sub;
  snd_seq_port_subscribe_alloca(&sub);
  Subscription(sub, other, input);
  if (snd_seq_get_port_subscription(A.seq, sub) == 0) return 0;
  return snd_seq_subscribe_port(A.seq, sub) == 0 ? 1 : -1;
}

uint64_t AlsaSeqPortIdentity(const std::string& name, bool input) {
  std::lock_guard<std::mutex> lock(A.mu);
  snd_seq_addr_t other;
  if (!A.alive.load() || !FindLocked(name, input, &other)) return 0;
  return 0x10000u | static_cast<uint64_t>(other.client) << 8 | other.port;
}

void AlsaSeqDisconnect(const std::string& name, bool input) {
  std::lock_guard<std::mutex> lock(A.mu);
  snd_seq_addr_t other;
  if (!A.alive.load() || !FindLocked(name, input, &other)) return;
  snd_seq_port_subscribe_t* sub;
  snd_seq_port_subscribe_alloca(&sub);
  Subscription(sub, other, input);
  snd_seq_unsubscribe_port(A.seq, sub);
}

/* ---------------------------------------------------------------- links kept across a rename */

std::vector<OwnPortLinks> AlsaSeqLinks() {
  std::lock_guard<std::mutex> lock(A.mu);
  std::vector<OwnPortLinks> links;
  if (!A.alive.load()) return links;
  for (const bool input : {false, true}) {
    const int port = input ? A.inPort : A.outPort;
    OwnPortLinks l{PortApi::Alsa, input ? "in" : "out", {}};
    snd_seq_query_subscribe_t* q;
    snd_seq_query_subscribe_alloca(&q);
    const snd_seq_addr_t own{static_cast<unsigned char>(A.client), static_cast<unsigned char>(port)};
    snd_seq_query_subscribe_set_root(q, &own);
    snd_seq_query_subscribe_set_type(q, input ? SND_SEQ_QUERY_SUBS_WRITE : SND_SEQ_QUERY_SUBS_READ);
    for (int i = 0;; i++) {
      snd_seq_query_subscribe_set_index(q, i);
      if (snd_seq_query_port_subscribers(A.seq, q) < 0) break;
      const snd_seq_addr_t* other = snd_seq_query_subscribe_get_addr(q);
      if (other->client == A.client) l.others.push_back(other->port == A.inPort ? ":in" : ":out");
      else l.others.push_back(std::to_string(other->client) + ":" + std::to_string(other->port));
    }
    links.push_back(std::move(l));
  }
  return links;
}

void AlsaSeqRelink(const std::vector<OwnPortLinks>& links) {
  std::lock_guard<std::mutex> lock(A.mu);
  if (!A.alive.load()) return;
  for (const OwnPortLinks& l : links) {
    if (l.api != PortApi::Alsa) continue;
    const bool input = l.port == "in";
    for (const std::string& o : l.others) {
      snd_seq_addr_t other;
      if (o == ":in" || o == ":out") {
        other = snd_seq_addr_t{static_cast<unsigned char>(A.client),
                               static_cast<unsigned char>(o == ":in" ? A.inPort : A.outPort)};
      } else if (snd_seq_parse_address(A.seq, &other, o.c_str()) < 0) {
        continue;
      }
      snd_seq_port_subscribe_t* sub;
      snd_seq_port_subscribe_alloca(&sub);
      Subscription(sub, other, input);
      if (snd_seq_get_port_subscription(A.seq, sub) != 0) snd_seq_subscribe_port(A.seq, sub);
    }
  }
}

#else  /* no alsa-lib: there is no sequencer */

#include "platform/midi/midi_internal.h"

bool AlsaSeqOpen() { return false; }
void AlsaSeqClose() {}
bool AlsaSeqAlive() { return false; }
std::vector<std::string> AlsaSeqPorts(bool) { return {}; }
bool AlsaSeqSend(uint32_t) { return false; }
int AlsaSeqConnect(const std::string&, bool) { return -1; }
uint64_t AlsaSeqPortIdentity(const std::string&, bool) { return 0; }
void AlsaSeqDisconnect(const std::string&, bool) {}
std::vector<OwnPortLinks> AlsaSeqLinks() { return {}; }
void AlsaSeqRelink(const std::vector<OwnPortLinks>&) {}

#endif
