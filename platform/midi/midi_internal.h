/*
** What the MIDI files of the Linux layer share among themselves: the built-in synthesizer
** (synth.cpp makes it and renders it, audio.cpp keeps it playing), the program's own MIDI
** client on the ALSA sequencer (alsaseq.cpp) and on JACK (jack.cpp), the facade over both
** (ports.cpp) and the device table with the Win32 calls (devices.cpp). Nothing here is seen
** by the program; tests of the layer may use it.
**
** No FluidSynth, ALSA or JACK type appears here: each library stays in its files (synth.cpp
** and audio.cpp share fluid.h).
**
** Time. Every message sent to a real output carries a stamp in steady-clock ns
** (std::chrono::steady_clock, CLOCK_MONOTONIC): the ideal due time of the timer callback
** that sends it (TimerCallbackDue), the time of sending for any other thread, or kDueNow
** for a message sent while MIDI input is delivered (the echo of a live performance). The
** synth and the JACK output play a stamped message at its frame plus one constant latency
** (schedule.h); the ALSA sequencer sends at once.
*/
#ifndef TBX_PLATFORM_MIDI_INTERNAL_H
#define TBX_PLATFORM_MIDI_INTERNAL_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/midi/schedule.h"
#include "platform/win32.h"

inline int64_t MidiSteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

/* Defined by the timer: true when the calling thread is running a timer callback on the
** real clock, with that callback's ideal due time in steady-clock ns. */
bool TimerCallbackDue(int64_t* steadyNs);
/* Defined by the timer: a steady-clock time on the timer's clock, in microseconds
** (platform/sync.h); on the manual clock, which steady time does not move, its now. */
int64_t TimerClockUs(int64_t steadyNs);

/* ---------------------------------------------------------------- built-in synthesizer */

#define SYNTH_PRODUCT_NAME TBX_SYNTH_NAME  /* output device 0 when a soundfont exists */

/* Starts the synthesizer once and keeps it: the soundfont on the first audio backend that
** opens, JACK when the own JACK client is up (never a server of our own), else PulseAudio,
** else ALSA; TAMBORIX_AUDIO (jack, pulseaudio, alsa) names the only one to try. True when
** it plays (also when it already did); otherwise `why` (if given) says what failed. A
** soundfont chosen with SynthSetSoundfont that FluidSynth cannot load is given up for the
** distribution's; `dropped` (if given) then names it. */
bool SynthStart(std::string* why, std::string* dropped = nullptr);
/* Chooses the soundfont of the live synthesizer and of every one made from now on (""
** the distribution's): true when it is loaded (the live synthesizer plays with it, or with
** no live one, it loads); otherwise the choice and the live synthesizer stay as they were.
** Only while no run holds the synthesizer open. */
bool SynthUseSoundfont(const std::string& path);
/* Forgets the choice of SynthSetSoundfont when it is `path`; true when it was. */
bool SynthForgetSoundfont(const std::string& path);
/* Queues one message (packed bytes, schedule.h) for the synth's audio callback; false when
** it is not running or its queue is full. Callers serialise it (devices.cpp's output lock). */
bool SynthQueue(int64_t dueNs, uint32_t bytes);
/* Queues, stamped now, what a device does when a program lets go of it: sustain off and All
** Notes Off on every channel. Notes are released, their tails ring out. Same lock. */
void SynthReleaseNotes();
/* The audio backend playing ("jack", "pulseaudio", "alsa"), "" when none. */
std::string SynthBackend();
/* Stamped messages the synth played after their frame because they reached it too late
** (sent more than 2 ms after their due time, or a stalled audio callback), since it started. */
uint32_t SynthMissedFrames();
/* The own JACK client went away (false: the synth, if it played on JACK, moves to the next
** audio system that opens) or came (true: the synth moves onto JACK when JACK comes first in
** its order). The ports' watch calls it; a run sending meanwhile loses what falls between. */
void SynthJackChanged(bool alive);
/* Ends the synthesizer (reset, exit). No sender may call SynthQueue meanwhile. */
void SynthStop();

/* Replaces the soundfont search with one path (tests); nullptr goes back to the search. */
void SynthOverrideSoundfont(const char* path);

/* ---------------------------------------------------------------- MIDI systems */

enum class PortApi { None, Alsa, Jack };

/* A port of another program on one MIDI system, named as the system names it. */
struct SystemPort {
  PortApi api = PortApi::None;
  std::string name;         /* ALSA "client:port c:p", JACK "client:port" */
};

/* Switches off ALSA's and JACK's own diagnostics and keeps libjack from starting a server
** (JACK_NO_START_SERVER). Once per process; every opening of ALSA or JACK goes through it. */
void PortsSilence();

/* The name of the program's own clients on both systems: "Tamborix", or what the session
** manager named the program. A new name is taken by the next PortsOpen (the clients must be
** closed for it: PortsClose). Any thread. */
std::string PortsName();
void PortsSetName(const std::string& name);
/* Opens the program's own client (an output and an input port, named PortsName) on the ALSA
** sequencer when it answers and on a running JACK server (never started by us); what is
** open stays open. Silent. */
void PortsOpen();
/* Closes both clients (reset, exit); their input threads have ended when it returns. */
void PortsClose();
bool PortsOwn(PortApi api);            /* that own client is open and its system alive */
/* The other programs' MIDI ports that take messages (inputs = false) or give them. */
std::vector<SystemPort> PortsList(bool inputs);
/* Sends to the own output port of `api` (PortApi::None: of every system); false on error. */
bool PortsSend(PortApi api, int64_t dueNs, uint32_t bytes);
/* Connects the own output port to `port` (input = false), or `port` to the own input port.
** 1 made now, 0 was there already, -1 failed (no such port, system gone). */
int PortsConnect(const SystemPort& port, bool input);
void PortsDisconnect(const SystemPort& port, bool input);
/* Which port of that name exists now (on a system that is alive): a number that changes
** when the port is made anew (JACK's port id, the sequencer's address); 0 when none does. */
uint64_t PortsIdentity(const SystemPort& port, bool input);
/* Waits (at most `ms`) until what was sent to `api`'s own output has left it. */
void PortsDrain(PortApi api, int ms);
/* What is connected to one own port, kept while the own clients are closed and opened
** again under another name (PortsSetName): the port (JACK: its short name, "midi_out",
** "synth_L"; ALSA: "out" or "in") and the other ends (JACK: full port names; ALSA: "c:p"
** addresses). An other end that is an own port too is written ":" + the port as above, since
** its client's name or number changes with ours. */
struct OwnPortLinks {
  PortApi api;
  std::string port;
  std::vector<std::string> others;
};
/* The connections of every own port that is open. */
std::vector<OwnPortLinks> PortsLinks();
/* Makes them again on the own ports open now, where the other end is still there; a port
** named in `links` loses what it is connected to beyond them (the synth's ports connect
** themselves to the sound card when they come). Silent; what cannot be made is left out. */
void PortsRelink(const std::vector<OwnPortLinks>& links);

/* Called by the systems' input threads with each complete message that reaches an own
** input port (1..3 bytes, status first; system exclusive and active sensing are filtered
** out, the timing clock is not) and the steady-clock ns it reached the port, which MIM_DATA
** and TbxMidiInTimeUs pass on (on JACK the time of its frame, as the output's frame clock
** has it, though the cycle hands its messages over together, after it).
** Defined in devices.cpp. */
void MidiPortInput(const unsigned char* bytes, size_t size, int64_t steadyNs);

/* ---------------------------------------------------------------- ALSA sequencer (alsaseq.cpp) */

bool AlsaSeqOpen();
void AlsaSeqClose();
bool AlsaSeqAlive();
std::vector<std::string> AlsaSeqPorts(bool inputs);
bool AlsaSeqSend(uint32_t bytes);
int AlsaSeqConnect(const std::string& name, bool input);
void AlsaSeqDisconnect(const std::string& name, bool input);
std::vector<OwnPortLinks> AlsaSeqLinks();
void AlsaSeqRelink(const std::vector<OwnPortLinks>& links);
uint64_t AlsaSeqPortIdentity(const std::string& name, bool input);

/* ---------------------------------------------------------------- JACK (jack.cpp) */

bool JackOpen();                         /* false also while another thread opens */
bool JackGone();                         /* a client is open and its server has gone away */
void JackClose();
bool JackAlive();
std::vector<std::string> JackPorts(bool inputs);
bool JackQueue(int64_t dueNs, uint32_t bytes);
uint32_t JackMissedFrames();             /* as SynthMissedFrames, for midi_out */
void JackDrain(int ms);
int JackConnect(const std::string& name, bool input);
void JackDisconnect(const std::string& name, bool input);
std::vector<OwnPortLinks> JackLinks();
void JackRelink(const std::vector<OwnPortLinks>& links);
uint64_t JackPortIdentity(const std::string& name);
double JackRate();                       /* frames per second of the server; 0 when none */
/* The transport (platform/sync.h says what the program sees of it). */
bool JackBuilt();                        /* this build has libjack */
int JackTransportNow();                  /* the server's transport: 1 rolling or starting, 0
                                         ** stopped, -1 no client */
void JackTransportRoll(bool roll);       /* starts or stops it */
/* Called on the client's input thread whenever the transport starts (true) or stops, and
** when another master's tempo, rounded to a whole BPM, moves. */
typedef void (*JackTransportProc)(bool rolling);
void JackTransportWatch(JackTransportProc proc);
bool JackTimebase(bool on);              /* be the timebase master or not; false: not as asked */
void JackTimebaseTempo(double bpm, double beatsPerBar);   /* what the master publishes */
void JackTimebaseBeat(double beat, int64_t dueNs);        /* ... and where its beats are */
void JackTransportRewind();              /* moves the transport to frame 0 */
double JackTransportBpm();               /* another master's tempo; 0 none (TbxTransportBpm) */
bool JackTransportAt(double beats, int64_t* steadyNs);    /* as TbxTransportAt, steady ns */
/* transport.cpp: no watch, no request pending (MidiReset). */
void TransportReset();
/* Fills one cycle of the synth's audio (`frames` frames of each channel) on the audio
** system's thread, `map` telling when its frames are heard. */
typedef void (*AudioRender)(float* left, float* right, uint32_t frames, const CycleMap& map, void* user);
/* The synth's audio on the own JACK client: ports synth_L and synth_R, connected to the
** first two physical playback ports, filled each cycle by `render` on the process thread.
** False (and `why`) when they cannot be made. */
bool JackAudioAttach(AudioRender render, void* user, std::string* why);
/* After it returns `render` is not running and is never called again; the ports are gone. */
void JackAudioDetach();

/* ---------------------------------------------------------------- PulseAudio (pulse.cpp) */

/* The synth's PulseAudio stream: stereo float at `rate` Hz, filled by `render` on the
** stream's thread; one at a time. False (and `why`) when no server answers or it refuses
** the stream; a server is never started. */
bool PulseOpen(double rate, AudioRender render, void* user, std::string* why);
/* After it returns `render` is not running and is never called again. */
void PulseClose();

/* ---------------------------------------------------------------- short messages */

/* Bytes of the MIDI message a short message word carries (1..3); 0 for a word whose status
** is not a complete short message (system exclusive, undefined, data byte without a running
** status). `runningStatus` is the last channel status of the stream and is kept current. */
size_t ShortMsgBytes(uint32_t message, uint8_t* runningStatus, unsigned char out[3]);

/* Whether two port names are one port's, but for the " client:port" numbers at the end of
** an ALSA sequencer port's name ("Keys:Keys MIDI 1 20:0" and "Keys:Keys MIDI 1 24:0"). */
bool MidiPortNamesAlike(const std::string& a, const std::string& b);

/* Display names of devices, one per full name: at most 31 characters (the caps structure's
** product name), a longer name shortened in the middle so that its distinguishing end
** stays, and all different (a repeated name gets " #2", " #3", ... at its end). */
std::vector<std::string> MidiDeviceNames(const std::vector<std::string>& full);

/* ---------------------------------------------------------------- send observer */

/* Called with every message midiOutShortMsg sends to any output, on the sending thread,
** before it is sent, with its stamp (benchmarks time step onsets and wake-ups with it).
** nullptr: none. */
typedef void (*SendObserver)(int device, uint32_t message, int64_t dueNs);
void MidiSetSendObserver(SendObserver observer);

/* ---------------------------------------------------------------- reset */

/* Closes every open device (without callbacks to the program), ends the synthesizer and
** the own clients (their name back to "Tamborix"), forgets the device table (the next use
** enumerates the devices again), the send observer and the soundfont override. */
void MidiReset();

#endif
