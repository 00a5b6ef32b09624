// The one strict Standard MIDI File reader of the tests (export, import, playlist and
// hardening tests, fuzz targets). It shares no code with the program. It checks the
// container (MThd of length 6, the declared number of MTrk chunks whose lengths add up to
// the file size), every delta time and length as a minimal variable-length quantity of at
// most 4 bytes, running status only after a channel status byte (meta and system exclusive
// events cancel it), data bytes below 0x80, the fixed lengths of the meta events the
// exporter uses, no system common or real-time status in a track, and End of Track as the
// last event of every track, exactly at the chunk's end; and it turns each track into
// events with absolute ticks.
#ifndef TBX_TESTS_MIDIFILE_SMF_H
#define TBX_TESTS_MIDIFILE_SMF_H

#include <cstddef>
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
  std::string error;           // what is wrong, " at byte " where
  int format = -1, tracks = -1, division = -1;
  std::vector<std::vector<SmfEvent>> track;
  std::vector<uint32_t> trackLength;
  size_t events = 0;           // every event of every track, End of Track included
  size_t noteOns = 0;          // note-ons with a velocity above 0
};

// keepChannelEvents false keeps only meta and system exclusive events (large files);
// keepEvents false keeps none (only the counts).
inline Smf ParseSmf(const unsigned char* b, size_t size, bool keepChannelEvents = true, bool keepEvents = true) {
  Smf smf;
  size_t p = 0;
  auto fail = [&](const std::string& why) {
    smf.error = why + " at byte " + std::to_string(p);
    smf.track.clear();
    return smf;
  };
  auto be = [&](size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | b[at + i];
    return v;
  };
  if (size < 14 || be(0, 4) != 0x4D546864u || be(4, 4) != 6) return fail("no MThd chunk of length 6");
  smf.format = static_cast<int>(be(8, 2));
  smf.tracks = static_cast<int>(be(10, 2));
  smf.division = static_cast<int>(be(12, 2));
  p = 14;
  for (int t = 0; t < smf.tracks; ++t) {
    if (p + 8 > size || be(p, 4) != 0x4D54726Bu) return fail("missing MTrk chunk");
    const uint32_t length = be(p + 4, 4);
    smf.trackLength.push_back(length);
    p += 8;
    if (length > size - p) return fail("track length beyond the file");
    const size_t end = p + length;
    std::vector<SmfEvent> events;
    uint32_t tick = 0;
    unsigned char running = 0;  // 0 = no running status in force
    bool ended = false;
    // A variable-length quantity: 1..4 bytes, no leading 0x80 (not minimal), inside the track.
    auto quantity = [&](uint32_t& v, const char* what) -> std::string {
      v = 0;
      for (int i = 0; i < 4; ++i) {
        if (p >= end) return std::string(what) + ": quantity runs past the track";
        const unsigned char c = b[p++];
        if (i == 0 && c == 0x80) return std::string(what) + ": quantity not minimal";
        v = v << 7 | (c & 0x7Fu);
        if (!(c & 0x80)) return "";
      }
      return std::string(what) + ": quantity longer than 4 bytes";
    };
    while (p < end) {
      if (ended) return fail("event after End of Track");
      uint32_t delta;
      std::string bad = quantity(delta, "delta");
      if (!bad.empty()) return fail(bad);
      tick += delta;
      if (p >= end) return fail("delta without an event");
      SmfEvent e{tick, 0, 0, {}};
      const unsigned char c = b[p];
      ++smf.events;
      if (c == 0xFF) {
        if (p + 2 > end) return fail("truncated meta event");
        e.status = 0xFF;
        e.metaType = b[p + 1];
        p += 2;
        uint32_t n;
        bad = quantity(n, "meta length");
        if (!bad.empty()) return fail(bad);
        if (n > end - p) return fail("meta event runs past the track");
        static const struct { unsigned char type; uint32_t length; } fixed[] = {
            {0x2F, 0}, {0x51, 3}, {0x58, 4}, {0x21, 1}, {0x20, 1}, {0x59, 2}};
        for (const auto& f : fixed)
          if (f.type == e.metaType && f.length != n) return fail("meta event of the wrong length");
        e.data.assign(b + p, b + p + n);
        p += n;
        running = 0;
        if (e.metaType == 0x2F) ended = true;
      } else if (c == 0xF0 || c == 0xF7) {
        e.status = c;
        ++p;
        uint32_t n;
        bad = quantity(n, "sysex length");
        if (!bad.empty()) return fail(bad);
        if (n > end - p) return fail("system exclusive runs past the track");
        e.data.assign(b + p, b + p + n);
        p += n;
        running = 0;
      } else if (c >= 0xF1) {
        return fail("system common or real-time status in a track");
      } else {
        if (c & 0x80) {
          running = c;
          ++p;
        } else if (running == 0) {
          return fail("data byte without a status byte (running status not in force)");
        }
        e.status = running;
        const unsigned char kind = running & 0xF0;
        const size_t n = kind == 0xC0 || kind == 0xD0 ? 1 : 2;
        for (size_t i = 0; i < n; ++i) {
          if (p + i >= end) return fail("channel message runs past the track");
          if (b[p + i] & 0x80) return fail("data byte of 0x80 or above");
        }
        if (kind == 0x90 && b[p + n - 1] != 0) ++smf.noteOns;
        if (keepChannelEvents) e.data.assign(b + p, b + p + n);
        p += n;
      }
      if (keepEvents && (keepChannelEvents || e.status == 0xFF || e.status == 0xF0)) events.push_back(std::move(e));
    }
    if (!ended) return fail("track does not end with End of Track");
    smf.track.push_back(std::move(events));
  }
  if (p != size) return fail("bytes after the last track");
  smf.ok = true;
  return smf;
}

inline Smf ParseSmf(const std::vector<unsigned char>& b, bool keepChannelEvents = true) {
  return ParseSmf(b.data(), b.size(), keepChannelEvents);
}

// The files the exporter writes: well-formed as above, of format 0 (one track) or 1, with
// tracks and a division in ticks per quarter note. "" when they are, else what is wrong.
inline std::string SmfCheck(const unsigned char* b, size_t size, Smf* summary = nullptr) {
  Smf smf = ParseSmf(b, size, false, false);
  if (!smf.ok) return smf.error;
  std::string bad;
  if (smf.format > 2) bad = "format above 2";
  else if (smf.format == 0 && smf.tracks != 1) bad = "format 0 with other than one track";
  else if (smf.tracks == 0) bad = "no track";
  else if (smf.division == 0 || (smf.division & 0x8000)) bad = "division is not ticks per quarter note";
  if (!bad.empty()) return bad + " at byte 8";
  if (summary) *summary = std::move(smf);
  return "";
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
