/*
** This file contains the settings: their globals, the one table that describes each of
** them (menu, value and shadow, record field, start value, effects, load rule), the reset
** and the header fill that iterate it, the settings a file read takes from the record, and
** the arithmetic that follows from them (base note, level offsets, step length).
**
** Start values are written only in the table; the globals are zero until PatternReset,
** which every program start and every test runs (CreateMainWindow starts from
** ResetAllState).
*/
#include "pattern/pattern.h"
#include "resources/ids.h"

/* ---------------------------------------------------------------- settings (window thread writes) */

Shared<int16_t> gMsecPerBeat, gRelBeat, gBeatsPBar, gAccent, gFreeAccent, gVoice, gVoiceLevel;
Shared<int16_t> gMute, gTranspose, gMidiOutPort, gMidiInPort, gPercCh, gVoiceCh, gVelocity;
Shared<int32_t> giTempo;
unsigned goNumDevs, giNumDevs;

Shared<int16_t> gOldMsecPerBeat, gOldVoice, gOldVoiceLevel, gOldMidiOutPort, gOldMidiInPort;
Shared<int16_t> gVoiceChecked, gOldVoiceChecked;
/* The shadows no other file reads: the value whose item carries the check mark (window
** thread). */
static Shared<int16_t> gOldRelBeat, gOldBeatsPBar, gOldAccent, gOldFreeAccent, gOldMute;
static Shared<int16_t> gOldTranspose, gOldPercCh, gOldVoiceCh;
Shared<unsigned> gSettingsReport;

/* ---------------------------------------------------------------- derived values */

Shared<int16_t> gNoteOffset, gDeltaVoiceLevel, gXDVoiceLevel, gAdjustedBeat, gHalfBeat;

/* ---------------------------------------------------------------- menu items */

#define COUNT(a) (int)(sizeof(a) / sizeof((a)[0]))

static const SettingItem kBeatsPBar[] = {{"3", 3},  {"4", 4},   {"5", 5},   {"6", 6},
                                         {"8", 8},  {"12", 12}, {"16", 16}, {"24", 24}};
static const SettingItem kRelBeat[] = {{"1/4", 0}, {"1/2", 1}, {"1", 2},  {"*2", 3},  {"*3", 4},
                                       {"*4", 5},  {"*5", 6},  {"*6", 7}, {"*8", 8},  {"*12", 9}};
static const SettingItem kAccent[] = {{"0", 0},   {"+10", 1}, {"+20", 2}, {"+30", 3},
                                      {"+40", 4}, {"+50", 5}, {"+60", 6}};
static const SettingItem kFreeAccent[] = {
    {"-60", 1}, {"-50", 2}, {"-40", 3}, {"-30", 4},  {"-20", 5},  {"-10", 6},  {"0", 7},
    {"+10", 8}, {"+20", 9}, {"+30", 10}, {"+40", 11}, {"+50", 12}, {"+60", 13}};
static const SettingItem kVoice[] = {{"Celeste", 8},          {"Glockenspiel", 9},
                                     {"Vibraphone", 11},      {"Marimba", 12},
                                     {"Xylophone", 13},       {"Tubular Bells", 14},
                                     {"Dulcimer", 15},        {"Piano", 3},
                                     {"Jazz Guitar", 26},     {"Electric Guitar", 27},
                                     {"Acoustic Bass", 32},   {"Electric Bass", 34},
                                     {nullptr, 0},            {"Others", IDM_VOICE_OTHERS - IDM_VOICE}};
static const SettingItem kVoiceLevel[] = {{"OFF", 0},   {"-60", 1}, {"-40", 2}, {"-20", 3},
                                          {"Equal", 4}, {"+20", 5}, {"+40", 6}, {"+60", 7}};
static const SettingItem kMute[] = {
    {"Perm.Sound", 0},    {"1on:1off", 1},      {"2on:1off", 2},        {"1on:2off", 3},
    {"2on:2off", 4},      {"4on:2off", 5},      {"2on:4off", 6},        {"4on:4off", 7},
    {"Perc 4on:4off", 8}, {"Perc 8on:8off", 9}, {"Instr 4on:4off", 10}, {"Instr 8on:8off", 11}};
static const SettingItem kTranspose[] = {
    {"C", 0},   {"B", 1},   {"Bb", 2},  {"A", 3},   {"G#", 4},  {"G", 5},   {"F#", 6},
    {"F", 7},   {"E", 8},   {"D#", 9},  {"D", 10},  {"C#", 11}, {"C", 12},  {"B", 13},
    {"Bb", 14}, {"A", 15},  {"G#", 16}, {"G", 17},  {"F#", 18}, {"F", 19},  {"E", 20},
    {"D#", 21}, {"D", 22},  {"C#", 23}, {"C", 24}};
static const SettingItem kPercCh[] = {{"10", 9}, {"16", 15}};
static const SettingItem kVoiceCh[] = {{"1", 0},   {"2", 1},   {"3", 2},   {"4", 3},
                                       {"5", 4},   {"6", 5},   {"7", 6},   {"8", 7},
                                       {"9", 8},   {"10", 9},  {"11", 10}, {"12", 11},
                                       {"13", 12}, {"14", 13}, {"15", 14}, {"16", 15}};

static const char kRefuseVoice[] = "First stop sequence before change Chromatic Perc.";
static const char kRefuseOut[] = "First stop sequence before change MIDI OUT port";
static const char kRefuseIn[] = "First stop sequence before change MIDI IN port";
static const char kRefuseCh[] = "First stop sequence before change MIDI Ch.";

/* ---------------------------------------------------------------- the table */

#define ITEMS(a) a, COUNT(a)
const Setting gSettings[SET_ROWS] = {
    {"Beats/Bar", IDM_BEATSPBAR, ITEMS(kBeatsPBar), gBeatsPBar, &gOldBeatsPBar,
     &TbroRecord::BeatsPBar, 4, FX_REPAINT | FX_SAVED, LOAD_ALWAYS, nullptr},
    {"rel.Beat", IDM_RELBEAT, ITEMS(kRelBeat), gRelBeat, &gOldRelBeat, &TbroRecord::RelBeat, 2,
     FX_REPAINT | FX_SAVED | FX_BEAT, LOAD_ALWAYS, nullptr},
    {"BarAccent", IDM_ACCENT, ITEMS(kAccent), gAccent, &gOldAccent, &TbroRecord::Accent, 0,
     FX_REPAINT | FX_SAVED, LOAD_ALWAYS, nullptr},
    {"FreeAccent", IDM_FREEACCENT, ITEMS(kFreeAccent),
     gFreeAccent, &gOldFreeAccent, &TbroRecord::FreeAccent, 7, FX_REPAINT | FX_SAVED,
     LOAD_ALWAYS, nullptr},
    /* The instrument's check mark follows gVoiceChecked, its shadow is the base note's. */
    {"Chromatic Instr.", IDM_VOICE, ITEMS(kVoice), gVoice,
     &gOldVoice, &TbroRecord::Voice, 3, FX_NOTE | FX_REPAINT | FX_SAVED, LOAD_ALWAYS,
     kRefuseVoice},
    /* In playlist mode the menu sets the list's extra level, and a read leaves it. */
    {"Instr.Level", IDM_VOICELEVEL, ITEMS(kVoiceLevel), gVoiceLevel, &gOldVoiceLevel,
     &TbroRecord::VoiceLevel, 4, FX_REPAINT | FX_LEVEL, LOAD_IN_EDIT, nullptr},
    {"Mute", IDM_MUTE, ITEMS(kMute), gMute, &gOldMute, nullptr, 0, FX_REPAINT | FX_MUTE,
     LOAD_NEVER, nullptr},
    {"Transpose", IDM_TRANSPOSE, ITEMS(kTranspose), gTranspose, &gOldTranspose,
     &TbroRecord::Transpose, 12, FX_NOTE | FX_REPAINT, LOAD_FIRST, nullptr},
    {"MIDI-OUT", IDM_MIDIOUT, nullptr, 0, gMidiOutPort, &gOldMidiOutPort,
     &TbroRecord::MidiOutPort, -1, 0, LOAD_WITH_MIDI, kRefuseOut},
    {"MIDI-IN", IDM_MIDIIN, nullptr, 0, gMidiInPort, &gOldMidiInPort, &TbroRecord::MidiInPort,
     0, 0, LOAD_WITH_MIDI, kRefuseIn},
    {"Perc.Ch", IDM_PERCCH, ITEMS(kPercCh), gPercCh, &gOldPercCh, &TbroRecord::PercCh, 9, 0,
     LOAD_WITH_MIDI, kRefuseCh},
    {"Instr.Ch", IDM_VOICECH, ITEMS(kVoiceCh), gVoiceCh, &gOldVoiceCh, &TbroRecord::VoiceCh, 0,
     0, LOAD_WITH_MIDI, kRefuseCh},
    /* The tempo bar's: 60000 / BPM. */
    {nullptr, 0, nullptr, 0, gMsecPerBeat, &gOldMsecPerBeat, &TbroRecord::MsecPerBeat, 500, 0,
     LOAD_FIRST, nullptr},
    /* The velocity bar's. */
    {nullptr, 0, nullptr, 0, gVelocity, nullptr, nullptr, 64, 0, LOAD_NEVER, nullptr},
};

const char* SettingTitle(const Setting& s) {
  if (STEP_COUNT == 72 && &s == &gSettings[SET_FREEACCENT]) return "FreeAcc.";
  if (STEP_COUNT == 72 && &s == &gSettings[SET_VOICE]) return "Instr.";
  return s.title;
}

const Setting* SettingOfCommand(int id) {
  for (const Setting& s : gSettings)
    if (s.title && id >= s.base && id < s.base + 100) return &s;
  return nullptr;
}

bool SettingHasValue(const Setting& s, int value) {
  if (&s == &gSettings[SET_MIDIOUT]) return value >= 0 && static_cast<unsigned>(value) < goNumDevs;
  if (&s == &gSettings[SET_MIDIIN]) return value >= 0 && static_cast<unsigned>(value) < giNumDevs;
  for (int i = 0; i < s.count; i++)
    if (s.items[i].label && s.items[i].value == value) return true;
  return false;
}

int16_t VoiceItem(int voice) {
  const Setting& s = gSettings[SET_VOICE];
  for (int i = 0; i < s.count; i++)
    if (s.items[i].label && s.items[i].value == voice && voice != IDM_VOICE_OTHERS - IDM_VOICE)
      return static_cast<int16_t>(voice);
  return IDM_VOICE_OTHERS - IDM_VOICE;
}

/* ---------------------------------------------------------------- reset and header */

void SettingsReset(void) {
  for (const Setting& s : gSettings) {
    s.value = s.start;
    if (s.shadow) *s.shadow = s.start;
  }
  giTempo = 60000 / gMsecPerBeat;
  goNumDevs = giNumDevs = 0;
  gSettingsReport = 0;
  gVoiceChecked = gOldVoiceChecked = gVoice.load();
  gDeltaVoiceLevel = LevelOffset(gVoiceLevel);
  gXDVoiceLevel = 0;
  RecomputeNoteOffset();
  RecomputeStepLength();
}

void FillHeaderFromSettings(void) {
  for (const Setting& s : gSettings)
    if (s.field) HeaderSet(gTbro.*s.field, s.value);
}

/* ---------------------------------------------------------------- a file read */

static bool LoadApplies(SettingLoad rule) {
  switch (rule) {
    case LOAD_ALWAYS: return true;
    case LOAD_IN_EDIT: return gbEdit != 0;
    case LOAD_FIRST: return gbFirstFile != 0;
    case LOAD_WITH_MIDI: return gbLoadMidi != 0;
    default: return false;
  }
}

unsigned TakeRecordSettings(void) {
  unsigned changed = 0;
  for (int row = 0; row < SET_ROWS; row++) {
    const Setting& s = gSettings[row];
    if (!s.field || !LoadApplies(s.load)) continue;
    int16_t v = HeaderGet(gTbro.*s.field);
    /* A port beyond the devices found (a file from another machine) is the first device. */
    if (row == SET_MIDIOUT || row == SET_MIDIIN) {
      const unsigned devices = row == SET_MIDIOUT ? goNumDevs : giNumDevs;
      if (devices > 0 && static_cast<unsigned>(static_cast<int>(v)) >= devices) v = 0;
    }
    if (v != s.value) changed |= 1u << row;
    s.value = v;
  }
  /* The pattern's own level counts in both modes; in playlist mode the menu's is the list's. */
  gDeltaVoiceLevel = LevelOffset(HeaderGet(gTbro.VoiceLevel));
  RecomputeNoteOffset();
  RecomputeStepLength();
  if (gbFirstFile) {
    gOldMsecPerBeat = gMsecPerBeat.load();
    const int32_t tempo = 60000 / gMsecPerBeat; /* MsecPerBeat > 0 after the read's repair */
    giTempo = ClampTempo(tempo);
    changed |= LOADED_TEMPO;
  }
  gSettingsReport |= changed;
  return changed;
}

/* ---------------------------------------------------------------- arithmetic */

/* Basses (programs 32..39) are written an octave lower, and the two deepest instruments
** (43 contrabass, 58 tuba) a further octave, so that their rows stay in their range. */
void RecomputeNoteOffset(void) {
  int voice = gVoice;
  int offset = 46 - gTranspose;
  if (voice >= 32 && voice <= 39) offset -= 12;
  if (voice == 43 || voice == 58) offset -= 12;
  gNoteOffset = static_cast<int16_t>(offset);
}

int32_t ClampTempo(int32_t bpm) { return bpm < TEMPO_MIN ? TEMPO_MIN : bpm > TEMPO_MAX ? TEMPO_MAX : bpm; }

int16_t LevelOffset(int level) {
  static const int16_t table[8] = {-127, -60, -40, -20, 0, 20, 40, 60};
  return (level >= 0 && level < 8) ? table[level] : 0;
}

/* Steps per beat of the rel.Beat indices 0..9 as a ratio: a step is M * num / den ms. */
static const struct {
  int num, den;
  const char* label;
} kRelBeats[10] = {{4, 1, "/ 4"}, {2, 1, "/ 2"}, {1, 1, "* 1"}, {1, 2, "* 2"},  {1, 3, "* 3"},
                   {1, 4, "* 4"}, {1, 5, "* 5"}, {1, 6, "* 6"}, {1, 8, "* 8"}, {1, 12, "*12"}};

/* Index 2 and anything unknown: one step per beat. */
static int RelBeatIndex(void) {
  const int rel = gRelBeat;
  return rel >= 0 && rel < 10 ? rel : 2;
}

void RecomputeStepLength(void) {
  const int16_t m = gMsecPerBeat;
  const int i = RelBeatIndex();
  const int16_t adjusted = static_cast<int16_t>(kRelBeats[i].num * m / kRelBeats[i].den);
  gAdjustedBeat = adjusted;
  gHalfBeat = static_cast<int16_t>(adjusted / 2);
}

const char* RelBeatLabel(void) { return kRelBeats[RelBeatIndex()].label; }

void RelBeatRatio(int* num, int* den) {
  const int i = RelBeatIndex();
  *num = kRelBeats[i].num;
  *den = kRelBeats[i].den;
}
