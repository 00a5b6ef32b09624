/*
** tamborix-cli: the command-line companion. It works as the windowed program whose step
** count --steps names (144 by default): every command loads its FILE as that program does
** at start, on the headless display (import reads a MIDI file and writes project files). Exit status 0 on success, 1 when the operation failed, 2 on a
** usage error; every failure prints one line on stderr.
*/
#ifndef TBX_CLI_H
#define TBX_CLI_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

/* ---------------------------------------------------------------- the command line */

/* Exit statuses of every command. */
enum { CLI_OK = 0, CLI_FAILED = 1, CLI_USAGE = 2 };

struct CliArgs {
  std::string command;                         /* "events", "render", "export" or "import" */
  std::vector<std::string> operands;           /* FILE [OUT] */
  std::map<std::string, std::string> options;  /* long name (no dashes) -> value */
};

/* Parses argv (argv[0] the program) with getopt_long: the command word is the first operand,
** options may come anywhere, "--" ends them. Returns -1 when args holds a command to run,
** else the exit status: 0 after printing --help or --version, 2 after a usage error (one
** line on stderr). --steps, when given, is one of 144, 128, 96, 72. */
int CliParseArgs(int argc, char** argv, CliArgs* args);
/* Prints one line "tamborix-cli COMMAND: WHAT (see tamborix-cli --help)" and returns 2. */
int CliUsageError(const std::string& command, const std::string& what);
void CliPrintHelp(void);
void CliPrintVersion(void);

/* The commands, on arguments CliParseArgs accepted; each returns the exit status and prints
** one line on stderr for a failure. */
int CliEvents(const CliArgs& args);  /* events [--count K] [--velocity V] [--mute M] [--clock] FILE */
int CliRender(const CliArgs& args);  /* render [--seconds S] [--velocity V] [--gain G] [--soundfont SF2] FILE OUT.wav */
int CliExport(const CliArgs& args);  /* export [--format gm|1] [--beat-time] FILE OUT.mid */
int CliImport(const CliArgs& args);  /* import [--perc-channel C] [--channel C] IN.mid OUT.tbx */

/* Checks the FILE [OUT] operands shared by the commands (`outs` = 0 or 1): their number, a
** name that is empty, longer than the 259 characters a path may have, or an OUT that names
** FILE itself (also through a link, or in another letter case of a name found that way).
** Returns -1 when they are fine, else the exit status after its one line. */
int CliCheckNames(const CliArgs& args, int outs);

/* The message boxes the program showed, as one line (a system error code joined to the
** message it explains); "" when none. Boxes whose text starts with `skip` are left out. */
std::string CliBoxLine(const char* skip = nullptr);

/* ---------------------------------------------------------------- a run without a display */

/* The program on the headless display (cli/session.cpp). */
struct CliSession {
  HWND hwnd = nullptr;
  std::string unexpected;  /* the first event no script answered, in the harness's words */
};
/* Starts the program with FILE loaded as at start (a playlist opened as "Open PlayList");
** returns "" or the failure as one line. CliClose always follows. */
std::string CliOpen(CliSession* s, const std::string& file, bool list);
/* Ends the program; returns `error`, or when that is empty what no script answered. */
std::string CliClose(CliSession* s, const std::string& error);

struct CliPlayOptions {
  std::string file;        /* project file, or a playlist when it ends in ".txt" */
  int velocity = -1;       /* base velocity; -1 keeps the program's default */
  int mute = -1;           /* Mute entry chosen before the start; -1 none */
  int maxSteps = 0;        /* stop after this many step events; 0 = no limit */
  uint32_t maxMs = 0;      /* stop when the clock reaches this (ms from the start); 0 = none */
  bool onePass = false;    /* stop when one pass of the play range has sounded (a project) */
  bool clock = false;      /* the run sends the MIDI clock ("Send MIDI Clock" checked) */
};

struct CliMidiEvent {
  uint32_t timeMs;         /* ms since the start command */
  uint32_t message;        /* status | data1 << 8 | data2 << 16 */
};

/* Loads the file as the program does at start, starts it ("Loop File" for a project, "Play
** All" for a playlist) on the headless platform with the manual clock, plays until a limit
** or the end of the run, stops, and returns every short message sent, in order. `endMs` gets
** the clock at the end of the run (before the stop). Returns "" or one line saying what
** failed (stderr text without the program name). */
std::string CliPlay(const CliPlayOptions& options, std::vector<CliMidiEvent>* events,
                    uint32_t* endMs);
/* Parses a decimal argument within lo..hi; false when it is not one. */
bool CliNumber(const char* text, long lo, long hi, long* value);
/* True when the file is opened as a playlist: its name ends in ".txt" (any letter case). */
bool CliIsPlaylist(const std::string& path);

#endif
