/*
** Stamped MIDI messages on their way to an audio or MIDI cycle: the queue between the
** threads that send (timer, window, MIDI input) and the one cycle callback that plays them
** (the synth's audio callback, the JACK process callback, or an offline render loop).
**
** A message carries the steady-clock time it is due (the ideal time of the timer callback
** that sent it, or the time of sending), or kDueNow (MIDI-in echo: play at once). A cycle
** of n frames places a stamped message at the frame of its due time plus the constant
** latency: the latency is what lets a message sent a little after its due time still land
** on its own frame, so it must exceed one cycle plus the sender's wake-up lateness. A
** message whose frame has already passed plays at the cycle's first frame; kDueNow plays
** there too, before the stamped ones.
**
** Threads. StampPush has one producer at a time (the callers serialise it: devices.cpp
** sends under its output lock); StampCollect and StampNext belong to the cycle thread.
** The ring is a single-producer single-consumer array with two atomic counters; nothing
** allocates or blocks after StampInit.
*/
#ifndef TBX_PLATFORM_MIDI_SCHEDULE_H
#define TBX_PLATFORM_MIDI_SCHEDULE_H

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

constexpr int64_t kDueNow = INT64_MIN;   /* dueNs of a message that plays at once */

/* One message: its due time and its bytes (status first, 1..3 bytes; packed as b0 | b1 << 8
** | b2 << 16 | size << 24, so `bytes & 0xFFFFFF` is the midiOutShortMsg word). */
struct Stamped {
  int64_t dueNs;            /* steady-clock ns, or kDueNow */
  uint32_t bytes;
};

inline uint32_t StampPack(const unsigned char* b, size_t n) {
  uint32_t w = static_cast<uint32_t>(n) << 24;
  for (size_t i = 0; i < n && i < 3; i++) w |= static_cast<uint32_t>(b[i]) << (8 * i);
  return w;
}
inline size_t StampSize(uint32_t bytes) { return bytes >> 24; }

/* How one cycle maps steady-clock time onto its frames. */
struct CycleMap {
  int64_t startNs;          /* steady-clock ns of the cycle's first frame */
  double framesPerNs;       /* sample rate / 1e9 */
  int64_t latencyFrames;    /* the constant latency, in frames */
};

/* Frame offset of a message within the cycle (before clamping): negative = already past. */
inline int64_t CycleOffset(const CycleMap& map, int64_t dueNs) {
  if (dueNs == kDueNow) return INT64_MIN;
  return static_cast<int64_t>(std::llround(static_cast<double>(dueNs - map.startNs) * map.framesPerNs)) +
         map.latencyFrames;
}

/* The latency of a cycle of `periodFrames` at `rate` Hz: one period and 2 ms, in frames. */
inline int64_t CycleLatency(int64_t periodFrames, double rate) {
  return periodFrames + static_cast<int64_t>(std::llround(rate * 0.002));
}

/* The frame clock of an audio callback that is not told its cycle's time (PulseAudio, ALSA):
** a second-order delay-locked loop over the times the callback runs (F. Adriaensen, "Using
** a DLL to filter time"). t0 is the filtered time of this cycle's first frame, t1 the next
** one's. A sound server may run the callback in bursts, rendering ahead of the filtered
** clock: the latency is the longest such lead seen (one period for a steady callback) plus
** 2 ms, so it only ever grows, and settles once the server's way is known. */
struct FrameDll {
  bool running = false;
  double t0 = 0, t1 = 0;     /* ns, steady clock */
  double period = 0;         /* ns of one cycle, filtered */
  double b = 0, c = 0;       /* loop coefficients */
  double lead = 0;           /* ns: the furthest a cycle's end was ahead of its callback */
};

/* Hz: how fast the frame clock follows the device. Low, so that a server's bursts (a whole
** buffer of callbacks at once) move it by a frame at most; it locks within seconds of the
** synth's start, long before a note is played. */
constexpr double kDllBandwidth = 0.05;

/* The map of the cycle whose callback runs now (`frames` frames at `rate` Hz). */
inline CycleMap DllCycle(FrameDll* d, int64_t nowNs, int frames, double rate) {
  const double nominal = frames * 1e9 / rate, now = static_cast<double>(nowNs);
  if (!d->running || std::fabs(now - d->t1) > 100 * nominal) {
    /* First cycle, or the device stalled (a suspended stream): start over from now. */
    const double w = 2 * M_PI * kDllBandwidth * nominal / 1e9;
    *d = FrameDll{true, now, now + nominal, nominal, std::sqrt(2.0) * w, w * w, std::max(d->lead, nominal)};
  } else {
    const double e = now - d->t1;
    d->t0 = d->t1;
    d->t1 += d->b * e + d->period;
    d->period += d->c * e;
    d->lead = std::max(d->lead, d->t1 - now);
  }
  return CycleMap{static_cast<int64_t>(d->t0), frames / d->period,
                  static_cast<int64_t>(std::llround(d->lead * rate / 1e9 + rate * 0.002))};
}

constexpr uint32_t kStampRing = 4096;      /* ring entries; a power of two */
constexpr uint32_t kStampPending = 4096;   /* collected and not yet played */

struct StampQueue {
  Stamped ring[kStampRing];
  std::atomic<uint32_t> head{0};           /* entries pushed (producer) */
  std::atomic<uint32_t> tail{0};           /* entries collected (cycle thread) */
  std::atomic<uint32_t> played{0};         /* entries played (cycle thread); see StampIdle */
  std::atomic<uint32_t> missed{0};         /* stamped entries played more than a frame after
                                           ** theirs: they reached the queue too late (cycle
                                           ** thread) */
  Stamped pending[kStampPending];          /* cycle thread: collected, sorted by due time */
  uint32_t pendFirst = 0;                  /* first live entry of pending */
  uint32_t pendCount = 0;                  /* live entries from pendFirst */
};

/* Queues a message; false when the ring is full (the cycle has stopped running). */
inline bool StampPush(StampQueue* q, const Stamped& s) {
  uint32_t h = q->head.load(std::memory_order_relaxed);
  if (h - q->tail.load(std::memory_order_acquire) >= kStampRing) return false;
  q->ring[h & (kStampRing - 1)] = s;
  q->head.store(h + 1, std::memory_order_release);
  return true;
}

/* True when everything pushed so far has been played (producer side: a drain waits on it). */
inline bool StampIdle(const StampQueue* q) {
  return q->played.load(std::memory_order_acquire) == q->head.load(std::memory_order_relaxed);
}

/* Cycle thread: moves what was pushed into the pending list, in due order (equal times and
** kDueNow messages keep the order they were sent in). Stops early when the list is full. */
inline void StampCollect(StampQueue* q) {
  uint32_t t = q->tail.load(std::memory_order_relaxed);
  const uint32_t h = q->head.load(std::memory_order_acquire);
  while (t != h && q->pendCount < kStampPending) {
    if (q->pendFirst + q->pendCount == kStampPending) {
      std::memmove(q->pending, q->pending + q->pendFirst, q->pendCount * sizeof(Stamped));
      q->pendFirst = 0;
    }
    const Stamped s = q->ring[t & (kStampRing - 1)];
    Stamped* base = q->pending + q->pendFirst;
    uint32_t at = q->pendCount;
    while (at > 0 && base[at - 1].dueNs > s.dueNs) at--;
    std::memmove(base + at + 1, base + at, (q->pendCount - at) * sizeof(Stamped));
    base[at] = s;
    q->pendCount++;
    t++;
  }
  q->tail.store(t, std::memory_order_release);
}

/* Cycle thread: the next message that plays within a cycle of n frames, with its offset
** (0..n-1); false when the next one is due in a later cycle or none is pending. */
inline bool StampNext(StampQueue* q, const CycleMap& map, int64_t n, int64_t* offset, uint32_t* bytes) {
  if (q->pendCount == 0) return false;
  const Stamped& s = q->pending[q->pendFirst];
  int64_t at = CycleOffset(map, s.dueNs);
  if (at >= n) return false;
  /* One frame early is the rounding of two cycles' maps, which a moving clock makes differ
  ** by a fraction of a frame: the message still plays on its frame. */
  if (at < -1 && s.dueNs != kDueNow) q->missed.fetch_add(1, std::memory_order_relaxed);
  *offset = at < 0 ? 0 : at;
  *bytes = s.bytes;
  q->pendFirst++;
  q->pendCount--;
  if (q->pendCount == 0) q->pendFirst = 0;
  q->played.fetch_add(1, std::memory_order_release);
  return true;
}

/* Cycle thread, or any thread once no cycle runs: forgets everything queued. */
inline void StampClear(StampQueue* q) {
  uint32_t h = q->head.load(std::memory_order_acquire);
  q->played.fetch_add(h - q->tail.load(std::memory_order_relaxed) + q->pendCount, std::memory_order_release);
  q->tail.store(h, std::memory_order_release);
  q->pendFirst = 0;
  q->pendCount = 0;
}

#endif
