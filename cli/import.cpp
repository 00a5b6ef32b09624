/*
** tamborix-cli import: reads a Standard MIDI File into a project file of this program's
** step count, or, for music longer than one pattern, into OUT-1.tbx, OUT-2.tbx, ... and the
** playlist OUT.txt that plays them in order (OUT without its ".tbx"). It needs no window:
** the import is the program's own code, and only the files it writes touch the disk, each
** replaced only once complete. A refused MIDI file writes nothing. The report (notes
** placed, moved to the grid, dropped) is one line on stderr, as a failure is.
*/
#include <strings.h>

#include <cstdio>
#include <string>

#include "cli/cli.h"
#include "files/files.h"
#include "midifile/midifile.h"

/* A message format of the program with its "%s" filled. */
static std::string Fill(const char* format, const std::string& name) {
  std::string text = format;
  size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, name);
  return text;
}

/* A channel option 1..16 as a 0-based channel; -1 when absent, -2 when no channel. */
static int ChannelOption(const CliArgs& args, const char* name) {
  auto opt = args.options.find(name);
  if (opt == args.options.end()) return -1;
  long channel;
  return CliNumber(opt->second.c_str(), 1, 16, &channel) ? static_cast<int>(channel - 1) : -2;
}

int CliImport(const CliArgs& args) {
  int status = CliCheckNames(args, 1);
  if (status >= 0) return status;
  ImportOptions options;
  const int perc = ChannelOption(args, "perc-channel"), voice = ChannelOption(args, "channel");
  if (perc == -2) return CliUsageError(args.command, "--perc-channel must be a channel 1..16");
  if (voice == -2) return CliUsageError(args.command, "--channel must be a channel 1..16");
  if (perc >= 0) options.percChannel = perc;
  if (voice >= 0 && voice == options.percChannel)
    return CliUsageError(args.command, "--channel " + std::to_string(voice + 1) + " is the percussion channel");
  options.voiceChannel = voice; /* what the file does not say: a new pattern's settings */

  const std::string& in = args.operands[0];
  const std::string& out = args.operands[1];
  MidiImport result;
  if (const char* error = ImportMidiFile(in.c_str(), options, &result)) {
    std::fprintf(stderr, "tamborix-cli import: %s\n", Fill(error, in).c_str());
    return CLI_FAILED;
  }
  std::string failed = out;
  const char* error;
  if (result.order.size() == 1) {
    error = WriteImportedRecord(result.parts[0], out.c_str());
  } else {
    std::string base = out;
    if (base.size() > 4 && strcasecmp(base.c_str() + base.size() - 4, ".tbx") == 0) base.resize(base.size() - 4);
    error = WriteImportedMusic(result, base, &failed);
  }
  if (error) {
    std::fprintf(stderr, "tamborix-cli import: %s\n", Fill(error, failed).c_str());
    return CLI_FAILED;
  }
  std::fprintf(stderr, "tamborix-cli import: %s\n", ImportReport(result, " ").c_str());
  return CLI_OK;
}
