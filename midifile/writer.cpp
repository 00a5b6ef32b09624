/*
** The Standard MIDI File writer: the variable-length quantity of delta times, the file
** and track buffers, and MidiFileWrite, which puts the assembled image on disk and reports
** its size. All multi-byte numbers in a MIDI file are big-endian; a variable-length
** quantity carries 7 bits per byte, most significant group first, bit 7 set on every byte
** but the last.
*/
#include <cstdio>
#include <cstring>

#include "files/files.h"
#include "midifile/midifile.h"

unsigned char gDeltaString[4];
char gszMidiFileName[TBX_PATH];
char gszMidiListName[TBX_PATH];
static char gszMessage[128];                  /* the size report */
int gbMidiBeatTime;
std::vector<unsigned char> gMidiFileBuf;
std::vector<unsigned char> gTrackBuf;

void MidifileReset(void) {
  std::memset(gDeltaString, 0, sizeof gDeltaString);
  gszMidiFileName[0] = '\0';
  gszMidiListName[0] = '\0';
  gszMessage[0] = '\0';
  gbMidiBeatTime = 0;
  gMidiFileBuf.clear();
  gTrackBuf.clear();
  ClearConversionState();
}

int dword2Delta(uint32_t value) {
  gDeltaString[0] = gDeltaString[1] = gDeltaString[2] = 0;
  gDeltaString[3] = value & 0x7F;
  int n = 1;
  if (value > 0x7F) gDeltaString[2] = ((value >> 7) & 0x7F) | 0x80, n = 2;
  if (value > 16383) gDeltaString[1] = ((value >> 14) & 0x7F) | 0x80, n = 3;
  if (value > 2097151) gDeltaString[0] = ((value >> 21) & 0x7F) | 0x80, n = 4;
  return n;
}

void PutVarLen(std::vector<unsigned char>& buf, uint32_t value) {
  dword2Delta(value);
  for (int b = 0; b < 3; ++b)
    if (gDeltaString[b]) buf.push_back(gDeltaString[b]);
  buf.push_back(gDeltaString[3]);
}

/* The file is replaced only once all its bytes are written; the size report is given only
** for a file that is really on disk. */
ExportReport MidiFileWrite(uint32_t size, int kind) {
  if (size > gMidiFileBuf.size()) size = static_cast<uint32_t>(gMidiFileBuf.size());
  int result = WriteWholeFile(gszMidiFileName, gMidiFileBuf.data(), size);
  if (result == WRITE_CREATE_FAILED) return ExportReport{EXPORT_FILE_FAILED, "MIDI File Open Error!", nullptr};
  if (result != WRITE_OK) return ExportReport{EXPORT_FILE_FAILED, "MIDI File Write Error!", nullptr};
  std::snprintf(gszMessage, sizeof gszMessage,
                kind == 1 ? "MIDI file (Format1) generated. Size:%d bytes"
                          : "MIDI file (Format0,GM active) generated. Size:%d bytes",
                static_cast<int>(size));
  return ExportReport{EXPORT_WRITTEN, gszMessage, nullptr};
}
