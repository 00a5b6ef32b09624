/*
** tamborix-cli render: plays a project file or a playlist as the events command does and
** renders what the built-in General MIDI synthesizer makes of it into a WAV file (44.1 kHz,
** stereo, 16-bit), offline and far faster than real time.
**
** The synthesizer: --gain G sets its master gain (0..10, default kSynthDefaultGain), and
** --soundfont SF2 the soundfont it loads instead of the distribution's; the windowed
** programs take both from their settings file instead.
**
** Length: --seconds S renders exactly S seconds (the run is stopped there if it is still
** going). Without it a project plays one pass of its play range and a playlist plays to its
** end; the file then runs on for RENDER_TAIL_MS so that the last notes can ring out.
**
** The file is written as the program replaces every file (FileReplace): into a file
** without a name on OUT's volume, which takes OUT's place only once it is complete, so a
** full disk, a failure or any signal leaves an existing OUT as it was and no partial file.
** Where the file system has no unnamed files, a named temporary file beside OUT takes its
** place; the signals that end a program (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1,
** SIGUSR2, SIGALRM) then delete it first (SIGKILL cannot be caught; a file size limit is
** a failed write, SIGXFSZ being ignored). The WAV header, written first, states the length
** the rendering then fills.
*/
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "files/files.h"
#include "platform/midi/synth_render.h"

#define RENDER_TAIL_MS 1500u /* ms of release after the run's last step */

/* An interrupt while the file is being written ends the rendering, not the process: the
** temporary file must go first. Before and after that the signal acts as usual. */
static volatile sig_atomic_t gWriting = 0;     /* a temporary file exists */
static volatile sig_atomic_t gInterrupted = 0; /* the signal that came meanwhile; 0 none */
static const int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM};

static void OnInterrupt(int sig) {
  if (gWriting) {
    gInterrupted = sig;
    return;
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

/* What the last failed file call said, in words. */
static std::string WriteErrorText(void) {
  switch (GetLastError()) {
    case ERROR_DISK_FULL: return "the disk is full";
    case ERROR_ACCESS_DENIED: return "access denied";
    case ERROR_PATH_NOT_FOUND: return "no such folder";
    default: return "error " + std::to_string(GetLastError());
  }
}

/* Renders into out; "" or one line saying what failed. */
static std::string RenderInto(const std::string& out, const std::vector<SynthEvent>& events, uint32_t lengthMs) {
  FileReplace fr;
  gWriting = 1;
  if (FileReplaceBegin(&fr, out.c_str()) != WRITE_OK) {
    gWriting = 0;
    return "cannot create " + out + ": " + WriteErrorText();
  }
  std::string writeError;
  std::string error = SynthRenderWav(events, lengthMs, [&](const void* data, size_t size) {
    if (gInterrupted) return false;
    if (FileReplaceWrite(&fr, data, static_cast<DWORD>(size))) return true;
    writeError = WriteErrorText();
    return false;
  });
  const bool commit = error.empty() && !gInterrupted;
  const int result = FileReplaceEnd(&fr, out.c_str(), commit ? TRUE : FALSE);
  gWriting = 0;
  if (gInterrupted) return "interrupted; " + out + " is left as it was";
  if (!error.empty()) {
    if (!writeError.empty()) error = "cannot write " + out + ": " + writeError;
    return error + "; " + out + " is left as it was";
  }
  if (result != WRITE_OK) return "cannot write " + out + ": " + WriteErrorText() + "; it is left as it was";
  return "";
}

/* Applies --gain and --soundfont (with `check`, the soundfont is loaded once to see that
** it is one); -1 when they are fine, else the exit status after its one line. */
static int SetUpSynth(const CliArgs& args, bool check) {
  auto opt = args.options.find("gain");
  if (opt != args.options.end()) {
    const char* text = opt->second.c_str();
    char* end = nullptr;
    const double gain = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(gain >= 0.0 && gain <= kSynthMaxGain))
      return CliUsageError(args.command, "--gain " + opt->second + " is not a gain 0..10");
    SynthSetGain(gain);
  }
  opt = args.options.find("soundfont");
  if (opt != args.options.end() && (opt->second.empty() || !SynthSetSoundfont(opt->second))) {
    std::fprintf(stderr, "tamborix-cli render: no soundfont file %s\n", opt->second.c_str());
    return CLI_FAILED;
  }
  if (opt != args.options.end() && check && !SynthSoundfontLoads(opt->second)) {
    std::fprintf(stderr, "tamborix-cli render: %s is no soundfont FluidSynth can load\n", opt->second.c_str());
    return CLI_FAILED;
  }
  return -1;
}

int CliRender(const CliArgs& args) {
  int status = CliCheckNames(args, 1);
  if (status >= 0) return status;
  CliPlayOptions o;
  o.file = args.operands[0];
  std::string out = args.operands[1];
  long seconds = 0;
  auto opt = args.options.find("seconds");
  if (opt != args.options.end() && !CliNumber(opt->second.c_str(), 1, 3600, &seconds))
    return CliUsageError(args.command, "--seconds " + opt->second + " is not 1..3600");
  long velocity = -1;
  opt = args.options.find("velocity");
  if (opt != args.options.end() && !CliNumber(opt->second.c_str(), 0, 127, &velocity))
    return CliUsageError(args.command, "--velocity " + opt->second + " is not 0..127");
  o.velocity = (int)velocity;
  if ((status = CliSwingOption(args, &o.swing)) >= 0) return status;
  if ((status = SetUpSynth(args, true)) >= 0) return status;
  /* The run may change the current folder (a playlist's entries are relative to it). */
  std::error_code ec;
  std::filesystem::path outPath = std::filesystem::absolute(out, ec);
  if (!ec) out = outPath.string();

  if (seconds > 0) o.maxMs = (uint32_t)seconds * 1000u;
  else o.onePass = !CliIsPlaylist(o.file);

  for (int sig : kInterrupts) signal(sig, OnInterrupt);

  std::vector<CliMidiEvent> played;
  uint32_t endMs = 0;
  std::string warning;
  std::string error = CliPlay(o, &played, &endMs, &warning);
  if (!warning.empty()) std::fprintf(stderr, "tamborix-cli render: warning: %s\n", warning.c_str());
  /* The run ends with the platform's reset, which takes back the synthesizer's set-up. */
  SetUpSynth(args, false);
  if (error.empty()) {
    std::vector<SynthEvent> events;
    events.reserve(played.size());
    for (const CliMidiEvent& e : played) events.push_back(SynthEvent{e.timeMs, e.message});
    const uint32_t lengthMs = seconds > 0 ? (uint32_t)seconds * 1000u : endMs + RENDER_TAIL_MS;
    error = RenderInto(out, events, lengthMs);
  }
  if (!error.empty()) std::fprintf(stderr, "tamborix-cli render: %s\n", error.c_str());
  if (gInterrupted) OnInterrupt(gInterrupted); /* ends as the signal would have */
  return error.empty() ? CLI_OK : CLI_FAILED;
}
