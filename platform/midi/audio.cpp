/*
** The live built-in synthesizer: made once, at the first use of output device 0 or when
** the device table is built, and kept until the program ends, so that its audio client,
** everything patched to it and the tails of its notes survive Play and Stop.
**
** Audio systems, in this order unless TAMBORIX_AUDIO names one: the own JACK client (a
** running JACK server; none is ever started), PulseAudio (PipeWire's too), ALSA. Each calls
** our render callback once a cycle, which plays the queued messages on their frames
** (SynthRenderCycle) with the cycle's frame clock: on JACK the server's own, on PulseAudio
** the stream's timing (pulse.cpp), on ALSA (FluidSynth's driver with a callback) a
** delay-locked loop over the callback times (schedule.h), which turns the bursty wake-ups
** of a device into a steady frame clock.
**
** The synth moves between them as JACK comes and goes (SynthJackChanged, from the ports'
** watch): it leaves a server that stopped for the next system that opens, and goes back to
** JACK when a server runs again. The synthesizer object stays, unless the new system runs
** at another rate: then it is made again at that rate (the soundfont loaded again).
**
** Threads. Starting, moving and stopping run under gLiveMu; the window thread's open only
** reads what plays (backend, reasons) and never waits for a move. Messages are queued by
** the sending threads (devices.cpp serialises them) and played by the audio thread of the
** system in use; the synthesizer is touched by that thread only, after it is published in
** LiveSynth::ready, and by the thread that moves it while no audio thread runs.
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
constexpr int kDriverPeriod = 64;        /* frames per callback on ALSA */
constexpr int kDriverPeriods = 16;       /* periods in its device buffer */

const char* const kJack = "jack";
const char* const kPulse = "pulseaudio";
const char* const kAlsa = "alsa";
const char* const kJackStopped = "the JACK server the synth played to has stopped";

struct LiveSynth {
  Made made;                                /* at `rate` */
  double rate = 0;
  std::atomic<const char*> backend{""};     /* kJack, kPulse, kAlsa; "" while none plays */
  fluid_audio_driver_t* driver = nullptr;   /* ALSA's */
  std::unique_ptr<StampQueue> queue{new StampQueue};
  std::atomic<fluid_synth_t*> ready{nullptr};  /* published before an audio thread runs */
  FrameDll dll;                             /* ALSA's audio thread */
  std::mutex whyMu;                         /* guards why */
  std::string why;                          /* why none plays */
};

std::mutex gLiveMu;                         /* guards starting, moving and stopping */
std::atomic<LiveSynth*> gLive{nullptr};     /* the synthesizer, or nullptr */

/* JACK process thread or PulseAudio stream thread: one cycle with the system's frame clock. */
void RenderMapped(float* left, float* right, uint32_t frames, const CycleMap& map, void* user) {
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

/* FluidSynth driver thread (ALSA): one cycle into the driver's buffers. */
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

/* The systems to try, in order. `*refused` is set when TAMBORIX_AUDIO names none. */
std::vector<const char*> Order(std::string* refused) {
  const char* chosen = std::getenv("TAMBORIX_AUDIO");
  if (chosen && *chosen) {
    for (const char* b : {kJack, kPulse, kAlsa})
      if (std::strcmp(chosen, b) == 0) return {b};
    *refused = std::string("TAMBORIX_AUDIO=") + chosen + " is none of jack, pulseaudio, alsa";
  }
  return {kJack, kPulse, kAlsa};
}

void SetWhy(LiveSynth* s, const std::string& why) {
  std::lock_guard<std::mutex> lock(s->whyMu);
  s->why = why;
}

/* Stops the system that plays (gLiveMu held): afterwards no audio thread touches the synth,
** and what was queued for it is dropped (its frames have passed). */
void Detach(LiveSynth* s) {
  const char* backend = s->backend.exchange("");
  if (backend == kJack) JackAudioDetach();
  if (backend == kPulse) PulseClose();
  if (s->driver) delete_fluid_audio_driver(s->driver);   /* joins the driver's thread */
  s->driver = nullptr;
  StampClear(s->queue.get());   /* no audio thread: this one is the queue's consumer */
  s->dll = FrameDll();
}

/* Plays the synth on `backend` (gLiveMu held, nothing playing); "" on success, else why
** not. A machine without audio never loads the soundfont. */
std::string Attach(LiveSynth* s, const char* backend, const std::string& soundfont) {
  if (backend == kJack && !JackAlive()) return "JACK: no server runs";
  const double rate = backend == kJack ? JackRate() : kDefaultRate;
  if (!s->made.synth || s->rate != rate) {
    Made made;
    if (!MakeSettings(made, rate)) return std::string(backend) + ": FluidSynth settings failed";
    if (!MakeSynth(made, soundfont)) {
      Unmake(made);
      return "cannot load the soundfont " + soundfont;
    }
    s->ready.store(nullptr);
    Unmake(s->made);
    s->made = made;
    s->rate = rate;
  }
  s->ready.store(s->made.synth, std::memory_order_release);
  std::string why;
  if (backend == kJack && !JackAudioAttach(RenderMapped, s, &why)) return "JACK: " + why;
  if (backend == kPulse && !PulseOpen(rate, RenderMapped, s, &why)) return why;
  if (backend == kAlsa) {
    fluid_settings_setstr(s->made.settings, "audio.driver", "alsa");
    fluid_settings_setint(s->made.settings, "audio.period-size", kDriverPeriod);
    fluid_settings_setint(s->made.settings, "audio.periods", kDriverPeriods);
    PortsSilence();
    s->driver = new_fluid_audio_driver2(s->made.settings, RenderDriver, s);
    if (!s->driver) return "ALSA: no sound device could be opened";
  }
  s->backend = backend;
  return "";
}

/* The first system of `order` that plays the synth; false (and the reasons kept, after
** `before`) when none does. A soundfont chosen (SynthSetSoundfont) that FluidSynth cannot
** load is given up for the distribution's, which is tried on the same system; `*dropped`
** (if given) then names it. */
bool AttachFirst(LiveSynth* s, const std::vector<const char*>& order, std::string before,
                 std::string* dropped) {
  std::string soundfont = SynthSoundfontPath();
  if (soundfont.empty()) {
    SetWhy(s, "no General MIDI soundfont is installed");
    return false;
  }
  std::string reasons;
  for (size_t i = 0; i < order.size(); i++) {
    const std::string failed = Attach(s, order[i], soundfont);
    if (failed.empty()) {
      SetWhy(s, "");
      return true;
    }
    if (failed.rfind("cannot load", 0) == 0) {
      if (SynthForgetSoundfont(soundfont)) {
        if (dropped) *dropped = soundfont;
        soundfont = SynthSoundfontPath();
        if (!soundfont.empty()) {
          i--;   /* the same system again, with the distribution's soundfont */
          continue;
        }
      }
      SetWhy(s, failed);
      return false;
    }
    reasons += (reasons.empty() ? "" : "; ") + failed;
  }
  SetWhy(s, before + (before.empty() ? "" : ", and ") + "no audio output (" + reasons + ")");
  return false;
}

void FreeLive(LiveSynth* s) {
  Detach(s);
  Unmake(s->made);
  delete s;
}

}  // namespace

/* ---------------------------------------------------------------- the synthesizer */

bool SynthStart(std::string* why, std::string* dropped) {
  LiveSynth* s = gLive.load();
  if (!s || !*s->backend.load()) {
    /* Made now, or tried again on every system: one may have started since. A move under
    ** way is not waited for. */
    std::unique_lock<std::mutex> lock(gLiveMu, std::try_to_lock);
    if (lock.owns_lock() && !(s && *s->backend.load())) {
      if (SynthSoundfontPath().empty()) {
        if (why) *why = "no General MIDI soundfont is installed";
        return false;
      }
      std::string refused;
      const std::vector<const char*> order = Order(&refused);
      if (!(s = gLive.load())) s = new LiveSynth;
      AttachFirst(s, order, refused, dropped);
      gLive = s;
    }
    if (!s) {
      if (why) *why = "the synth is being made";
      return false;
    }
  }
  const char* backend = s->backend.load();
  if (backend == kJack && !JackAlive()) {
    if (why) *why = kJackStopped;   /* and the ports' watch has not moved it yet */
    return false;
  }
  if (*backend) return true;
  if (why) {
    std::lock_guard<std::mutex> lock(s->whyMu);
    *why = s->why;
  }
  return false;
}

void SynthJackChanged(bool alive) {
  std::lock_guard<std::mutex> lock(gLiveMu);
  LiveSynth* s = gLive.load();
  if (!s) return;
  std::string refused;
  std::vector<const char*> order = Order(&refused);
  const char* backend = s->backend.load();
  if (!alive) {
    if (backend != kJack) return;
    Detach(s);
    if (!order.empty() && order[0] == kJack) order.erase(order.begin());
    AttachFirst(s, order, kJackStopped, nullptr);
    return;
  }
  if (order[0] != kJack || backend == kJack) return;
  Detach(s);
  AttachFirst(s, order, "", nullptr);
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
  return s ? s->backend.load() : "";
}

void SynthStop() {
  std::lock_guard<std::mutex> lock(gLiveMu);
  LiveSynth* s = gLive.exchange(nullptr);
  if (s) FreeLive(s);
}
