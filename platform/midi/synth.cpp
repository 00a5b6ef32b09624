/*
** The built-in General MIDI synthesizer (FluidSynth): how one is made, how short messages
** reach it, how a cycle of audio is rendered with every message on its frame, and the
** offline renderer of synth_render.h. audio.cpp keeps the live one playing.
**
** Live and offline synthesizers are made the same way (soundfont, gain, every channel at
** the volume 127 a Standard MIDI File export sets) and play through the same
** SynthRenderCycle, so what the renderer writes is what the program plays, and what the
** program plays is what another player makes of the export. FluidSynth's log is switched
** off, so that nothing reaches the terminal.
*/
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <glib.h>

#include "platform/midi/fluid.h"
#include "platform/midi/midi_internal.h"
#include "platform/midi/synth_render.h"

namespace {

constexpr int kWavRate = 44100;      /* Hz of the WAV files written */
constexpr int kOfflineCycle = 1024;  /* frames per cycle when rendering offline */

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

constexpr int kCcVolume = 7;         /* MIDI controller: channel volume */
constexpr int kFullVolume = 127;     /* the channel volume an export writes */

std::mutex gSynthMu;                 /* guards the three below */
std::string gSoundfontOverride;      /* tests: the only soundfont path tried; "" = search */
bool gOverrideActive = false;        /* gSoundfontOverride is in force */
std::string gSoundfontChosen;        /* SynthSetSoundfont: tried first; "" = search */
std::atomic<double> gGain{kSynthDefaultGain};  /* SynthSetGain; any thread */

void Quiet(int, const char*, void*) {}

void QuietGLib(const gchar*, GLogLevelFlags, const gchar*, gpointer) {}

/* FluidSynth's own log, and GLib's (the soundfont loaders of libinstpatch report a broken
** file with GLib "CRITICAL" lines): what failed is said once, by the caller, in its words. */
void SilenceFluid() {
  static std::once_flag once;
  std::call_once(once, [] {
    for (int level = 0; level < LAST_LOG_LEVEL; level++) fluid_set_log_function(level, Quiet, nullptr);
    g_log_set_default_handler(QuietGLib, nullptr);
  });
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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
  PutLE(h, kWavRate, 4);
  PutLE(h, kWavRate * 4, 4);       /* bytes per second */
  PutLE(h, 4, 2);                  /* block align */
  PutLE(h, 16, 2);                 /* bits per sample */
  h.insert(h.end(), {'d', 'a', 't', 'a'});
  PutLE(h, dataBytes, 4);
  return h;
}

/* Interleaved 16-bit stereo (user = int16_t*), dithered as FluidSynth does it. */
void RenderS16(fluid_synth_t* synth, int64_t from, int64_t count, void* user) {
  int16_t* buf = static_cast<int16_t*>(user) + 2 * from;
  fluid_synth_write_s16(synth, static_cast<int>(count), buf, 0, 2, buf, 1, 2);
}

/* Renders stamped messages offline in cycles of `period` frames (the map's time 0 is frame
** 0), handing each cycle to `emit`; false when `emit` says stop. A message reaches the queue
** before the cycle whose start it is due by, plus `lookNs`: a live callback runs at its
** cycle's start and has what was sent by then (lookNs = -lateness of the sender), while a
** renderer without latency needs each cycle's messages ahead (lookNs = the cycle's length). */
template <class Emit>
bool RenderOffline(fluid_synth_t* synth, const std::vector<Stamped>& messages, double rate, int64_t period,
                   int64_t latencyFrames, int64_t lookNs, int64_t frames, SliceTarget target, Emit emit) {
  std::unique_ptr<StampQueue> queue(new StampQueue);
  size_t next = 0;
  for (int64_t at = 0; at < frames; at += period) {
    const int64_t n = std::min(period, frames - at);
    const CycleMap map{static_cast<int64_t>(static_cast<double>(at) * 1e9 / rate), rate / 1e9, latencyFrames};
    while (next < messages.size() &&
           (messages[next].dueNs == kDueNow || messages[next].dueNs <= map.startNs + lookNs) &&
           StampPush(queue.get(), messages[next]))
      next++;
    SynthRenderCycle(synth, queue.get(), map, n, target);
    if (!emit(n)) return false;
  }
  return true;
}

}  // namespace

/* ---------------------------------------------------------------- making a synthesizer */

bool MakeSettings(Made& m, double rate) {
  SilenceFluid();
  m.settings = new_fluid_settings();
  if (!m.settings) return false;
  fluid_settings_setnum(m.settings, "synth.sample-rate", rate);
  fluid_settings_setnum(m.settings, "synth.gain", gGain.load());
  fluid_settings_setint(m.settings, "synth.cpu-cores", 1);
  return true;
}

/* FluidSynth starts a channel at volume 100; an export starts it at 127. */
static void FullVolume(fluid_synth_t* synth) {
  for (int ch = 0; ch < 16; ch++) fluid_synth_cc(synth, ch, kCcVolume, kFullVolume);
}

bool MakeSynth(Made& m, const std::string& soundfont) {
  m.synth = new_fluid_synth(m.settings);
  if (!m.synth || fluid_synth_sfload(m.synth, soundfont.c_str(), 1) == FLUID_FAILED) return false;
  FullVolume(m.synth);
  return true;
}

void Unmake(Made& m) {
  if (m.synth) delete_fluid_synth(m.synth);
  if (m.settings) delete_fluid_settings(m.settings);
  m = Made();
}

void SynthApply(fluid_synth_t* synth, uint32_t bytes) {
  const size_t n = StampSize(bytes);
  const int status = bytes & 0xFF, d1 = (bytes >> 8) & 0x7F, d2 = (bytes >> 16) & 0x7F;
  if (n == 0 || status < 0x80) return;
  const int ch = status & 0x0F;
  switch (status & 0xF0) {
    case 0x80: fluid_synth_noteoff(synth, ch, d1); break;
    case 0x90:
      if (d2 == 0) fluid_synth_noteoff(synth, ch, d1);   /* note on, velocity 0 = note off */
      else fluid_synth_noteon(synth, ch, d1, d2);
      break;
    case 0xA0: fluid_synth_key_pressure(synth, ch, d1, d2); break;
    case 0xB0: fluid_synth_cc(synth, ch, d1, d2); break;
    case 0xC0: fluid_synth_program_change(synth, ch, d1); break;
    case 0xD0: fluid_synth_channel_pressure(synth, ch, d1); break;
    case 0xE0: fluid_synth_pitch_bend(synth, ch, d1 | (d2 << 7)); break;
    default:
      if (status == 0xFF) {   /* other system messages: nothing */
        fluid_synth_system_reset(synth);
        FullVolume(synth);
      }
      break;
  }
}

/* ---------------------------------------------------------------- rendering a cycle */

void SynthRenderCycle(fluid_synth_t* synth, StampQueue* queue, const CycleMap& map, int64_t n, SliceTarget target) {
  const float gain = static_cast<float>(gGain.load(std::memory_order_relaxed));
  if (fluid_synth_get_gain(synth) != gain) fluid_synth_set_gain(synth, gain);
  StampCollect(queue);
  int64_t done = 0, at = 0;
  uint32_t bytes = 0;
  while (StampNext(queue, map, n, &at, &bytes)) {
    if (at > done) {
      target.render(synth, done, at - done, target.user);
      done = at;
    }
    SynthApply(synth, bytes);
  }
  if (done < n) target.render(synth, done, n - done, target.user);
}

void SynthRenderFloat(fluid_synth_t* synth, int64_t from, int64_t count, void* user) {
  float** out = static_cast<float**>(user);
  fluid_synth_write_float(synth, static_cast<int>(count), out[0] + from, 0, 1, out[1] + from, 0, 1);
}

/* ---------------------------------------------------------------- soundfont */

void SynthOverrideSoundfont(const char* path) {
  std::lock_guard<std::mutex> lock(gSynthMu);
  gOverrideActive = path != nullptr;
  gSoundfontOverride = path ? path : "";
}

bool SynthSetSoundfont(const std::string& path) {
  if (!path.empty() && !FileExists(path)) return false;
  std::lock_guard<std::mutex> lock(gSynthMu);
  gSoundfontChosen = path;
  return true;
}

bool SynthForgetSoundfont(const std::string& path) {
  std::lock_guard<std::mutex> lock(gSynthMu);
  if (path.empty() || gSoundfontChosen != path) return false;
  gSoundfontChosen.clear();
  return true;
}

bool SynthSoundfontLoads(const std::string& path) {
  Made m;
  const bool loads = MakeSettings(m, kWavRate) && MakeSynth(m, path);
  Unmake(m);
  return loads;
}

bool SynthUseSoundfont(const std::string& path) {
  std::string previous;
  {
    std::lock_guard<std::mutex> lock(gSynthMu);
    previous = gSoundfontChosen;
  }
  const std::string playing = SynthSoundfontPath();
  if (!SynthSetSoundfont(path)) return false;
  const std::string wanted = SynthSoundfontPath();
  if (wanted == playing) return true;
  const bool live = !SynthBackend().empty();
  /* A synthesizer made before that plays on no system keeps the soundfont it was made with
  ** when it attaches again: it goes, and the next start makes it with the new one. */
  if (!live) SynthStop();
  if (!live && SynthSoundfontLoads(wanted)) return true;
  if (live) {
    SynthStop();
    std::string dropped;
    /* A start that fails for want of audio (a JACK server gone) says nothing against it. */
    SynthStart(nullptr, &dropped);
    if (dropped.empty()) return true;
  }
  {
    std::lock_guard<std::mutex> lock(gSynthMu);
    gSoundfontChosen = previous;
  }
  if (live && !previous.empty()) {   /* it plays the distribution's now, not the one before */
    SynthStop();
    SynthStart(nullptr);
  }
  return false;
}

std::string SynthSoundfontPath() {
  {
    std::lock_guard<std::mutex> lock(gSynthMu);
    if (gOverrideActive) return FileExists(gSoundfontOverride) ? gSoundfontOverride : std::string();
    if (!gSoundfontChosen.empty() && FileExists(gSoundfontChosen)) return gSoundfontChosen;
  }
  for (const char* path : kSoundfonts)
    if (FileExists(path)) return path;
  return std::string();
}

/* ---------------------------------------------------------------- gain */

void SynthSetGain(double gain) { gGain = std::clamp(gain, 0.0, kSynthMaxGain); }

double SynthGain() { return gGain.load(); }

void SynthSetupReset() {
  SynthOverrideSoundfont(nullptr);
  SynthSetSoundfont("");
  SynthSetGain(kSynthDefaultGain);
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

std::string SynthRenderCycles(const std::vector<Stamped>& messages, double rate, int period, int64_t lateNs,
                              int64_t frames, std::vector<float>* left) {
  std::string soundfont = SynthSoundfontPath();
  if (soundfont.empty()) return "no General MIDI soundfont is installed";
  if (period <= 0 || rate <= 0 || frames < 0) return "no such cycle";
  Made m;
  if (!MakeSettings(m, rate) || !MakeSynth(m, soundfont)) {
    Unmake(m);
    return "cannot create the synthesizer with " + soundfont;
  }
  std::vector<float> l(frames), r(frames);
  float* out[2] = {l.data(), r.data()};
  int64_t at = 0;
  /* The target writes at the cycle's offsets: its buffers move along cycle by cycle. */
  SliceTarget target{SynthRenderFloat, out};
  RenderOffline(m.synth, messages, rate, period, CycleLatency(period, rate), -lateNs, frames, target, [&](int64_t n) {
    at += n;
    out[0] = l.data() + at;
    out[1] = r.data() + at;
    return true;
  });
  Unmake(m);
  *left = std::move(l);
  return std::string();
}

std::string SynthRenderWav(const std::vector<SynthEvent>& events, uint32_t lengthMs,
                           const std::function<bool(const void* data, size_t size)>& write) {
  std::string soundfont = SynthSoundfontPath();
  if (soundfont.empty()) return "no General MIDI soundfont is installed";
  Made m;
  if (!MakeSettings(m, kWavRate) || !MakeSynth(m, soundfont)) {
    Unmake(m);
    return "cannot create the synthesizer with " + soundfont;
  }
  /* Each event on the frame of its millisecond: no latency offline. */
  std::vector<Stamped> messages;
  uint8_t runningStatus = 0;
  for (const SynthEvent& e : events) {
    unsigned char b[3];
    size_t n = ShortMsgBytes(e.message, &runningStatus, b);
    if (n > 0) messages.push_back(Stamped{static_cast<int64_t>(e.timeMs) * 1000000, StampPack(b, n)});
  }
  std::stable_sort(messages.begin(), messages.end(),
                   [](const Stamped& a, const Stamped& b) { return a.dueNs < b.dueNs; });
  const int64_t frames = static_cast<int64_t>(lengthMs) * kWavRate / 1000;
  const int64_t endNs = static_cast<int64_t>(lengthMs) * 1000000;
  while (!messages.empty() && messages.back().dueNs >= endNs) messages.pop_back();

  std::vector<unsigned char> header = WavHeader(static_cast<uint32_t>(frames));
  bool written = write(header.data(), header.size());
  std::vector<int16_t> buf(kOfflineCycle * 2);
  const int64_t cycleNs = static_cast<int64_t>(kOfflineCycle) * 1000000000 / kWavRate;
  if (written)
    RenderOffline(m.synth, messages, kWavRate, kOfflineCycle, 0, cycleNs, frames, SliceTarget{RenderS16, buf.data()},
                  [&](int64_t n) {
                    /* WAV samples are little-endian, as is every machine this layer runs on. */
                    written = write(buf.data(), static_cast<size_t>(n) * 4);
                    return written;
                  });
  Unmake(m);
  return written ? std::string() : std::string("not written");
}
