// Helpers of the hardening suites: a scratch folder per test, made by mkdtemp (no dots in its path, so
// backup and export names are predictable), raw file access, and a record with a
// recognisable pattern.
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
#include "tests/support.h"

namespace hardening {

using Bytes = std::vector<unsigned char>;

class Scratch {
 public:
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / ("tbxhard" + std::to_string(STEP_COUNT) + "_XXXXXX")).string();
    if (!mkdtemp(pattern.data())) ADD_FAILURE() << "mkdtemp " << pattern;
    dir_ = pattern;
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string operator()(const std::string& name) const { return (dir_ / name).string(); }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path dir_;
};

inline Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

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
