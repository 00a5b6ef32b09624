/*
** The command line of tamborix-cli, parsed by getopt_long: the command word, its options (each given as "--name value" or
** "--name=value") and its operands. Options may stand anywhere among the operands; "--"
** ends them. Every usage error is one line on stderr and exit status 2.
*/
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"

#ifndef TBX_VERSION
#define TBX_VERSION "0.1.0" /* a build without the project's version */
#endif

/* The options of every command, and the commands that take each; --steps is everyone's. */
static const struct {
  const char* name;
  const char* commands;   /* command words, space-separated */
  bool flag;              /* takes no value (its value is "") */
} kOptions[] = {
    {"steps", "events render export import", false},
    {"count", "events", false},
    {"velocity", "events render", false},
    {"mute", "events", false},
    {"clock", "events", true},
    {"seconds", "render", false},
    {"gain", "render", false},
    {"soundfont", "render", false},
    {"format", "export", false},
    {"beat-time", "export", true},
    {"perc-channel", "import", false},
    {"channel", "import", false},
};
enum { OPTION_COUNT = sizeof kOptions / sizeof kOptions[0], OPT_HELP = 'h', OPT_VERSION = 'V' };

static const char kUsage[] =
    "usage: tamborix-cli events [--steps N] [--count K] [--velocity V] [--mute M] [--clock] FILE\n"
    "       tamborix-cli render [--steps N] [--seconds S] [--velocity V] [--gain G] [--soundfont SF2]\n"
    "                           FILE OUT.wav\n"
    "       tamborix-cli export [--steps N] [--format gm|1] [--beat-time] FILE OUT.mid\n"
    "       tamborix-cli import [--steps N] [--perc-channel C] [--channel C] IN.mid OUT.tbx\n"
    "       tamborix-cli --help | --version\n";

static const char kHelp[] =
    "\n"
    "Loads a project file (.tbx) or a playlist (.txt) as the Tamborix programs do at start,\n"
    "without a window, and works on it:\n"
    "  events   prints the MIDI messages of a run, one a line: ms, status, data 1, data 2\n"
    "           --count K     step events to play (default 64)\n"
    "           --velocity V  base velocity 0..127\n"
    "           --mute M      Mute menu entry 0..11 chosen before the start\n"
    "           --clock       with \"Send MIDI Clock\" checked: the clock messages too\n"
    "  render   renders the run through the General MIDI synthesizer into a WAV file\n"
    "           (44.1 kHz, stereo, 16-bit); an existing OUT is replaced only when the\n"
    "           whole file is written\n"
    "           --seconds S   length 1..3600 s (default: one pass, or the whole playlist)\n"
    "           --velocity V  base velocity 0..127\n"
    "           --gain G      the synthesizer's master gain 0..10 (default 0.5)\n"
    "           --soundfont SF2  the General MIDI soundfont (default: the distribution's)\n"
    "  export   writes a Standard MIDI File, format 0 with General MIDI or format 1\n"
    "           --format gm|1 (default gm)\n"
    "           --beat-time   a quarter note per beat of the tempo (480 ticks), as DAWs\n"
    "                         count, instead of a quarter note per step\n"
    "  import   reads a Standard MIDI File (format 0 or 1) into OUT.tbx; music longer than\n"
    "           a pattern into OUT-1.tbx, OUT-2.tbx, ... and the playlist OUT.txt. One line\n"
    "           on stderr tells the notes placed, moved to the grid and dropped\n"
    "           --perc-channel C  the drums' channel 1..16 (default 10)\n"
    "           --channel C       the instrument's channel 1..16 (default: the one with the\n"
    "                             most notes)\n"
    "Common options:\n"
    "  --steps N    the program's step count: 144 (default), 128, 96 or 72\n"
    "  --help       this text;  --version  the version\n"
    "Exit status: 0 success, 1 the operation failed, 2 a usage error.\n";

void CliPrintHelp(void) {
  std::fputs(kUsage, stdout);
  std::fputs(kHelp, stdout);
}

void CliPrintVersion(void) { std::printf("tamborix-cli %s\n", TBX_VERSION); }

int CliUsageError(const std::string& command, const std::string& what) {
  std::fprintf(stderr, "tamborix-cli%s%s: %s (see tamborix-cli --help)\n", command.empty() ? "" : " ",
               command.c_str(), what.c_str());
  return 2;
}

static bool IsCommand(const std::string& word) {
  return word == "events" || word == "render" || word == "export" || word == "import";
}

static bool TakesOption(const std::string& command, const char* option) {
  for (const auto& o : kOptions) {
    if (std::strcmp(o.name, option) != 0) continue;
    std::string list = std::string(" ") + o.commands + " ";
    return list.find(" " + command + " ") != std::string::npos;
  }
  return false;
}

int CliParseArgs(int argc, char** argv, CliArgs* args) {
  /* getopt_long reorders what it parses: it works on a copy, so argv stays as given. */
  std::vector<std::string> copy(argv, argv + argc);
  std::vector<char*> av;
  for (std::string& a : copy) av.push_back(a.data());
  av.push_back(nullptr);

  std::vector<option> longopts;
  for (int i = 0; i < OPTION_COUNT; ++i)
    longopts.push_back(option{kOptions[i].name, kOptions[i].flag ? no_argument : required_argument, nullptr, 1000 + i});
  longopts.push_back(option{"help", no_argument, nullptr, OPT_HELP});
  longopts.push_back(option{"version", no_argument, nullptr, OPT_VERSION});
  longopts.push_back(option{nullptr, 0, nullptr, 0});

  std::vector<std::pair<std::string, std::string>> given;
  bool help = false, version = false;
  std::string error;
  optind = 0; /* a fresh scan (0 also resets GNU getopt's internal state) */
  opterr = 0;
  for (;;) {
    int longIndex = -1;
    int c = getopt_long(argc, av.data(), ":hV", longopts.data(), &longIndex);
    if (c == -1) break;
    if (c == OPT_HELP) {
      help = true;
    } else if (c == OPT_VERSION) {
      version = true;
    } else if (c >= 1000 && c < 1000 + OPTION_COUNT) {
      given.emplace_back(kOptions[c - 1000].name, optarg ? optarg : "");
    } else if (error.empty()) {
      const char* arg = av[optind - 1];
      if (c == ':') error = std::string("option ") + arg + " needs a value";
      else if (optopt) error = std::string("unknown option -") + static_cast<char>(optopt);
      else error = std::string("unknown option ") + arg;
    }
  }
  std::vector<std::string> operands(av.begin() + optind, av.begin() + argc);
  if (help || version) {
    if (help) CliPrintHelp();
    else CliPrintVersion();
    return 0;
  }

  args->command = operands.empty() ? "" : operands.front();
  if (!operands.empty()) operands.erase(operands.begin());
  if (args->command.empty()) return CliUsageError("", "no command given");
  if (!IsCommand(args->command)) return CliUsageError("", "unknown command " + args->command);
  if (!error.empty()) return CliUsageError(args->command, error);
  args->operands = operands;
  args->options.clear();
  for (const auto& [name, value] : given) {
    if (!TakesOption(args->command, name.c_str()))
      return CliUsageError(args->command, "--" + name + " is not an option of " + args->command);
    args->options[name] = value;
  }
  auto steps = args->options.find("steps");
  if (steps != args->options.end() && steps->second != "144" && steps->second != "128" &&
      steps->second != "96" && steps->second != "72")
    return CliUsageError(args->command, "--steps must be 144, 128, 96 or 72");
  return -1;
}
