// A grammar checker for the Standard MIDI Files the exporter writes, used by the fuzz targets
// and the hardening tests. It knows nothing of the exporter: it checks the container (MThd
// of length 6, the declared number of MTrk chunks whose lengths add up to the file size),
// every delta time as a minimal variable-length quantity of at most 4 bytes, running status
// only after a channel status byte (meta and system exclusive events cancel it), data bytes
// below 0x80, the fixed lengths of the meta events the exporter uses, and End of Track as
// the last event of every track, exactly at the chunk's end.
#ifndef TBX_TESTS_FUZZ_SMF_CHECK_H
#define TBX_TESTS_FUZZ_SMF_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>

struct SmfSummary {
  int format = -1, tracks = 0, division = 0;
  size_t events = 0;          // every event of every track, End of Track included
  size_t noteOns = 0;         // note-ons with a velocity above 0
};

// Returns "" when the bytes are a well-formed file, else what is wrong and where.
inline std::string SmfCheck(const unsigned char* b, size_t size, SmfSummary* summary = nullptr) {
  SmfSummary s;
  size_t p = 0;
  auto at = [&](const std::string& what) { return what + " at byte " + std::to_string(p); };
  auto be = [&](size_t from, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | b[from + i];
    return v;
  };
  if (size < 14 || be(0, 4) != 0x4D546864u || be(4, 4) != 6) return at("no MThd chunk of length 6");
  s.format = static_cast<int>(be(8, 2));
  s.tracks = static_cast<int>(be(10, 2));
  s.division = static_cast<int>(be(12, 2));
  if (s.format > 2) return at("format above 2");
  if (s.format == 0 && s.tracks != 1) return at("format 0 with other than one track");
  if (s.tracks == 0) return at("no track");
  if (s.division == 0 || (s.division & 0x8000)) return at("division is not ticks per quarter note");
  p = 14;
  for (int t = 0; t < s.tracks; ++t) {
    if (p + 8 > size || be(p, 4) != 0x4D54726Bu) return at("missing MTrk chunk");
    uint32_t length = be(p + 4, 4);
    p += 8;
    if (length > size - p) return at("track length beyond the file");
    const size_t end = p + length;
    unsigned char running = 0;  // 0 = no running status in force
    bool ended = false;
    // A variable-length quantity: 1..4 bytes, no leading 0x80 (not minimal), inside the track.
    auto quantity = [&](uint32_t& v) -> std::string {
      v = 0;
      for (int i = 0; i < 4; ++i) {
        if (p >= end) return at("quantity runs past the track");
        unsigned char c = b[p++];
        if (i == 0 && c == 0x80) return at("quantity not minimal");
        v = v << 7 | (c & 0x7Fu);
        if (!(c & 0x80)) return "";
      }
      return at("quantity longer than 4 bytes");
    };
    while (p < end) {
      if (ended) return at("event after End of Track");
      uint32_t delta;
      std::string e = quantity(delta);
      if (!e.empty()) return "delta: " + e;
      if (p >= end) return at("delta without an event");
      unsigned char c = b[p];
      ++s.events;
      if (c == 0xFF) {
        if (p + 2 > end) return at("truncated meta event");
        unsigned char type = b[p + 1];
        p += 2;
        uint32_t n;
        e = quantity(n);
        if (!e.empty()) return "meta length: " + e;
        if (n > end - p) return at("meta event runs past the track");
        static const struct { unsigned char type; uint32_t length; } fixed[] = {
            {0x2F, 0}, {0x51, 3}, {0x58, 4}, {0x21, 1}, {0x20, 1}, {0x59, 2}};
        for (const auto& f : fixed)
          if (f.type == type && f.length != n) return at("meta event of the wrong length");
        p += n;
        running = 0;
        if (type == 0x2F) ended = true;
      } else if (c == 0xF0 || c == 0xF7) {
        ++p;
        uint32_t n;
        e = quantity(n);
        if (!e.empty()) return "sysex length: " + e;
        if (n > end - p) return at("system exclusive runs past the track");
        p += n;
        running = 0;
      } else if (c >= 0xF1) {
        return at("system common or real-time status in a track");
      } else {
        if (c & 0x80) {
          running = c;
          ++p;
        } else if (running == 0) {
          return at("data byte without a status byte (running status not in force)");
        }
        const unsigned char kind = running & 0xF0;
        const int n = kind == 0xC0 || kind == 0xD0 ? 1 : 2;
        for (int i = 0; i < n; ++i) {
          if (p >= end) return at("channel message runs past the track");
          if (b[p] & 0x80) return at("data byte of 0x80 or above");
          ++p;
        }
        if (kind == 0x90 && b[p - 1] != 0) ++s.noteOns;
      }
    }
    if (!ended) return at("track does not end with End of Track");
  }
  if (p != size) return at("bytes after the last track");
  if (summary) *summary = s;
  return "";
}

#endif
