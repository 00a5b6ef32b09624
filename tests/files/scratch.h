// Scratch folders and raw file access for the tests that touch files: every test gets its
// own empty folder made by mkdtemp (unique across processes, so any number of test processes
// run side by side; no dots in its name, so backup and export names are predictable),
// removed afterwards.
#ifndef TBX_TESTS_FILES_SCRATCH_H
#define TBX_TESTS_FILES_SCRATCH_H

#include <stdlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "base/config.h"
#include "pattern/pattern.h"

using Bytes = std::vector<unsigned char>;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tbxtestXXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
      throw std::filesystem::filesystem_error("mkdtemp", std::error_code(errno, std::generic_category()));
    dir_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string operator()(const std::string& name) const { return (dir_ / name).string(); }
  const std::filesystem::path& dir() const { return dir_; }
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
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return Bytes();
  Bytes bytes(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

inline void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteText(const std::string& path, const std::string& text) {
  WriteAll(path, Bytes(text.begin(), text.end()));
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

// A record as raw bytes (the record is the file image on a little-endian host).
inline Bytes RecordBytes(const TbroRecord& r) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(&r);
  return Bytes(p, p + sizeof r);
}

// A valid current-format record with distinct settings and a recognisable pattern.
inline TbroRecord SampleRecord() {
  TbroRecord r;
  std::memset(&r, 0, sizeof r);
  std::memcpy(r.Id, "TBRX", 4);
  r.Size = 3540;
  r.MsecPerBeat = 400;
  r.RelBeat = 3;
  r.LoopStart = 4;
  r.LoopEnd = 40;
  r.BeatsPBar = 6;
  r.Accent = 2;
  r.FreeAccent = 9;
  r.Voice = 26;
  r.VoiceLevel = 6;
  r.Transpose = 10;
  r.MidiOutPort = 0;
  r.MidiInPort = 0;
  r.PercCh = 15;
  r.VoiceCh = 5;
  for (int i = 0; i < STEP_SLOTS; ++i) {
    r.PercL[i] = 0x01000000u * (i % 7) + i;
    r.PercH[i] = 0x10000u * i + 3;
    r.VoiceL[i] = ~static_cast<uint32_t>(i);
    r.VoiceH[i] = 0x80000000u >> (i % 32);
    r.VoiceXL[i] = 0x55u * i;
    r.VoiceXH[i] = 0xAA000000u + i;
  }
  return r;
}

#endif
