/*
** The MIDI device table of the Linux layer and the Win32 MIDI calls over it: midiOut* and
** midiIn*, plus the test devices of testing.h (capture outputs, loopback inputs).
**
** The table is built at first use: output 0 is the built-in GM synthesizer when a soundfont
** is installed, then the output ports of the MIDI system PortsProbe finds (ALSA sequencer,
** else JACK); the inputs are that system's input ports. SetMidiDevices replaces it with test
** devices; MidiReset forgets it, so the next use enumerates again. Device numbers are indexes
** into the table and stay fixed until then, as on Windows.
**
** Handles are pointers to the records below, checked against the list of open handles, so a
** stale or foreign handle gives MMSYSERR_INVALHANDLE instead of a crash.
**
** Threads. midiOutShortMsg comes from the timer thread (notes) and the MIDI input thread
** (echo) at once; every send runs under gOutMu, which also keeps a handle from being closed
** under a send. Input callbacks run on the port's own thread (RtMidi, JACK) or, for loopback
** devices, on the thread that calls SendMidiInput; no lock is held while the program's
** callback runs, and midiInClose returns only when no delivery is in progress.
*/
#include <algorithm>
#include <atomic>
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

namespace {

enum class OutKind { Synth, Port, Capture };
enum class InKind { Port, Loopback };

struct OutDevice {
  OutKind kind;
  std::string name;     /* full name; the caps carry its first 31 characters */
};

struct InDevice {
  InKind kind;
  std::string name;
};

/* The device table (guarded by gTableMu). */
struct DeviceTable {
  bool built = false;             /* enumerated or set by a test since the last reset */
  PortApi api = PortApi::None;    /* the MIDI system the ports belong to */
  std::vector<OutDevice> outs;
  std::vector<InDevice> ins;
};

constexpr uint32_t kOutMagic = 0x54424F55;   /* 'TBOU': a live output record */
constexpr uint32_t kInMagic = 0x5442494E;    /* 'TBIN': a live input record */

struct MidiOutRecord {
  uint32_t magic;
  int device;                     /* index in the table */
  OutKind kind;
  LiveSynth* synth;               /* OutKind::Synth */
  PortOut* port;                  /* OutKind::Port */
  uint8_t runningStatus;          /* last channel status sent to the port (under gOutMu) */
};

typedef void(CALLBACK* MidiInProc)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct MidiInRecord {
  uint32_t magic;
  int device;
  InKind kind;
  PortIn* port;                   /* InKind::Port */
  MidiInProc proc;                /* nullptr with CALLBACK_NULL */
  DWORD_PTR instance;
  std::atomic<bool> started{false};      /* between midiInStart and midiInStop/Reset/Close */
  std::atomic<DWORD> startMs{0};         /* timeGetTime at midiInStart: MIM_DATA time base */
  std::atomic<int> inFlight{0};          /* loopback deliveries running now */
};

std::mutex gTableMu;                      /* guards gTable */
DeviceTable gTable;                       /* the devices; see DeviceTable */

std::mutex gOutMu;                        /* guards gOuts and gCaptured; held through a send */
std::vector<MidiOutRecord*> gOuts;        /* open outputs */
std::vector<tbxtest::MidiRecord> gCaptured;  /* what the capture outputs received, in order */

std::mutex gInMu;                         /* guards gIns */
std::vector<MidiInRecord*> gIns;          /* open inputs */

thread_local MidiInRecord* tlsDelivering = nullptr;  /* loopback input being delivered here */

std::atomic<CaptureObserver> gCaptureObserver{nullptr};  /* see MidiSetCaptureObserver; any thread */

void BuildTableLocked() {
  if (gTable.built) return;
  gTable = DeviceTable();
  gTable.built = true;
  gTable.api = PortsProbe();
  if (!SynthSoundfontPath().empty()) gTable.outs.push_back({OutKind::Synth, SYNTH_PRODUCT_NAME});
  for (const std::string& name : PortsList(gTable.api, false)) gTable.outs.push_back({OutKind::Port, name});
  for (const std::string& name : PortsList(gTable.api, true)) gTable.ins.push_back({InKind::Port, name});
}

/* Copies device `id` of the table (building it first); false when there is no such device. */
bool GetOutDevice(UINT id, OutDevice* dev, PortApi* api) {
  std::lock_guard<std::mutex> lock(gTableMu);
  BuildTableLocked();
  if (id >= gTable.outs.size()) return false;
  *dev = gTable.outs[id];
  *api = gTable.api;
  return true;
}

bool GetInDevice(UINT id, InDevice* dev, PortApi* api) {
  std::lock_guard<std::mutex> lock(gTableMu);
  BuildTableLocked();
  if (id >= gTable.ins.size()) return false;
  *dev = gTable.ins[id];
  *api = gTable.api;
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

/* Sends one word to an open output (gOutMu held). */
MMRESULT SendLocked(MidiOutRecord* r, DWORD msg) {
  switch (r->kind) {
    case OutKind::Capture:
      if (CaptureObserver observer = gCaptureObserver.load()) observer(r->device, msg);
      gCaptured.push_back({tbxtest::ClockNow(), r->device, msg});
      return MMSYSERR_NOERROR;
    case OutKind::Synth:
      SynthSend(r->synth, msg);
      return MMSYSERR_NOERROR;
    case OutKind::Port: {
      unsigned char bytes[3];
      size_t n = ShortMsgBytes(msg, &r->runningStatus, bytes);
      if (n == 0) return MMSYSERR_INVALPARAM;
      return PortsSend(r->port, bytes, n) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    }
  }
  return MMSYSERR_ERROR;
}

void FreeOut(MidiOutRecord* r) {
  if (r->kind == OutKind::Synth) SynthClose(r->synth);
  if (r->kind == OutKind::Port) PortsCloseOut(r->port);
  r->magic = 0;
  delete r;
}

/* Stops deliveries to an input already taken out of gIns and frees it. */
void FreeIn(MidiInRecord* r) {
  r->started = false;
  if (r->kind == InKind::Port) PortsCloseIn(r->port);   /* returns after the port's last callback */
  if (tlsDelivering == r) {
    /* Closed from inside its own loopback callback: the delivery still holds the record, so
    ** it is left allocated (a few bytes) rather than freed under its caller. */
    r->magic = 0;
    return;
  }
  while (r->inFlight.load() > 0) std::this_thread::yield();
  r->magic = 0;
  delete r;
}

void Deliver(MidiInRecord* r, DWORD message) {
  if (!r->proc || !r->started.load()) return;
  DWORD stamp = timeGetTime() - r->startMs.load();
  r->proc(reinterpret_cast<HMIDIIN>(r), MIM_DATA, r->instance, message, stamp);
}

/* RtMidi input thread: one complete message of a started port. */
void PortInput(const unsigned char* bytes, size_t size, void* user) {
  MidiInRecord* r = static_cast<MidiInRecord*>(user);
  if (bytes[0] < 0x80) return;
  DWORD message = bytes[0];
  if (size > 1) message |= static_cast<DWORD>(bytes[1]) << 8;
  if (size > 2) message |= static_cast<DWORD>(bytes[2]) << 16;
  Deliver(r, message);
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

}  // namespace

/* ---------------------------------------------------------------- outputs */

UINT WINAPI midiOutGetNumDevs(void) {
  std::lock_guard<std::mutex> lock(gTableMu);
  BuildTableLocked();
  return static_cast<UINT>(gTable.outs.size());
}

MMRESULT WINAPI midiOutGetDevCapsA(UINT_PTR uDeviceID, LPMIDIOUTCAPSA pmoc, UINT cbmoc) {
  if (!pmoc) return MMSYSERR_INVALPARAM;
  OutDevice dev;
  PortApi api;
  if (uDeviceID == MIDI_MAPPER || uDeviceID == static_cast<UINT_PTR>(-1)) {
    if (midiOutGetNumDevs() == 0) return MMSYSERR_BADDEVICEID;
    dev = {OutKind::Port, "MIDI Mapper"};
  } else if (uDeviceID > 0xFFFFFFFFu || !GetOutDevice(static_cast<UINT>(uDeviceID), &dev, &api)) {
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
** CALLBACK_FUNCTION are both accepted. */
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
  PortApi api;
  if (!GetOutDevice(uDeviceID, &dev, &api)) return MMSYSERR_BADDEVICEID;
  if (FaultStrikes(tbxtest::Fault::MidiOutOpen)) return MMSYSERR_ALLOCATED;

  MidiOutRecord* r = new MidiOutRecord{kOutMagic, static_cast<int>(uDeviceID), dev.kind, nullptr, nullptr, 0};
  if (dev.kind == OutKind::Synth) {
    r->synth = SynthOpen();
    if (!r->synth) {
      delete r;
      return MMSYSERR_ERROR;
    }
  } else if (dev.kind == OutKind::Port) {
    r->port = PortsOpenOut(api, dev.name);
    if (!r->port) {
      delete r;
      return MMSYSERR_ERROR;
    }
  }
  std::lock_guard<std::mutex> lock(gOutMu);
  gOuts.push_back(r);
  *phmo = reinterpret_cast<HMIDIOUT>(r);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutShortMsg(HMIDIOUT hmo, DWORD dwMsg) {
  std::lock_guard<std::mutex> lock(gOutMu);
  MidiOutRecord* r = FindOutLocked(hmo);
  if (!r) return MMSYSERR_INVALHANDLE;
  return SendLocked(r, dwMsg);
}

/* Turns every note off on all 16 channels: sustain off, then All Notes Off. */
MMRESULT WINAPI midiOutReset(HMIDIOUT hmo) {
  std::lock_guard<std::mutex> lock(gOutMu);
  MidiOutRecord* r = FindOutLocked(hmo);
  if (!r) return MMSYSERR_INVALHANDLE;
  for (DWORD ch = 0; ch < 16; ch++) {
    SendLocked(r, 0xB0 | ch | (64 << 8));
    SendLocked(r, 0xB0 | ch | (123 << 8));
  }
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI midiOutClose(HMIDIOUT hmo) {
  MidiOutRecord* r;
  {
    std::lock_guard<std::mutex> lock(gOutMu);
    r = FindOutLocked(hmo);
    if (!r) return MMSYSERR_INVALHANDLE;
    gOuts.erase(std::find(gOuts.begin(), gOuts.end(), r));
  }
  FreeOut(r);
  return MMSYSERR_NOERROR;
}

/* ---------------------------------------------------------------- inputs */

UINT WINAPI midiInGetNumDevs(void) {
  std::lock_guard<std::mutex> lock(gTableMu);
  BuildTableLocked();
  return static_cast<UINT>(gTable.ins.size());
}

MMRESULT WINAPI midiInGetDevCapsA(UINT_PTR uDeviceID, LPMIDIINCAPSA pmic, UINT cbmic) {
  if (!pmic) return MMSYSERR_INVALPARAM;
  InDevice dev;
  PortApi api;
  if (uDeviceID > 0xFFFFFFFFu || !GetInDevice(static_cast<UINT>(uDeviceID), &dev, &api))
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
** midiInClose; system exclusive, timing clock and active sensing are not delivered. */
MMRESULT WINAPI midiInOpen(LPHMIDIIN phmi, UINT uDeviceID, DWORD_PTR dwCallback, DWORD_PTR dwInstance,
                           DWORD fdwOpen) {
  if (!phmi) return MMSYSERR_INVALPARAM;
  *phmi = nullptr;
  DWORD type = fdwOpen & CALLBACK_TYPEMASK;
  if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
  if (type == CALLBACK_FUNCTION && dwCallback == 0) return MMSYSERR_INVALPARAM;
  InDevice dev;
  PortApi api;
  if (!GetInDevice(uDeviceID, &dev, &api)) return MMSYSERR_BADDEVICEID;
  if (FaultStrikes(tbxtest::Fault::MidiInOpen)) return MMSYSERR_ALLOCATED;

  MidiInRecord* r = new MidiInRecord;
  r->magic = kInMagic;
  r->device = static_cast<int>(uDeviceID);
  r->kind = dev.kind;
  r->port = nullptr;
  r->proc = type == CALLBACK_FUNCTION ? reinterpret_cast<MidiInProc>(dwCallback) : nullptr;
  r->instance = dwInstance;
  if (dev.kind == InKind::Port) {
    r->port = PortsOpenIn(api, dev.name, PortInput, r);
    if (!r->port) {
      delete r;
      return MMSYSERR_ERROR;
    }
  }
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

/* No long-message buffers exist, so a reset is a stop. */
MMRESULT WINAPI midiInReset(HMIDIIN hmi) {
  return midiInStop(hmi);
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
  std::lock_guard<std::mutex> lock(gTableMu);
  gTable = DeviceTable();
  gTable.built = true;
  for (const std::string& name : outputs) gTable.outs.push_back({OutKind::Capture, name});
  for (const std::string& name : inputs) gTable.ins.push_back({InKind::Loopback, name});
  std::lock_guard<std::mutex> outLock(gOutMu);
  gCaptured.clear();
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
  MidiInRecord* outer = tlsDelivering;
  tlsDelivering = r;
  Deliver(r, message);
  tlsDelivering = outer;
  r->inFlight--;
  return true;
}

}  // namespace tbxtest

/* ---------------------------------------------------------------- reset */

void MidiSetCaptureObserver(CaptureObserver observer) {
  gCaptureObserver = observer;
}

void MidiReset() {
  gCaptureObserver = nullptr;
  SynthOverrideSoundfont(nullptr);
  CloseAll();
  std::lock_guard<std::mutex> lock(gTableMu);
  gTable = DeviceTable();
  std::lock_guard<std::mutex> outLock(gOutMu);
  gCaptured.clear();
}
