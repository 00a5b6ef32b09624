// The fuzz targets' bodies on their committed seed corpora and on the inputs the fuzzers
// found faults with, so every ordinary test run replays them (the fuzzers themselves need
// clang and run from scripts/fuzz.sh).
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/midifile/smf.h"
#include "tests/fuzz/targets.h"
#include "tests/hardening/hardening_support.h"

namespace {

using Body = void (*)(const uint8_t*, size_t);

class FuzzCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    tbxfuzz::SetFailHandler([](const std::string& rule) { ADD_FAILURE() << rule; });
    tbxfuzz::SetUp();
  }
  void TearDown() override {
    tbxfuzz::TearDown();
    tbxfuzz::SetFailHandler(nullptr);
  }
  // The platform is set up once per test; each input starts from the program's start values.
  void Run(Body body, const hardening::Bytes& input) {
    tbxfuzz::Prepare();
    body(input.data(), input.size());
  }
  // Every file of tests/fuzz/corpus/<name>/, in name order.
  void Replay(const char* name, Body body) {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(std::string(TBX_SOURCE_DIR) + "/tests/fuzz/corpus/" + name))
      files.push_back(e.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    for (const auto& f : files) {
      SCOPED_TRACE(f.filename().string());
      Run(body, hardening::ReadAll(f.string()));
    }
  }
};

TEST_F(FuzzCorpus, ProjectFileSeeds) { Replay("project", tbxfuzz::ProjectFile); }
TEST_F(FuzzCorpus, PlaylistSeeds) { Replay("playlist", tbxfuzz::Playlist); }
TEST_F(FuzzCorpus, ExportSeeds) { Replay("export", tbxfuzz::ExportPattern); }
TEST_F(FuzzCorpus, ImportSeeds) { Replay("import", tbxfuzz::ImportMidi); }

using MidiInFuzzCorpus = FuzzCorpus;  // runs the step clock and the input callback
TEST_F(MidiInFuzzCorpus, MidiInputSeeds) { Replay("midiin", tbxfuzz::MidiInput); }

// The checker itself: it must refuse what the exporter must never write.
TEST(SmfChecker, RefusesBrokenFiles) {
  const hardening::Bytes good = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 1, 0x80, 'M', 'T', 'r', 'k', 0, 0, 0, 12,
                                 0x00, 0x99, 0x23, 0x40, 0x83, 0x00, 0x23, 0x00, 0x00, 0xFF, 0x2F, 0x00};
  EXPECT_EQ(SmfCheck(good.data(), good.size()), "");
  auto broken = [&](size_t at, unsigned char value) {
    hardening::Bytes b = good;
    b[at] = value;
    return SmfCheck(b.data(), b.size());
  };
  EXPECT_NE(broken(21, 13), "");    // track length does not add up
  EXPECT_NE(broken(26, 0x80), "");  // delta 80 00: not minimal
  EXPECT_NE(broken(28, 0x80), "");  // a data byte of 0x80
  EXPECT_NE(broken(23, 0x23), "");  // running status before any status byte
  EXPECT_NE(broken(32, 0x2E), "");  // the last event is not End of Track
  hardening::Bytes meta = good;     // running status does not survive a meta event
  meta.insert(meta.begin() + 26, {0x00, 0xFF, 0x01, 0x00});
  meta[21] = 16;
  EXPECT_NE(SmfCheck(meta.data(), meta.size()), "");
  hardening::Bytes longDelta = good;
  longDelta.insert(longDelta.begin() + 26, {0x81, 0x81, 0x81, 0x81});
  longDelta[21] = 16;
  EXPECT_NE(SmfCheck(longDelta.data(), longDelta.size()), "");
}

}  // namespace
