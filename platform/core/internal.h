/*
** Declarations shared by the pieces of the Linux platform layer (core, files, timer, MIDI,
** displays) that are not part of the Win32 subset or of the display boundary.
*/
#ifndef TBX_PLATFORM_CORE_INTERNAL_H
#define TBX_PLATFORM_CORE_INTERNAL_H

#include <functional>
#include <string>

#include "platform/testing.h"
#include "platform/win32.h"

/* Puts the timer (real clock, no events, caps 1..1000000), the MIDI device table (as
** enumerated) and the MidiOutOpen/MidiInOpen/TimerArm faults back to their start state.
** Defined by platform/timer + platform/midi; tbxtest::PlatformReset calls it. */
void TimerMidiReset();

/* Runs `fn` on the GUI thread and waits for it; runs it at once when called there (or
** when no GUI thread exists yet). Used for message boxes, dialogs and SendMessageA from
** other threads. Any thread. */
void RunOnGuiThread(const std::function<void()>& fn);

/* Reports something a test did not script (the handler of tbxtest::SetUnexpectedHandler;
** stderr when none is installed). Any thread. */
void ReportUnexpected(const std::string& what);

/* Runs the requests other threads queued for the GUI thread (RunOnGuiThread, SendMessageA,
** drawing). Any thread: on the GUI thread it runs them, elsewhere it does nothing. Every
** loop that can block the GUI thread (for example timeKillEvent waiting for a running
** callback that itself waits for a message box) must call it while it waits. */
void PumpGuiCalls();

/* The fault seams of tbxtest::InjectFault (defined in platform/core, used by files, timer
** and MIDI): true when the call being made now must fail. Counts the call. Any thread. */
bool FaultStrikes(tbxtest::Fault fault);

/* Core and files back to their start state (part of tbxtest::PlatformReset). */
void CoreReset();
void CoreFilesReset();

#endif
