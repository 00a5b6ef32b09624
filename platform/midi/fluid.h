/*
** The FluidSynth side shared by synth.cpp (making a synthesizer, decoding messages, rendering
** a cycle, offline rendering) and audio.cpp (the live synthesizer). Only these two files
** include it.
*/
#ifndef TBX_PLATFORM_MIDI_FLUID_H
#define TBX_PLATFORM_MIDI_FLUID_H

#include <fluidsynth.h>

#include <cstdint>
#include <string>

#include "platform/midi/schedule.h"
#include "platform/midi/synth_render.h"

/* A synthesizer: settings first (an audio driver may be made from them), then the synth
** with the soundfont. */
struct Made {
  fluid_settings_t* settings = nullptr;
  fluid_synth_t* synth = nullptr;
};

/* Settings for a synthesizer at `rate` Hz with the gain of SynthGain, FluidSynth's log
** switched off; false when FluidSynth cannot even make those. */
bool MakeSettings(Made& m, double rate);
/* The synth of those settings with `soundfont` loaded and every channel at volume 127;
** false when either fails. */
bool MakeSynth(Made& m, const std::string& soundfont);
void Unmake(Made& m);

/* Plays one message (packed bytes, status first) on the synthesizer now. */
void SynthApply(fluid_synth_t* synth, uint32_t bytes);

/* Where a cycle's audio goes: `render` writes `count` frames of `synth` at frame `from` of
** the cycle's buffers. */
struct SliceTarget {
  void (*render)(fluid_synth_t* synth, int64_t from, int64_t count, void* user);
  void* user;
};
/* Renders one cycle of n frames: in slices that end at each queued message's frame, the
** message played between them; a gain set since the last cycle applies from this one. FluidSynth starts what a message does at its next block of
** 64 frames, so a message sounds within 64 frames after its own. Cycle thread only. */
void SynthRenderCycle(fluid_synth_t* synth, StampQueue* queue, const CycleMap& map, int64_t n, SliceTarget target);

/* Fills float buffers (user = float*[2], left and right). */
void SynthRenderFloat(fluid_synth_t* synth, int64_t from, int64_t count, void* user);

#endif
