// Helpers of the hardening suites: the tests' scratch folder and raw file access
// (tests/files/scratch.h), and a record with a recognisable pattern.
#ifndef TBX_TESTS_HARDENING_SUPPORT_H
#define TBX_TESTS_HARDENING_SUPPORT_H

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/app.h"
#include "pattern/pattern.h"
#include "tests/files/scratch.h"
#include "tests/support.h"

namespace hardening {

using ::Bytes;
using ::ReadAll;
using ::WriteAll;

using Scratch = ScratchDir;

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A valid record whose every step word differs from its neighbours'; `seed` varies it.
inline Bytes RecordImage(uint32_t seed, int16_t loopEnd = STEP_COUNT) {
  TbroRecord r;
  std::memset(&r, 0, sizeof r);
  std::memcpy(r.Id, "TBRX", 4);
  r.Size = TBRO_SIZE;
  r.MsecPerBeat = 500;
  r.RelBeat = 2;
  r.LoopEnd = loopEnd;
  r.BeatsPBar = 4;
  r.FreeAccent = 7;
  r.VoiceLevel = 4;
  r.Transpose = 12;
  r.PercCh = 9;
  uint32_t* arrays[4] = {r.PercL, r.PercH, r.VoiceL, r.VoiceH};
  for (int a = 0; a < 4; ++a)
    for (int i = 0; i < STEP_SLOTS; ++i) arrays[a][i] = (seed * 2654435761u + i * 40503u + a) & (a % 2 ? 0x1FFFFu : ~3u);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&r);
  return Bytes(p, p + sizeof r);
}

// The whole pattern record as it is now, read through the atomic accessors.
inline Bytes PatternNow() {
  TbroRecord r;
  std::memcpy(&r, &gTbro, sizeof r);  // header (no other thread runs while tests compare)
  const uint32_t* src[6] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH};
  uint32_t* dst[6] = {r.PercL, r.PercH, r.VoiceL, r.VoiceH, r.VoiceXL, r.VoiceXH};
  for (int a = 0; a < 6; ++a)
    for (int i = 0; i < STEP_SLOTS; ++i) dst[a][i] = StepGet(src[a], i);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&r);
  return Bytes(p, p + sizeof r);
}

}  // namespace hardening

#endif
