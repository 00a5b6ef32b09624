/*
** tamborix-cli events: plays a project file or a playlist without a display and prints
** every MIDI short message the program sends, one a line: the time in ms since the start,
** then status, data 1 and data 2 as two-digit hex ("500 99 24 40"). With --clock the run
** sends the MIDI clock ("Send MIDI Clock"), whose one-byte messages print the same way
** ("500 F8 00 00"), each at the millisecond the step clock sent it in (at or after its
** exact time).
**
** The run itself (CliPlay, shared with render) is the program's own: the file is loaded as
** at start (a project from the command line as "Load / Play / Edit File", a .txt file as
** "Open PlayList"), started with "Loop File" or "Play All", and clocked by the manual clock
** of the headless platform, so the timing printed is the ideal one, to the millisecond.
** Any box the program shows (a missing file, a bad entry, a device that cannot be opened)
** is a failure: its text goes to stderr as one line and the command ends with status 1.
*/
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/app.h"
#include "cli/cli.h"
#include "pattern/pattern.h"
#include "platform/testing.h"
#include "playback/playback.h"

#define CLI_MAX_RUN_MS (60u * 60u * 1000u) /* a run without an end of its own stops here */

/* Counts the step events (play-position messages) queued since the last pump. */
static int QueuedSteps(void) {
  int n = 0;
  for (const MSG& m : tbxtest::PostedMessages())
    if (m.message == WM_TBX_PLAYPOS) ++n;
  return n;
}

/* Moves the clock on by 1 ms at a time (no event is ever shorter than the timer resolution)
** and dispatches what the clock posted; returns the step events that ran. */
static int Tick(void) {
  tbxtest::AdvanceClock(1);
  int steps = QueuedSteps();
  tbxtest::PumpMessages();
  return steps;
}

/* ms from one step event to the next: both halves are at least the timer resolution. */
static uint32_t StepLength(void) {
  int half = gHalfBeat, rest = gAdjustedBeat - gHalfBeat, res = (int)guTimerRes;
  return (uint32_t)((half < res ? res : half) + (rest < res ? res : rest));
}

static std::string PlayLoaded(HWND hwnd, const CliPlayOptions& o, bool list, uint32_t* endMs) {
  if (o.velocity >= 0) gVelocity = (int16_t)o.velocity;
  if (o.swing >= 0 && !list) gSwing = (int16_t)o.swing;  /* a playlist's entries keep their own */
  if (o.mute >= 0) SendMessageA(hwnd, WM_COMMAND, IDM_MUTE + o.mute, 0);
  if (o.clock) SyncSet(SYNC_SEND_CLOCK, 1);

  int start, end;
  PlayRange(&start, &end);
  const int passSteps = end - start;
  const uint32_t t0 = tbxtest::ClockNow();
  SendMessageA(hwnd, WM_COMMAND, list ? IDM_PLAYALL : IDM_LOOP, 0);
  tbxtest::PumpMessages();
  if (!gbSequenceGoing) {
    std::string boxes = CliBoxLine();
    return boxes.empty() ? "the run could not be started" : boxes;
  }

  int steps = 0;
  uint32_t lastStep = 0;
  for (;;) {
    const uint32_t now = tbxtest::ClockNow() - t0;
    if (!gbSequenceGoing) break;
    if (o.maxSteps > 0 && steps >= o.maxSteps) break;
    if (o.maxMs > 0 && now >= o.maxMs) break;
    if (now >= CLI_MAX_RUN_MS) break;
    /* One pass: the last step sounds for its full length, up to just before the next. */
    if (o.onePass && steps >= passSteps && now + 1 >= lastStep + StepLength()) break;
    int ran = Tick();
    if (ran > 0) {
      steps += ran;
      /* A step late by its swing still ends on the grid. */
      lastStep = tbxtest::ClockNow() - t0 - (uint32_t)SwingLate(gIndex, gAdjustedBeat);
    }
  }
  *endMs = tbxtest::ClockNow() - t0;
  SendMessageA(hwnd, WM_COMMAND, IDM_STOP, 0);
  tbxtest::PumpMessages();
  return CliBoxLine();
}

std::string CliPlay(const CliPlayOptions& o, std::vector<CliMidiEvent>* events, uint32_t* endMs,
                    std::string* warning) {
  std::string file = o.file;
  const bool list = CliIsPlaylist(file);
  if (list) {
    /* Entries are opened relative to the current folder, which the open dialog leaves at
    ** the list's folder. */
    std::error_code ec;
    std::filesystem::path listPath = std::filesystem::absolute(file, ec);
    if (!ec) {
      file = listPath.string();
      std::filesystem::current_path(listPath.parent_path(), ec);
    }
  }

  *endMs = 0;
  CliSession session;
  std::string error = CliOpen(&session, file, list);
  *warning = session.warning;
  if (session.hwnd && error.empty() && session.unexpected.empty()) {
    tbxtest::ClearCapturedMidi();
    const uint32_t t0 = tbxtest::ClockNow();
    error = PlayLoaded(session.hwnd, o, list, endMs);
    for (const tbxtest::MidiRecord& r : tbxtest::CapturedMidi())
      events->push_back(CliMidiEvent{r.timeMs - t0, (uint32_t)r.message});
  }
  return CliClose(&session, error);
}

int CliEvents(const CliArgs& args) {
  int status = CliCheckNames(args, 0);
  if (status >= 0) return status;
  CliPlayOptions o;
  o.file = args.operands[0];
  o.maxSteps = 64;
  long v = 0;
  for (const auto& [name, value] : args.options) {
    if (name == "count" && CliNumber(value.c_str(), 1, 1000000, &v)) o.maxSteps = (int)v;
    else if (name == "velocity" && CliNumber(value.c_str(), 0, 127, &v)) o.velocity = (int)v;
    else if (name == "mute" && CliNumber(value.c_str(), 0, 11, &v)) o.mute = (int)v;
    else if (name == "clock") o.clock = true;
    else if (name != "steps" && name != "swing")
      return CliUsageError(args.command, "--" + name + " " + value + " is out of range");
  }
  if ((status = CliSwingOption(args, &o.swing)) >= 0) return status;

  std::vector<CliMidiEvent> events;
  uint32_t endMs = 0;
  std::string warning;
  std::string error = CliPlay(o, &events, &endMs, &warning);
  if (!warning.empty()) std::fprintf(stderr, "tamborix-cli events: warning: %s\n", warning.c_str());
  for (size_t i = 0; i < events.size() && !std::ferror(stdout); i++)
    std::printf("%u %02X %02X %02X\n", events[i].timeMs, events[i].message & 0xFF, (events[i].message >> 8) & 0xFF,
                (events[i].message >> 16) & 0xFF);
  std::fflush(stdout);
  if (!error.empty()) {
    std::fprintf(stderr, "tamborix-cli events: %s\n", error.c_str());
    return CLI_FAILED;
  }
  return CLI_OK;
}
