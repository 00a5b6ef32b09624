/*
** Standard MIDI Files both ways. Export: the file writer, the pattern-to-track converters
** and the file assembly of the four exports (their commands are the window's,
** app/export.cpp); files are format 0 (with General MIDI System On) or format 1
** (instrument and percussion track), 384 ticks per quarter note, one pattern step per
** quarter note, or, in beat time, 480 ticks per quarter note with a quarter note per beat.
** Import: a file of format 0 or 1 read into pattern records (and, for music longer than a
** pattern, a playlist of them), with a report of what was placed, moved and dropped (its
** command is the window's, app/import.cpp, and the command line's).
** Runs on the window thread (and in the command line).
*/
#ifndef TBX_MIDIFILE_H
#define TBX_MIDIFILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "base/config.h"
#include "pattern/pattern.h"
#include "platform/win32.h"

/* Window thread. */
extern unsigned char gDeltaString[4];    /* dword2Delta output: bytes 0..2 leading (0 = absent), 3 last */
extern char gszMidiFileName[TBX_PATH];   /* path of the MIDI file to write; the save dialog fills it */
extern char gszMidiListName[TBX_PATH];   /* the MIDI file's title, for the format 1 list export */
/* The exports write beat time: 480 ticks per quarter note, a quarter note per beat of the
** tempo read-out, every event on its step's tick. 0: the four exports as they always were
** (a step per quarter note of 384 ticks). The window keeps it in the settings file. */
extern int gbMidiBeatTime;

/* The file image and one track body. They grow as needed, so no pattern or playlist is too
** dense or too long to export. Window thread. */
extern std::vector<unsigned char> gMidiFileBuf; /* the whole file, assembled from offset 0 */
extern std::vector<unsigned char> gTrackBuf;    /* the body the last converter produced */

void MidifileReset(void);
/* Clears the export's own note bookkeeping (the sequencer's is never touched): the
** percussion words of the last step with output and the pending instrument notes. */
void ClearConversionState(void);

/* What an export did, for the window to show in one box. */
enum { EXPORT_WRITTEN, EXPORT_FILE_FAILED, EXPORT_ENTRY_FAILED };
struct ExportReport {
  int outcome;        /* EXPORT_* */
  const char* text;   /* WRITTEN: the size report (its box is captioned with the file's
                      ** path); FILE_FAILED: the failure, captioned ""; ENTRY_FAILED: a file
                      ** error format for `name` */
  const char* name;   /* ENTRY_FAILED: the playlist entry that could not be loaded */
};

int dword2Delta(uint32_t value);
/* Appends the variable-length quantity of value (through dword2Delta) to buf. */
void PutVarLen(std::vector<unsigned char>& buf, uint32_t value);
/* Writes the first `size` bytes of gMidiFileBuf to gszMidiFileName; kind 1 reports a format
** 1 file, else a format 0 file. */
ExportReport MidiFileWrite(uint32_t size, int kind);

uint32_t ConvertFile2MFTrack(void);
uint32_t ConvertVoice2MFTrack(void);
uint32_t ConvertPerc2MFTrack(void);

/* The pattern, or the open playlist from the entry in gszNextTambroFile on (each entry is
** loaded into gTbro), assembled in gMidiFileBuf and written to gszMidiFileName; `name` names
** the track(s), gszMidiListName the format 1 list's. */
ExportReport ConvertFile2Midi_GM(const char* name);
ExportReport ConvertFile2Midi_Format1(const char* name);
ExportReport ConvertList2Midi_GM(const char* name);
ExportReport ConvertList2Midi_Format1(void);

/* The entry path a list export opens: a relative entry is taken from the list's folder. */
std::string ListEntryPath(const char* entry);

/* ---------------------------------------------------------------- import */

/* Failures of an import: message formats with one "%s", the file's name. */
extern const char gszImportNotMidi[];    /* not a Standard MIDI File */
extern const char gszImportDamaged[];    /* truncated, or a length or event past its end */
extern const char gszImportFormat2[];    /* format 2 (independent sequences) */
extern const char gszImportSmpte[];      /* time in SMPTE frames, not ticks per quarter note */
extern const char gszImportTooLarge[];   /* over IMPORT_MAX_BYTES */
extern const char gszImportNoNotes[];    /* no note to place */
enum { IMPORT_MAX_BYTES = 16 << 20, IMPORT_MAX_PARTS = 999 };

/* Why a note of the file was not placed. */
enum ImportDrop {
  DROP_CHANNEL,    /* neither the percussion channel nor the instrument's */
  DROP_DRUM_ROWS,  /* a drum note outside the drum rows (General MIDI 35..81) */
  DROP_ROWS,       /* an instrument note no transposition or octave flag brings onto a row */
  DROP_TAKEN,      /* its cell was already set on that step */
  DROP_TOO_LONG,   /* after the last part the import writes */
  DROP_REASONS
};

/* A note the import placed, with the velocity it had in the file (1..127; 0 for the silent
** notes of an export), which no cell holds yet. */
struct ImportedNote {
  int entry;       /* the part of the music it lies in, 0-based: its playlist entry */
  int step;        /* its step in that part's record */
  int row;         /* 2..48 */
  bool perc;       /* a drum row; else an instrument row */
  int velocity;
};

struct ImportOptions {
  int percChannel = 9;    /* 0-based channel whose notes are drums */
  int voiceChannel = -1;  /* 0-based channel of the instrument part; -1: the one with most notes */
  /* The settings a part keeps where the file says nothing (bar accent, free accent, level,
  ** ports; and the instrument, bar length, channel and transposition it falls back to):
  ** a new pattern's (output port 0) unless the caller sets others. */
  TbroRecord defaults;
  ImportOptions();
};

struct MidiImport {
  std::vector<TbroRecord> parts;   /* distinct records, complete project file images */
  std::vector<int> order;          /* the music's parts in order (playlist entries): indices
                                   ** into parts; identical consecutive parts share one */
  std::vector<ImportedNote> notes;
  int placed = 0;
  int moved = 0;                   /* placed notes that lay off their step by a tick or more */
  int maxMoveMs = 0;               /* the largest such move, at the file's tempo */
  int dropped[DROP_REASONS] = {};
  bool tamborixLayout = false;     /* read as an export of this program (384 ticks a step) */
};

/* Reads the bytes of a MIDI file into result; NULL, or a message format on failure (result
** is then left empty). Pure: no file, window or global setting is touched. */
const char* ImportMidiData(const unsigned char* data, size_t size, const ImportOptions& options,
                           MidiImport* result);
/* The same for the file at path (refused above IMPORT_MAX_BYTES before it is read). */
const char* ImportMidiFile(const char* path, const ImportOptions& options, MidiImport* result);
/* Writes one record as a project file; NULL or gszErrorCannotWrite. */
const char* WriteImportedRecord(const TbroRecord& record, const char* path);
/* Writes music of several parts: base-1.tbx, base-2.tbx, ... (one per distinct part; in
** their names blanks, tabs, commas and semicolons become '_', which a playlist entry
** cannot hold) and the playlist base.txt naming them in order, beside each other. NULL, or
** gszErrorCannotWrite with the path that failed in *failed. */
const char* WriteImportedMusic(const MidiImport& result, const std::string& base, std::string* failed);
/* The path of part n (1-based) and of the playlist for a base. */
std::string ImportedPartPath(const std::string& base, int n);
/* The report: notes placed (and the tempo, rel.Beat and bar they came in at), moved to the
** grid and dropped, why; its sentences joined by `separator`. */
std::string ImportReport(const MidiImport& result, const char* separator);

#endif
