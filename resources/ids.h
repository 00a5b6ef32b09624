/*
** Command and control identifiers, written once: the C++ code includes this file through
** app/app.h, and the resource script (tamborix_res.inc, compiled by windres on Windows and
** by resources_linux.cpp on Linux) uses the same names. Plain #defines only, so that the
** resource compiler can read it.
**
** Settings popups: an item's identifier is the popup's base plus the value it selects.
*/
#ifndef TBX_RESOURCES_IDS_H
#define TBX_RESOURCES_IDS_H

/* File menu */
#define IDM_NEW 40001
#define IDM_LOAD 40002
#define IDM_LOADMIDI 40003
#define IDM_SAVE 40004
#define IDM_SAVEAS 40005
#define IDM_SAVEMIDI_GM 40006
#define IDM_SAVEMIDI_F1 40007
#define IDM_OPENLIST 40008
#define IDM_SAVELIST_GM 40010
#define IDM_SAVELIST_F1 40011
#define IDM_QUIT 40012
#define IDM_IMPORTMIDI 40013    /* "Import MIDI File..." */
#define IDM_BEATTIME 40014      /* "MIDI Export in Beat Time": checked while the exports write it */
#define IDM_RECENT 40020        /* + 0..7: the entries of the Recent Files submenu */

/* Play menu: one group, the item of the last successful command carries the check mark */
#define IDM_PLAYALL 40101
#define IDM_PLAYFROM 40102
#define IDM_LOOP 40103
#define IDM_LOOPUNDO 40104
#define IDM_STOP 40105
#define IDM_STOPATEND 40106
#define IDM_CONTINUE 40107
/* Play menu, after a separator: the undo history (no check mark) */
#define IDM_UNDO 40108
#define IDM_REDO 40109

/* Settings popups (base + value) */
#define IDM_BEATSPBAR 40200
#define IDM_RELBEAT 40300
#define IDM_ACCENT 40400
#define IDM_FREEACCENT 40500
#define IDM_VOICE 40600
#define IDM_VOICE_OTHERS 40699  /* "Others": opens the instrument-number dialog */
#define IDM_VOICELEVEL 40700
#define IDM_MUTE 40800
#define IDM_TRANSPOSE 40900
#define IDM_MIDIOUT 41000       /* + device index */
#define IDM_MIDIIN 41100        /* + device index */
#define IDM_PERCCH 41200
#define IDM_VOICECH 41300
#define IDM_ABOUT 41400

/* Synchronisation items: base + the flag (SYNC_SEND_CLOCK .. SYNC_JACK_MASTER, playback.h),
** in the MIDI-OUT and MIDI-IN menus */
#define IDM_SYNC 41500
/* Posted to the window as WM_COMMAND by the clock input and the JACK transport watch (no
** menu item carries them): base + the notice (SYNC_NOTICE_START .., playback.h) */
#define IDM_SYNC_NOTICE 41550

/* Dialog controls */
#define IDC_INSTRUMENT_NUM 42000  /* edit field of OTHERSDLGBOX */

#endif
