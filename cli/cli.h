/*
** tamborix-cli: the command-line companion. Each step count has its own program
** (tamborix-cli-144, -128, -96, -72, built from the same sources as the four windowed
** programs); the front end tamborix-cli reads --steps and runs the matching one. Every
** command loads its FILE as the windowed program does at start, on the headless display.
** Commands return the process exit status; failures print one line on stderr.
*/
#ifndef TBX_CLI_H
#define TBX_CLI_H

#include <cstdint>
#include <string>
#include <vector>

int CliEvents(int argc, char** argv);  /* events [--count K] [--velocity V] [--mute M] FILE */
int CliRender(int argc, char** argv);  /* render [--seconds S] FILE OUT.wav */
int CliExport(int argc, char** argv);  /* export [--format gm|1] FILE OUT.mid */

/* ---------------------------------------------------------------- a run without a display */

struct CliPlayOptions {
  std::string file;        /* project file, or a playlist when it ends in ".txt" */
  int velocity = -1;       /* base velocity; -1 keeps the program's default */
  int mute = -1;           /* Mute entry chosen before the start; -1 none */
  int maxSteps = 0;        /* stop after this many step events; 0 = no limit */
  uint32_t maxMs = 0;      /* stop when the clock reaches this (ms from the start); 0 = none */
  bool onePass = false;    /* stop when one pass of the play range has sounded (a project) */
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

#endif
