// A strict Standard MIDI File reader for the export tests: it checks the chunk framing,
// the variable-length quantities, running status and that every track ends with End of
// Track exactly at its length, and turns each track into events with absolute ticks. It
// shares no code with the exporter.
#ifndef TBX_TESTS_MIDIFILE_SMF_H
#define TBX_TESTS_MIDIFILE_SMF_H

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

struct SmfEvent {
  uint32_t tick;               // absolute
  unsigned char status;        // channel status, 0xFF meta, 0xF0 system exclusive
  unsigned char metaType;      // meta events
  std::vector<unsigned char> data;  // data bytes (meta and sysex: the payload)
  bool NoteOn() const { return (status & 0xF0) == 0x90 && data[1] > 0; }
  bool NoteOff() const { return (status & 0xF0) == 0x90 && data[1] == 0; }
  bool Meta(unsigned char type) const { return status == 0xFF && metaType == type; }
};

struct Smf {
  bool ok = false;
  std::string error;
  int format = -1, tracks = -1, division = -1;
  std::vector<std::vector<SmfEvent>> track;
  std::vector<uint32_t> trackLength;
};

// keepChannelEvents false keeps only meta and system exclusive events (large files).
inline Smf ParseSmf(const std::vector<unsigned char>& b, bool keepChannelEvents = true) {
  Smf smf;
  size_t p = 0;
  auto fail = [&](const std::string& why) {
    smf.error = why + " at " + std::to_string(p);
    return smf;
  };
  auto be = [&](size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | b[at + i];
    return v;
  };
  if (b.size() < 14 || std::string(b.begin(), b.begin() + 4) != "MThd" || be(4, 4) != 6) return fail("header");
  smf.format = be(8, 2);
  smf.tracks = be(10, 2);
  smf.division = be(12, 2);
  p = 14;
  for (int t = 0; t < smf.tracks; ++t) {
    if (p + 8 > b.size() || std::string(b.begin() + p, b.begin() + p + 4) != "MTrk") return fail("track chunk");
    uint32_t len = be(p + 4, 4);
    smf.trackLength.push_back(len);
    p += 8;
    size_t end = p + len;
    if (end > b.size()) return fail("track length beyond file");
    std::vector<SmfEvent> events;
    uint32_t tick = 0;
    unsigned char running = 0;
    bool ended = false;
    auto varlen = [&](uint32_t& v) {
      v = 0;
      for (int i = 0; i < 4; ++i) {
        if (p >= end) return false;
        unsigned char c = b[p++];
        v = v << 7 | (c & 0x7F);
        if (!(c & 0x80)) return true;
      }
      return false;
    };
    while (p < end) {
      if (ended) return fail("event after End of Track");
      uint32_t delta;
      if (!varlen(delta)) return fail("delta");
      tick += delta;
      if (p >= end) return fail("missing event");
      SmfEvent e{tick, 0, 0, {}};
      unsigned char c = b[p];
      if (c == 0xFF) {
        if (p + 2 > end) return fail("meta");
        e.status = 0xFF;
        e.metaType = b[p + 1];
        p += 2;
        uint32_t n;
        if (!varlen(n) || p + n > end) return fail("meta length");
        e.data.assign(b.begin() + p, b.begin() + p + n);
        p += n;
        if (e.metaType == 0x2F) ended = true;
      } else if (c == 0xF0 || c == 0xF7) {
        e.status = c;
        ++p;
        uint32_t n;
        if (!varlen(n) || p + n > end) return fail("sysex length");
        e.data.assign(b.begin() + p, b.begin() + p + n);
        p += n;
      } else {
        if (c & 0x80) {
          running = c;
          ++p;
        } else if (!running) {
          return fail("data byte without running status");
        }
        e.status = running;
        int n = (running & 0xF0) == 0xC0 || (running & 0xF0) == 0xD0 ? 1 : 2;
        for (int i = 0; i < n; ++i)
          if (p + i >= end || (b[p + i] & 0x80)) return fail("data byte");
        if (keepChannelEvents) e.data.assign(b.begin() + p, b.begin() + p + n);
        p += n;
      }
      if (keepChannelEvents || e.status == 0xFF || e.status == 0xF0) events.push_back(std::move(e));
    }
    if (!ended) return fail("no End of Track");
    smf.track.push_back(events);
  }
  if (p != b.size()) return fail("bytes after the last track");
  smf.ok = true;
  return smf;
}

// Reads the file with an independent reader (python3-mido, Debian's package, so the system
// interpreter is tried first); returns true when the reader accepts it or is not available.
inline bool ExternalReaderAccepts(const std::string& path, bool* ran = nullptr) {
  static const std::string python = [] {
    for (const char* p : {"/usr/bin/python3", "python3"})
      if (std::system((std::string(p) + " -c 'import mido' >/dev/null 2>&1").c_str()) == 0) return std::string(p);
    return std::string();
  }();
  if (ran) *ran = !python.empty();
  if (python.empty()) return true;
  std::string cmd = python + " -c 'import sys,mido; m=mido.MidiFile(sys.argv[1], clip=False); "
                    "[len(t) for t in m.tracks]' '" + path + "' >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

#endif
