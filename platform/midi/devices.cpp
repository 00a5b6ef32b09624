/*
** The MIDI device table of the Linux layer and the Win32 MIDI calls over it: midiOut* and
** midiIn*, plus the test devices of testing.h (capture outputs, loopback inputs).
**
** The table lists the devices as they are when midiOutGetNumDevs or midiInGetNumDevs is
** called, as Windows does when devices are plugged in and out; the program's own clients
** are opened at the first call (ports.cpp):
**   outputs  0  the built-in GM synthesizer, when a soundfont is installed (made then, kept)
**            1  the own output port "Tamborix MIDI Out", while a MIDI system holds it
**            2… the other programs' ports that take MIDI (ALSA sequencer, then JACK)
**   inputs   0  the own input port "Tamborix MIDI In"
**            1… the other programs' ports that give MIDI
** Opening a system output connects the own output port to it for as long as it is open, and
** opening a system input connects it to the own input port; a connection that was there
** before (a patchbay's) is left as it is at the close. So the own ports, and everything
** patched to them, live from the program's start to its end; the app's open and close
** around each run only attach to them. Device numbers are indexes into the table of the
** last count; an open handle keeps its port by name whatever the table does later. Names
** are made unique within the caps' 31 characters. SetMidiDevices replaces the table with
** test devices (ChangeMidiDevices changes them as plugging would); MidiReset forgets it.
**
** The ports' watch, a thread that looks every kWatchMs while the table lives: a port of an
** open handle that went away is connected again when it comes back, by name; a JACK server
** that stops leaves the synth on the next audio system and the client closed, and a server
** that runs again (or for the first time) gets the own client, the synth's ports and the
** handles' connections back. Nothing of it holds a lock that the window's calls wait on
** for longer than a connection takes.
**
** Time stamps (midi_internal.h): a message sent from inside a timer callback carries that
** callback's due time, or that time and an offset (TbxMidiOutShortMsgAt: a MIDI clock
** between two events), so the synth and the JACK port play it on its own frame; a message
** sent while MIDI
** input is delivered (the echo) plays at once; any other message carries the time it was
** sent, so that nothing sent later overtakes the notes queued before it (the All Notes Off
** at a stop comes after the run's last notes).
**
** Handles are pointers to the records below, checked against the list of open handles, so a
** stale or foreign handle gives MMSYSERR_INVALHANDLE instead of a crash.
**
** Threads. midiOutShortMsg comes from the timer thread (notes), the MIDI input thread
** (echo) and the window thread (start, stop) at once; every send runs under gOutMu, which
** also keeps a handle from being closed under a send and makes each output queue single-
** producer. Input callbacks run on the own ports' input threads or, for loopback devices,
** on the thread that calls SendMidiInput; no lock is held while the program's callback
** runs, and midiInClose returns only when no delivery to that handle is in progress.
*/
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/internal.h"
#include "platform/midi/midi_internal.h"
#include "platform/midi/synth_render.h"
#include "platform/testing.h"
#include "platform/win32.h"

#define OWN_OUT_NAME "Tamborix MIDI Out"   /* the own output port's device */
#define OWN_IN_NAME "Tamborix MIDI In"     /* the own input port's device */

namespace {

enum class OutKind { Synth, Own, System, Capture };
enum class InKind { Own, System, Loopback };

struct OutDevice {
  OutKind kind;
  std::string name;     /* as the caps show it: unique, at most 31 characters */
  SystemPort port;      /* OutKind::System */
};

struct InDevice {
  InKind kind;
  std::string name;
  SystemPort port;      /* InKind::System */
};

/* The device table (guarded by gTableMu). */
struct DeviceTable {
  bool built = false;             /* enumerated or set by a test since the last reset */
  bool test = false;              /* test devices: not enumerated */
  std::vector<OutDevice> outs;
  std::vector<InDevice> ins;
};

constexpr uint32_t kOutMagic = 0x54424F55;   /* 'TBOU': a live output record */
constexpr uint32_t kInMagic = 0x5442494E;    /* 'TBIN': a live input record */
constexpr int kDrainMs = 500;                /* longest wait for queued output at a close */
constexpr int kMaxDeliveries = 8;            /* open inputs one message reaches */
constexpr int kWatchMs = 250;                /* the ports' watch looks this often */

struct MidiOutRecord {
  uint32_t magic;
  int device;                     /* index in the table */
  OutKind kind;
  SystemPort port;                /* OutKind::System */
  bool connected;                 /* the open or the watch made the connection to port (and
                                  ** the close undoes it); under gConnectMu once listed */
  uint8_t runningStatus;          /* last channel status sent (under gOutMu) */
  uint64_t seen = 0;              /* the port the open or the watch last found (PortsIdentity) */
  bool lost = false;              /* the watch found it gone since; both under gConnectMu */
};

typedef void(CALLBACK* MidiInProc)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct MidiInRecord {
  uint32_t magic;
  int device;
  InKind kind;
  SystemPort port;                /* InKind::System */
  bool connected;                 /* the open or the watch made the connection from port */
  uint64_t seen = 0;              /* as for outputs */
  bool lost = false;
  MidiInProc proc;                /* nullptr with CALLBACK_NULL */
  DWORD_PTR instance;
  std::atomic<bool> started{false};      /* between midiInStart and midiInStop/Reset/Close */
  std::atomic<DWORD> startMs{0};         /* timeGetTime at midiInStart: MIM_DATA time base */
  std::atomic<int> inFlight{0};          /* deliveries running now */
};

std::mutex gTableMu;                      /* guards gTable */
DeviceTable gTable;                       /* the devices; see DeviceTable */

std::mutex gOutMu;                        /* guards gOuts and gCaptured; held through a send */
std::vector<MidiOutRecord*> gOuts;        /* open outputs */
std::vector<tbxtest::MidiRecord> gCaptured;  /* what the capture outputs received, in order */

std::mutex gInMu;                         /* guards gIns */
std::vector<MidiInRecord*> gIns;          /* open inputs */

/* A record taken out of its list is freed only under gConnectMu, which the watch holds while
** it connects the listed ones: what it found stays allocated while it works on it. */
std::mutex gConnectMu;

struct Watch {
  std::mutex mu;                          /* guards quit */
  std::condition_variable wake;
  bool quit = false;
  std::thread thread;                     /* the ports' watch; joinable while it runs */
};
Watch gWatch;

thread_local MidiInRecord* tlsDelivering = nullptr;  /* input being delivered on this thread */
thread_local int64_t tlsDeliveredNs = 0;             /* ... the steady ns its message came */

std::atomic<SendObserver> gSendObserver{nullptr};  /* see MidiSetSendObserver; any thread */

void ShutDownAtExit();
void WatchThread();

void StartWatch() {
  std::lock_guard<std::mutex> lock(gWatch.mu);
  gWatch.quit = false;
  if (!gWatch.thread.joinable()) gWatch.thread = std::thread(WatchThread);
}

/* Lists the devices as they are now (gTableMu held; a test's stay as they were set). */
void ListLocked() {
  if (gTable.test) return;
  gTable.outs.clear();
  gTable.ins.clear();
  if (!SynthSoundfontPath().empty()) gTable.outs.push_back({OutKind::Synth, SYNTH_PRODUCT_NAME, {}});
  if (PortsOwn(PortApi::None)) {
    gTable.outs.push_back({OutKind::Own, OWN_OUT_NAME, {}});
    gTable.ins.push_back({InKind::Own, OWN_IN_NAME, {}});
  }
  for (const SystemPort& p : PortsList(false)) gTable.outs.push_back({OutKind::System, p.name, p});
  for (const SystemPort& p : PortsList(true)) gTable.ins.push_back({InKind::System, p.name, p});
  std::vector<std::string> outNames, inNames;
  for (const OutDevice& d : gTable.outs) outNames.push_back(d.name);
  for (const InDevice& d : gTable.ins) inNames.push_back(d.name);
  outNames = MidiDeviceNames(outNames);
  inNames = MidiDeviceNames(inNames);
  for (size_t i = 0; i < outNames.size(); i++) gTable.outs[i].name = outNames[i];
  for (size_t i = 0; i < inNames.size(); i++) gTable.ins[i].name = inNames[i];
}

/* The first use since a reset: the own clients, the synth and the watch, then the list. */
void BuildTableLocked() {
  if (gTable.built) return;
  gTable = DeviceTable();
  gTable.built = true;
  static std::once_flag atExit;
  std::call_once(atExit, [] { std::atexit(ShutDownAtExit); });
  PortsOpen();
  ListLocked();
  /* The synth is made now, so that its audio ports exist before the first Play; a machine
  ** without audio says why at the open that fails. */
  if (!gTable.outs.empty() && gTable.outs[0].kind == OutKind::Synth) SynthStart(nullptr);
  StartWatch();
}

/* Copies device `id` of the table (building it first); false when there is no such device. */
bool GetOutDevice(UINT id, OutDevice* dev) {
  std::lock_guard<std::mutex> lock(gTableMu);
  BuildTableLocked();
  if (id >= gTable.outs.size()) return false;
  *dev = gTable.outs[id];
  return true;
}

bool GetInDevice(UINT id, InDevice* dev) {
  std::lock_guard<std::mutex> lock(gTableMu);
  BuildTableLocked();
  if (id >= gTable.ins.size()) return false;
  *dev = gTable.ins[id];
  return true;
}

void CopyName(CHAR* dst, const std::string& name) {
  size_t n = std::min(name.size(), static_cast<size_t>(MAXPNAMELEN - 1));
  std::memcpy(dst, name.data(), n);
  dst[n] = '\0';
}

MidiOutRecord* FindOutLocked(HMIDIOUT h) {
  MidiOutRecord* r = reinterpret_cast<MidiOutRecord*>(h);
  return std::find(gOuts.begin(), gOuts.end(), r) != gOuts.end() ? r : nullptr;
}

MidiInRecord* FindInLocked(HMIDIIN h) {
  MidiInRecord* r = reinterpret_cast<MidiInRecord*>(h);
  return std::find(gIns.begin(), gIns.end(), r) != gIns.end() ? r : nullptr;
}

/* The stamp of a message sent now from this thread (see the top of the file). */
int64_t SendStamp() {
  if (tlsDelivering) return kDueNow;
  int64_t due;
  if (TimerCallbackDue(&due)) return due;
  return MidiSteadyNs();
}

/* Sends one word to an open output (gOutMu held). */
MMRESULT SendLocked(MidiOutRecord* r, DWORD msg, int64_t due) {
  if (SendObserver observer = gSendObserver.load()) observer(r->device, msg, due);
  if (r->kind == OutKind::Capture) {
    gCaptured.push_back({tbxtest::ClockNow(), r->device, msg});
    return MMSYSERR_NOERROR;
  }
  unsigned char bytes[3];
  size_t n = ShortMsgBytes(msg, &r->runningStatus, bytes);
  if (n == 0) return MMSYSERR_INVALPARAM;
  bool sent = false;
  switch (r->kind) {
    case OutKind::Synth:
      /* A synth has no use for the clock and its Start and Stop: whoever keeps time with
      ** the program is patched to its own output port. */
      if (bytes[0] >= 0xF8) sent = PortsSend(PortApi::None, due, StampPack(bytes, n));
      else sent = SynthQueue(due, StampPack(bytes, n));
      break;
    case OutKind::Own: sent = PortsSend(PortApi::None, due, StampPack(bytes, n)); break;
    case OutKind::System: sent = PortsSend(r->port.api, due, StampPack(bytes, n)); break;
    case OutKind::Capture: break;
  }
  return sent ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
}

/* Ends what an output's open began (the record is already out of gOuts; a pass of the watch
** that found it before has ended once gConnectMu is ours). */
void FreeOut(MidiOutRecord* r) {
  {
    std::lock_guard<std::mutex> lock(gConnectMu);
    if (r->kind == OutKind::System && r->connected) {
      PortsDrain(r->port.api, kDrainMs);   /* the run's last notes leave before the cable goes */
      PortsDisconnect(r->port, false);
    }
  }
  r->magic = 0;
  delete r;
}

/* Stops deliveries to an input already taken out of gIns and frees it. */
void FreeIn(MidiInRecord* r) {
  r->started = false;
  {
    std::lock_guard<std::mutex> lock(gConnectMu);
    if (r->kind == InKind::System && r->connected) PortsDisconnect(r->port, true);
  }
  if (tlsDelivering == r) {
    /* Closed from inside its own callback: the delivery still holds the record, so it is
    ** left allocated (a few bytes) rather than freed under its caller. */
    r->magic = 0;
    return;
  }
  while (r->inFlight.load() > 0) std::this_thread::yield();
  r->magic = 0;
  delete r;
}

/* Hands a message that reached the input at steady-clock `steadyNs` to its callback, with
** the ms from midiInStart to its arrival. */
void Deliver(MidiInRecord* r, DWORD message, int64_t steadyNs) {
  if (!r->proc || !r->started.load()) return;
  DWORD stamp = timeGetTime() - r->startMs.load();
  const int64_t age = (MidiSteadyNs() - steadyNs) / 1000000;
  if (age > 0) stamp -= static_cast<DWORD>(std::min<int64_t>(age, stamp));
  MidiInRecord* outer = tlsDelivering;
  const int64_t outerNs = tlsDeliveredNs;
  tlsDelivering = r;
  tlsDeliveredNs = steadyNs;
  r->proc(reinterpret_cast<HMIDIIN>(r), MIM_DATA, r->instance, message, stamp);
  tlsDelivering = outer;
  tlsDeliveredNs = outerNs;
}

/* Closes every open device without telling the program. */
void CloseAll() {
  std::vector<MidiOutRecord*> outs;
  std::vector<MidiInRecord*> ins;
  {
    std::lock_guard<std::mutex> lock(gOutMu);
    outs.swap(gOuts);
  }
  {
    std::lock_guard<std::mutex> lock(gInMu);
    ins.swap(gIns);
  }
  for (MidiInRecord* r : ins) FreeIn(r);
  for (MidiOutRecord* r : outs) FreeOut(r);
}

/* ---------------------------------------------------------------- the ports' watch */

/* Connects an open handle's port again when it is back: after the watch found it gone, or
** made anew between two looks. A port there all along keeps what a patchbay did to it. */
template <class Record>
void Rejoin(Record* r, bool input) {
  const uint64_t identity = PortsIdentity(r->port, input);
  if (identity == 0) {
    r->lost = true;
    return;
  }
  if (!r->lost && identity == r->seen) return;
  const int made = PortsConnect(r->port, input);
  if (made < 0) return;
  r->lost = false;
  r->seen = identity;
  if (made == 1) r->connected = true;
}

/* One look (see the top of the file). */
void WatchOnce() {
  if (JackGone()) {
    SynthJackChanged(false);   /* to the next audio system, before the client goes */
    JackClose();
  }
  if (JackBuilt() && !JackAlive() && JackOpen()) SynthJackChanged(true);
  std::lock_guard<std::mutex> lock(gConnectMu);
  std::vector<MidiOutRecord*> outs;
  std::vector<MidiInRecord*> ins;
  {
    std::lock_guard<std::mutex> outLock(gOutMu);
    for (MidiOutRecord* r : gOuts)
      if (r->kind == OutKind::System) outs.push_back(r);
  }
  {
    std::lock_guard<std::mutex> inLock(gInMu);
    for (MidiInRecord* r : gIns)
      if (r->kind == InKind::System) ins.push_back(r);
  }
  for (MidiOutRecord* r : outs) Rejoin(r, false);
  for (MidiInRecord* r : ins) Rejoin(r, true);
}

void WatchThread() {
  std::unique_lock<std::mutex> lock(gWatch.mu);
  while (!gWatch.quit) {
    gWatch.wake.wait_for(lock, std::chrono::milliseconds(kWatchMs));
    if (gWatch.quit) break;
    lock.unlock();
    WatchOnce();
    lock.lock();
  }
}

void StopWatch() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(gWatch.mu);
    gWatch.quit = true;
    thread = std::move(gWatch.thread);
  }
  gWatch.wake.notify_all();
  if (thread.joinable()) thread.join();
}

/* Everything the layer holds, in the order that keeps each part's users away from it: the
** watch, the handles, then the synth (its audio may run on the JACK client), then the
** clients. */
void ShutDown() {
  StopWatch();
  CloseAll();
  SynthStop();
  PortsClose();
}

/* The own clients and the synth end with the program, not with the process's sockets:
** registered at the first building of the table, the handler runs before the destructor of
** any static object (the clients' threads, the locks) of this layer. */
void ShutDownAtExit() {
  ShutDown();
}

std::string Shorten(const std::string& name, size_t max) {
  if (name.size() <= max) return name;
  const size_t head = (max - 3) * 2 / 5, tail = max - 3 - head;   /* more of the end */
  return name.substr(0, head) + "..." + name.substr(name.size() - tail);
}

}  // namespace

/* The name without a trailing " c:p" (digits, a colon, digits), or "" when it has none. */
static std::string WithoutAddress(const std::string& name) {
  size_t i = name.size();
  const auto digits = [&] {
    const size_t end = i;
    while (i > 0 && name[i - 1] >= '0' && name[i - 1] <= '9') i--;
    return i < end;
  };
  if (!digits() || i == 0 || name[--i] != ':' || !digits() || i == 0 || name[--i] != ' ') return "";
  return name.substr(0, i);
}

bool MidiPortNamesAlike(const std::string& a, const std::string& b) {
  const std::string stem = WithoutAddress(a);
  return !stem.empty() && stem == WithoutAddress(b);
}

std::vector<std::string> MidiDeviceNames(const std::vector<std::string>& full) {
  constexpr size_t kMax = MAXPNAMELEN - 1;
  std::vector<std::string> names;
  for (const std::string& name : full) {
    std::string shown = Shorten(name, kMax);
    for (int k = 2; std::find(names.begin(), names.end(), shown) != names.end(); k++) {
      const std::string suffix = " #" + std::to_string(k);
      shown = Shorten(name, kMax - suffix.size()) + suffix;
    }
    names.push_back(shown);
  }
  return names;
}

/* Input thread of an own port: one message for every started input on a port. */
void MidiPortInput(const unsigned char* bytes, size_t size, int64_t steadyNs) {
  if (size == 0 || bytes[0] < 0x80) return;
  DWORD message = bytes[0];
  if (size > 1) message |= static_cast<DWORD>(bytes[1]) << 8;
  if (size > 2) message |= static_cast<DWORD>(bytes[2]) << 16;
  MidiInRecord* to[kMaxDeliveries];
  int n = 0;
  {
    std::lock_guard<std::mutex> lock(gInMu);
    for (MidiInRecord* r : gIns)
      if (r->kind != InKind::Loopback && r->started.load() && r->proc && n < kMaxDeliveries) {
        r->inFlight++;
        to[n++] = r;
      }
  }
  for (int i = 0; i < n; i++) {
    Deliver(to[i], message, steadyNs);
    to[i]->inFlight--;
  }
}

/* ---------------------------------------------------------------- outputs */

UINT WINAPI midiOutGetNumDevs(void) {
  std::lock_guard<std::mutex> lock(gTableMu);
  if (gTable.built) ListLocked();
  BuildTableLocked();
  return static_cast<UINT>(gTable.outs.size());
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc) {
  if (!pmoc) return MMSYSERR_INVALPARAM;
  OutDevice dev;
  if (uDeviceID == MIDI_MAPPER || uDeviceID == static_cast<UINT_PTR>(-1)) {
    if (midiOutGetNumDevs() == 0) return MMSYSERR_BADDEVICEID;
    dev = {OutKind::System, "MIDI Mapper", {}};
  } else if (uDeviceID > 0xFFFFFFFFu || !GetOutDevice(static_cast<UINT>(uDeviceID), &dev)) {
    return MMSYSERR_BADDEVICEID;
  }
  MIDIOUTCAPSA caps;
  std::memset(&caps, 0, sizeof caps);
  caps.wMid = 0xFFFF;                /* no registered manufacturer */
  caps.wPid = static_cast<WORD>(dev.kind);
  caps.vDriverVersion = 0x0100;
  CopyName(caps.szPname, dev.name);
  caps.wChannelMask = 0xFFFF;
  if (dev.kind == OutKind::Synth) {
    caps.wTechnology = MOD_SWSYNTH;
    caps.wVoices = 256;              /* FluidSynth's default polyphony */
    caps.wNotes = 256;
  } else {
    caps.wTechnology = MOD_MIDIPORT;
  }
  std::memcpy(pmoc, &caps, std::min<size_t>(cbmoc, sizeof caps));
  return MMSYSERR_NOERROR;
}

/* No callback is ever made to an output's owner (MOM_* are not sent); CALLBACK_NULL and
** CALLBACK_FUNCTION are both accepted. The synth that cannot play (no audio, no soundfont)
** fails with MMSYSERR_ERROR and says why on stderr, once per failed open. */
MMRESULT WINAPI midiOutOpen(LPHMIDIOUT phmo, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                            DWORD fdwOpen) {
  (void)dwCallback;
  (void)dwInstance;
  if (!phmo) return MMSYSERR_INVALPARAM;
  *phmo = nullptr;
  DWORD type = fdwOpen & CALLBACK_TYPEMASK;
  if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  if (uDeviceID == MIDI_MAPPER) uDeviceID = 0;   /* the mapper plays on the first device */
  OutDevice dev;
  if (!GetOutDevice(uDeviceID, &dev)) return MMSYSERR_BADDEVICEID;
  if (FaultStrikes(tbxtest::Fault::MidiOutOpen)) return MMSYSERR_ALLOCATED;

  int connected = 0;
  std::string why;
  std::string dropped;
  if (dev.kind == OutKind::Synth && !SynthStart(&why, &dropped)) {
    std::fprintf(stderr, "tamborix: %s cannot play: %s\n", SYNTH_PRODUCT_NAME, why.c_str());
    return MMSYSERR_ERROR;
  }
  if (!dropped.empty())
    std::fprintf(stderr, "tamborix: the soundfont %s cannot be loaded; playing with the distribution's\n",
                 dropped.c_str());
  if (dev.kind == OutKind::Own && !PortsOwn(PortApi::None)) return MMSYSERR_ERROR;
  if (dev.kind == OutKind::System && (connected = PortsConnect(dev.port, false)) < 0) return MMSYSERR_ERROR;
  MidiOutRecord* r =
      new MidiOutRecord{kOutMagic, static_cast<int>(uDeviceID), dev.kind, dev.port, connected == 1, 0};
  if (dev.kind == OutKind::System) r->seen = PortsIdentity(dev.port, false);
  std::lock_guard<std::mutex> lock(gOutMu);
  gOuts.push_back(r);
  *phmo = reinterpret_cast<HMIDIOUT>(r);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
  return TbxMidiOutShortMsgAt(hmo, dwMsg, 0);
}

MMRESULT TbxMidiOutShortMsgAt(HMIDIOUT hmo, DWORD dwMsg, LONG offsetUs) {
  std::lock_guard<std::mutex> lock(gOutMu);
  MidiOutRecord* r = FindOutLocked(hmo);
  if (!r) return MMSYSERR_INVALHANDLE;
  int64_t due = SendStamp();
  if (due != kDueNow) due += static_cast<int64_t>(offsetUs) * 1000;
  return SendLocked(r, dwMsg, due);
}

/* The synth and the own ports stay; the synth releases every note it holds, as a device
** does when it is let go of, after what was sent before. */
MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) {
  MidiOutRecord* r;
  {
    std::lock_guard<std::mutex> lock(gOutMu);
    r = FindOutLocked(hmo);
    if (!r) return MMSYSERR_INVALHANDLE;
    gOuts.erase(std::find(gOuts.begin(), gOuts.end(), r));
    if (r->kind == OutKind::Synth) SynthReleaseNotes();
  }
  FreeOut(r);
  return MMSYSERR_NOERROR;
}

/* Driver messages (win32.h: TBXM_*) of the built-in synthesizer, addressed by its device
** id cast to a handle; anything else is not supported. A new soundfont is loaded at once
** by making the synthesizer again, which only a synthesizer that no run holds open allows. */
MMRESULT WINAPI midiOutMessage(HMIDIOUT hmo, UINT msg, DWORD_PTR dw1, DWORD_PTR dw2) {
  OutDevice dev;
  const UINT_PTR id = reinterpret_cast<UINT_PTR>(hmo);
  if (id > 0xFFFFFFFFu || !GetOutDevice(static_cast<UINT>(id), &dev) || dev.kind != OutKind::Synth)
    return MMSYSERR_NOTSUPPORTED;
  switch (msg) {
    case TBXM_SETSOUNDFONT: {
      std::lock_guard<std::mutex> lock(gOutMu);
      for (const MidiOutRecord* r : gOuts)
        if (r->kind == OutKind::Synth) return MMSYSERR_ALLOCATED;
      return SynthUseSoundfont(dw1 ? reinterpret_cast<const char*>(dw1) : "") ? MMSYSERR_NOERROR
                                                                              : MMSYSERR_INVALPARAM;
    }
    case TBXM_GETSOUNDFONT: {
      char* buffer = reinterpret_cast<char*>(dw1);
      const std::string path = SynthSoundfontPath();
      if (!buffer || dw2 == 0) return MMSYSERR_INVALPARAM;
      if (path.size() >= dw2) return MMSYSERR_MOREDATA;
      std::memcpy(buffer, path.c_str(), path.size() + 1);
      return MMSYSERR_NOERROR;
    }
    case TBXM_SETGAIN:
      if (dw1 > TBX_SYNTH_GAIN_MAX) return MMSYSERR_INVALPARAM;
      SynthSetGain(static_cast<double>(dw1) / 1000.0);
      return MMSYSERR_NOERROR;
    case TBXM_GETGAIN:
      if (!dw1) return MMSYSERR_INVALPARAM;
      *reinterpret_cast<DWORD*>(dw1) = static_cast<DWORD>(SynthGain() * 1000.0 + 0.5);
      return MMSYSERR_NOERROR;
    default: return MMSYSERR_NOTSUPPORTED;
  }
}

/* ---------------------------------------------------------------- inputs */

LONGLONG TbxMidiInTimeUs(void) {
  return TimerClockUs(tlsDelivering ? tlsDeliveredNs : MidiSteadyNs());
}

UINT WINAPI midiInGetNumDevs(void) {
  std::lock_guard<std::mutex> lock(gTableMu);
  if (gTable.built) ListLocked();
  BuildTableLocked();
  return static_cast<UINT>(gTable.ins.size());
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic) {
  if (!pmic) return MMSYSERR_INVALPARAM;
  InDevice dev;
  if (uDeviceID > 0xFFFFFFFFu || !GetInDevice(static_cast<UINT>(uDeviceID), &dev))
    return MMSYSERR_BADDEVICEID;
  MIDIINCAPSA caps;
  std::memset(&caps, 0, sizeof caps);
  caps.wMid = 0xFFFF;
  caps.wPid = static_cast<WORD>(dev.kind);
  caps.vDriverVersion = 0x0100;
  CopyName(caps.szPname, dev.name);
  std::memcpy(pmic, &caps, std::min<size_t>(cbmic, sizeof caps));
  return MMSYSERR_NOERROR;
}

/* CALLBACK_FUNCTION gets MIM_OPEN now, MIM_DATA (status | data1 << 8 | data2 << 16, and the
** ms since midiInStart) for every short message while started, and MIM_CLOSE from
** midiInClose; system exclusive and active sensing are not delivered (the timing clock is,
** as on Windows). */
MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                           DWORD fdwOpen) {
  if (!phmi) return MMSYSERR_INVALPARAM;
  *phmi = nullptr;
  DWORD type = fdwOpen & CALLBACK_TYPEMASK;
  if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  if (type == CALLBACK_FUNCTION && dwCallback == 0) return MMSYSERR_INVALPARAM;
  InDevice dev;
  if (!GetInDevice(uDeviceID, &dev)) return MMSYSERR_BADDEVICEID;
  if (FaultStrikes(tbxtest::Fault::MidiInOpen)) return MMSYSERR_ALLOCATED;

  int connected = 0;
  if (dev.kind == InKind::Own && !PortsOwn(PortApi::None)) return MMSYSERR_ERROR;
  if (dev.kind == InKind::System && (connected = PortsConnect(dev.port, true)) < 0) return MMSYSERR_ERROR;
  MidiInRecord* r = new MidiInRecord;
  r->magic = kInMagic;
  r->device = static_cast<int>(uDeviceID);
  r->kind = dev.kind;
  r->port = dev.port;
  r->connected = connected == 1;
  if (dev.kind == InKind::System) r->seen = PortsIdentity(dev.port, true);
  r->proc = type == CALLBACK_FUNCTION ? reinterpret_cast<MidiInProc>(dwCallback) : nullptr;
  r->instance = dwInstance;
  {
    std::lock_guard<std::mutex> lock(gInMu);
    gIns.push_back(r);
  }
  *phmi = reinterpret_cast<HMIDIIN>(r);
  if (r->proc) r->proc(*phmi, MIM_OPEN, r->instance, 0, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStart(HMIDIIN hmi) {
  std::lock_guard<std::mutex> lock(gInMu);
  MidiInRecord* r = FindInLocked(hmi);
  if (!r) return MMSYSERR_INVALHANDLE;
  if (!r->started.load()) {
    r->startMs = timeGetTime();
    r->started = true;
  }
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInStop(HMIDIIN hmi) {
  std::lock_guard<std::mutex> lock(gInMu);
  MidiInRecord* r = FindInLocked(hmi);
  if (!r) return MMSYSERR_INVALHANDLE;
  r->started = false;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiInClose(HMIDIIN hmi) {
  MidiInRecord* r;
  {
    std::lock_guard<std::mutex> lock(gInMu);
    r = FindInLocked(hmi);
    if (!r) return MMSYSERR_INVALHANDLE;
    gIns.erase(std::find(gIns.begin(), gIns.end(), r));
  }
  MidiInProc proc = r->proc;
  DWORD_PTR instance = r->instance;
  FreeIn(r);
  if (proc) proc(hmi, MIM_CLOSE, instance, 0, 0);
  return MMSYSERR_NOERROR;
}

/* ---------------------------------------------------------------- test devices */

namespace tbxtest {

void SetMidiDevices(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs) {
  CloseAll();
  ChangeMidiDevices(outputs, inputs);
  std::lock_guard<std::mutex> outLock(gOutMu);
  gCaptured.clear();
}

void ChangeMidiDevices(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs) {
  std::lock_guard<std::mutex> lock(gTableMu);
  gTable = DeviceTable();
  gTable.built = true;
  gTable.test = true;
  for (const std::string& name : outputs) gTable.outs.push_back({OutKind::Capture, name, {}});
  for (const std::string& name : inputs) gTable.ins.push_back({InKind::Loopback, name, {}});
}

const std::vector<MidiRecord>& CapturedMidi() {
  return gCaptured;
}

void ClearCapturedMidi() {
  std::lock_guard<std::mutex> lock(gOutMu);
  gCaptured.clear();
}

int OpenMidiOutputs() {
  std::lock_guard<std::mutex> lock(gOutMu);
  return static_cast<int>(gOuts.size());
}

int OpenMidiInputs() {
  std::lock_guard<std::mutex> lock(gInMu);
  return static_cast<int>(gIns.size());
}

bool SendMidiInput(int device, DWORD message) {
  MidiInRecord* r = nullptr;
  {
    std::lock_guard<std::mutex> lock(gInMu);
    for (MidiInRecord* in : gIns)
      if (in->device == device && in->kind == InKind::Loopback && in->started.load() && in->proc) r = in;
    if (!r) return false;
    r->inFlight++;
  }
  Deliver(r, message, MidiSteadyNs());
  r->inFlight--;
  return true;
}

}  // namespace tbxtest

/* ---------------------------------------------------------------- the own clients' name */

/* The synth's audio lives on the own JACK client: it goes with the client and comes back on
** the new one. What was connected to the own ports (the synth's included) is connected again,
** where the other end is still there. */
void TbxMidiClientName(const char* name) {
  std::lock_guard<std::mutex> lock(gTableMu);
  if (!name || !*name || PortsName() == name) return;
  PortsSetName(name);
  /* Opened when the table was built (a test's table has no own ports and opens nothing). */
  const bool open = std::any_of(gTable.outs.begin(), gTable.outs.end(),
                                [](const OutDevice& d) { return d.kind == OutKind::Own || d.kind == OutKind::Synth; });
  if (!gTable.built || !open) return;
  /* The watch would open the JACK client itself (and move the synth) while it is gone. */
  StopWatch();
  const std::vector<OwnPortLinks> links = PortsLinks();
  const bool synthOnJack = SynthBackend() == "jack";
  if (synthOnJack) SynthStop();
  PortsClose();
  PortsOpen();
  if (synthOnJack) SynthStart(nullptr);
  PortsRelink(links);
  StartWatch();
}

/* ---------------------------------------------------------------- reset */

void MidiSetSendObserver(SendObserver observer) {
  gSendObserver = observer;
}

void MidiReset() {
  gSendObserver = nullptr;
  TransportReset();
  SynthSetupReset();
  ShutDown();
  PortsSetName("Tamborix");
  std::lock_guard<std::mutex> lock(gTableMu);
  gTable = DeviceTable();
  std::lock_guard<std::mutex> outLock(gOutMu);
  gCaptured.clear();
}
