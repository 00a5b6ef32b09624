/*
** MIDI file import: a Standard MIDI File read into pattern records, and the files an import
** writes (a project file, or the parts of longer music and the playlist that plays them).
**
** Reading. The reader is strict about the container, so a damaged file is refused rather
** than half read: the header chunk "MThd" (length at least 6, then format, track count and
** division, big-endian), then that many "MTrk" chunks (other chunks are skipped), every
** length inside the file, every event inside its chunk, variable-length quantities of at
** most four bytes, data bytes below 0x80. Running status is honoured (also across meta and
** system exclusive events, as most writers expect), a note-on of velocity 0 is a note-off,
** controllers 120 and 123 end a channel's notes, meta and system exclusive events are
** skipped but for the tempo (FF 51), the time signature (FF 58) and the first events that
** tell this program's own exports. A RIFF "RMID" file is read through its "data" chunk.
**
** Mapping. Drum notes (the percussion channel) go to row note - 33; the instrument part is
** one channel, placed by a transposition chosen so that the most notes land on rows 2..48,
** with octave flags on the steps where they bring more notes on than they push off. The
** grid is the coarsest rel.Beat ("* 1" .. "*12" of the file's first tempo) whose mean
** distance of the notes from it is within a quarter of the best grid's; every
** note-on goes to its nearest step. Instrument notes end where the file ends them: a
** release marker is set where every instrument note then sounding (rows 2..47, the ones a
** marker ends) is due to end or starts again.
**
** This program's exports (384 ticks a step, a track name and a MIDI port event first) are
** read by their own timing: a step's events lie one tick apart, every step with output
** begins one tick earlier than the one before it would, and a track whose first step with
** output is not step 0 begins one step late. Undoing that gives back the steps, so an
** export imported and exported again has the same note-ons.
*/
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"

const char gszImportNotMidi[] = "File %s is not a Standard MIDI File.";
const char gszImportDamaged[] = "File %s is a damaged MIDI file: a track or an event runs past its end.";
const char gszImportFormat2[] =
    "File %s is a MIDI file of format 2 (independent sequences); only formats 0 and 1 can be imported.";
const char gszImportSmpte[] =
    "File %s counts its time in SMPTE frames; only MIDI files in ticks per quarter note can be imported.";
const char gszImportTooLarge[] = "File %s is too large for a MIDI file (over 16 MB).";
const char gszImportNoNotes[] = "File %s holds no notes.";

namespace {

/* ---------------------------------------------------------------- reading */

struct SmfEvent {
  uint32_t tick;      /* absolute, saturated at UINT32_MAX */
  uint8_t status;     /* channel status with its channel, 0xFF meta, 0xF0 system exclusive */
  uint8_t type;       /* meta type */
  uint8_t data[4];    /* channel data bytes, or the first bytes of a meta event's payload */
  uint32_t length;    /* payload length of a meta or system exclusive event */
};

struct Smf {
  int format = 0;
  int division = 0;   /* ticks per quarter note */
  std::vector<std::vector<SmfEvent>> tracks;
};

uint32_t Be(const unsigned char* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 8 | p[i];
  return v;
}

bool VarLen(const unsigned char* b, size_t end, size_t* p, uint32_t* v) {
  *v = 0;
  for (int i = 0; i < 4; ++i) {
    if (*p >= end) return false;
    const unsigned char c = b[(*p)++];
    *v = *v << 7 | (c & 0x7Fu);
    if (!(c & 0x80)) return true;
  }
  return false;
}

bool IsNote(const SmfEvent& e) { return (e.status & 0xE0) == 0x80; }  /* 0x8n or 0x9n */
bool IsNoteOn(const SmfEvent& e) { return (e.status & 0xF0) == 0x90 && e.data[1] > 0; }

/* Channel events the mapping reads: notes, program changes, All Sound / Notes Off. */
bool Kept(uint8_t status, uint8_t d1) {
  switch (status & 0xF0) {
    case 0x80: case 0x90: case 0xC0: return true;
    case 0xB0: return d1 == 120 || d1 == 123;
  }
  return false;
}

const char* ParseTrack(const unsigned char* b, size_t p, size_t end, std::vector<SmfEvent>* out) {
  uint64_t tick = 0;
  uint8_t running = 0;
  while (p < end) {
    uint32_t delta, n;
    if (!VarLen(b, end, &p, &delta) || p >= end) return gszImportDamaged;
    tick += delta;
    SmfEvent e{};
    e.tick = tick > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(tick);
    const uint8_t c = b[p];
    if (c == 0xFF) {
      if (end - p < 2) return gszImportDamaged;
      e.status = 0xFF;
      e.type = b[p + 1];
      p += 2;
      if (!VarLen(b, end, &p, &n) || n > end - p) return gszImportDamaged;
      e.length = n;
      std::memcpy(e.data, b + p, std::min<uint32_t>(n, 4));
      p += n;
      out->push_back(e);
      if (e.type == 0x2F) return nullptr; /* End of Track: the rest of the chunk is not read */
      continue;
    }
    if (c == 0xF0 || c == 0xF7) {
      ++p;
      if (!VarLen(b, end, &p, &n) || n > end - p) return gszImportDamaged;
      e.status = 0xF0;
      e.length = n;
      p += n;
      out->push_back(e);
      continue;
    }
    if (c > 0xF0) return gszImportDamaged; /* system common and real-time bytes are no file events */
    if (c & 0x80) {
      running = c;
      ++p;
    } else if (!running) {
      return gszImportDamaged;
    }
    const size_t bytes = (running & 0xE0) == 0xC0 ? 1 : 2; /* 0xCn and 0xDn carry one */
    if (end - p < bytes) return gszImportDamaged;
    for (size_t i = 0; i < bytes; ++i) {
      if (b[p + i] & 0x80) return gszImportDamaged;
      e.data[i] = b[p + i];
    }
    p += bytes;
    e.status = running;
    if (Kept(running, e.data[0])) out->push_back(e);
  }
  return nullptr; /* a track without End of Track ends with its chunk */
}

const char* ParseSmf(const unsigned char* b, size_t size, Smf* smf) {
  /* A RIFF MIDI file ("RMID") holds the Standard MIDI File in its "data" chunk. */
  if (size >= 12 && std::memcmp(b, "RIFF", 4) == 0 && std::memcmp(b + 8, "RMID", 4) == 0) {
    for (size_t p = 12; size - p >= 8;) {
      const uint32_t n = b[p + 4] | b[p + 5] << 8 | b[p + 6] << 16 | uint32_t(b[p + 7]) << 24;
      if (std::memcmp(b + p, "data", 4) == 0) {
        const size_t length = std::min<size_t>(n, size - p - 8);
        b += p + 8;
        size = length;
        break;
      }
      if (n > size - p - 8 || n + (n & 1) > size - p - 8) break; /* the next chunk would start past the end */
      p += 8 + n + (n & 1);
    }
  }
  if (size < 8 || std::memcmp(b, "MThd", 4) != 0) return gszImportNotMidi;
  const uint32_t headerLength = Be(b + 4, 4);
  if (headerLength < 6 || headerLength > size - 8) return gszImportDamaged;
  smf->format = static_cast<int>(Be(b + 8, 2));
  const int tracks = static_cast<int>(Be(b + 10, 2));
  smf->division = static_cast<int>(Be(b + 12, 2));
  if (smf->format == 2) return gszImportFormat2;
  if (smf->format > 2) return gszImportNotMidi;
  if (smf->division & 0x8000) return gszImportSmpte;
  if (smf->division == 0) return gszImportDamaged;
  size_t p = 8 + headerLength;
  while (static_cast<int>(smf->tracks.size()) < tracks) {
    if (size - p < 8) return gszImportDamaged;
    const uint32_t length = Be(b + p + 4, 4);
    if (length > size - p - 8) return gszImportDamaged;
    const bool track = std::memcmp(b + p, "MTrk", 4) == 0;
    for (int i = 0; i < 4 && !track; ++i)
      if (b[p + i] < 0x20 || b[p + i] > 0x7E) return gszImportDamaged; /* no chunk at all */
    const size_t start = p + 8;
    p = start + length;
    if (!track) continue;
    smf->tracks.emplace_back();
    if (const char* error = ParseTrack(b, start, p, &smf->tracks.back())) return error;
  }
  return nullptr;
}

/* ---------------------------------------------------------------- the notes of the file */

enum : uint32_t { NEVER = UINT32_MAX };

struct FileNote {
  uint32_t on, off;        /* ticks; off NEVER: the file never ends it */
  int track, onIndex;      /* the note-on among its track's kept events */
  int offTrack, offIndex;  /* the event that ends it; offIndex -1: none, or a controller */
  int channel, pitch, velocity;
};

struct Song {
  std::vector<FileNote> notes;  /* in the order of their note-ons */
  uint32_t tempo = 500000;      /* microseconds per quarter note: the first tempo, else 120 BPM */
  int sigNum = 4, sigDenPow = 2; /* the first time signature, else 4/4 */
  int program[16];              /* the first program change of each channel, -1 none */
};

/* Pairs every note-on with the first note-off of its channel and pitch that follows it (a
** controller 120 or 123 ends all the channel's notes), over all tracks in time order. In
** an export (`silentStarts`) a note-on of velocity 0 that ends nothing starts a silent note:
** the export writes a step whose accents and level come to 0 that way. */
void CollectNotes(const Smf& smf, bool silentStarts, Song* song) {
  struct Ref { uint32_t tick; int track, index; };
  std::vector<Ref> order;
  for (int t = 0; t < static_cast<int>(smf.tracks.size()); ++t)
    for (int i = 0; i < static_cast<int>(smf.tracks[t].size()); ++i) order.push_back({smf.tracks[t][i].tick, t, i});
  std::stable_sort(order.begin(), order.end(), [](const Ref& a, const Ref& b) { return a.tick < b.tick; });

  std::fill(song->program, song->program + 16, -1);
  bool tempoSeen = false, signatureSeen = false;
  std::vector<std::vector<int>> open(16 * 128);
  auto end = [&](int key, const Ref& r) {
    FileNote& n = song->notes[open[key].front()];
    n.off = r.tick;
    n.offTrack = r.track;
    n.offIndex = r.index;
    open[key].erase(open[key].begin());
  };
  for (const Ref& r : order) {
    const SmfEvent& e = smf.tracks[r.track][r.index];
    if (e.status == 0xFF) {
      if (e.type == 0x51 && e.length >= 3 && !tempoSeen) {
        const uint32_t tempo = Be(e.data, 3);
        if (tempo > 0) song->tempo = tempo;
        tempoSeen = true;
      } else if (e.type == 0x58 && e.length >= 2 && !signatureSeen) {
        if (e.data[0] > 0 && e.data[1] <= 6) song->sigNum = e.data[0], song->sigDenPow = e.data[1];
        signatureSeen = true;
      }
      continue;
    }
    if (e.status == 0xF0) continue;
    const int channel = e.status & 0x0F, kind = e.status & 0xF0;
    if (kind == 0xC0) {
      if (song->program[channel] < 0) song->program[channel] = e.data[0];
    } else if (kind == 0xB0) {
      for (int pitch = 0; pitch < 128; ++pitch)
        while (!open[channel * 128 + pitch].empty()) end(channel * 128 + pitch, r);
    } else if (IsNoteOn(e)) {
      open[channel * 128 + e.data[0]].push_back(static_cast<int>(song->notes.size()));
      song->notes.push_back({r.tick, NEVER, r.track, r.index, r.track, -1, channel, e.data[0], e.data[1]});
    } else if (IsNote(e) && !open[channel * 128 + e.data[0]].empty()) {
      end(channel * 128 + e.data[0], r);
    } else if (silentStarts && (e.status & 0xF0) == 0x90) {
      open[channel * 128 + e.data[0]].push_back(static_cast<int>(song->notes.size()));
      song->notes.push_back({r.tick, NEVER, r.track, r.index, r.track, -1, channel, e.data[0], 0});
    }
  }
}

/* ---------------------------------------------------------------- this program's exports */

/* Division 384, and every track opening at tick 0 with its name (format 1: "V..." then
** "P..."), the first one then with MIDI port 0: how the exports begin. */
bool IsTamborixExport(const Smf& smf) {
  const size_t tracks = smf.format == 0 ? 1 : 2;
  if (smf.division != 384 || smf.tracks.size() != tracks) return false;
  for (size_t t = 0; t < tracks; ++t) {
    const std::vector<SmfEvent>& ev = smf.tracks[t];
    if (ev.empty() || ev[0].status != 0xFF || ev[0].type != 0x03 || ev[0].tick != 0) return false;
    if (smf.format == 1 && (ev[0].length < 1 || ev[0].data[0] != (t == 0 ? 'V' : 'P'))) return false;
  }
  const std::vector<SmfEvent>& first = smf.tracks[0];
  return first.size() > 1 && first[1].status == 0xFF && first[1].type == 0x21 && first[1].length == 1 &&
         first[1].data[0] == 0 && first[1].tick == 0;
}

/* The steps of an export's note events: per track, runs of note events one tick apart are
** one step's events; run c (0-based) of a track begins c ticks before its step's multiple
** of 384, one step later in a track whose first run is not at tick 0. */
struct ExportTiming {
  std::vector<std::vector<int>> runOf;        /* per track and kept event: its run, -1 none */
  std::vector<std::vector<uint32_t>> start;   /* per track and run: its first tick */
  std::vector<int> late;                      /* per track: 1 when it begins one step late */

  explicit ExportTiming(const Smf& smf) {
    for (const std::vector<SmfEvent>& ev : smf.tracks) {
      runOf.emplace_back(ev.size(), -1);
      start.emplace_back();
      uint32_t last = 0;
      for (size_t i = 0; i < ev.size(); ++i) {
        if (!IsNote(ev[i])) continue;
        if (start.back().empty() || ev[i].tick > last + 1) start.back().push_back(ev[i].tick);
        last = ev[i].tick;
        runOf.back()[i] = static_cast<int>(start.back().size()) - 1;
      }
      late.push_back(!start.back().empty() && start.back()[0] != 0);
    }
  }
  /* The step of a note event (or of a tick outside any run, to the nearest step). */
  int64_t Step(int track, int index, uint32_t tick) const {
    const int run = index >= 0 ? runOf[track][index] : -1;
    const uint64_t t = run >= 0 ? uint64_t(start[track][run]) + run : tick;
    return static_cast<int64_t>((t + 192) / 384) - late[track];
  }
  /* How far the note event lies from its step, the export's own layout undone. */
  uint32_t Off(int track, int index, uint32_t tick) const {
    const int run = runOf[track][index];
    const int64_t t = run >= 0 ? int64_t(start[track][run]) + run : tick;
    return static_cast<uint32_t>(std::llabs(t - ((t + 192) / 384) * 384));
  }
  /* Whether the note event is directly followed, in its run, by a start of `pitch` on its
  ** channel: an export ends a note that way when its row sounds again. */
  bool EndsForRestart(const Smf& smf, int track, int index, int pitch) const {
    const std::vector<SmfEvent>& ev = smf.tracks[track];
    if (index < 0 || runOf[track][index] < 0) return false;
    for (size_t i = index + 1; i < ev.size(); ++i) {
      if (!IsNote(ev[i])) continue;
      return runOf[track][i] == runOf[track][index] && IsNoteOn(ev[i]) && ev[i].data[0] == pitch &&
             (ev[i].status & 0x0F) == (ev[index].status & 0x0F);
    }
    return false;
  }
};

/* ---------------------------------------------------------------- grid, tempo, bar */

/* Steps per beat of rel.Beat 0..9: num / den of a beat per step inverted. */
const struct { int num, den; const char* label; } kRel[10] = {
    {4, 1, "/ 4"}, {2, 1, "/ 2"}, {1, 1, "* 1"}, {1, 2, "* 2"}, {1, 3, "* 3"},
    {1, 4, "* 4"}, {1, 5, "* 5"}, {1, 6, "* 6"}, {1, 8, "* 8"}, {1, 12, "*12"}};
const int kGridRel[8] = {2, 3, 4, 5, 6, 7, 8, 9}; /* the grids "* 1" .. "*12" */
const int kBars[8] = {3, 4, 5, 6, 8, 12, 16, 24}; /* the Beats/Bar items */
enum { MSEC_FASTEST = 119, MSEC_SLOWEST = 1500 }; /* 60000 / M within 40..506 BPM */

int StepsPerBeat(int rel) { return kRel[rel].den / kRel[rel].num; } /* rel 2..9 */

int64_t NearestStep(uint32_t tick, int k, int division) {
  return static_cast<int64_t>((uint64_t(tick) * k * 2 + division) / (uint64_t(division) * 2));
}

/* The coarsest grid whose mean distance of the note-ons from it is within a quarter of the
** best grid's (a finer grid is never farther, so it must be clearly closer to be taken). */
int ChooseGrid(const std::vector<uint32_t>& ticks, int division, uint32_t tempo) {
  double mean[8];
  double best = 1e300;
  for (int g = 0; g < 8; ++g) {
    const int k = StepsPerBeat(kGridRel[g]);
    double sum = 0;
    for (uint32_t t : ticks) {
      const double pos = double(t) * k / division;
      sum += std::fabs(pos - std::floor(pos + 0.5)) * division / k;
    }
    mean[g] = ticks.empty() ? 0 : sum / ticks.size() * tempo / division / 1000.0; /* ms */
    best = std::min(best, mean[g]);
  }
  for (int g = 0; g < 8; ++g)
    if (mean[g] <= best * 1.25 + 1e-6) return kGridRel[g];
  return kGridRel[0];
}

/* The tempo (ms a beat) and rel.Beat of the grid `rel` at `tempo` microseconds a quarter
** note: the grid's rel.Beat at the file's tempo when that lies in the tempo bar's range
** (unless `exact`); else a step of the same whole milliseconds from the rel.Beat nearest
** the grid's whose tempo does; else that many milliseconds a beat at "* 1", whatever the
** read-out then shows. */
void ChooseTempo(uint32_t tempo, int rel, bool exact, int16_t* msec, int16_t* relBeat) {
  long beat = std::lround(tempo / 1000.0);
  /* A whole number of beats a minute is taken as the tempo bar sets it (60000 / BPM, as
  ** 140 BPM is 428 ms), so the read-out shows it. */
  const double bpm = 60e6 / tempo;
  if (!exact && std::fabs(bpm - std::lround(bpm)) < 0.05 && std::lround(bpm) > 0) beat = 60000 / std::lround(bpm);
  if (!exact && beat >= MSEC_FASTEST && beat <= MSEC_SLOWEST) {
    *msec = static_cast<int16_t>(beat);
    *relBeat = static_cast<int16_t>(rel);
    return;
  }
  long step = std::lround(tempo / 1000.0 / StepsPerBeat(rel));
  if (step < 1) step = 1;
  for (int d = 0; d < 10; ++d)
    for (int i : {rel - d, rel + d}) {
      if (i < 0 || i > 9) continue;
      long lo, hi; /* the beats whose step (beat * num / den, truncated) is `step` ms */
      if (kRel[i].num == 1) {
        lo = step * kRel[i].den;
        hi = lo + kRel[i].den - 1;
      } else {
        if (step % kRel[i].num) continue;
        lo = hi = step / kRel[i].num;
      }
      lo = std::max<long>(lo, MSEC_FASTEST);
      hi = std::min<long>(hi, MSEC_SLOWEST);
      if (lo > hi) continue;
      *msec = static_cast<int16_t>(lo);
      *relBeat = static_cast<int16_t>(i);
      return;
    }
  *msec = static_cast<int16_t>(std::min<long>(step, 32767));
  *relBeat = 2;
}

bool InBarMenu(int steps) { return std::find(kBars, kBars + 8, steps) != kBars + 8; }

/* ---------------------------------------------------------------- the instrument */

int OctaveShift(int voice) { return (voice >= 32 && voice <= 39 ? 12 : 0) + (voice == 43 || voice == 58 ? 12 : 0); }
int NoteOffset(int voice, int transpose) { return 46 - transpose - OctaveShift(voice); }

/* ---------------------------------------------------------------- placing */

struct Cell {
  int64_t step;        /* song step */
  int row;
  bool perc;
  int note;            /* index into Song::notes */
  uint32_t offTicks;   /* distance from its step */
};

struct VoiceNote {
  int64_t step, end;   /* start step; the step it is due to end (INT64_MAX: never) */
  int row;
  bool restart;        /* an export ends it right before its row's next start */
  int64_t next;        /* its row's next start, INT64_MAX none */
  bool release;        /* it needs a release marker at its end */
};

void SetBit(uint32_t* low, uint32_t* high, int step, int row) {
  if (row < 32) low[step] |= 1u << row;
  else high[step] |= 1u << (row - 32);
}
bool GetBit(const uint32_t* low, const uint32_t* high, int step, int row) {
  return (row < 32 ? low[step] >> row : high[step] >> (row - 32)) & 1u;
}

}  // namespace

/* ---------------------------------------------------------------- the import */

ImportOptions::ImportOptions() {
  std::memset(&defaults, 0, sizeof defaults);
  for (const Setting& s : gSettings)
    if (s.field) defaults.*s.field = s.start;
  if (defaults.MidiOutPort < 0) defaults.MidiOutPort = 0;
}

const char* ImportMidiData(const unsigned char* data, size_t size, const ImportOptions& options, MidiImport* result) {
  *result = MidiImport();
  if (size > IMPORT_MAX_BYTES) return gszImportTooLarge;
  Smf smf;
  if (const char* error = ParseSmf(data, size, &smf)) return error;
  const bool exportLayout = IsTamborixExport(smf);
  Song song;
  CollectNotes(smf, exportLayout, &song);
  if (song.notes.empty()) return gszImportNoNotes;

  const TbroRecord& d = options.defaults;
  const int percCh = options.percChannel & 0x0F;
  int voiceCh = options.voiceChannel;

  /* The song steps of every note's start and end. */
  ExportTiming timing(smf);
  int rel = 2;
  bool asExport = exportLayout;
  std::vector<int64_t> onStep, offStep;
  std::vector<uint32_t> offTicks;
  for (int pass = 0; pass < 2; ++pass) {
    if (pass > 0) { /* not laid out as an export after all: read as any file */
      song = Song();
      CollectNotes(smf, false, &song);
    }
    if (options.voiceChannel < 0) {
      int count[16] = {};
      for (const FileNote& n : song.notes)
        if (n.channel != percCh) ++count[n.channel];
      voiceCh = -1;
      for (int c = 0; c < 16; ++c)
        if (c != percCh && count[c] > 0 && (voiceCh < 0 || count[c] > count[voiceCh])) voiceCh = c;
    }
    std::vector<uint32_t> onTicks;
    for (const FileNote& n : song.notes)
      if (n.channel == percCh || n.channel == voiceCh) onTicks.push_back(n.on);
    onStep.assign(song.notes.size(), 0);
    offStep.assign(song.notes.size(), 0);
    offTicks.assign(song.notes.size(), 0);
    if (!asExport) rel = ChooseGrid(onTicks, smf.division, song.tempo);
    const int k = StepsPerBeat(rel);
    bool valid = true;
    for (size_t i = 0; i < song.notes.size(); ++i) {
      const FileNote& n = song.notes[i];
      if (asExport) {
        onStep[i] = timing.Step(n.track, n.onIndex, n.on);
        offTicks[i] = timing.Off(n.track, n.onIndex, n.on);
        offStep[i] = n.off == NEVER ? INT64_MAX : timing.Step(n.offTrack, n.offIndex, n.off);
        valid = valid && onStep[i] >= 0;
      } else {
        onStep[i] = NearestStep(n.on, k, smf.division);
        const double exact = double(onStep[i]) * smf.division / k;
        offTicks[i] = static_cast<uint32_t>(std::lround(std::fabs(n.on - exact)));
        offStep[i] = n.off == NEVER ? INT64_MAX : NearestStep(n.off, k, smf.division);
      }
    }
    if (valid) break;
    asExport = false;
  }
  if (song.notes.empty()) return gszImportNoNotes;
  result->tamborixLayout = asExport;

  /* Tempo, rel.Beat and bar. */
  int16_t msec, relBeat;
  ChooseTempo(song.tempo, rel, asExport, &msec, &relBeat);
  const int k = StepsPerBeat(rel);
  int beats = InBarMenu(d.BeatsPBar) ? d.BeatsPBar : 4;
  int barSteps = 0; /* the file's bar in steps, when whole */
  if (asExport) {
    if (InBarMenu(song.sigNum)) beats = song.sigNum;
  } else {
    const long num = long(song.sigNum) * 4 * k, den = 1L << song.sigDenPow;
    if (num % den == 0) {
      barSteps = static_cast<int>(num / den);
      if (InBarMenu(barSteps)) beats = barSteps;
      else
        for (int b : kBars)
          if (barSteps % b == 0) beats = b;
    }
  }
  if (barSteps <= 0 || barSteps > STEP_COUNT) barSteps = beats;

  std::vector<int> voiceNotes;
  for (size_t i = 0; i < song.notes.size(); ++i)
    if (song.notes[i].channel == voiceCh) voiceNotes.push_back(static_cast<int>(i));

  /* An export tells more about its instrument rows than its notes do: the order of a step's
  ** events (a row's drum before its instrument note, rows ascending) and which notes a
  ** release marker ended (rows 2..47) and which it left sounding (row 48). The base note
  ** that keeps them so, offsetLo..offsetHi, keeps the export's order of events. */
  int offsetLo = INT_MIN, offsetHi = INT_MAX;
  auto rowsOf = [&](int pitch, int rowLo, int rowHi) {
    offsetLo = std::max(offsetLo, pitch - rowHi);
    offsetHi = std::min(offsetHi, pitch - rowLo);
  };
  if (asExport && voiceCh >= 0) {
    std::vector<size_t> firstRun; /* runs of the tracks before each track */
    size_t total = 0;
    for (const std::vector<uint32_t>& starts : timing.start) firstRun.push_back(total), total += starts.size();
    std::vector<std::vector<int>> runs(total); /* per run: its notes' starts, in order */
    for (size_t i = 0; i < song.notes.size(); ++i) {
      const FileNote& n = song.notes[i];
      const int run = timing.runOf[n.track][n.onIndex];
      if (run >= 0 && (n.channel == percCh || n.channel == voiceCh)) runs[firstRun[n.track] + run].push_back(static_cast<int>(i));
    }
    for (const std::vector<int>& run : runs)
      for (size_t x = 0; x < run.size(); ++x) {
        if (song.notes[run[x]].channel != voiceCh) continue;
        int lo = 2, hi = 48;
        for (size_t y = 0; y < run.size(); ++y) {
          const FileNote& p = song.notes[run[y]];
          const int row = p.pitch - PERC_NOTE_BASE;
          if (p.channel != percCh || row < 32 || row > 48) continue;
          if (y < x) lo = std::max(lo, row);
          else hi = std::min(hi, row - 1);
        }
        if (lo > 2 || hi < 48) rowsOf(song.notes[run[x]].pitch, lo, hi);
      }
    std::vector<int64_t> releases;
    for (int i : voiceNotes) {
      const FileNote& n = song.notes[i];
      if (n.off == NEVER || n.offIndex < 0 || timing.runOf[n.offTrack][n.offIndex] < 0) continue;
      if (timing.EndsForRestart(smf, n.offTrack, n.offIndex, n.pitch)) continue;
      releases.push_back(offStep[i]);
      rowsOf(n.pitch, 2, 47);
    }
    std::sort(releases.begin(), releases.end());
    for (int i : voiceNotes) {
      auto r = std::upper_bound(releases.begin(), releases.end(), onStep[i]);
      if (r != releases.end() && *r < offStep[i]) rowsOf(song.notes[i].pitch, 48, 48);
    }
  }

  /* The instrument and its transposition: the most notes on rows 2..48 (an export's order
  ** kept where it can be); without a program change the fallback instrument unless a bass's
  ** deeper rows hold more of them. */
  std::vector<int> voices;
  if (voiceCh >= 0 && song.program[voiceCh] >= 0) voices = {song.program[voiceCh]};
  else voices = {d.Voice & 0x7F, 34, 43};
  int voice = voices[0], transpose = d.Transpose >= 0 && d.Transpose <= 24 ? d.Transpose : 12, bestFit = -1;
  bool bestKeeps = false;
  const int hint = transpose;
  for (int v : voices)
    for (int t = 0; t <= 24; ++t) {
      int fit = 0;
      for (int i : voiceNotes) {
        const int row = song.notes[i].pitch - NoteOffset(v, t);
        fit += row >= 2 && row <= 48;
      }
      const bool keeps = NoteOffset(v, t) >= offsetLo && NoteOffset(v, t) <= offsetHi;
      const bool better = fit > bestFit || (fit == bestFit && keeps && !bestKeeps) ||
                          (fit == bestFit && keeps == bestKeeps && v == voice &&
                           std::abs(t - hint) < std::abs(transpose - hint));
      if (better) bestFit = fit, bestKeeps = keeps, voice = v, transpose = t;
    }
  const int offset = NoteOffset(voice, transpose);

  /* Cells: drums by note, instrument notes by row, octave flags per step. */
  std::vector<Cell> cells;
  std::vector<int64_t> lowFlag, highFlag;
  for (size_t i = 0; i < song.notes.size(); ++i) {
    const FileNote& n = song.notes[i];
    if (n.channel == percCh) {
      const int row = n.pitch - PERC_NOTE_BASE;
      if (row < 2 || row > 48) ++result->dropped[DROP_DRUM_ROWS];
      else cells.push_back({onStep[i], row, true, static_cast<int>(i), offTicks[i]});
    } else if (n.channel != voiceCh) {
      ++result->dropped[DROP_CHANNEL];
    }
  }
  for (size_t a = 0; a < voiceNotes.size();) {
    size_t b = a;
    while (b < voiceNotes.size() && onStep[voiceNotes[b]] == onStep[voiceNotes[a]]) ++b;
    /* Notes of one step: the low flag (rows 2..27 an octave down) when it brings on more
    ** notes than it pushes off, the high flag (rows 28..59 an octave up) likewise. */
    int below = 0, lowClash = 0, above = 0, highClash = 0;
    for (size_t j = a; j < b; ++j) {
      const int q = song.notes[voiceNotes[j]].pitch - offset;
      below += q >= -10 && q < 2;
      lowClash += q >= 16 && q <= 27;
      above += q > 48 && q <= 60;
      highClash += q >= 28 && q <= 39;
    }
    const bool low = below > lowClash && offset >= 12, high = above > highClash;
    const int64_t step = onStep[voiceNotes[a]];
    if (low) lowFlag.push_back(step);
    if (high) highFlag.push_back(step);
    for (size_t j = a; j < b; ++j) {
      const int i = voiceNotes[j];
      const int q = song.notes[i].pitch - offset;
      int row = q;
      if (low && q <= 15) row = q + 12;
      else if (high && q >= 40) row = q - 12;
      const bool ok = row >= 2 && row <= 48 && !(low && row <= 27 && q > 15) && !(high && row >= 28 && q < 40);
      if (ok) cells.push_back({step, row, false, i, offTicks[i]});
      else ++result->dropped[DROP_ROWS];
    }
    a = b;
  }
  /* Notes and flags stay in order of their steps (stable: a step's notes in file order). */
  std::stable_sort(cells.begin(), cells.end(), [](const Cell& x, const Cell& y) { return x.step < y.step; });

  /* Parts: the music in whole bars; longer than a pattern, parts of as many whole bars as
  ** fit. An export whose first step with output was its play range's start keeps a step
  ** before it (the export wrote that step one step late). */
  int64_t last = -1;
  for (const Cell& c : cells) last = std::max(last, c.step);
  int64_t partSteps = (STEP_COUNT / barSteps) * barSteps;
  if (partSteps == 0) partSteps = (STEP_COUNT / beats) * beats;
  int loopStart = 0;
  if (asExport && last + 1 < STEP_COUNT)
    for (int t = 0; t < static_cast<int>(smf.tracks.size()); ++t)
      for (const Cell& c : cells)
        if (timing.late[t] && c.step == 0 && song.notes[c.note].track == t) loopStart = 1;
  const bool single = last + loopStart < STEP_COUNT;
  if (single) partSteps = STEP_COUNT;
  const int64_t limit = partSteps * IMPORT_MAX_PARTS;
  const int entries = last < 0 ? 1 : static_cast<int>(std::min<int64_t>(last, limit - 1) / partSteps + 1);

  TbroRecord blank = d;
  std::memcpy(blank.Id, "TBRX", 4);
  blank.Size = TBRO_SIZE;
  blank.MsecPerBeat = msec;
  blank.RelBeat = relBeat;
  blank.LoopStart = static_cast<int16_t>(single ? loopStart : 0);
  blank.BeatsPBar = static_cast<int16_t>(beats);
  blank.Voice = static_cast<int16_t>(voice);
  blank.Transpose = static_cast<int16_t>(transpose);
  blank.PercCh = static_cast<int16_t>(percCh == 15 ? 15 : 9);
  if (voiceCh >= 0) blank.VoiceCh = static_cast<int16_t>(voiceCh);
  blank.Reserved = 0;
  for (uint32_t* a : {blank.PercL, blank.PercH, blank.VoiceL, blank.VoiceH, blank.VoiceXL, blank.VoiceXH})
    std::memset(a, 0, STEP_SLOTS * sizeof(uint32_t));
  std::vector<TbroRecord> song_parts(entries, blank);
  auto local = [&](int64_t step, int* entry) {
    *entry = single ? 0 : static_cast<int>(step / partSteps);
    return static_cast<int>(single ? step + loopStart : step % partSteps);
  };

  std::vector<int64_t> lastOfEntry(entries, -1);
  std::vector<VoiceNote> sounding;
  for (const Cell& c : cells) {
    if (c.step >= limit) {
      ++result->dropped[DROP_TOO_LONG];
      continue;
    }
    int entry;
    const int s = local(c.step, &entry);
    TbroRecord& r = song_parts[entry];
    uint32_t* lo = c.perc ? r.PercL : r.VoiceL;
    uint32_t* hi = c.perc ? r.PercH : r.VoiceH;
    if (GetBit(lo, hi, s, c.row)) {
      ++result->dropped[DROP_TAKEN];
      continue;
    }
    SetBit(lo, hi, s, c.row);
    const FileNote& n = song.notes[c.note];
    result->notes.push_back({entry, s, c.row, c.perc, n.velocity});
    ++result->placed;
    lastOfEntry[entry] = std::max<int64_t>(lastOfEntry[entry], s);
    if (c.offTicks > 0) {
      ++result->moved;
      const int ms = static_cast<int>(std::lround(double(c.offTicks) * song.tempo / smf.division / 1000.0));
      result->maxMoveMs = std::max(result->maxMoveMs, ms);
    }
    if (!c.perc) {
      const int64_t end = offStep[c.note] == INT64_MAX ? INT64_MAX : std::max(offStep[c.note], c.step + 1);
      const bool restart = asExport && timing.EndsForRestart(smf, n.offTrack, n.offIndex, n.pitch);
      sounding.push_back({c.step, end, c.row, restart, INT64_MAX, false});
    }
  }
  for (int64_t step : lowFlag)
    if (step < limit) {
      int entry;
      const int s = local(step, &entry);
      song_parts[entry].PercL[s] |= 1u;
    }
  for (int64_t step : highFlag)
    if (step < limit) {
      int entry;
      const int s = local(step, &entry);
      song_parts[entry].VoiceL[s] |= 1u;
    }

  /* Loops of whole bars up to the last part's last note; the parts before it are whole. */
  for (int e = 0; e < entries; ++e) {
    const int64_t start = song_parts[e].LoopStart;
    int64_t end = partSteps;
    if (e == entries - 1 && lastOfEntry[e] >= 0) end = ((lastOfEntry[e] - start) / barSteps + 1) * barSteps + start;
    song_parts[e].LoopEnd = static_cast<int16_t>(std::min<int64_t>(end, single ? STEP_COUNT : partSteps));
  }

  /* Release markers. An instrument note due to end before its row starts again wants one
  ** at its end (in an export: one not ended right before its row's next start); it is set
  ** where every note then sounding on rows 2..47, the rows a marker ends, is due to end
  ** or starts again. */
  std::vector<int64_t> nextStart(49, INT64_MAX);
  for (size_t i = sounding.size(); i-- > 0;) {
    VoiceNote& v = sounding[i];
    v.next = nextStart[v.row];
    nextStart[v.row] = v.step;
    v.release = v.end != INT64_MAX && (asExport ? !v.restart : v.end < v.next);
  }
  std::vector<int64_t> moments;
  for (const VoiceNote& v : sounding) {
    moments.push_back(v.step);
    if (v.release) moments.push_back(v.end);
  }
  std::sort(moments.begin(), moments.end());
  moments.erase(std::unique(moments.begin(), moments.end()), moments.end());
  std::vector<int> pending(49, -1);
  size_t started = 0;
  for (int64_t s : moments) {
    if (s >= limit) break;
    bool want = false, all = true;
    for (int row = 2; row <= 47; ++row) {
      if (pending[row] < 0) continue;
      const VoiceNote& v = sounding[pending[row]];
      want = want || (v.release && v.end <= s);
      all = all && (v.end <= s || v.next == s);
    }
    int entry;
    const int l = local(s, &entry);
    if (want && all && entry < entries && l < song_parts[entry].LoopEnd) {
      song_parts[entry].VoiceL[l] |= 2u;
      for (int row = 2; row <= 47; ++row) pending[row] = -1;
    }
    while (started < sounding.size() && sounding[started].step == s) {
      pending[sounding[started].row] = static_cast<int>(started);
      ++started;
    }
  }

  /* Identical neighbouring parts are written once. */
  for (int e = 0; e < entries; ++e) {
    if (result->parts.empty() || std::memcmp(&result->parts.back(), &song_parts[e], sizeof(TbroRecord)) != 0)
      result->parts.push_back(song_parts[e]);
    result->order.push_back(static_cast<int>(result->parts.size()) - 1);
  }
  return nullptr;
}

const char* ImportMidiFile(const char* path, const ImportOptions& options, MidiImport* result) {
  *result = MidiImport();
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return gszErrorNotFound;
  const DWORD size = GetFileSize(h, NULL);
  if (size == INVALID_FILE_SIZE) {
    CloseHandle(h);
    return gszErrorCannotRead;
  }
  if (size > IMPORT_MAX_BYTES) {
    CloseHandle(h);
    return gszImportTooLarge;
  }
  std::vector<unsigned char> bytes(size);
  DWORD nRead = 0;
  const BOOL ok = size == 0 || ReadFile(h, bytes.data(), size, &nRead, NULL);
  CloseHandle(h);
  if (!ok || nRead != size) return gszErrorCannotRead;
  return ImportMidiData(bytes.data(), bytes.size(), options, result);
}

/* ---------------------------------------------------------------- writing */

const char* WriteImportedRecord(const TbroRecord& record, const char* path) {
  TbroRecord image = record;
  std::memcpy(image.Id, "TBRX", 4);
  image.Size = TBRO_SIZE;
  image.Reserved = 0;
  return WriteWholeFile(path, &image, TBRO_SIZE) == WRITE_OK ? nullptr : gszErrorCannotWrite;
}

/* The folder part of a base (with its separator) and its title as a playlist entry can
** hold it. */
static void SplitBase(const std::string& base, std::string* folder, std::string* title) {
  const size_t slash = base.find_last_of("/\\");
  *folder = slash == std::string::npos ? "" : base.substr(0, slash + 1);
  *title = slash == std::string::npos ? base : base.substr(slash + 1);
  for (char& c : *title)
    if (c == ' ' || c == '\t' || c == ',' || c == ';' || c == '\r' || c == '\n') c = '_';
}

std::string ImportedPartPath(const std::string& base, int n) {
  std::string folder, title;
  SplitBase(base, &folder, &title);
  return folder + title + "-" + std::to_string(n) + ".tbx";
}

const char* WriteImportedMusic(const MidiImport& result, const std::string& base, std::string* failed) {
  std::string folder, title, list;
  SplitBase(base, &folder, &title);
  for (size_t n = 0; n < result.parts.size(); ++n) {
    const std::string path = ImportedPartPath(base, static_cast<int>(n) + 1);
    if (WriteImportedRecord(result.parts[n], path.c_str())) {
      *failed = path;
      return gszErrorCannotWrite;
    }
  }
  for (int part : result.order) list += title + "-" + std::to_string(part + 1) + ".tbx\r\n";
  const std::string path = base + ".txt";
  if (WriteWholeFile(path.c_str(), list.data(), static_cast<DWORD>(list.size())) != WRITE_OK) {
    *failed = path;
    return gszErrorCannotWrite;
  }
  return nullptr;
}

/* ---------------------------------------------------------------- the report */

std::string ImportReport(const MidiImport& result, const char* separator) {
  static const char* const kWhy[DROP_REASONS] = {"on other channels", "outside the drum rows",
                                                 "outside the instrument's rows", "on a cell already set",
                                                 "after the last of 999 parts"};
  char text[160];
  std::string report;
  const TbroRecord& r = result.parts.empty() ? TbroRecord() : result.parts[0];
  const int bpm = r.MsecPerBeat > 0 ? ClampTempo(60000 / r.MsecPerBeat) : 0;
  std::snprintf(text, sizeof text, "%d note%s placed at %d BPM %s, %d steps a bar", result.placed,
                result.placed == 1 ? "" : "s", bpm, r.RelBeat >= 0 && r.RelBeat <= 9 ? kRel[r.RelBeat].label : "?",
                r.BeatsPBar);
  report = text;
  if (result.order.size() > 1) report += ", in " + std::to_string(result.order.size()) + " parts";
  report += ".";
  report += separator;
  if (result.moved == 0) {
    report += "None moved to the grid.";
  } else {
    std::snprintf(text, sizeof text, "%d moved to the grid, by up to %d ms.", result.moved, result.maxMoveMs);
    report += text;
  }
  report += separator;
  int dropped = 0;
  for (int n : result.dropped) dropped += n;
  if (dropped == 0) return report + "None dropped.";
  report += std::to_string(dropped) + " dropped:";
  bool first = true;
  for (int why = 0; why < DROP_REASONS; ++why) {
    if (!result.dropped[why]) continue;
    report += std::string(first ? " " : ", ") + std::to_string(result.dropped[why]) + " " + kWhy[why];
    first = false;
  }
  return report + ".";
}
