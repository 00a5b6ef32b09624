/*
** The built-in synth's PulseAudio stream (PipeWire's PulseAudio server too): a playback
** stream "Tamborix" of the client "Tamborix" with the program's icon name, stereo float,
** filled on the stream's own thread by the synth's render callback.
**
** The frame clock. A sound server asks for audio in bursts of its own, so the times of the
** requests say little about when their frames will be heard. The stream's timing does: at
** each request, the frames written so far and the latency of the stream (what it holds
** plus the sink's, interpolated between the server's timing updates) give the steady-clock
** time at which the stream's frame 0 is heard. That time moves only as far as the sink's
** clock runs off the steady clock (a null sink's ran 0.3 % fast here, a sound card's
** crystal is off too); it is filtered over about a second of requests, and a jump of more
** than kJumpNs (a suspended sink) starts it over. The stream never waits for a buffer to
** fill (prebuf 0): it starts at once, and a request answered too late loses its frames
** but moves none, so frame 0 stays where it was. The constant latency of the map is twice
** the stream's latency asked for, or the furthest ahead of its request a frame was ever
** rendered, plus 2 ms: the same from the first note on.
**
** The stream's thread asks for realtime scheduling just above the step clock's and below a
** sound server's (PulseAudio's own threads run at 5), where the system allows it: a busy
** machine would otherwise let the stream run dry. The server is never started
** (PA_CONTEXT_NOAUTOSPAWN); an open that hears nothing within kConnectMs gives up.
*/
#if TBX_HAVE_PULSE

#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sched.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/midi/midi_internal.h"

namespace {

constexpr int kConnectMs = 3000;             /* longest wait for the server and the stream */
constexpr double kTargetMs = 30;             /* the stream's whole latency asked for */
constexpr double kLeadNs = 2 * kTargetMs * 1e6;   /* the least lead the latency is made for */
constexpr uint32_t kChunk = 1024;            /* frames rendered at a time */
constexpr double kFilter = 1.0 / 128;        /* weight of one request in the filtered clock */
constexpr double kJumpNs = 20e6;             /* a move of frame 0 larger than this starts over */
const char* const kName = "Tamborix";        /* the client's and the stream's name */
const char* const kIcon = "tamborix";        /* the icon the desktop launcher shows */

struct PulseState {
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  AudioRender render = nullptr;
  void* user = nullptr;
  double rate = 0;
  int64_t written = 0;                       /* frames written since the stream began */
  bool clockRunning = false;                 /* frame0Ns holds a filtered value */
  double frame0Ns = 0;                       /* steady-clock ns at which frame 0 is heard */
  double leadNs = kLeadNs;                   /* furthest a rendered frame was ahead of its request */
  bool prioritySet = false;                  /* the stream's thread asked for it */
  std::vector<float> left, right, interleaved;
};

PulseState P;

void ContextState(pa_context*, void*) { pa_threaded_mainloop_signal(P.loop, 0); }
void StreamState(pa_stream*, void*) { pa_threaded_mainloop_signal(P.loop, 0); }

/* Steady-clock ns at which the frame the stream will write next is heard; false when the
** stream does not know its latency yet. */
bool NextHeardNs(int64_t nowNs, double* heardNs) {
  pa_usec_t latency = 0;
  int negative = 0;
  if (pa_stream_get_latency(P.stream, &latency, &negative) != 0) return false;
  *heardNs = static_cast<double>(nowNs) + (negative ? -1.0 : 1.0) * static_cast<double>(latency) * 1000.0;
  return true;
}

/* The stream asks for `bytes`: rendered chunk by chunk, each with its frame clock. */
void Write(pa_stream* stream, size_t bytes, void*) {
  if (!P.prioritySet) {
    P.prioritySet = true;
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 1;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  }
  const int64_t now = MidiSteadyNs();
  double heard;
  const double nsPerFrame = 1e9 / P.rate;
  if (NextHeardNs(now, &heard)) {
    const double frame0 = heard - static_cast<double>(P.written) * nsPerFrame;
    if (!P.clockRunning || std::fabs(frame0 - P.frame0Ns) > kJumpNs) P.frame0Ns = frame0;
    else P.frame0Ns += (frame0 - P.frame0Ns) * kFilter;
    P.clockRunning = true;
  }
  size_t frames = bytes / 8;
  while (frames > 0) {
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(frames, kChunk));
    const double startNs = P.frame0Ns + static_cast<double>(P.written) * nsPerFrame;
    P.leadNs = std::max(P.leadNs, startNs + n * nsPerFrame - static_cast<double>(now));
    const CycleMap map{static_cast<int64_t>(startNs), P.rate / 1e9,
                       static_cast<int64_t>(std::llround((P.leadNs + 2e6) / nsPerFrame))};
    if (P.clockRunning) {
      P.render(P.left.data(), P.right.data(), n, map, P.user);
    } else {
      std::memset(P.left.data(), 0, n * sizeof(float));
      std::memset(P.right.data(), 0, n * sizeof(float));
    }
    for (uint32_t i = 0; i < n; i++) {
      P.interleaved[2 * i] = P.left[i];
      P.interleaved[2 * i + 1] = P.right[i];
    }
    pa_stream_write(stream, P.interleaved.data(), n * 8, nullptr, 0, PA_SEEK_RELATIVE);
    P.written += n;
    frames -= n;
  }
}

/* Waits (loop locked) until `ready` says yes, or no, or the time is up. */
template <class Ready>
bool WaitFor(Ready ready) {
  const int64_t end = MidiSteadyNs() + static_cast<int64_t>(kConnectMs) * 1000000;
  for (;;) {
    const int r = ready();
    if (r != 0) return r > 0;
    if (MidiSteadyNs() > end) return false;
    /* A timer wakes the wait now and then: a server that never answers is no answer. */
    pa_threaded_mainloop_unlock(P.loop);
    struct timespec pause = {0, 10000000};
    nanosleep(&pause, nullptr);
    pa_threaded_mainloop_lock(P.loop);
  }
}

void Free() {
  if (P.loop) pa_threaded_mainloop_stop(P.loop);   /* the stream's thread ends */
  if (P.stream) {
    pa_stream_disconnect(P.stream);
    pa_stream_unref(P.stream);
  }
  if (P.context) {
    pa_context_disconnect(P.context);
    pa_context_unref(P.context);
  }
  if (P.loop) pa_threaded_mainloop_free(P.loop);
  P = PulseState();
}

pa_proplist* Names(bool stream) {
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, stream ? PA_PROP_MEDIA_NAME : PA_PROP_APPLICATION_NAME, kName);
  pa_proplist_sets(props, PA_PROP_APPLICATION_ICON_NAME, kIcon);
  if (stream) {
    pa_proplist_sets(props, PA_PROP_MEDIA_ICON_NAME, kIcon);
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "music");
  }
  return props;
}

}  // namespace

bool PulseOpen(double rate, AudioRender render, void* user, std::string* why) {
  if (P.loop) {
    *why = "the stream is taken";
    return false;
  }
  P.render = render;
  P.user = user;
  P.rate = rate;
  P.left.assign(kChunk, 0);
  P.right.assign(kChunk, 0);
  P.interleaved.assign(2 * kChunk, 0);
  P.loop = pa_threaded_mainloop_new();
  pa_proplist* props = Names(false);
  P.context = P.loop ? pa_context_new_with_proplist(pa_threaded_mainloop_get_api(P.loop), kName, props) : nullptr;
  pa_proplist_free(props);
  if (!P.context || pa_threaded_mainloop_start(P.loop) < 0) {
    Free();
    *why = "PulseAudio: cannot start a client";
    return false;
  }
  pa_threaded_mainloop_lock(P.loop);
  pa_context_set_state_callback(P.context, ContextState, nullptr);
  bool ok = pa_context_connect(P.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 && WaitFor([] {
              const pa_context_state_t s = pa_context_get_state(P.context);
              return s == PA_CONTEXT_READY ? 1 : PA_CONTEXT_IS_GOOD(s) ? 0 : -1;
            });
  if (!ok) {
    pa_threaded_mainloop_unlock(P.loop);
    Free();
    *why = "PulseAudio: no sound server answered";
    return false;
  }
  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(rate), 2};
  props = Names(true);
  P.stream = pa_stream_new_with_proplist(P.context, kName, &format, nullptr, props);
  pa_proplist_free(props);
  if (P.stream) {
    pa_stream_set_state_callback(P.stream, StreamState, nullptr);
    pa_stream_set_write_callback(P.stream, Write, nullptr);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(static_cast<pa_usec_t>(kTargetMs * 1000), &format));
    attr.prebuf = 0;
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(-1);
    const pa_stream_flags_t flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    ok = pa_stream_connect_playback(P.stream, nullptr, &attr, flags, nullptr, nullptr) >= 0 && WaitFor([] {
           const pa_stream_state_t s = pa_stream_get_state(P.stream);
           return s == PA_STREAM_READY ? 1 : PA_STREAM_IS_GOOD(s) ? 0 : -1;
         });
  }
  pa_threaded_mainloop_unlock(P.loop);
  if (!ok) {
    Free();
    *why = "PulseAudio: the server refused the stream";
    return false;
  }
  return true;
}

void PulseClose() {
  if (P.loop) Free();
}

#else  /* no libpulse */

#include "platform/midi/midi_internal.h"

bool PulseOpen(double, AudioRender, void*, std::string* why) {
  *why = "PulseAudio: built without it";
  return false;
}
void PulseClose() {}

#endif
