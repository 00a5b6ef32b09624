/*
** Offline rendering with the built-in General MIDI synthesizer, for the command line and the
** tests (not part of the Win32 subset). The synthesizer is the same one that plays as MIDI
** output device 0, with the same soundfont, gain and decoding of short messages, but it runs
** with no audio driver, far faster than real time.
*/
#ifndef TBX_PLATFORM_SYNTH_RENDER_H
#define TBX_PLATFORM_SYNTH_RENDER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/* One short message (status | data1 << 8 | data2 << 16, as midiOutShortMsg takes it) at a
** time in ms from the start of the rendering. */
struct SynthEvent {
  uint32_t timeMs;
  uint32_t message;
};

/* The General MIDI soundfont the synthesizer loads: the first of the distribution's standard
** soundfont names that exists ("default-GM.sf2" first); empty when none is installed. */
std::string SynthSoundfontPath();

/* Renders `lengthMs` ms of audio as a WAV file, 44100 Hz, 2 channels, 16-bit little-endian
** PCM, handing its bytes in order to `write` (the 44-byte header first, whose sizes state
** exactly the samples that follow). The events are played in time order (equal times in the
** order given); events at or after lengthMs are not played. `write` returns false to stop
** (a failed write, an interrupt). Returns "" when every byte was handed over, otherwise one
** line that says what failed (no soundfont, synthesizer not created, "not written" when
** `write` stopped it). */
std::string SynthRenderWav(const std::vector<SynthEvent>& events, uint32_t lengthMs,
                           const std::function<bool(const void* data, size_t size)>& write);

#endif
