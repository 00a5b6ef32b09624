/*
** This file contains the synchronisation with other gear as the window shows it: the four
** sync items of the device menus (their check marks and what each implies: the tempo bar,
** disabled while the tempo comes from outside, the listener, the transport's watch and
** master), and the notices the clock input and the JACK transport post to the window, which
** start, continue and stop runs as Play, Continue and Stop would. Another program's tempo as
** the transport's master is the program's while the item is checked: the read-out shows it
** and the tempo bar is disabled, as when following a clock. What lies below the window (the
** items' state, the listener, the transport) is playback/sync.cpp's.
*/
#include "app/app.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

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
      SyncFollowFrom(ClockInStartAt());
      StartFromOutside(hwnd);
      break;
    case SYNC_NOTICE_CONTINUE:
      if (!follow || gbSequenceGoing) return;
      SyncFollowFrom(ClockInStartAt());
      OnPlayCommand(hwnd, IDM_CONTINUE);
      break;
    case SYNC_NOTICE_STOP:
      if (follow && gbSequenceGoing) OnPlayCommand(hwnd, IDM_STOP);
      break;
    case SYNC_NOTICE_TEMPO:
      if (follow) ShowFollowedTempo((int)lParam);
      break;
    case SYNC_NOTICE_TRANSPORT: OnTransport(hwnd); break;
    case SYNC_NOTICE_LISTEN: SyncListen(); break;
    default: break;
  }
  SyncFollowFrom(-1);   /* a start that did not happen leaves nothing for the next */
}

void SyncChoose(int flag, int on) {
  if (flag < 0 || flag >= SYNC_FLAGS) return;
  SyncSet(flag, on);
  if (!gHwnd) return;
  CheckMenuItem(ghMenu, IDM_SYNC + flag, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
  switch (flag) {
    case SYNC_FOLLOW_CLOCK:
      if (on) ClockInShowAgain();
      EnableTempoBar();
      SyncListen();
      break;
    case SYNC_JACK_TRANSPORT:
    case SYNC_JACK_MASTER:
      SyncApplyTransport();
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
  SyncApplyTransport();
  SyncListen();
}

LRESULT OnSyncCommand(HWND hwnd, UINT id, LPARAM lParam) {
  if (id >= IDM_SYNC && id < IDM_SYNC + SYNC_FLAGS) {
    const int flag = (int)(id - IDM_SYNC);
    SyncChoose(flag, !SyncGet(flag));
    if (flag == SYNC_FOLLOW_CLOCK && SyncGet(flag) && !SyncListen())
      ShowBox(hwnd, gszCannotOpenIn, gszAppName, MB_OK | MB_ICONEXCLAMATION);
    return 0;
  }
  if (id >= IDM_SYNC_NOTICE && id < IDM_SYNC_NOTICE + SYNC_NOTICES) OnNotice(hwnd, (int)(id - IDM_SYNC_NOTICE), lParam);
  return 0;
}
