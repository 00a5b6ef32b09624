// tamborix-cli as a shell sees it: --help and --version, exit status 0 / 1 / 2, one line per
// failure, --steps=N and --steps N alike, each working as its program, OUT never FILE, names too long refused, and render and export that never leave a damaged or
// foreign file: a full disk, an interrupt and two exports at once keep the old file whole.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/midi/synth_render.h"
#include "tests/files/scratch.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// A project file of the current layout: LoopEnd `loopEnd` (a value past the step count plays
// the whole pattern), 120 BPM, a bass drum on step `step`.
void WriteProject(const std::string& path, int step, int16_t loopEnd = 4) {
  Bytes r(3540, 0);
  const int16_t head[16] = {3540, 500, 2, 0, loopEnd, 4, 0, 7, 3, 4, 12, 0, 0, 9, 0, 0};
  std::memcpy(r.data(), "TBRX", 4);
  std::memcpy(r.data() + 4, head, sizeof head);
  r[36 + 4 * step] = 1 << 3;  // PercL bit 3: row 3, Bass Drum 1
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(r.data()), r.size());
}

class CliConventions : public ::testing::Test {
 protected:
  void SetUp() override {
    front = std::string(TBX_BINARY_DIR) + "/tamborix-cli";
    if (!fs::exists(front)) GTEST_SKIP() << "tamborix-cli is not built";
    WriteProject(P("a.tbx"), 0);
    WriteProject(P("b.tbx"), 2);
  }
  std::string P(const std::string& name) const { return dir + "/" + name; }
  static std::string Q(const std::string& s) { return "'" + s + "'"; }
  // Runs a shell command line in the scratch folder; its exit status (-signal when killed),
  // standard output and standard error.
  int Run(const std::string& cmd, std::string* out = nullptr, std::string* err = nullptr) {
    std::string line = "cd " + Q(dir) + " && " + cmd + " >" + Q(P("out.log")) + " 2>" + Q(P("err.log"));
    int status = std::system(line.c_str());
    if (out) *out = Text(P("out.log"));
    if (err) *err = Text(P("err.log"));
    fs::remove(P("out.log"));
    fs::remove(P("err.log"));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static std::string Text(const std::string& path) {
    Bytes b = ReadAll(path);
    return std::string(b.begin(), b.end());
  }
  static int Lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }
  // Names in the scratch folder other than the logs.
  std::vector<std::string> Names() const { return scratch.Names(); }
  ScratchDir scratch;
  std::string front, dir = scratch.dir().string();
};

}  // namespace

TEST_F(CliConventions, HelpVersionAndExitStatuses) {
  std::string out, err;
  for (const std::string& prog : {front}) {
    SCOPED_TRACE(prog);
    EXPECT_EQ(Run(Q(prog) + " --help", &out, &err), 0);
    EXPECT_EQ(out.rfind("usage: tamborix-cli", 0), 0u);
    EXPECT_EQ(err, "");
    EXPECT_EQ(Run(Q(prog) + " export --help", &out), 0);
    EXPECT_EQ(Run(Q(prog) + " --version", &out, &err), 0);
    EXPECT_EQ(out.rfind("tamborix-cli ", 0), 0u);
    EXPECT_EQ(Lines(out), 1);

    const struct {
      std::string args;
      int status;
    } cases[] = {
        {"", 2},                                       // no command
        {"play a.tbx", 2},                             // no such command
        {"export a.tbx", 2},                           // OUT missing
        {"export a.tbx x.mid extra", 2},               // one operand too many
        {"export --format 2 a.tbx x.mid", 2},          // a value out of range
        {"export --count 3 a.tbx x.mid", 2},           // another command's option
        {"events --bogus a.tbx", 2},                   // no such option
        {"events --count", 2},                         // an option without its value
        {"events ''", 2},                              // an empty FILE
        {"export '' x.mid", 2},                        // an empty FILE is no empty export
        {"events missing.tbx", 1},                     // the operation fails
        {"export missing.tbx x.mid", 1},
        {"import a.tbx x.tbx", 1},                     // not a MIDI file
        {"import missing.mid x.tbx", 1},
        {"import a.mid", 2},
        {"import --perc-channel 17 a.mid x.tbx", 2},
        {"import --channel 10 a.mid x.tbx", 2},        // the percussion channel
        {"import --format 1 a.mid x.tbx", 2},
        {"events --count 2 a.tbx", 0},
        {"export a.tbx x.mid", 0},
        {"export --beat-time a.tbx x.mid", 0},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(c.args);
      EXPECT_EQ(Run(Q(prog) + " " + c.args, &out, &err), c.status);
      EXPECT_EQ(Lines(err), c.status ? 1 : 0) << err;  // every failure is one line
    }
    EXPECT_FALSE(fs::exists(P("missing.tbx")));
    EXPECT_FALSE(fs::exists(P("x.tbx")));
  }
}

// A format 0 file at 120 BPM: `steps` sixteenths of a closed hi-hat, a bass drum each beat.
void WriteGroove(const std::string& path, int steps) {
  Bytes track = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20};
  for (int s = 0; s < steps; ++s) {
    const Bytes step = {static_cast<unsigned char>(s ? 0x78 : 0x00), 0x99, 42, 80, 0x00, 36,
                        static_cast<unsigned char>(s % 4 ? 0 : 100)};
    track.insert(track.end(), step.begin(), step.end());
  }
  track.insert(track.end(), {0x78, 0xFF, 0x2F, 0x00});
  Bytes file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k', 0, 0,
                static_cast<unsigned char>(track.size() >> 8), static_cast<unsigned char>(track.size())};
  file.insert(file.end(), track.begin(), track.end());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
}

TEST_F(CliConventions, ImportWritesAProjectOrPartsAndAPlaylistAndReportsInOneLine) {
  std::string err;
  WriteGroove(P("g.mid"), 16);
  EXPECT_EQ(Run(Q(front) + " import g.mid g.tbx", nullptr, &err), 0);
  EXPECT_EQ(err, "tamborix-cli import: 20 notes placed at 120 BPM * 4, 16 steps a bar. None moved to the grid. "
                 "None dropped.\n");
  EXPECT_EQ(ReadAll(P("g.tbx")).size(), 3540u);
  EXPECT_EQ(Run(Q(front) + " export --beat-time g.tbx g.mid"), 0);
  const Bytes beat = ReadAll(P("g.mid"));
  ASSERT_GT(beat.size(), 14u);
  EXPECT_EQ(beat[12] << 8 | beat[13], 480) << "beat time: 480 ticks a quarter note";

  // Longer than a pattern of the program: parts and a playlist, whose names a playlist
  // entry can hold.
  for (const std::string steps : {"144", "128", "96", "72"}) {
    SCOPED_TRACE(steps);
    WriteGroove(P("g.mid"), std::stoi(steps) + 16);
    EXPECT_EQ(Run(Q(front) + " --steps " + steps + " import g.mid 'long song.TBX'", nullptr, &err), 0);
    EXPECT_NE(err.find(", in 2 parts."), std::string::npos) << err;
    EXPECT_EQ(Lines(err), 1);
    EXPECT_EQ(Text(P("long song.txt")), "long_song-1.tbx\r\nlong_song-2.tbx\r\n");
    EXPECT_EQ(Run(Q(front) + " --steps " + steps + " events --count 4 'long song.txt'"), 0);
  }

  // A file that is not one writes nothing.
  const std::vector<std::string> before = Names();
  EXPECT_EQ(Run(Q(front) + " import a.tbx new.tbx", nullptr, &err), 1);
  EXPECT_EQ(err, "tamborix-cli import: File a.tbx is not a Standard MIDI File.\n");
  EXPECT_EQ(Names(), before);

  // The program's own export comes back as the pattern it was.
  ASSERT_EQ(Run(Q(front) + " export --format 1 b.tbx b.mid"), 0);
  ASSERT_EQ(Run(Q(front) + " import b.mid c.tbx"), 0);
  ASSERT_EQ(Run(Q(front) + " export --format 1 c.tbx c.mid"), 0);
  std::string b = Text(P("b.mid"));
  for (size_t at; (at = b.find("b.mid")) != std::string::npos;) b[at] = 'c';  // the track names
  EXPECT_EQ(b, Text(P("c.mid")));
}

// A load error was printed twice, once more in the harness's words.
TEST_F(CliConventions, EveryFailureIsOneClearLine) {
  std::string err;
  EXPECT_EQ(Run(Q(front) + " export missing.tbx x.mid", nullptr, &err), 1);
  EXPECT_EQ(err, "tamborix-cli export: File missing.tbx is missing or cannot be opended. (CreateFile Error:2)\n");
  std::ofstream(P("list.txt")) << "a.tbx\r\nnothere\r\n";
  EXPECT_EQ(Run(Q(front) + " export list.txt l.mid", nullptr, &err), 1);
  EXPECT_EQ(Lines(err), 1) << err;
  EXPECT_NE(err.find("nothere.TBX is missing"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(P("l.mid")));
  EXPECT_EQ(Run(Q(front) + " events --mute 12 a.tbx", nullptr, &err), 2);
  EXPECT_EQ(err, "tamborix-cli events: --mute 12 is out of range (see tamborix-cli --help)\n");
}

// `--steps=72` reached the helper as an unknown word and was a usage error. Each count
// works as its program: a pattern played whole wraps after its last step.
TEST_F(CliConventions, StepsWithEqualsOrSpaceBothWorkEverywhere) {
  std::string reference, out;
  ASSERT_EQ(Run(Q(front) + " events --count 3 a.tbx", &reference), 0);
  for (const char* program : {"144", "128", "96", "72"}) {
    const std::string steps = program;
    for (const std::string& option : {"--steps " + steps, "--steps=" + steps})
      for (const std::string& args : {option + " events --count 3 a.tbx", "events a.tbx --count=3 " + option}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(Run(Q(front) + " " + args, &out), 0);
        EXPECT_EQ(out, reference);
      }
    WriteProject(P("whole.tbx"), 0, 200);
    const int count = std::stoi(steps) + 1;
    EXPECT_EQ(Run(Q(front) + " events --steps " + steps + " --count " + std::to_string(count) + " whole.tbx", &out), 0);
    size_t drums = 0;
    for (size_t at = out.find(" 99 24 "); at != std::string::npos; at = out.find(" 99 24 ", at + 1)) drums++;
    EXPECT_EQ(drums, 2u) << steps << " steps: step 0 and, after the wrap, step 0 again";
  }
  EXPECT_EQ(Run(Q(front) + " events --steps=100 a.tbx"), 2);
  EXPECT_EQ(Run(Q(front) + " events --steps 100 a.tbx"), 2);
}

// `render|export FILE OUT` with OUT naming FILE wrote over the project.
TEST_F(CliConventions, OutputThatIsTheInputIsRefused) {
  fs::create_symlink(P("a.tbx"), P("link.mid"));
  const Bytes a = ReadAll(P("a.tbx"));
  for (std::string cmd : {"export", "render"})
    for (std::string operands : {"a.tbx a.tbx", "a.tbx ./a.tbx", "a.tbx link.mid", "A.TBX a.tbx"}) {
      SCOPED_TRACE(cmd + " " + operands);
      std::string err;
      EXPECT_EQ(Run(Q(front) + " " + cmd + " " + operands, nullptr, &err), 2);
      EXPECT_EQ(Lines(err), 1) << err;
      EXPECT_EQ(ReadAll(P("a.tbx")), a);
    }
  EXPECT_TRUE(fs::is_symlink(P("link.mid")));
}

// A 266-character FILE whose first 259 characters name another project exported that one.
TEST_F(CliConventions, NameWhoseCutPrefixExistsIsRefused) {
  std::string victim = dir + "/";
  while (victim.size() + 60 < TBX_PATH - 1) {
    victim += std::string(50, 'f') + "/";
    fs::create_directory(victim);
  }
  victim += std::string(TBX_PATH - 1 - victim.size(), 'v');
  WriteProject(victim, 1);
  std::string err;
  EXPECT_EQ(Run(Q(front) + " export " + Q(victim + "7.tbx") + " x.mid", nullptr, &err), 1);
  EXPECT_EQ(Lines(err), 1) << err;
  EXPECT_FALSE(fs::exists(P("x.mid")));
  EXPECT_EQ(Run(Q(front) + " export a.tbx " + Q(victim + "7.mid"), nullptr, &err), 1);
  EXPECT_EQ(Run(Q(front) + " events " + Q(victim + "7.tbx"), nullptr, &err), 1);
}

// A render that fails half way (a full disk) or is interrupted left a truncated file, or
// none, in place of the old one; two exports to one file at once shared a temporary file.
class CliReplacing : public CliConventions {
 protected:
  void SetUp() override {
    CliConventions::SetUp();
    if (IsSkipped()) return;
    if (SynthSoundfontPath().empty()) GTEST_SKIP() << "no soundfont installed";
    std::ofstream(P("old.wav")) << "the previous rendering";
    old = ReadAll(P("old.wav"));
  }
  Bytes old;
};

TEST_F(CliReplacing, RenderOnAFullDiskKeepsTheOldFile) {
  std::string err;
  // 64 KiB may be written: the first second of audio (176 KiB) does not fit.
  EXPECT_EQ(Run("ulimit -f 64 && " + Q(front) + " render --seconds 2 a.tbx old.wav", nullptr, &err), 1);
  EXPECT_EQ(Lines(err), 1) << err;
  EXPECT_NE(err.find("the disk is full"), std::string::npos) << err;
  EXPECT_EQ(ReadAll(P("old.wav")), old);
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.tbx", "b.tbx", "old.wav"}));

  ASSERT_EQ(Run(Q(front) + " render --seconds 2 a.tbx old.wav"), 0);
  const Bytes wav = ReadAll(P("old.wav"));
  ASSERT_EQ(wav.size(), 44u + 2 * 44100 * 4);
  const uint32_t riff = wav[4] | wav[5] << 8 | wav[6] << 16 | uint32_t(wav[7]) << 24;
  const uint32_t data = wav[40] | wav[41] << 8 | wav[42] << 16 | uint32_t(wav[43]) << 24;
  EXPECT_EQ(riff, wav.size() - 8);
  EXPECT_EQ(data, wav.size() - 44);
}

TEST_F(CliReplacing, InterruptedRenderKeepsTheOldFile) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    const std::string cmd = "cd " + Q(dir) + " && exec " + Q(front) + " render --seconds 600 a.tbx old.wav 2>/dev/null";
    const char* argv[] = {"/bin/sh", "-c", cmd.c_str(), nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    // Interrupt once the temporary file is being written.
    bool writing = false;
    for (int i = 0; i < 3000 && !writing; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      for (const std::string& name : Names())
        if (name.rfind(".~tbx", 0) == 0 && fs::file_size(P(name)) > 0) writing = true;
    }
    EXPECT_TRUE(writing);
    kill(pid, sig);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
    EXPECT_EQ(ReadAll(P("old.wav")), old);
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.tbx", "b.tbx", "old.wav"}));
  }
}

TEST_F(CliReplacing, TwoExportsAtOnceEachReportTruthfully) {
  // The references carry the same track name (the file's title) as the shared file.
  fs::create_directories(P("ref/a"));
  fs::create_directories(P("ref/b"));
  ASSERT_EQ(Run(Q(front) + " export a.tbx ref/a/same.mid"), 0);
  ASSERT_EQ(Run(Q(front) + " export b.tbx ref/b/same.mid"), 0);
  const Bytes a = ReadAll(P("ref/a/same.mid")), b = ReadAll(P("ref/b/same.mid"));
  ASSERT_NE(a, b);
  const std::string both = Q(front) + " export a.tbx same.mid & p=$!; " + Q(front) +
                           " export b.tbx same.mid; s=$?; wait $p && exit $s";
  for (int round = 0; round < 10; ++round) {
    EXPECT_EQ(Run("{ " + both + "; }"), 0);
    const Bytes now = ReadAll(P("same.mid"));
    EXPECT_TRUE(now == a || now == b);
  }
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.tbx", "b.tbx", "old.wav", "ref", "same.mid"}));
}

// The synthesizer's set-up on the command line: the default gain lets a dense pattern at
// velocity 127 (bass drum, snare, closed hi-hat and crash with a three-note piano chord on
// every step) peak near -1 dBFS without clipping; --gain scales it, and an unknown soundfont
// or a gain out of range fails with one line.
class CliSynthSetUp : public CliReplacing {
 protected:
  // The peak of a WAV file's samples in dB below full scale (0 when it clips).
  double PeakDb(const std::string& path) {
    const Bytes wav = ReadAll(path);
    int peak = 0;
    for (size_t i = 44; i + 1 < wav.size(); i += 2)
      peak = std::max(peak, std::abs(static_cast<int>(static_cast<int16_t>(wav[i] | wav[i + 1] << 8))));
    return peak > 0 ? 20 * std::log10(peak / 32768.0) : -200;
  }
  void WriteDense(const std::string& path) {
    Bytes r(3540, 0);
    const int16_t head[16] = {3540, 500, 2, 0, 16, 4, 0, 7, 3, 4, 12, 0, 0, 9, 0, 0};
    std::memcpy(r.data(), "TBRX", 4);
    std::memcpy(r.data() + 4, head, sizeof head);
    for (int step = 0; step < 16; ++step) {
      const uint32_t perc = 1u << (36 - 33) | 1u << (38 - 33) | 1u << (42 - 33) | 1u << (49 - 33);
      const uint32_t voiceL = 1u << (60 - 34) | 1u << (64 - 34), voiceH = 1u << (67 - 34 - 32);
      std::memcpy(r.data() + 36 + 4 * step, &perc, 4);                        // PercL
      std::memcpy(r.data() + 36 + 2 * 584 + 4 * step, &voiceL, 4);            // VoiceL
      std::memcpy(r.data() + 36 + 3 * 584 + 4 * step, &voiceH, 4);            // VoiceH
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(r.data()), r.size());
  }
};

TEST_F(CliSynthSetUp, DensePatternPeaksNearMinusOneDbfsAndTheGainScalesIt) {
  WriteDense(P("dense.tbx"));
  ASSERT_EQ(Run(Q(front) + " render --velocity 127 dense.tbx loud.wav"), 0);
  const double loud = PeakDb(P("loud.wav"));
  EXPECT_LT(loud, -0.3) << "no clipping";
  EXPECT_GT(loud, -2.5) << "near -1 dBFS";
  ASSERT_EQ(Run(Q(front) + " render --velocity 127 --gain=" + std::to_string(kSynthDefaultGain / 2) +
                " dense.tbx half.wav"),
            0);
  EXPECT_NEAR(PeakDb(P("half.wav")), loud - 6.02, 0.2);

  std::string err;
  EXPECT_EQ(Run(Q(front) + " render --soundfont none.sf2 dense.tbx x.wav", nullptr, &err), 1);
  EXPECT_EQ(err, "tamborix-cli render: no soundfont file none.sf2\n");
  EXPECT_EQ(Run(Q(front) + " render --gain 11 dense.tbx x.wav", nullptr, &err), 2);
  EXPECT_EQ(Lines(err), 1) << err;
  EXPECT_FALSE(fs::exists(P("x.wav")));
  ASSERT_EQ(Run(Q(front) + " render --seconds 1 --soundfont " + Q(SynthSoundfontPath()) + " dense.tbx x.wav"), 0);
}
