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
** request.
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

void SyncReset(void) {
  for (Shared<int>& flag : gSyncFlags) flag = 0;
  gbListening = 0;
  gListenPort = 0;
  gFollowBase = -1;
  TbxTransportWatch(nullptr);
  TbxTransportMaster(FALSE);
  ClockInReset();
}

int SyncGet(int flag) { return flag >= 0 && flag < SYNC_FLAGS ? gSyncFlags[flag].load() : 0; }

int SyncListening(void) { return gbListening; }

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
  ClockInStarted();
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

void SyncStepTempo(void) {
  if (!SyncGet(SYNC_JACK_TRANSPORT) || !SyncGet(SYNC_JACK_MASTER)) return;
  int num, den;
  RelBeatRatio(&num, &den);
  /* Steps per bar over steps per beat. */
  TbxTransportTempo((double)giTempo, (double)gBeatsPBar * num / den);
}

/* The watch and the master as the items say. */
static void ApplyTransport(void) {
  const int on = SyncGet(SYNC_JACK_TRANSPORT);
  TbxTransportWatch(on ? TransportChanged : nullptr);
  SyncStepTempo();
  TbxTransportMaster(on && SyncGet(SYNC_JACK_MASTER));
}

void SyncRunStarted(void) {
  if (!SyncGet(SYNC_JACK_TRANSPORT)) return;
  SyncStepTempo();
  TbxTransportPlay(TRUE);
}

void SyncRunEnded(int restarting) {
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

/* The transport started or stopped rolling, here or elsewhere: the run follows it. */
static void OnTransport(HWND hwnd) {
  if (!SyncGet(SYNC_JACK_TRANSPORT)) return;
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
      EnableWindow(gHwndBPMScroll, !on);
      Listen();
      break;
    case SYNC_JACK_TRANSPORT:
    case SYNC_JACK_MASTER:
      ApplyTransport();
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
  EnableWindow(gHwndBPMScroll, !SyncGet(SYNC_FOLLOW_CLOCK));
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
