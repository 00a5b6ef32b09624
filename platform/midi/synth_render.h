/*
** Offline rendering with the built-in General MIDI synthesizer, for the command line and the
** tests (not part of the Win32 subset). The synthesizer is the same one that plays as MIDI
** output device 0, with the same soundfont, gain, decoding of short messages and rendering
** of a cycle (each message on its frame), but it runs with no audio driver, far faster than
** real time.
*/
#ifndef TBX_PLATFORM_SYNTH_RENDER_H
#define TBX_PLATFORM_SYNTH_RENDER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/midi/schedule.h"

/* One short message (status | data1 << 8 | data2 << 16, as midiOutShortMsg takes it) at a
** time in ms from the start of the rendering. */
struct SynthEvent {
  uint32_t timeMs;
  uint32_t message;
};

/* The General MIDI soundfont the synthesizer loads: the one SynthSetSoundfont chose while it
** exists, else the first of the distribution's standard soundfont names that exists
** ("default-GM.sf2" first); empty when none is installed. */
std::string SynthSoundfontPath();
/* Chooses the soundfont of every synthesizer made from now on: `path` when it names an
** existing file (true); otherwise the choice stays as it was (false). "" goes back to the
** distribution's. Whether FluidSynth can load it shows when a synthesizer is made, or ask: */
bool SynthSetSoundfont(const std::string& path);
/* True when FluidSynth loads the soundfont at `path` (it is loaded once, offline, to see). */
bool SynthSoundfontLoads(const std::string& path);

/* FluidSynth's master gain: every sample is multiplied by it. The default lets a dense
** pattern at velocity 127 with every channel at volume 127 peak near -1 dBFS without
** clipping (bass drum, snare, closed hi-hat and crash with a three-note piano chord on
** every step: -1.1 dBFS with Debian's default GM soundfont, TimGM6mb); FluidSynth's own
** default, 0.2, is 8 dB quieter. */
constexpr double kSynthDefaultGain = 0.5;
constexpr double kSynthMaxGain = 10.0;   /* FluidSynth's upper limit */
/* Sets the gain (clamped to 0 .. kSynthMaxGain) of synthesizers made from now on and of the
** live one from its next cycle. Any thread. */
void SynthSetGain(double gain);
double SynthGain();
/* The soundfont search and the gain back to the start (MidiReset). */
void SynthSetupReset();

/* Renders `lengthMs` ms of audio as a WAV file, 44100 Hz, 2 channels, 16-bit little-endian
** PCM, handing its bytes in order to `write` (the 44-byte header first, whose sizes state
** exactly the samples that follow). Each event plays at the frame of its millisecond (equal
** times in the order given); events at or after lengthMs are not played. `write` returns
** false to stop (a failed write, an interrupt). Returns "" when every byte was handed over,
** otherwise one line that says what failed (no soundfont, synthesizer not created, "not
** written" when `write` stopped it). */
std::string SynthRenderWav(const std::vector<SynthEvent>& events, uint32_t lengthMs,
                           const std::function<bool(const void* data, size_t size)>& write);

/* Renders `frames` frames at `rate` Hz as the live synthesizer plays them from an audio
** callback of `period` frames that runs at the start of its cycle: the messages (dueNs
** counted from frame 0, in sending order), each sent `lateNs` after its due time, play at
** the frame of their due time plus the live latency, CycleLatency(period, rate). The left
** channel goes to `left`. Returns "" or what failed. */
std::string SynthRenderCycles(const std::vector<Stamped>& messages, double rate, int period, int64_t lateNs,
                              int64_t frames, std::vector<float>* left);

#endif
