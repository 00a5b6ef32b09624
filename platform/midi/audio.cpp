/*
** The live built-in synthesizer: made once, at the first use of output device 0 or when
** the device table is built, and kept until the program ends, so that its audio client,
** everything patched to it and the tails of its notes survive Play and Stop.
**
** Audio backends, in this order unless TAMBORIX_AUDIO names one: the own JACK client (when
** a JACK server was running as the program started; none is ever started), PulseAudio
** (PipeWire's too), ALSA. Each backend calls our own render callback once a cycle, which
** plays the queued messages on their frames (SynthRenderCycle): on JACK through the
** server's own frame clock of the cycle, on PulseAudio and ALSA (FluidSynth's drivers with
** a callback) through a delay-locked loop over the callback times (schedule.h), which turns
** the bursty wake-ups of a sound server into a steady frame clock.
**
** Threads. Start and stop run under gLiveMu. Messages are queued by the sending threads
** (devices.cpp serialises them) and played by the backend's audio thread; the synthesizer
** is touched by that thread only, after it is published in LiveSynth::ready.
*/
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/midi/fluid.h"
#include "platform/midi/midi_internal.h"
#include "platform/midi/synth_render.h"

namespace {

constexpr double kDefaultRate = 44100;   /* Hz on PulseAudio and ALSA */
constexpr int kDriverPeriod = 64;        /* frames per callback on PulseAudio and ALSA */
constexpr int kDriverPeriods = 16;       /* periods in their device buffer */

struct LiveSynth {
  Made made;
  std::string backend;                      /* "jack", "pulseaudio", "alsa" */
  fluid_audio_driver_t* driver = nullptr;   /* PulseAudio or ALSA; nullptr on JACK */
  double rate = kDefaultRate;
  std::unique_ptr<StampQueue> queue{new StampQueue};
  std::atomic<fluid_synth_t*> ready{nullptr};  /* published once the soundfont is loaded */
  FrameDll dll;                             /* audio thread (PulseAudio, ALSA) */
};

std::mutex gLiveMu;                         /* guards starting and stopping */
std::atomic<LiveSynth*> gLive{nullptr};     /* the synthesizer playing, or nullptr */

/* JACK process thread: one cycle of the synth's ports. */
void RenderJack(float* left, float* right, uint32_t frames, const CycleMap& map, void* user) {
  LiveSynth* s = static_cast<LiveSynth*>(user);
  fluid_synth_t* synth = s->ready.load(std::memory_order_acquire);
  if (!synth) {
    std::memset(left, 0, frames * sizeof(float));
    std::memset(right, 0, frames * sizeof(float));
    return;
  }
  float* out[2] = {left, right};
  SynthRenderCycle(synth, s->queue.get(), map, frames, SliceTarget{SynthRenderFloat, out});
}

/* FluidSynth driver thread (PulseAudio, ALSA): one cycle into the driver's buffers. */
int RenderDriver(void* data, int len, int nfx, float* fx[], int nout, float* out[]) {
  (void)nfx;
  (void)fx;
  LiveSynth* s = static_cast<LiveSynth*>(data);
  fluid_synth_t* synth = s->ready.load(std::memory_order_acquire);
  if (!synth || nout < 2) {
    for (int i = 0; i < nout; i++) std::memset(out[i], 0, len * sizeof(float));
    return FLUID_OK;
  }
  const CycleMap map = DllCycle(&s->dll, MidiSteadyNs(), len, s->rate);
  float* lr[2] = {out[0], out[1]};
  SynthRenderCycle(synth, s->queue.get(), map, len, SliceTarget{SynthRenderFloat, lr});
  return FLUID_OK;
}

void FreeLive(LiveSynth* s) {
  if (s->driver) delete_fluid_audio_driver(s->driver);   /* joins the driver's thread */
  Unmake(s->made);
  delete s;
}

/* Opens `backend` for a new synthesizer; "" on success, else why not. The synth itself is
** made afterwards, so a machine without audio never loads the soundfont. */
std::string OpenBackend(LiveSynth* s, const std::string& backend) {
  if (backend == "jack") {
    if (!JackAlive()) return "JACK: no server was running when the program started";
    s->rate = JackRate();
    if (!MakeSettings(s->made, s->rate)) return "JACK: FluidSynth settings failed";
    return "";
  }
  if (!MakeSettings(s->made, kDefaultRate)) return backend + ": FluidSynth settings failed";
  fluid_settings_setstr(s->made.settings, "audio.driver", backend.c_str());
  fluid_settings_setint(s->made.settings, "audio.period-size", kDriverPeriod);
  fluid_settings_setint(s->made.settings, "audio.periods", kDriverPeriods);
  PortsSilence();
  s->driver = new_fluid_audio_driver2(s->made.settings, RenderDriver, s);
  if (s->driver) return "";
  return backend == "alsa" ? "ALSA: no sound device could be opened" : "PulseAudio: no sound server answered";
}

/* ---------------------------------------------------------------- the synthesizer */

/* Makes the synthesizer of `s` with `*soundfont`; one chosen that cannot be loaded is given
** up for the distribution's (*dropped names it, *soundfont becomes the one loaded). */
bool LoadSoundfont(LiveSynth* s, std::string* soundfont, std::string* dropped) {
  if (MakeSynth(s->made, *soundfont)) return true;
  if (!SynthForgetSoundfont(*soundfont)) return false;
  if (dropped) *dropped = *soundfont;
  *soundfont = SynthSoundfontPath();
  if (s->made.synth) delete_fluid_synth(s->made.synth);
  s->made.synth = nullptr;
  return !soundfont->empty() && MakeSynth(s->made, *soundfont);
}

}  // namespace

bool SynthStart(std::string* why, std::string* dropped) {
  std::lock_guard<std::mutex> lock(gLiveMu);
  if (LiveSynth* s = gLive.load()) {
    if (s->backend != "jack" || JackAlive()) return true;
    if (why) *why = "the JACK server the synth played to has stopped";
    return false;
  }
  std::string soundfont = SynthSoundfontPath();
  if (soundfont.empty()) {
    if (why) *why = "no General MIDI soundfont is installed";
    return false;
  }
  const char* chosen = std::getenv("TAMBORIX_AUDIO");
  std::vector<std::string> order = {"jack", "pulseaudio", "alsa"};
  std::string reasons;
  if (chosen && *chosen) {
    if (std::string(chosen) == "jack" || std::string(chosen) == "pulseaudio" || std::string(chosen) == "alsa")
      order = {chosen};
    else
      reasons = std::string("TAMBORIX_AUDIO=") + chosen + " is none of jack, pulseaudio, alsa";
  }
  for (const std::string& backend : order) {
    LiveSynth* s = new LiveSynth;
    s->backend = backend;
    std::string failed = OpenBackend(s, backend);
    if (failed.empty() && !LoadSoundfont(s, &soundfont, dropped)) {
      FreeLive(s);
      if (why) *why = "cannot load the soundfont " + soundfont;
      return false;
    }
    if (failed.empty() && backend == "jack" && !JackAudioAttach(RenderJack, s, &failed)) failed = "JACK: " + failed;
    if (!failed.empty()) {
      FreeLive(s);
      reasons += (reasons.empty() ? "" : "; ") + failed;
      continue;
    }
    s->ready.store(s->made.synth, std::memory_order_release);
    gLive = s;
    return true;
  }
  if (why) *why = "no audio output (" + reasons + ")";
  return false;
}

bool SynthQueue(int64_t dueNs, uint32_t bytes) {
  LiveSynth* s = gLive.load();
  return s && StampPush(s->queue.get(), Stamped{dueNs, bytes});
}

void SynthReleaseNotes() {
  const int64_t now = MidiSteadyNs();
  for (unsigned ch = 0; ch < 16; ch++) {
    const unsigned char sustainOff[3] = {static_cast<unsigned char>(0xB0 | ch), 64, 0};
    const unsigned char allNotesOff[3] = {static_cast<unsigned char>(0xB0 | ch), 123, 0};
    SynthQueue(now, StampPack(sustainOff, 3));
    SynthQueue(now, StampPack(allNotesOff, 3));
  }
}

uint32_t SynthMissedFrames() {
  LiveSynth* s = gLive.load();
  return s ? s->queue->missed.load() : 0;
}

std::string SynthBackend() {
  LiveSynth* s = gLive.load();
  return s ? s->backend : std::string();
}

void SynthStop() {
  std::lock_guard<std::mutex> lock(gLiveMu);
  LiveSynth* s = gLive.exchange(nullptr);
  if (!s) return;
  if (s->backend == "jack") JackAudioDetach();
  FreeLive(s);
}
