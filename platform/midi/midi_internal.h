/*
** What the MIDI files of the Linux layer share among themselves: the built-in synthesizer
** (synth.cpp), the RtMidi ports (ports.cpp) and the device table with the Win32 calls
** (devices.cpp). Nothing here is seen by the program; tests of the layer may use it.
**
** No RtMidi, FluidSynth, ALSA or JACK type appears here: each library stays in its file.
*/
#ifndef TBX_PLATFORM_MIDI_INTERNAL_H
#define TBX_PLATFORM_MIDI_INTERNAL_H

#include <cstdint>
#include <string>
#include <vector>

/* ---------------------------------------------------------------- built-in synthesizer */

#define SYNTH_PRODUCT_NAME "Tamborix GM Synth"  /* output device 0 when a soundfont exists */

struct LiveSynth;   /* a synthesizer playing through an audio driver */

/* Creates the synthesizer with the soundfont and the first audio driver that opens
** (PulseAudio, ALSA, JACK); nullptr when the soundfont or every driver fails. Silent. */
LiveSynth* SynthOpen();
void SynthSend(LiveSynth* synth, uint32_t message);
void SynthClose(LiveSynth* synth);

/* Replaces the soundfont search with one path (tests); nullptr goes back to the search. */
void SynthOverrideSoundfont(const char* path);

/* ---------------------------------------------------------------- RtMidi ports */

enum class PortApi { None, Alsa, Jack };

/* Switches off ALSA's and JACK's own diagnostics and keeps libjack from starting a server
** (JACK_NO_START_SERVER). Once per process; every opening of ALSA or JACK goes through it. */
void PortsSilence();

/* The first MIDI system that answers: the ALSA sequencer, else a running JACK server (never
** started by us). Both libraries' own diagnostics are silenced first. */
PortApi PortsProbe();
/* Port names of that system, outputs (destinations) or inputs (sources); empty on error. */
std::vector<std::string> PortsList(PortApi api, bool inputs);

struct PortOut;     /* an open RtMidi output */
struct PortIn;      /* an open RtMidi input */

/* Input callback: the raw bytes of one message (size 1..3, sysex is filtered out). */
typedef void (*PortInHandler)(const unsigned char* bytes, size_t size, void* user);

PortOut* PortsOpenOut(PortApi api, const std::string& name);
bool PortsSend(PortOut* port, const unsigned char* bytes, size_t size);
void PortsCloseOut(PortOut* port);
PortIn* PortsOpenIn(PortApi api, const std::string& name, PortInHandler handler, void* user);
/* After this returns the handler is never called again. */
void PortsCloseIn(PortIn* port);

/* ---------------------------------------------------------------- short messages */

/* Bytes of the MIDI message a short message word carries (1..3); 0 for a word whose status
** is not a complete short message (system exclusive, undefined, data byte without a running
** status). `runningStatus` is the last channel status of the stream and is kept current. */
size_t ShortMsgBytes(uint32_t message, uint8_t* runningStatus, unsigned char out[3]);

/* ---------------------------------------------------------------- capture observer */

/* Called with every message a capture output receives, on the sending thread, before the
** message is recorded (benchmarks time step onsets with it). nullptr: none. */
typedef void (*CaptureObserver)(int device, uint32_t message);
void MidiSetCaptureObserver(CaptureObserver observer);

/* ---------------------------------------------------------------- reset */

/* Closes every open device (without callbacks to the program), forgets the device table
** (the next use enumerates the devices again), the capture observer and the soundfont
** override. */
void MidiReset();

#endif
