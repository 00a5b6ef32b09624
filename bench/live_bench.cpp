/*
** tbx_live_bench: how exactly the program's notes sound on their frames through JACK and
** through PulseAudio, beside FluidSynth's own MIDI file player in the same run. Not a test:
** it prints figures.
**
** For each period (64, 256 and 1024 frames) it starts a private JACK server with the dummy
** driver at 44.1 kHz (realtime where the machine allows it), and in this process a recorder
** client and the program itself, on its real devices: the built-in synth plays on the own
** JACK client. A pattern with a side stick on every step plays at 120 BPM "* 4" and at
** 506 BPM "*12" through the program's own step clock, once to the synth (its audio is
** recorded) and once to the own MIDI output port (its events are recorded with their
** frames). Then `fluidsynth -a jack` plays the program's export of the same pattern (a
** playlist of it, long enough for the steps asked for) and its audio is recorded too.
**
** A period may also run with a PulseAudio server beside the JACK server (as on a desktop
** whose sound server serves both): the program still plays through JACK.
**
** PulseAudio: a private server with a null sink (its own runtime folder), the program's
** synth playing to it (TAMBORIX_AUDIO=pulseaudio) and `fluidsynth -a pulseaudio` after it,
** each recorded from the sink's monitor with parec. The sink's clock is its own, not the
** wall clock the step clock keeps to: the step lengths in the recording say how well the
** program follows it.
**
** Onsets are found in the audio by matching the side stick's first 128 frames, as the
** same synthesizer renders it offline, around each expected step; MIDI onsets are the
** frames of the recorded note-ons. Each series is fitted with a straight line (the clocks
** of the player and of the server need not agree on the length of a step) and the figures
** are the deviations from it in ms: median and 99th percentile of their size, and max - min,
** and the step the line gives, in ms of the recording's frames.
** Beside them: the step clock's wake-up lateness (sent minus due), how many messages
** reached the synth or the port too late for their frame, and how the server's own frame
** clock kept to the wall clock (the step clock keeps to the wall clock: when a busy
** machine stalls the dummy server, the frames fall behind for good and every later note
** moves with them, where a player that counts frames, like FluidSynth's, just waits).
**
** Usage: tbx_live_bench [--steps N] [--periods 64,256,1024] [--beside 256] [--pulse yes|no]
** (default 200 steps: about eight minutes; --periods and --beside may be empty). Needs
** jackd and fluidsynth on the PATH, pulseaudio and parec for the PulseAudio parts.
*/
#include <jack/jack.h>
#include <jack/midiport.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/app.h"
#include "files/files.h"
#include "pattern/pattern.h"
#include "platform/midi/midi_internal.h"
#include "platform/midi/synth_render.h"
#include "platform/testing.h"
#include "playback/playback.h"

extern char** environ;

namespace {

constexpr double kRate = 44100;       /* Hz of every server */
constexpr int kSideStick = 37;        /* GM note; percussion row 37 - 33 */
constexpr int kTemplate = 128;        /* frames of the hit matched */
constexpr size_t kRecordSeconds = 90; /* longest recording */

struct BenchTempo {
  int bpm;
  int relBeat;           /* rel.Beat index */
  const char* label;     /* as the menu shows the factor */
};

/* ---------------------------------------------------------------- child processes */

/* Starts a child with its output in `log` (its errors too, unless `errors` names a file). */
pid_t Spawn(const std::vector<std::string>& args, const std::string& log, const std::string& errors = "") {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (errors.empty()) posix_spawn_file_actions_adddup2(&actions, 1, 2);
  else posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

/* Ends a child with `sig` and waits for it (at most `ms`, then SIGKILL). */
void EndChild(pid_t pid, int sig, int ms) {
  if (pid <= 0) return;
  kill(pid, sig);
  for (int i = 0; i < ms / 10; i++) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

bool WaitChild(pid_t pid, int ms, int* status = nullptr) {
  for (int i = 0; i < ms / 10; i++) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

/* ---------------------------------------------------------------- the recorder client */

struct Recorder {
  jack_client_t* client = nullptr;
  jack_port_t* synthIn = nullptr;       /* the program's synth */
  jack_port_t* refIn = nullptr;         /* FluidSynth's player */
  jack_port_t* midiIn = nullptr;        /* the program's own MIDI output */
  std::vector<float> synth, ref;        /* preallocated: no allocation while recording */
  std::vector<int64_t> midi;            /* frames of the side stick's note-ons */
  std::vector<int64_t> cycleFrame, cycleUs;  /* each cycle: its first frame, jack_get_time at it */
  std::atomic<size_t> cycles{0};
  std::atomic<bool> armed{false};
  std::atomic<int64_t> first{-1};       /* frame of sample 0 of the recording */
  std::atomic<size_t> length{0};        /* samples recorded */
  std::atomic<size_t> midiCount{0};
};

Recorder R;

int RecordCycle(jack_nframes_t n, void*) {
  if (!R.armed.load()) return 0;
  const int64_t frame = jack_last_frame_time(R.client);
  if (R.cycles.load() < R.cycleFrame.size()) {
    R.cycleFrame[R.cycles.load()] = frame;
    R.cycleUs[R.cycles.load()] = static_cast<int64_t>(jack_get_time());
    R.cycles++;
  }
  if (R.first.load() < 0) R.first = frame;
  const int64_t at = frame - R.first.load();
  if (at >= 0 && static_cast<size_t>(at) + n <= R.synth.size()) {
    std::memcpy(R.synth.data() + at, jack_port_get_buffer(R.synthIn, n), n * sizeof(float));
    std::memcpy(R.ref.data() + at, jack_port_get_buffer(R.refIn, n), n * sizeof(float));
    R.length = static_cast<size_t>(at) + n;
  }
  void* midi = jack_port_get_buffer(R.midiIn, n);
  for (uint32_t i = 0; i < jack_midi_get_event_count(midi); i++) {
    jack_midi_event_t ev;
    if (jack_midi_event_get(&ev, midi, i) != 0 || ev.size != 3) continue;
    if (ev.buffer[0] == 0x99 && ev.buffer[1] == kSideStick && ev.buffer[2] > 0 && R.midiCount.load() < R.midi.size()) {
      R.midi[R.midiCount.load()] = frame + ev.time;
      R.midiCount++;
    }
  }
  return 0;
}

bool OpenRecorder() {
  for (int i = 0; i < 200 && !R.client; i++) {
    R.client = jack_client_open("tbxbench", JackNoStartServer, nullptr);
    if (!R.client) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!R.client) return false;
  R.synthIn = jack_port_register(R.client, "synth", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  R.refIn = jack_port_register(R.client, "reference", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
  R.midiIn = jack_port_register(R.client, "midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  R.synth.assign(kRecordSeconds * static_cast<size_t>(kRate), 0.0f);
  R.ref.assign(R.synth.size(), 0.0f);
  R.midi.assign(100000, 0);
  R.cycleFrame.assign(kRecordSeconds * static_cast<size_t>(kRate) / 32, 0);
  R.cycleUs.assign(R.cycleFrame.size(), 0);
  return R.synthIn && R.refIn && R.midiIn && jack_set_process_callback(R.client, RecordCycle, nullptr) == 0 &&
         jack_activate(R.client) == 0;
}

void CloseRecorder() {
  if (R.client) jack_client_close(R.client);
  R.client = nullptr;
}

void Arm() {
  R.armed = false;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));   /* a cycle in flight ends */
  std::fill(R.synth.begin(), R.synth.end(), 0.0f);
  std::fill(R.ref.begin(), R.ref.end(), 0.0f);
  R.first = -1;
  R.length = 0;
  R.midiCount = 0;
  R.cycles = 0;
  R.armed = true;
}

void Disarm() {
  R.armed = false;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

/* ---------------------------------------------------------------- figures */

struct Spread {
  double median = 0, p99 = 0, range = 0;   /* ms */
  double step = 0;                         /* ms from one onset to the next, on the line */
  size_t n = 0;
};

/* Deviations (ms) of onsets (frames) from their least-squares line over the step index. */
Spread FitSpread(const std::vector<double>& onsets, double rate) {
  Spread s;
  s.n = onsets.size();
  if (s.n < 3) return s;
  double mk = 0, mo = 0;
  for (size_t k = 0; k < s.n; k++) {
    mk += k;
    mo += onsets[k];
  }
  mk /= s.n;
  mo /= s.n;
  double sxy = 0, sxx = 0;
  for (size_t k = 0; k < s.n; k++) {
    sxy += (k - mk) * (onsets[k] - mo);
    sxx += (k - mk) * (k - mk);
  }
  const double slope = sxy / sxx;
  s.step = slope * 1000.0 / rate;
  std::vector<double> dev, size;
  for (size_t k = 0; k < s.n; k++) {
    const double d = (onsets[k] - (mo + slope * (k - mk))) * 1000.0 / rate;
    dev.push_back(d);
    size.push_back(std::fabs(d));
  }
  std::sort(size.begin(), size.end());
  s.median = size[size.size() / 2];
  s.p99 = size[std::min(size.size() - 1, static_cast<size_t>(0.99 * (size.size() - 1) + 0.5))];
  s.range = *std::max_element(dev.begin(), dev.end()) - *std::min_element(dev.begin(), dev.end());
  return s;
}

/* The side stick's first frames as the synth renders it, from its first audible sample. */
std::vector<float> HitTemplate() {
  const unsigned char on[3] = {0x99, kSideStick, 100};
  std::vector<float> left;
  std::string error = SynthRenderCycles({Stamped{100000000, StampPack(on, 3)}}, kRate, 64, 0, 22050, &left);
  if (!error.empty()) {
    std::fprintf(stderr, "tbx_live_bench: %s\n", error.c_str());
    std::exit(1);
  }
  size_t at = 0;
  while (at < left.size() && std::fabs(left[at]) < 2e-4f) at++;
  at = at >= 8 ? at - 8 : 0;
  return std::vector<float>(left.begin() + at, left.begin() + at + kTemplate);
}

/* How well the signal from `at` matches the template (its shape, not its loudness). */
double Match(const std::vector<float>& x, size_t at, const std::vector<float>& t) {
  double dot = 0, energy = 1e-12;
  for (size_t i = 0; i < t.size(); i++) {
    dot += x[at + i] * t[i];
    energy += x[at + i] * x[at + i];
  }
  return dot / std::sqrt(energy);
}

/* Onsets (frames) of the hits in x, one about every `step` frames from the first, each the
** best match of the template within 40% of a step of where it is expected; up to `most`,
** and none where the match is poor (the player has stopped). */
std::vector<double> FindOnsets(const std::vector<float>& x, size_t length, double step, size_t most,
                               const std::vector<float>& t) {
  std::vector<double> onsets;
  float peak = 0;
  for (size_t i = 0; i < length; i++) peak = std::max(peak, std::fabs(x[i]));
  if (peak <= 0) return onsets;
  size_t first = 0;
  while (first < length && std::fabs(x[first]) < 0.05f * peak) first++;
  double expected = static_cast<double>(first);
  double bestScore = 0;
  const double window = 0.4 * step;
  while (onsets.size() < most) {
    const long from = std::max(0L, static_cast<long>(expected - (onsets.empty() ? 256 : window)));
    const long to = static_cast<long>(expected + (onsets.empty() ? 64 : window));
    if (to + kTemplate >= static_cast<long>(length)) break;
    long best = from;
    double score = -1e30;
    for (long at = from; at <= to; at++) {
      const double m = Match(x, static_cast<size_t>(at), t);
      if (m > score) {
        score = m;
        best = at;
      }
    }
    bestScore = std::max(bestScore, score);
    if (score < 0.5 * bestScore) break;
    onsets.push_back(static_cast<double>(best));
    expected = best + step;
  }
  return onsets;
}

/* ---------------------------------------------------------------- the program */

std::vector<double> gLateness;              /* ms, per side-stick note-on sent (timer thread) */
std::atomic<size_t> gSent{0};

void OnSend(int, uint32_t message, int64_t dueNs) {
  if ((message & 0xFF) != 0x99 || ((message >> 8) & 0x7F) != kSideStick || ((message >> 16) & 0x7F) == 0) return;
  const size_t i = gSent.load();
  if (i < gLateness.size()) gLateness[i] = (MidiSteadyNs() - dueNs) / 1e6;
  gSent = i + 1;
}

void Use(const BenchTempo& st) {
  giTempo = st.bpm;
  gMsecPerBeat = static_cast<int16_t>(60000 / st.bpm);
  gRelBeat = static_cast<int16_t>(st.relBeat);
  AdjustBeat();
}

/* ms from one step to the next on the live clock: both halves raised to the resolution. */
int LiveStepMs() {
  TIMECAPS tc;
  timeGetDevCaps(&tc, sizeof tc);
  const int res = static_cast<int>(std::min<UINT>(std::max<UINT>(tc.wPeriodMin, 5), tc.wPeriodMax));
  return std::max<int>(gHalfBeat, res) + std::max<int>(gAdjustedBeat - gHalfBeat, res);
}

/* Plays `steps` steps to output `device` and stops; false when it did not start. */
bool PlayRun(int device, int steps) {
  gLateness.assign(steps + 16, 0.0);
  gSent = 0;
  MidiSetSendObserver(OnSend);
  if (!TambroFirstFile(static_cast<int16_t>(device), 0, 0)) {
    MidiSetSendObserver(nullptr);
    return false;
  }
  while (gSent.load() < static_cast<size_t>(steps)) {
    tbxtest::PumpMessages();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  TambroEndSequence();
  MidiSetSendObserver(nullptr);
  tbxtest::PumpMessages();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));   /* the last hit rings out */
  return true;
}

/* The program's own export of the pattern, as a playlist of it long enough for `steps`. */
std::string Export(HWND hwnd, const std::string& dir, int steps) {
  const std::string project = dir + "/bench.tbx", list = dir + "/bench.txt", mid = dir + "/bench.mid";
  if (const char* error = TambroFileWrite(project.c_str())) {
    std::fprintf(stderr, "tbx_live_bench: cannot save %s: %s\n", project.c_str(), error);
    return "";
  }
  std::ofstream text(list, std::ios::binary);
  for (int covered = 0; covered < steps + 24; covered += STEP_COUNT) text << project << "\r\n";
  text.close();
  tbxtest::QueueFileDialog(list);
  SendMessageA(hwnd, WM_COMMAND, IDM_OPENLIST, 0);
  tbxtest::PumpMessages();
  tbxtest::QueueFileDialog(mid);
  tbxtest::QueueMessageBoxAnswer(IDOK);
  SendMessageA(hwnd, WM_COMMAND, IDM_SAVELIST_GM, 0);
  tbxtest::PumpMessages();
  return std::filesystem::exists(mid) ? mid : "";
}

/* FluidSynth's player on the server, its left output recorded; false when it did not run. */
bool PlayReference(const std::string& mid, const std::string& dir) {
  const std::string soundfont = SynthSoundfontPath();
  char rate[32];
  std::snprintf(rate, sizeof rate, "%d", static_cast<int>(kRate));
  pid_t pid = Spawn({"fluidsynth", "-a", "jack", "-i", "-n", "-q", "-g", "0.5", "-r", rate, "-o",
                     "audio.jack.id=tbxref", "-o", "audio.jack.autoconnect=0", soundfont, mid},
                    dir + "/fluidsynth.log");
  if (pid <= 0) return false;
  /* It plays from its start: connect as soon as its port is there (a hit or two is lost). */
  bool connected = false;
  for (int i = 0; i < 2000 && !connected; i++) {
    connected = jack_port_by_name(R.client, "tbxref:left") &&
                jack_connect(R.client, "tbxref:left", jack_port_name(R.refIn)) == 0;
    if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const bool ended = WaitChild(pid, static_cast<int>(kRecordSeconds) * 1000);
  if (!ended) EndChild(pid, SIGTERM, 1000);
  return connected;
}

/* How the server's frame clock kept to the wall clock while it recorded: the cycles' start
** times against their frames fitted with a straight line (max - min of the deviation, ms),
** and the longest gap between two cycles beyond a period (ms). A stalled server does not
** catch up: from then on the frames fall behind the wall clock, which the step clock follows. */
void ServerClock(int period) {
  const size_t n = R.cycles.load();
  if (n < 3) return;
  std::vector<double> times;
  double stall = 0;
  for (size_t i = 0; i < n; i++) {
    times.push_back(static_cast<double>(R.cycleUs[i] - R.cycleUs[0]) * kRate / 1e6);   /* in frames */
    if (i > 0) stall = std::max(stall, (R.cycleUs[i] - R.cycleUs[i - 1]) / 1000.0 - period * 1000.0 / kRate);
  }
  /* FitSpread fits against the index: cycles are one period apart in frames. */
  const Spread s = FitSpread(times, kRate);
  std::printf("    %-31s %7s %7s %7.3f %8s   longest stall %.1f ms\n", "JACK server clock, wall time", "", "",
              s.range, "", stall);
}

void Print(const char* what, const Spread& s, const std::string& extra) {
  std::printf("    %-31s %7.3f %7.3f %7.3f %8.3f   n=%zu%s\n", what, s.median, s.p99, s.range, s.step, s.n,
              extra.c_str());
}

/* The step clock's lateness in both runs: median, p99 and max (ms). */
void Lateness(std::vector<double> late) {
  if (late.empty()) return;
  std::sort(late.begin(), late.end());
  std::printf("    %-31s %7.3f %7.3f %7.3f %8s   (median, p99, max: sent after the due time)\n",
              "step clock wake-up lateness", late[late.size() / 2],
              late[static_cast<size_t>(0.99 * (late.size() - 1) + 0.5)], late.back(), "");
}

/* A dummy server of its own for one period, realtime where the machine allows it; returns
** its process id, or -1 when none could be started. */
pid_t StartServer(int period, const std::string& dir, bool* realtime) {
  const std::string server = "tbxbench-" + std::to_string(getpid()) + "-" + std::to_string(period);
  setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
  char rate[32], frames[32];
  std::snprintf(rate, sizeof rate, "%d", static_cast<int>(kRate));
  std::snprintf(frames, sizeof frames, "%d", period);
  *realtime = true;
  pid_t jackd = Spawn({"jackd", "-n", server, "-R", "-d", "dummy", "-r", rate, "-p", frames}, dir + "/jackd.log");
  if (jackd > 0 && !OpenRecorder()) {
    EndChild(jackd, SIGINT, 2000);
    *realtime = false;
    jackd = Spawn({"jackd", "-n", server, "--no-realtime", "-d", "dummy", "-r", rate, "-p", frames},
                  dir + "/jackd.log");
    if (jackd > 0 && !OpenRecorder()) {
      EndChild(jackd, SIGINT, 2000);
      jackd = -1;
    }
  }
  return jackd;
}

/* The lines above a tempo setting's figures. */
void Heading(const BenchTempo& st, int steps) {
  std::printf("  %d BPM, rel.Beat \"%s\": steps of %d ms (the export: %d ms), %d steps\n", st.bpm, st.label,
              LiveStepMs(), static_cast<int>(gAdjustedBeat), steps);
  std::printf("    %-31s %7s %7s %7s %8s   (ms from a straight-line fit)\n", "", "median", "p99", "max-min",
              "step");
  std::fflush(stdout);
}

/* ---------------------------------------------------------------- PulseAudio */

/* A private PulseAudio server with a null sink at kRate, which this process and its children
** find through their runtime folder (and nothing else does); its process id, or -1. */
pid_t StartPulse(const std::string& dir) {
  const std::string runtime = dir + "/pulse";
  mkdir(runtime.c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  setenv("HOME", runtime.c_str(), 1);   /* its cookie and state, not the user's */
  char sink[64];
  std::snprintf(sink, sizeof sink, "module-null-sink sink_name=null rate=%d", static_cast<int>(kRate));
  const pid_t pid = Spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "-L", sink, "-L",
                           "module-native-protocol-unix"},
                          dir + "/pulseaudio.log");
  for (int i = 0; pid > 0 && i < 100; i++) {
    int status = -1;
    const pid_t info = Spawn({"pactl", "info"}, dir + "/pactl.log");
    if (info > 0 && WaitChild(info, 2000, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EndChild(pid, SIGTERM, 2000);
  return -1;
}

/* Records the null sink's monitor (raw stereo float) into `path` until StopRecording. */
pid_t StartRecording(const std::string& path, const std::string& dir) {
  char rate[32];
  std::snprintf(rate, sizeof rate, "--rate=%d", static_cast<int>(kRate));
  const pid_t pid = Spawn({"parec", "-d", "null.monitor", "--raw", "--format=float32le", rate, "--channels=2"}, path,
                          dir + "/parec.log");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));   /* its stream runs */
  return pid;
}

/* Ends the recording; its left channel. */
std::vector<float> StopRecording(pid_t pid, const std::string& path) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));   /* the monitor's latency */
  EndChild(pid, SIGINT, 2000);
  std::ifstream in(path, std::ios::binary);
  std::vector<float> left;
  float frame[2];
  while (in.read(reinterpret_cast<char*>(frame), sizeof frame)) left.push_back(frame[0]);
  return left;
}

/* One tempo setting on PulseAudio: the synth's onsets and the step clock's lateness of one
** run, then FluidSynth's player on the exported file, both from the sink's monitor. */
bool MeasurePulse(HWND hwnd, const BenchTempo& st, int steps, const std::vector<float>& hit, const std::string& dir) {
  Use(st);
  const double liveStep = LiveStepMs() * kRate / 1000.0, fileStep = gAdjustedBeat * kRate / 1000.0;
  Heading(st, steps);

  const uint32_t missed = SynthMissedFrames();
  pid_t rec = StartRecording(dir + "/synth.raw", dir);
  const bool ok = PlayRun(0, steps);
  std::vector<float> audio = StopRecording(rec, dir + "/synth.raw");
  Print("Tamborix synth, audio onsets", FitSpread(FindOnsets(audio, audio.size(), liveStep, steps, hit), kRate),
        ", " + std::to_string(SynthMissedFrames() - missed) + " late for their frame");
  Lateness(std::vector<double>(gLateness.begin(), gLateness.begin() + std::min(gSent.load(), gLateness.size())));

  const std::string mid = Export(hwnd, dir, steps);
  rec = StartRecording(dir + "/reference.raw", dir);
  char rate[32];
  std::snprintf(rate, sizeof rate, "%d", static_cast<int>(kRate));
  const pid_t player = mid.empty() ? -1
                                   : Spawn({"fluidsynth", "-a", "pulseaudio", "-i", "-n", "-q", "-g", "0.5", "-r", rate,
                                            SynthSoundfontPath(), mid},
                                           dir + "/fluidsynth.log");
  const bool played = player > 0 && WaitChild(player, static_cast<int>(kRecordSeconds) * 1000);
  if (player > 0 && !played) EndChild(player, SIGTERM, 1000);
  audio = StopRecording(rec, dir + "/reference.raw");
  if (played)
    Print("FluidSynth player, audio onsets", FitSpread(FindOnsets(audio, audio.size(), fileStep, steps + 24, hit), kRate),
          "");
  else
    std::printf("    FluidSynth player: did not run (see %s)\n", (dir + "/fluidsynth.log").c_str());
  std::fflush(stdout);
  gbLooping = 1;
  return ok;
}

/* The PulseAudio path: a server of its own, the program's synth on it, both tempo settings. */
bool RunPulse(int steps, const std::vector<float>& hit, const std::string& dir) {
  const pid_t pulse = StartPulse(dir);
  if (pulse <= 0) {
    std::fprintf(stderr, "tbx_live_bench: no PulseAudio server (are pulseaudio and pactl installed?)\n");
    return false;
  }
  std::printf("PulseAudio null sink, %d Hz, recorded from its monitor (parec)\n", static_cast<int>(kRate));
  std::fflush(stdout);
  setenv("TAMBORIX_AUDIO", "pulseaudio", 1);
  tbxtest::PlatformReset();
  tbxtest::UseManualClock(false);
  ResetAllState();
  if (midiInGetNumDevs() == 0) tbxtest::QueueMessageBoxAnswer(IDOK);   /* "no MIDI IN detected!" */
  HWND hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
  bool ok = hwnd && SynthBackend() == "pulseaudio";
  if (!ok) std::fprintf(stderr, "tbx_live_bench: the program's synth is not on the PulseAudio server\n");
  if (ok) {
    for (int s = 0; s < STEP_COUNT; s++) StepOr(gTbro.PercL, s, 1u << (kSideStick - PERC_NOTE_BASE));
    gbLooping = 1;
    /* An idle null sink renders blocks of 2 s: the stream's requests come steadily once the
    ** sink has taken up its latency, at the end of the block it was in. */
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  }
  const BenchTempo tempos[] = {{120, 5, "* 4"}, {506, 9, "*12"}};
  for (const BenchTempo& st : tempos)
    if (ok) ok = MeasurePulse(hwnd, st, steps, hit, dir);
  if (hwnd) DestroyWindow(hwnd);
  tbxtest::PumpMessages();
  tbxtest::PlatformReset();
  setenv("TAMBORIX_AUDIO", "jack", 1);
  EndChild(pulse, SIGTERM, 3000);
  return ok;
}

/* One tempo setting: the synth's onsets, the JACK MIDI frames and the step clock's lateness
** of one run each, then FluidSynth's player on the exported file. */
bool MeasureTempo(HWND hwnd, const BenchTempo& st, int period, int steps, const std::vector<float>& hit,
                  const std::string& dir) {
  Use(st);
  const double liveStep = LiveStepMs() * kRate / 1000.0, fileStep = gAdjustedBeat * kRate / 1000.0;
  Heading(st, steps);

  uint32_t missed = SynthMissedFrames();
  Arm();
  bool ok = PlayRun(0, steps);
  Disarm();
  std::vector<double> late(gLateness.begin(), gLateness.begin() + std::min(gSent.load(), gLateness.size()));
  Print("Tamborix synth, audio onsets", FitSpread(FindOnsets(R.synth, R.length, liveStep, steps, hit), kRate),
        ", " + std::to_string(SynthMissedFrames() - missed) + " late for their frame");
  ServerClock(period);

  missed = JackMissedFrames();
  Arm();
  ok = ok && PlayRun(1, steps);
  Disarm();
  std::vector<double> midi;
  for (size_t i = 0; i < R.midiCount.load(); i++) midi.push_back(static_cast<double>(R.midi[i]));
  Print("Tamborix JACK MIDI, frames", FitSpread(midi, kRate),
        ", " + std::to_string(JackMissedFrames() - missed) + " late for their frame");
  ServerClock(period);
  late.insert(late.end(), gLateness.begin(), gLateness.begin() + std::min(gSent.load(), gLateness.size()));
  Lateness(late);

  const std::string mid = Export(hwnd, dir, steps);
  Arm();
  const bool played = !mid.empty() && PlayReference(mid, dir);
  Disarm();
  if (played) {
    std::vector<double> onsets = FindOnsets(R.ref, R.length, fileStep, steps + 24, hit);
    /* The recording starts when the player's port could be connected: a hit caught in its
    ** middle is no onset. */
    if (onsets.size() > 2) onsets.erase(onsets.begin(), onsets.begin() + 2);
    Print("FluidSynth player, audio onsets", FitSpread(onsets, kRate), "");
  } else {
    std::printf("    FluidSynth player: did not run (see %s)\n", (dir + "/fluidsynth.log").c_str());
  }
  std::fflush(stdout);
  gbLooping = 1;
  return ok;
}

/* One period: a server of its own (and a PulseAudio server beside it), the program on it,
** both tempo settings. */
bool RunPeriod(int period, bool beside, int steps, const std::vector<float>& hit, const std::string& dir) {
  const pid_t pulse = beside ? StartPulse(dir) : 0;
  if (pulse < 0) {
    std::fprintf(stderr, "tbx_live_bench: no PulseAudio server (are pulseaudio and pactl installed?)\n");
    return false;
  }
  bool realtime = true;
  const pid_t jackd = StartServer(period, dir, &realtime);
  if (jackd <= 0) {
    std::fprintf(stderr, "tbx_live_bench: no JACK server (is jackd installed?)\n");
    EndChild(pulse, SIGTERM, 3000);
    return false;
  }
  std::printf("JACK dummy server, %d Hz, period %d frames (%.2f ms), %s; constant latency %lld frames (%.2f ms)%s\n",
              static_cast<int>(kRate), period, period * 1000.0 / kRate, realtime ? "realtime" : "not realtime",
              static_cast<long long>(CycleLatency(period, kRate)), CycleLatency(period, kRate) * 1000.0 / kRate,
              beside ? "; a PulseAudio server beside it" : "");
  std::fflush(stdout);

  tbxtest::PlatformReset();
  tbxtest::UseManualClock(false);
  ResetAllState();
  HWND hwnd = CreateMainWindow(nullptr, "", SW_SHOWNORMAL);
  bool ok = hwnd && SynthBackend() == "jack";
  if (!ok) std::fprintf(stderr, "tbx_live_bench: the program's synth is not on the JACK server\n");
  if (ok) {
    jack_connect(R.client, "Tamborix:synth_L", jack_port_name(R.synthIn));
    jack_connect(R.client, "Tamborix:midi_out", jack_port_name(R.midiIn));
    for (int s = 0; s < STEP_COUNT; s++) StepOr(gTbro.PercL, s, 1u << (kSideStick - PERC_NOTE_BASE));
    gbLooping = 1;
  }
  const BenchTempo tempos[] = {{120, 5, "* 4"}, {506, 9, "*12"}};
  for (const BenchTempo& st : tempos)
    if (ok) ok = MeasureTempo(hwnd, st, period, steps, hit, dir);
  if (hwnd) DestroyWindow(hwnd);
  tbxtest::PumpMessages();
  tbxtest::PlatformReset();
  CloseRecorder();
  EndChild(jackd, SIGINT, 3000);
  if (beside) EndChild(pulse, SIGTERM, 3000);
  return ok;
}

}  // namespace

/* "64,256" as numbers; "" as none. */
std::vector<int> Periods(const char* list) {
  std::vector<int> periods;
  for (const char* p = list; *p;) {
    periods.push_back(std::atoi(p));
    while (*p && *p != ',') p++;
    if (*p == ',') p++;
  }
  return periods;
}

int main(int argc, char** argv) {
  int steps = 200;
  std::vector<int> periods = {64, 256, 1024}, beside = {256};
  bool pulse = true;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--steps") == 0 && i + 1 < argc) {
      steps = std::max(20, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--periods") == 0 && i + 1 < argc) {
      periods = Periods(argv[++i]);
    } else if (std::strcmp(argv[i], "--beside") == 0 && i + 1 < argc) {
      beside = Periods(argv[++i]);
    } else if (std::strcmp(argv[i], "--pulse") == 0 && i + 1 < argc) {
      pulse = std::strcmp(argv[++i], "no") != 0;
    } else {
      std::fprintf(stderr, "usage: tbx_live_bench [--steps N] [--periods 64,256,1024] [--beside 256] [--pulse yes|no]\n");
      return 2;
    }
  }
  if (SynthSoundfontPath().empty()) {
    std::fprintf(stderr, "tbx_live_bench: no General MIDI soundfont is installed\n");
    return 1;
  }
  char dir[] = "/tmp/tbxbenchXXXXXX";
  if (!mkdtemp(dir)) {
    std::fprintf(stderr, "tbx_live_bench: no scratch folder\n");
    return 1;
  }
  setenv("TAMBORIX_AUDIO", "jack", 1);
  PortsSilence();   /* the recorder's libjack too: it is asked before the server is up */
  const std::vector<float> hit = HitTemplate();
  bool ok = true;
  for (int period : periods) ok = RunPeriod(period, false, steps, hit, dir) && ok;
  for (int period : beside) ok = RunPeriod(period, true, steps, hit, dir) && ok;
  if (pulse) ok = RunPulse(steps, hit, dir) && ok;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return ok ? 0 : 1;
}
