/*
** tamborix-cli render: plays a project file or a playlist as the events command does and
** renders what the built-in General MIDI synthesizer makes of it into a WAV file (44.1 kHz,
** stereo, 16-bit), offline and far faster than real time.
**
** Length: --seconds S renders exactly S seconds (the run is stopped there if it is still
** going). Without it a project plays one pass of its play range and a playlist plays to its
** end; the file then runs on for RENDER_TAIL_MS so that the last notes can ring out.
*/
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/midi/synth_render.h"

#define RENDER_TAIL_MS 1500u /* ms of release after the run's last step */

static int RenderUsage(void) {
  std::fprintf(stderr, "usage: tamborix-cli render [--steps N] [--seconds S] FILE OUT.wav\n");
  return 2;
}

static bool IsPlaylist(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext) c = (char)((c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c);
  return ext == ".txt";
}

int CliRender(int argc, char** argv) {
  CliPlayOptions o;
  std::string out;
  long seconds = 0;
  for (int a = 1; a < argc; ++a) {
    const char* arg = argv[a];
    const char* next = a + 1 < argc ? argv[a + 1] : nullptr;
    if (std::strcmp(arg, "--steps") == 0 && next) {
      ++a; /* the front end has chosen this program already */
    } else if (std::strcmp(arg, "--seconds") == 0 && CliNumber(next, 1, 3600, &seconds)) {
      ++a;
    } else if (arg[0] != '-' && o.file.empty()) {
      o.file = arg;
    } else if (arg[0] != '-' && out.empty()) {
      out = arg;
    } else {
      return RenderUsage();
    }
  }
  if (o.file.empty() || out.empty()) return RenderUsage();
  /* The run may change the current folder (a playlist's entries are relative to it). */
  std::error_code ec;
  std::filesystem::path outPath = std::filesystem::absolute(out, ec);
  if (!ec) out = outPath.string();

  if (seconds > 0) o.maxMs = (uint32_t)seconds * 1000u;
  else o.onePass = !IsPlaylist(o.file);

  std::vector<CliMidiEvent> played;
  uint32_t endMs = 0;
  std::string error = CliPlay(o, &played, &endMs);
  if (!error.empty()) {
    std::fprintf(stderr, "tamborix-cli render: %s\n", error.c_str());
    return 1;
  }

  std::vector<SynthEvent> events;
  events.reserve(played.size());
  for (const CliMidiEvent& e : played) events.push_back(SynthEvent{e.timeMs, e.message});
  const uint32_t lengthMs = seconds > 0 ? (uint32_t)seconds * 1000u : endMs + RENDER_TAIL_MS;
  error = SynthRenderWav(events, lengthMs, out);
  if (!error.empty()) {
    std::fprintf(stderr, "tamborix-cli render: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
