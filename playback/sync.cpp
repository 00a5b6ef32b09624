/*
** This file contains the synchronisation with other gear, as the window sees it: the four
** items of the sync menus and their state, the notices the clock input and the JACK
** transport post to the window, the input kept open while no run plays so that a clock's
** Start can be heard (the listener), and the JACK transport's start and stop both ways with
** its timebase master. The MIDI clock itself, sent and received, is in midiclock.cpp.
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
** really keep. Another program's tempo as master is the program's while the item is
** checked: the read-out shows it and the tempo bar is disabled, as when following a clock.
*/
#include "app/app.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

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

/* Opens the chosen input while no run plays and the clock is followed, closes it when it is
** not (or listens on another device than the one chosen). 0 when it should be open and is
** not. Window thread. */
static int Listen(void) {
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

/* The watch and the master as the items say. */
static void ApplyTransport(void) {
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

/* ---------------------------------------------------------------- commands and notices */

/* A start from outside (a clock's Start, the transport): the command Play would be. */
static void StartFromOutside(HWND hwnd) {
  OnPlayCommand(hwnd, gbEdit ? IDM_LOOP : IDM_PLAYALL);
}

/* The tempo of the clock followed, in the read-out and the tempo the program keeps. */
static void ShowFollowedTempo(int bpm) {
  giTempo = ClampTempo(bpm);
  gMsecPerBeat = (int16_t)(60000 / giTempo);
  gOldMsecPerBeat = gMsecPerBeat.load();
  AdjustBeat();
  ShowTempo(TRUE);
}

/* The tempo bar is disabled while the tempo comes from outside: a clock followed, or the
** tempo of another program as the transport's master. */
static void EnableTempoBar(void) {
  const int outside = SyncGet(SYNC_FOLLOW_CLOCK) || (SyncGet(SYNC_JACK_TRANSPORT) && TbxTransportBpm() > 0);
  EnableWindow(gHwndBPMScroll, !outside);
}

/* The transport started or stopped rolling, here or elsewhere, or its master's tempo moved:
** the run follows it, and the read-out shows that tempo. */
static void OnTransport(HWND hwnd) {
  if (!SyncGet(SYNC_JACK_TRANSPORT)) return;
  EnableTempoBar();
  const double bpm = TbxTransportBpm();
  if (bpm > 0 && !SyncGet(SYNC_FOLLOW_CLOCK) && (int)(bpm + 0.5) != giTempo) ShowFollowedTempo((int)(bpm + 0.5));
  const int state = TbxTransportState();
  if (state == TBX_TRANSPORT_ROLLING && !gbSequenceGoing) StartFromOutside(hwnd);
  else if (state == TBX_TRANSPORT_STOPPED && gbSequenceGoing) OnPlayCommand(hwnd, IDM_STOP);
}

static void OnNotice(HWND hwnd, int notice, LPARAM lParam) {
  const int follow = SyncGet(SYNC_FOLLOW_CLOCK);
  switch (notice) {
    case SYNC_NOTICE_START:
      if (!follow) return;
      gFollowBase = ClockInStartAt();
      StartFromOutside(hwnd);
      break;
    case SYNC_NOTICE_CONTINUE:
      if (!follow || gbSequenceGoing) return;
      gFollowBase = ClockInStartAt();
      OnPlayCommand(hwnd, IDM_CONTINUE);
      break;
    case SYNC_NOTICE_STOP:
      if (follow && gbSequenceGoing) OnPlayCommand(hwnd, IDM_STOP);
      break;
    case SYNC_NOTICE_TEMPO:
      if (follow) ShowFollowedTempo((int)lParam);
      break;
    case SYNC_NOTICE_TRANSPORT: OnTransport(hwnd); break;
    case SYNC_NOTICE_LISTEN: Listen(); break;
    default: break;
  }
  gFollowBase = -1;   /* a start that did not happen leaves nothing for the next */
}

void SyncSet(int flag, int on) {
  if (flag < 0 || flag >= SYNC_FLAGS) return;
  gSyncFlags[flag] = on ? 1 : 0;
  if (!gHwnd) return;
  CheckMenuItem(ghMenu, IDM_SYNC + flag, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
  switch (flag) {
    case SYNC_FOLLOW_CLOCK:
      if (on) ClockInShowAgain();
      EnableTempoBar();
      Listen();
      break;
    case SYNC_JACK_TRANSPORT:
    case SYNC_JACK_MASTER:
      ApplyTransport();
      EnableTempoBar();
      /* Checked while a run plays, the transport joins it; while stopped, a transport
      ** rolling already starts one. */
      if (flag == SYNC_JACK_TRANSPORT && on) {
        if (gbSequenceGoing) TbxTransportPlay(TRUE);
        else OnTransport(gHwnd);
      }
      break;
    default: break;
  }
}

void SyncShow(void) {
  EnableTempoBar();
  ApplyTransport();
  Listen();
}

LRESULT OnSyncCommand(HWND hwnd, UINT id, LPARAM lParam) {
  if (id >= IDM_SYNC && id < IDM_SYNC + SYNC_FLAGS) {
    const int flag = (int)(id - IDM_SYNC);
    SyncSet(flag, !SyncGet(flag));
    if (flag == SYNC_FOLLOW_CLOCK && SyncGet(flag) && !Listen())
      ShowBox(hwnd, gszCannotOpenIn, gszAppName, MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  if (id >= IDM_SYNC_NOTICE && id < IDM_SYNC_NOTICE + SYNC_NOTICES) OnNotice(hwnd, (int)(id - IDM_SYNC_NOTICE), lParam);
  return 0;
}
