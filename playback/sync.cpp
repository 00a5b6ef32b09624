/*
** This file contains the synchronisation with other gear below the window: the state of the
** four sync items, the input kept open while no run plays so that a clock's Start can be
** heard (the listener), and the JACK transport's start and stop both ways with its timebase
** master. The MIDI clock itself, sent and received, is in midiclock.cpp; what the window
** makes of the items and of the notices posted to it (IDM_SYNC_NOTICE) is app/sync.cpp's.
**
** The listener is the run's own input device, opened early: a run that starts takes it over
** as it is (no clock is missed between a Start and the first clock), and a run that ends
** closes it as it always does, after which a notice opens it again. While it only listens,
** midiCallback takes no notes, so nothing is echoed to an output that is closed.
**
** The transport: starting a run rolls it and ending a run stops it; its rolling started
** elsewhere starts a run and its stopping stops one. The platform reports a start or stop
** asked for here as done until the server has taken it, so a run never reacts to its own
** request. As timebase master the program publishes its own grid: a run from the beginning
** moves the transport to frame 0 and its first step is 1|1|0, every step after it the next
** step's worth of beats (counted on across Stop and Continue), at the tempo the steps
** really keep.
*/
#include "pattern/pattern.h"
#include "playback/playback.h"
#include "resources/ids.h"

static Shared<int> gSyncFlags[SYNC_FLAGS];   /* the items' states; window thread writes */
static Shared<int> gbListening(0);           /* the input is open for a Start only (no run) */
static int16_t gListenPort;                  /* the device it listens on; window thread */
static int64_t gFollowBase = -1;             /* the clock the next following run starts at
                                             ** (a Start's or Continue's); -1 the next;
                                             ** window thread */
static Shared<int> gWaiting(0);              /* SYNC_WAIT_*: what the run waits for */
static Shared<int64_t> gMasterTenths(0);     /* as master: the grid position of the next step,
                                             ** tenths of a clock from 1|1|0 (240 a beat) */

void SyncReset(void) {
  for (Shared<int>& flag : gSyncFlags) flag = 0;
  gbListening = 0;
  gListenPort = 0;
  gFollowBase = -1;
  gWaiting = 0;
  gMasterTenths = 0;
  TbxTransportWatch(nullptr);
  TbxTransportMaster(FALSE);
  ClockInReset();
}

int SyncGet(int flag) { return flag >= 0 && flag < SYNC_FLAGS ? gSyncFlags[flag].load() : 0; }

int SyncListening(void) { return gbListening; }

int SyncWaiting(void) { return gWaiting; }

void SyncWait(int what) {
  if (gWaiting.exchange(what) != what) PostMessageA(ghRunWindow, WM_COMMAND, IDM_SYNC_NOTICE + SYNC_NOTICE_WAIT, 0);
}

void SyncFollowFrom(int64_t base) { gFollowBase = base; }

uint32_t SyncTakeFollowBase(void) {
  const int64_t base = gFollowBase;
  gFollowBase = -1;
  return base >= 0 ? (uint32_t)base : ClockInCount();
}

/* ---------------------------------------------------------------- the listener */

static void CloseListener(void) {
  midiInStop(ghMidiIn);
  midiInClose(ghMidiIn);
  gbMidiInOpen = 0;
  gbListening = 0;
}

int SyncListen(void) {
  if (gbSequenceGoing) return 1;   /* the run has the input */
  const int want = SyncGet(SYNC_FOLLOW_CLOCK) && giNumDevs != 0;
  if (gbMidiInOpen && gbListening && (!want || gListenPort != gMidiInPort)) CloseListener();
  if (!want || gbMidiInOpen) return 1;
  HMIDIIN hIn = nullptr;
  if (midiInOpen(&hIn, (UINT)(int)gMidiInPort, (DWORD_PTR)midiCallback, 0,
                 CALLBACK_FUNCTION | MIDI_IO_STATUS) != MMSYSERR_NOERROR)
    return 0;
  ghMidiIn = hIn;
  gListenPort = gMidiInPort;
  gbListening = 1;
  gbMidiInOpen = 1;
  midiInStart(hIn);
  return 1;
}

void SyncInputTaken(int16_t inPort) {
  if (gbListening && gListenPort != inPort) CloseListener();   /* the run opens its own */
  gbListening = 0;
}

/* ---------------------------------------------------------------- the JACK transport */

static void CALLBACK TransportChanged(int) {
  PostMessageA(ghRunWindow, WM_COMMAND, IDM_SYNC_NOTICE + SYNC_NOTICE_TRANSPORT, 0);
}

static int Master(void) { return SyncGet(SYNC_JACK_TRANSPORT) && SyncGet(SYNC_JACK_MASTER); }

/* Beats a step spans, in tenths of a clock. */
static int64_t StepTenths(void) {
  int num, den;
  RelBeatRatio(&num, &den);
  return 240 * num / den;
}

/* The tempo and bar length the master publishes: the tempo the steps really keep (a step
** lasts whole ms), or the one followed; steps per bar over steps per beat. */
static void PublishTempo(void) {
  int num, den;
  RelBeatRatio(&num, &den);
  const double bpm = TimingFollows() ? (double)giTempo : 60000.0 * num / den / StepMs();
  TbxTransportTempo(bpm, (double)gBeatsPBar * num / den);
}

void SyncStepBeat(LONG offsetUs) {
  if (!Master()) return;
  PublishTempo();
  TbxTransportBeat((double)gMasterTenths / 240, offsetUs);
  gMasterTenths += StepTenths();
}

int SyncFollowsTransport(void) {
  return SyncGet(SYNC_JACK_TRANSPORT) && !SyncGet(SYNC_JACK_MASTER) && TbxTransportState() != TBX_TRANSPORT_NONE;
}

void SyncApplyTransport(void) {
  const int on = SyncGet(SYNC_JACK_TRANSPORT);
  TbxTransportWatch(on ? TransportChanged : nullptr);
  if (Master()) PublishTempo();
  TbxTransportMaster(on && SyncGet(SYNC_JACK_MASTER));
}

void SyncRunStarted(int mode, int firstStepMs) {
  if (!SyncGet(SYNC_JACK_TRANSPORT)) return;
  if (Master()) {
    if (mode == 0) {
      TbxTransportRewind();
      gMasterTenths = 0;
    }
    PublishTempo();
    /* Where the first step will sound, until it says so itself. */
    if (firstStepMs >= 0) TbxTransportBeat((double)gMasterTenths / 240, (LONG)firstStepMs * 1000);
  }
  TbxTransportPlay(TRUE);
}

void SyncRunEnded(int restarting) {
  SyncWait(SYNC_WAIT_NONE);
  if (SyncGet(SYNC_JACK_TRANSPORT) && !restarting) TbxTransportPlay(FALSE);
  if (SyncGet(SYNC_FOLLOW_CLOCK)) PostMessageA(ghRunWindow, WM_COMMAND, IDM_SYNC_NOTICE + SYNC_NOTICE_LISTEN, 0);
}

void SyncRunFailed(int wasGoing) { SyncRunEnded(!wasGoing); }

void SyncSet(int flag, int on) {
  if (flag >= 0 && flag < SYNC_FLAGS) gSyncFlags[flag] = on ? 1 : 0;
}
