/*
** The files of the four exports: the current pattern or the open playlist as a format 0
** file (one track that starts by switching the receiver to General MIDI) or a format 1 file
** (track 1 the instrument, track 2 the percussion), assembled whole in gMidiFileBuf and
** handed to MidiFileWrite. The commands around them are the window's (app/export.cpp).
**
** File layout facts: header chunk "MThd", length 6, format, track count, division 0x0180
** (384 ticks per quarter note; 0x01E0, 480, in beat time); every track chunk "MTrk" with a 4-byte big-endian length
** that counts the bytes after it up to and including the track's End of Track (FF 2F 00)
** and is patched in once the track is complete. Window thread.
*/
#include <cstring>
#include <string>

#include "files/files.h"
#include "midifile/midifile.h"
#include "pattern/pattern.h"

/* ---------------------------------------------------------------- assembly helpers */

/* Byte by byte: GCC 12 at -O2 misreads a range insert of a short list into a vector that is
** cleared just before (bogus -Warray-bounds / -Wstringop-overflow). */
static void Put(std::initializer_list<unsigned char> bytes) {
  for (unsigned char b : bytes) gMidiFileBuf.push_back(b);
}

/* Track-name meta event without its delta: FF 03, the length, an optional prefix letter,
** the name unterminated. The length is a variable-length quantity, so a name longer than
** 127 bytes still gives a valid event (for shorter names it is the single byte). */
static void PutTrackName(char prefix, const char* name) {
  size_t n = std::strlen(name);
  Put({0xFF, 0x03});
  PutVarLen(gMidiFileBuf, static_cast<uint32_t>(n + (prefix ? 1 : 0)));
  if (prefix) gMidiFileBuf.push_back(static_cast<unsigned char>(prefix));
  gMidiFileBuf.insert(gMidiFileBuf.end(), name, name + n);
}

/* Starts a track chunk; returns the offset of its length field. */
static size_t BeginTrack(void) {
  Put({'M', 'T', 'r', 'k', 0, 0, 0, 0});
  return gMidiFileBuf.size() - 4;
}

/* Closes a track: All Notes Off on the channel, delta 0, End of Track; patches its length. */
static void EndTrack(size_t lengthAt, int channel) {
  Put({static_cast<unsigned char>(MIDI_CONTROL | (channel & 0x0F)), MIDI_CC_ALL_NOTES_OFF, 0x00, 0x00, 0xFF, 0x2F, 0x00});
  uint32_t length = static_cast<uint32_t>(gMidiFileBuf.size() - lengthAt - 4);
  for (int b = 0; b < 4; ++b) gMidiFileBuf[lengthAt + b] = static_cast<unsigned char>(length >> (24 - 8 * b));
}

/* Division: 384 ticks per quarter note (a step), or 480 (a beat) in beat time. */
static void PutHeader(int format, int tracks) {
  gMidiFileBuf.clear();
  const unsigned char division = gbMidiBeatTime ? 0xE0 : 0x80;
  Put({'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, static_cast<unsigned char>(format), 0,
       static_cast<unsigned char>(tracks), 0x01, division});
}

static void PutPortEvent(void) { Put({0x00, 0xFF, 0x21, 0x01, 0x00}); }

static void PutGMSystemOn(void) { Put({0x00, 0xF0, 0x05, 0x7E, 0x7F, 0x09, 0x01, 0xF7}); }

static void PutBody(void) { gMidiFileBuf.insert(gMidiFileBuf.end(), gTrackBuf.begin(), gTrackBuf.end()); }

/* A body that follows another body directly: the previous one ended with its closing
** delta, which becomes the delta of this body's first event, so this body's own leading
** delta 0 is left out (two deltas in a row would not be a valid track). */
static void PutFollowingBody(void) {
  gMidiFileBuf.insert(gMidiFileBuf.end(), gTrackBuf.begin() + (gTrackBuf.empty() ? 0 : 1), gTrackBuf.end());
}

static ExportReport WriteAssembled(int kind) { return MidiFileWrite(static_cast<uint32_t>(gMidiFileBuf.size()), kind); }

/* ---------------------------------------------------------------- single pattern */

/* The start of a format 0 file: its one track, named, with the port event and General MIDI
** System On; returns the offset of the track's length field. */
static size_t BeginFormat0(const char* name) {
  PutHeader(0, 1);
  size_t track = BeginTrack();
  gMidiFileBuf.push_back(0x00);
  PutTrackName(0, name);
  PutPortEvent();
  PutGMSystemOn();
  return track;
}

ExportReport ConvertFile2Midi_GM(const char* name) {
  size_t track = BeginFormat0(name);
  ClearConversionState();
  ConvertFile2MFTrack();
  PutBody();
  EndTrack(track, gVoiceCh);
  return WriteAssembled(0);
}

ExportReport ConvertFile2Midi_Format1(const char* name) {
  PutHeader(1, 2);
  size_t track = BeginTrack();
  gMidiFileBuf.push_back(0x00);
  PutTrackName('V', name);
  PutPortEvent();
  ClearConversionState();
  ConvertVoice2MFTrack();
  PutBody();
  EndTrack(track, gVoiceCh);
  track = BeginTrack();
  gMidiFileBuf.push_back(0x00);
  PutTrackName('P', name);
  ClearConversionState();
  ConvertPerc2MFTrack();
  PutBody();
  EndTrack(track, gPercCh);
  return WriteAssembled(1);
}

/* ---------------------------------------------------------------- playlist */

/* The path an entry is opened by. A relative entry names a file beside the list: the
** list was opened from its folder, but the MIDI save dialog has just moved the current
** folder to where the MIDI file goes, so relative entries are taken from the list's
** folder here. Absolute entries are used as written. */
std::string ListEntryPath(const char* entry) {
  bool absolute = entry[0] == '/' || entry[0] == '\\' || (entry[0] != '\0' && entry[1] == ':');
  size_t folder = std::string(gszListName).find_last_of("/\\");
  if (absolute || folder == std::string::npos) return entry;
  return std::string(gszListName, folder + 1) + entry;
}

/* Runs through the playlist from the entry in gszNextTambroFile, loading each into gTbro
** and appending the body of convert; with names, each body is preceded by a track-name
** event holding the entry's name (the previous body's closing delta is that event's
** delta), without names the bodies follow each other directly. Returns NULL, or the error
** of the entry that could not be loaded (gszNextTambroFile). */
static const char* ConvertListPass(uint32_t (*convert)(void), bool names) {
  gbFirstFile = 1;
  for (bool first = true;; first = false) {
    const char* error = TambroFileRead(ListEntryPath(gszNextTambroFile).c_str());
    if (error) return error;
    gbFirstFile = 0;
    if (names) PutTrackName(0, gszNextTambroFile);
    convert();
    if (names || first)
      PutBody();
    else
      PutFollowingBody();
    if (!parseNextFileName()) return NULL;
  }
}

static ExportReport EntryFailed(const char* error) {
  return ExportReport{EXPORT_ENTRY_FAILED, error, gszNextTambroFile};
}

ExportReport ConvertList2Midi_GM(const char* name) {
  size_t track = BeginFormat0(name);
  gMidiFileBuf.push_back(0x00); /* delta of the first entry's name event */
  ClearConversionState();
  if (const char* error = ConvertListPass(ConvertFile2MFTrack, true)) return EntryFailed(error);
  EndTrack(track, gVoiceCh);
  return WriteAssembled(0);
}

ExportReport ConvertList2Midi_Format1(void) {
  char* readPointer = gpReadPointer;
  std::string firstEntry = gszNextTambroFile;

  PutHeader(1, 2);
  size_t track = BeginTrack();
  gMidiFileBuf.push_back(0x00);
  PutTrackName('V', gszMidiListName);
  ClearConversionState();
  PutPortEvent();
  if (const char* error = ConvertListPass(ConvertVoice2MFTrack, false)) return EntryFailed(error);
  EndTrack(track, gVoiceCh);

  track = BeginTrack();
  gMidiFileBuf.push_back(0x00);
  PutTrackName('P', gszMidiListName);
  ClearConversionState();
  PutPortEvent();
  gpReadPointer = readPointer;
  std::memcpy(gszNextTambroFile, firstEntry.c_str(), firstEntry.size() + 1);
  if (const char* error = ConvertListPass(ConvertPerc2MFTrack, false)) return EntryFailed(error);
  EndTrack(track, gPercCh);
  return WriteAssembled(1);
}
