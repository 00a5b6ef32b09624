/*
** Standard MIDI File export: the file writer, the pattern-to-track converters and the file
** assembly of the four exports (their commands are the window's, app/export.cpp). Runs on
** the window thread. Files are format 0 (with General MIDI
** System On) or format 1 (instrument and percussion track), 384 ticks per quarter note,
** one pattern step per quarter note.
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

#endif
