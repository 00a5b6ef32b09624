/*
** The JACK transport as the program sees it (platform/sync.h): its state, with a start or
** stop asked for here counted as done until the server has taken it (a cycle saw it, or
** half a second passed), so that a request is never mistaken for its opposite coming from
** elsewhere, nor one from elsewhere hidden for long behind it; starting and stopping
** it; the watch, told on the JACK client's input thread whenever it starts or stops; the
** timebase master and its grid; and the transport as a run that follows it sees it. The
** client is the program's own (jack.cpp), opened here when a call needs it and a server
** runs. Times cross to the program on the timer's clock (TimerClockUs).
*/
#include <atomic>

#include "platform/midi/midi_internal.h"
#include "platform/win32.h"

namespace {

constexpr int64_t kAskedNs = 500000000;   /* longest a request counts as done unseen */

std::atomic<int> gAsked{-1};              /* 1 start, 0 stop asked for and not yet seen; -1 none */
std::atomic<int64_t> gAskedNs{0};         /* steady-clock ns of the request */
std::atomic<TBXTRANSPORTPROC> gWatch{nullptr};

bool ClientUp() {
  return JackAlive() || JackOpen();
}

void Watch(bool rolling) {
  int asked = rolling ? 1 : 0;
  gAsked.compare_exchange_strong(asked, -1);   /* the server has taken the request */
  if (TBXTRANSPORTPROC watch = gWatch.load()) watch(rolling ? TBX_TRANSPORT_ROLLING : TBX_TRANSPORT_STOPPED);
}

}  // namespace

void TransportReset() {
  gAsked = -1;
  gWatch = nullptr;
  JackTransportWatch(nullptr);
}

BOOL TbxTransportSupported(void) {
  return JackBuilt();
}

int TbxTransportState(void) {
  if (!ClientUp()) return TBX_TRANSPORT_NONE;
  const int state = JackTransportNow();
  if (state < 0) return TBX_TRANSPORT_NONE;
  int asked = gAsked.load();
  if (asked >= 0) {
    if (asked != state && MidiSteadyNs() - gAskedNs.load() < kAskedNs) return asked;
    gAsked.compare_exchange_strong(asked, -1);
  }
  return state;
}

void TbxTransportPlay(BOOL roll) {
  if (!ClientUp()) return;
  const int want = roll ? 1 : 0;
  if (JackTransportNow() == want) return;   /* nothing to ask: its state may change any time */
  gAskedNs = MidiSteadyNs();
  gAsked = want;
  JackTransportRoll(roll != FALSE);
}

void TbxTransportWatch(TBXTRANSPORTPROC proc) {
  gWatch = proc;
  JackTransportWatch(proc ? Watch : nullptr);
  if (proc) ClientUp();
}

BOOL TbxTransportMaster(BOOL on) {
  if (on && !ClientUp()) return FALSE;
  return JackTimebase(on != FALSE) ? TRUE : FALSE;
}

void TbxTransportTempo(double bpm, double beatsPerBar) {
  JackTimebaseTempo(bpm, beatsPerBar);
}

void TbxTransportBeat(double beat, LONG offsetUs) {
  int64_t due;
  if (!TimerCallbackDue(&due)) due = MidiSteadyNs();
  JackTimebaseBeat(beat, due + static_cast<int64_t>(offsetUs) * 1000);
}

void TbxTransportRewind(void) {
  if (ClientUp()) JackTransportRewind();
}

double TbxTransportBpm(void) {
  return JackTransportBpm();
}

BOOL TbxTransportAt(double beats, LONGLONG* atUs) {
  int64_t steadyNs;
  if (!JackTransportAt(beats, &steadyNs)) return FALSE;
  *atUs = TimerClockUs(steadyNs);
  return TRUE;
}
