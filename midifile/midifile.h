/*
** Standard MIDI File export: the file writer, the pattern-to-track converters and the four
** export commands. Runs on the window thread. Files are format 0 (with General MIDI
** System On) or format 1 (instrument and percussion track), 384 ticks per quarter note,
** one pattern step per quarter note.
*/
#ifndef TBX_MIDIFILE_H
#define TBX_MIDIFILE_H

#include <cstdint>
#include <vector>

#include "base/config.h"
#include "pattern/pattern.h"
#include "platform/win32.h"

/* Window thread. */
extern unsigned char gDeltaString[4];    /* dword2Delta output: bytes 0..2 leading (0 = absent), 3 last */
extern char gszMidiFileName[TBX_PATH];   /* path of the MIDI file to write; the save dialog fills it */
extern char gszMidiListName[TBX_PATH];   /* the MIDI file's title, for the format 1 list export */
extern Shared<int> gbSavingMidiFile;     /* a playlist export reads entries: caption untouched */

/* The file image and one track body. They grow as needed, so no pattern or playlist is too
** dense or too long to export. Window thread. */
extern std::vector<unsigned char> gMidiFileBuf; /* the whole file, assembled from offset 0 */
extern std::vector<unsigned char> gTrackBuf;    /* the body the last converter produced */

void MidifileReset(void);
/* Clears the export's own note bookkeeping (the sequencer's is never touched): the
** percussion words of the last step with output and the pending instrument notes. */
void ClearConversionState(void);

int dword2Delta(uint32_t value);
/* Appends the variable-length quantity of value (through dword2Delta) to buf. */
void PutVarLen(std::vector<unsigned char>& buf, uint32_t value);
int MidiFileWrite(uint32_t size, int kind);

uint32_t ConvertFile2MFTrack(void);
uint32_t ConvertVoice2MFTrack(void);
uint32_t ConvertPerc2MFTrack(void);

void ConvertFile2Midi_GM(const char* name);
void ConvertFile2Midi_Format1(const char* name);
void ConvertList2Midi_GM(const char* name);
void ConvertList2Midi_Format1(void);

LRESULT OnExportCommand(HWND hwnd, UINT id);  /* 40006, 40007, 40010, 40011 */

#endif
