/*
** The built-in General MIDI synthesizer (FluidSynth): output device 0 of the Linux layer,
** and the offline renderer of synth_render.h.
**
** Both build the synthesizer the same way (soundfont, sample rate, gain) and decode short
** messages through SynthApply, so what the renderer writes is what the program plays.
** FluidSynth's log is switched off, and so are ALSA's and JACK's diagnostics by PortsProbe's
** silencing (done here too before a driver opens), so that nothing reaches the terminal.
** An audio driver that cannot open is a clean failure: SynthOpen returns nullptr.
*/
#include <fluidsynth.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "platform/midi/midi_internal.h"
#include "platform/midi/synth_render.h"

namespace {

constexpr int kSampleRate = 44100;   /* Hz, live and offline */
constexpr double kGain = 0.5;        /* FluidSynth master gain; its default 0.2 is faint */

/* Where Debian and other distributions put a General MIDI soundfont, most specific first. */
const char* const kSoundfonts[] = {
    "/usr/share/sounds/sf2/default-GM.sf2",
    "/usr/share/sounds/sf2/FluidR3_GM.sf2",
    "/usr/share/sounds/sf2/TimGM6mb.sf2",
    "/usr/share/sounds/sf3/default-GM.sf3",
    "/usr/share/sounds/sf3/MuseScore_General.sf3",
    "/usr/share/soundfonts/default.sf2",
    "/usr/share/soundfonts/FluidR3_GM.sf2",
};

std::mutex gSynthMu;                 /* guards gSoundfontOverride */
std::string gSoundfontOverride;      /* tests: the only soundfont path tried; "" = search */
bool gOverrideActive = false;        /* gSoundfontOverride is in force */

void Quiet(int, const char*, void*) {}

void SilenceFluid() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int level = 0; level < LAST_LOG_LEVEL; level++) fluid_set_log_function(level, Quiet, nullptr);
  });
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/* A synthesizer with the soundfont loaded, not yet attached to audio. */
struct Made {
  fluid_settings_t* settings = nullptr;
  fluid_synth_t* synth = nullptr;
};

void Unmake(Made& m) {
  if (m.synth) delete_fluid_synth(m.synth);
  if (m.settings) delete_fluid_settings(m.settings);
  m = Made();
}

bool Make(Made& m, const std::string& soundfont) {
  SilenceFluid();
  m.settings = new_fluid_settings();
  if (!m.settings) return false;
  fluid_settings_setnum(m.settings, "synth.sample-rate", kSampleRate);
  fluid_settings_setnum(m.settings, "synth.gain", kGain);
  fluid_settings_setint(m.settings, "synth.cpu-cores", 1);
  fluid_settings_setint(m.settings, "audio.jack.autoconnect", 1);
  fluid_settings_setstr(m.settings, "audio.jack.id", "Tamborix GM Synth");
  m.synth = new_fluid_synth(m.settings);
  if (!m.synth || fluid_synth_sfload(m.synth, soundfont.c_str(), 1) == FLUID_FAILED) {
    Unmake(m);
    return false;
  }
  return true;
}

/* Plays one short message on the synthesizer. */
void SynthApply(fluid_synth_t* synth, uint32_t message, uint8_t* runningStatus) {
  unsigned char b[3];
  size_t n = ShortMsgBytes(message, runningStatus, b);
  if (n == 0) return;
  int ch = b[0] & 0x0F;
  switch (b[0] & 0xF0) {
    case 0x80: fluid_synth_noteoff(synth, ch, b[1]); break;
    case 0x90:
      if (b[2] == 0) fluid_synth_noteoff(synth, ch, b[1]);   /* note on, velocity 0 = note off */
      else fluid_synth_noteon(synth, ch, b[1], b[2]);
      break;
    case 0xA0: fluid_synth_key_pressure(synth, ch, b[1], b[2]); break;
    case 0xB0: fluid_synth_cc(synth, ch, b[1], b[2]); break;
    case 0xC0: fluid_synth_program_change(synth, ch, b[1]); break;
    case 0xD0: fluid_synth_channel_pressure(synth, ch, b[1]); break;
    case 0xE0: fluid_synth_pitch_bend(synth, ch, b[1] | (b[2] << 7)); break;
    default:
      if (b[0] == 0xFF) fluid_synth_system_reset(synth);   /* other system messages: nothing */
      break;
  }
}

void PutLE(std::vector<unsigned char>& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; i++) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

/* The 44-byte header of a canonical PCM WAV file. */
std::vector<unsigned char> WavHeader(uint32_t frames) {
  const uint32_t dataBytes = frames * 4;   /* 2 channels x 16 bits */
  std::vector<unsigned char> h;
  h.insert(h.end(), {'R', 'I', 'F', 'F'});
  PutLE(h, 36 + dataBytes, 4);
  h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLE(h, 16, 4);                 /* fmt chunk size */
  PutLE(h, 1, 2);                  /* PCM */
  PutLE(h, 2, 2);                  /* channels */
  PutLE(h, kSampleRate, 4);
  PutLE(h, kSampleRate * 4, 4);    /* bytes per second */
  PutLE(h, 4, 2);                  /* block align */
  PutLE(h, 16, 2);                 /* bits per sample */
  h.insert(h.end(), {'d', 'a', 't', 'a'});
  PutLE(h, dataBytes, 4);
  return h;
}

}  // namespace

/* ---------------------------------------------------------------- live synthesizer */

struct LiveSynth {
  Made made;
  fluid_audio_driver_t* driver = nullptr;
  uint8_t runningStatus = 0;   /* written by the sending thread under the device table's lock */
};

LiveSynth* SynthOpen() {
  std::string soundfont = SynthSoundfontPath();
  if (soundfont.empty()) return nullptr;
  PortsSilence();
  LiveSynth* s = new LiveSynth;
  if (!Make(s->made, soundfont)) {
    delete s;
    return nullptr;
  }
  for (const char* driver : {"pulseaudio", "alsa", "jack"}) {
    fluid_settings_setstr(s->made.settings, "audio.driver", driver);
    s->driver = new_fluid_audio_driver(s->made.settings, s->made.synth);
    if (s->driver) return s;
  }
  Unmake(s->made);
  delete s;
  return nullptr;
}

void SynthSend(LiveSynth* synth, uint32_t message) {
  if (synth) SynthApply(synth->made.synth, message, &synth->runningStatus);
}

void SynthClose(LiveSynth* synth) {
  if (!synth) return;
  if (synth->driver) delete_fluid_audio_driver(synth->driver);
  Unmake(synth->made);
  delete synth;
}

void SynthOverrideSoundfont(const char* path) {
  std::lock_guard<std::mutex> lock(gSynthMu);
  gOverrideActive = path != nullptr;
  gSoundfontOverride = path ? path : "";
}

std::string SynthSoundfontPath() {
  {
    std::lock_guard<std::mutex> lock(gSynthMu);
    if (gOverrideActive) return FileExists(gSoundfontOverride) ? gSoundfontOverride : std::string();
  }
  for (const char* path : kSoundfonts)
    if (FileExists(path)) return path;
  return std::string();
}

/* ---------------------------------------------------------------- short messages */

size_t ShortMsgBytes(uint32_t message, uint8_t* runningStatus, unsigned char out[3]) {
  unsigned char status = message & 0xFF;
  unsigned char d1 = (message >> 8) & 0x7F;
  unsigned char d2 = (message >> 16) & 0x7F;
  if (status < 0x80) {
    /* Running status: the word starts with the first data byte. */
    if (!runningStatus || *runningStatus == 0) return 0;
    d2 = d1;
    d1 = status;
    status = *runningStatus;
  }
  size_t n;
  if (status < 0xF0) {
    n = (status & 0xE0) == 0xC0 ? 2 : 3;   /* program change, channel pressure: one data byte */
    if (runningStatus) *runningStatus = status;
  } else {
    switch (status) {
      case 0xF1: case 0xF3: n = 2; break;
      case 0xF2: n = 3; break;
      case 0xF6: case 0xF8: case 0xFA: case 0xFB: case 0xFC: case 0xFE: case 0xFF: n = 1; break;
      default: return 0;   /* sysex, its end, undefined */
    }
    if (runningStatus && status < 0xF8) *runningStatus = 0;   /* system common cancels it */
  }
  out[0] = status;
  out[1] = d1;
  out[2] = d2;
  return n;
}

/* ---------------------------------------------------------------- offline rendering */

std::string SynthRenderWav(const std::vector<SynthEvent>& events, uint32_t lengthMs,
                           const std::function<bool(const void* data, size_t size)>& write) {
  std::string soundfont = SynthSoundfontPath();
  if (soundfont.empty()) return "no General MIDI soundfont is installed";
  Made m;
  if (!Make(m, soundfont)) return "cannot create the synthesizer with " + soundfont;

  std::vector<SynthEvent> sorted(events);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const SynthEvent& a, const SynthEvent& b) { return a.timeMs < b.timeMs; });
  const uint32_t frames = static_cast<uint32_t>(static_cast<uint64_t>(lengthMs) * kSampleRate / 1000);

  std::vector<unsigned char> header = WavHeader(frames);
  bool ok = write(header.data(), header.size());
  bool synthFailed = false;

  constexpr int kChunk = 1024;             /* frames rendered per call */
  std::vector<int16_t> buf(kChunk * 2);    /* interleaved left, right */
  uint8_t runningStatus = 0;
  uint32_t done = 0;
  size_t next = 0;
  while (ok && done < frames) {
    while (next < sorted.size() &&
           static_cast<uint64_t>(sorted[next].timeMs) * kSampleRate / 1000 <= done)
      SynthApply(m.synth, sorted[next++].message, &runningStatus);
    uint64_t until = frames;   /* the next event's frame, which is past `done` */
    if (next < sorted.size())
      until = std::min<uint64_t>(frames, static_cast<uint64_t>(sorted[next].timeMs) * kSampleRate / 1000);
    int n = static_cast<int>(std::min<uint64_t>(kChunk, until - done));
    if (fluid_synth_write_s16(m.synth, n, buf.data(), 0, 2, buf.data(), 1, 2) != FLUID_OK) {
      ok = false;
      synthFailed = true;
      break;
    }
    /* WAV samples are little-endian, as is every machine this layer runs on. */
    ok = write(buf.data(), static_cast<size_t>(n) * 4);
    done += n;
  }
  Unmake(m);
  if (synthFailed) return "the synthesizer failed while rendering";
  return ok ? std::string() : std::string("not written");
}
