// The settings file: values kept across an open (a new run), its folders made on the first
// write, values of any text kept and keys it cannot hold refused, writes held back while a
// group changes, and the files as the program may find them: damaged, foreign, linked,
// changed by a second program, unwritable.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "files/prefs.h"
#include "tests/files/scratch.h"
#include "tests/support.h"

namespace {

class PrefsTest : public StateTest {
 protected:
  ScratchDir dir;
  std::string Text(const std::string& path) {
    Bytes b = ReadAll(path);
    return std::string(b.begin(), b.end());
  }
  // Opens `path` and returns what the open printed on stderr.
  std::string Open(const std::string& path) {
    testing::internal::CaptureStderr();
    PrefsOpen(path.c_str());
    return testing::internal::GetCapturedStderr();
  }
};

TEST_F(PrefsTest, ValuesSurviveANewRunAndTheFoldersAreMade) {
  const std::string path = dir("config/tamborix/settings.conf");
  EXPECT_EQ(Open(path), "") << "a missing file is an empty one";
  EXPECT_EQ(PrefGet("midi.out"), nullptr);
  EXPECT_TRUE(PrefSet("midi.out", "USB MIDI 1 = left & right"));
  EXPECT_TRUE(PrefSetInt("sync.clock", 1));
  EXPECT_TRUE(PrefSet("folder.project", "/home/u/My Songs"));
  ASSERT_TRUE(Exists(path));

  PrefsReset();
  EXPECT_EQ(PrefGet("midi.out"), nullptr);
  EXPECT_EQ(Open(path), "");
  EXPECT_STREQ(PrefGet("midi.out"), "USB MIDI 1 = left & right") << "the first '=' ends the key";
  EXPECT_EQ(PrefGetInt("sync.clock", 0), 1);
  EXPECT_EQ(PrefGetInt("folder.project", 7), 7) << "not a number";
  EXPECT_EQ(PrefGetInt("sync.other", 3), 3);

  EXPECT_TRUE(PrefSet("folder.project", nullptr));
  EXPECT_TRUE(PrefSet("midi.out", ""));
  EXPECT_EQ(Open(path), "");
  EXPECT_EQ(PrefGet("folder.project"), nullptr);
  EXPECT_EQ(PrefGet("midi.out"), nullptr);
  EXPECT_EQ(Text(path), "# Tamborix settings: one key=value a line\nsync.clock=1\n");
}

// A value with a line end was refused, so a file name holding one could not be kept: values
// of any text are now kept exactly, escaped in double quotes where they need it; keys that
// a line cannot hold are still refused.
TEST_F(PrefsTest, AnyValueIsKeptExactlyKeysAreChecked) {
  const std::string path = dir("settings.conf");
  Open(path);
  for (const char* key : {"", "a b", "a=b", "line\nbreak", "ä"}) EXPECT_FALSE(PrefSet(key, "x")) << key;
  EXPECT_FALSE(Exists(path)) << "nothing was written";
  const char* values[] = {"/a\nb=c", "/a\rb", "\"quoted\" \\ \t\x01\x7F", "C:\\new\\x.tbx", "\"", "plain"};
  for (size_t i = 0; i < std::size(values); i++) EXPECT_TRUE(PrefSet(("v." + std::to_string(i)).c_str(), values[i]));
  EXPECT_EQ(Text(path), "# Tamborix settings: one key=value a line\nv.0=\"/a\\nb=c\"\nv.1=\"/a\\rb\"\n"
                        "v.2=\"\\\"quoted\\\" \\\\ \\t\\x01\\x7F\"\nv.3=C:\\new\\x.tbx\nv.4=\"\\\"\"\nv.5=plain\n");
  EXPECT_EQ(Open(path), "");
  for (size_t i = 0; i < std::size(values); i++) EXPECT_STREQ(PrefGet(("v." + std::to_string(i)).c_str()), values[i]);
  WriteText(path, "old=\"not\\qescaped\"\n");
  EXPECT_EQ(Open(path), "");
  EXPECT_STREQ(PrefGet("old"), "\"not\\qescaped\"") << "what is no escaped text is taken as it stands";
}

TEST_F(PrefsTest, AGroupOfChangesIsWrittenOnce) {
  const std::string path = dir("settings.conf");
  Open(path);
  PrefsHold(true);
  PrefSet("recent.1", "/b.tbx");
  PrefsHold(true);
  PrefSet("recent.2", "/a.tbx");
  PrefsHold(false);
  EXPECT_FALSE(Exists(path)) << "held";
  PrefsHold(false);
  EXPECT_EQ(Text(path), "# Tamborix settings: one key=value a line\nrecent.1=/b.tbx\nrecent.2=/a.tbx\n");
}

// The settings file as the program may find it, and what a change then does to it. A file
// with one bad line, too large or binary was replaced with the defaults at start, losing
// everything remembered; through a symbolic link, a notes file was overwritten; and of two
// programs sharing the file, the last writer undid the other's changes. Now the program
// takes what it can read, leaves the file as it is, and writes only what it changed into
// what the file holds when it writes: never into a file it cannot read, nor through a link
// to a file it did not write.
TEST_F(PrefsTest, SettingsFilesAsFound) {
  const std::string ours = "# Tamborix settings: one key=value a line\n";
  const struct {
    const char* what;
    std::string text;      // the file at start (through a link to other/target.conf with `link`)
    bool link;
    std::string says;      // what the start says on stderr ("" nothing)
    const char* midiOut;   // midi.out as read
    std::string other;     // what another program writes meanwhile ("" nothing)
    std::string after;     // the file after midi.in=B is set ("" as it was, with one line saying so)
  } cases[] = {
      {"one bad line", ours + "midi.out=A\njust some words\nsync.x=1\n", false, "is damaged (line 3)", "A", "",
       ours + "midi.out=A\njust some words\nsync.x=1\nmidi.in=B\n"},
      {"a bad key", "midi.out=A\n bad key=1\n", false, "is damaged (line 2)", "A", "",
       "midi.out=A\n bad key=1\nmidi.in=B\n"},
      {"binary", std::string("midi.out=A\0B\n", 13), false, "is not text", nullptr, "", ""},
      {"too large", ours + std::string(70000, '#'), false, "is too large to be one", nullptr, "", ""},
      {"CR LF, comments, blank lines", "# mine\r\n\r\nmidi.out=A\r\nmidi.in=C\r\nempty=\n", false, "", "A", "",
       "# mine\r\n\r\nmidi.out=A\r\nmidi.in=B\nempty=\n"},
      {"a link to notes", "Shopping: milk=2\nmidi.out=A\n", true, "is damaged (line 1)", "A", "", ""},
      {"a link to a file the program wrote", ours + "midi.out=A\n", true, "", "A", "",
       ours + "midi.out=A\nmidi.in=B\n"},
      {"another program's change", ours + "midi.out=A\n", false, "", "A",
       ours + "midi.out=Z\nrecent.1=/theirs.tbx\n", ours + "midi.out=Z\nrecent.1=/theirs.tbx\nmidi.in=B\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir folder;
    const std::string path = folder("settings.conf");
    std::string file = path;
    if (c.link) {
      std::filesystem::create_directory(folder("other"));
      file = folder("other/target.conf");
      std::filesystem::create_symlink(file, path);
    }
    WriteText(file, c.text);
    std::string err = Open(path);
    if (c.says.empty()) {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_NE(err.find(c.says), std::string::npos) << err;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    EXPECT_EQ(PrefGet("midi.out") ? std::string(PrefGet("midi.out")) : "<none>", c.midiOut ? c.midiOut : "<none>");
    EXPECT_EQ(Text(file), c.text) << "the start leaves it as it is";
    if (!c.other.empty()) WriteText(file, c.other);
    const std::string before = Text(file);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(PrefSet("midi.in", "B"));
    EXPECT_TRUE(PrefSet("midi.in", "B"));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Text(file), c.after.empty() ? before : c.after);
    EXPECT_EQ(err.empty() ? 0 : 1, c.after.empty() ? 1 : 0) << err;
    if (c.after.empty()) {
      EXPECT_NE(err.find("changes are not remembered"), std::string::npos) << err;
    }
    EXPECT_STREQ(PrefGet("midi.in"), "B") << "kept in memory all the same";
    if (!c.other.empty()) {
      EXPECT_STREQ(PrefGet("recent.1"), "/theirs.tbx") << "the other program's change is taken in";
    }
    EXPECT_EQ(std::filesystem::is_symlink(path), c.link);
  }
}

TEST_F(PrefsTest, AFileThatCannotBeWrittenIsReportedOnceAndTheValuesStay) {
  WriteText(dir("blocker"), "a file where the folder should be");
  const std::string path = dir("blocker/tamborix/settings.conf");
  EXPECT_EQ(Open(path), "");
  testing::internal::CaptureStderr();
  EXPECT_TRUE(PrefSet("midi.out", "A"));
  EXPECT_TRUE(PrefSet("midi.in", "B"));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_NE(err.find("cannot write the settings file " + path + " (error "), std::string::npos) << err;
  EXPECT_STREQ(PrefGet("midi.out"), "A");
  EXPECT_STREQ(PrefGet("midi.in"), "B");
}

TEST_F(PrefsTest, TheFileLivesUnderTheXdgConfigFolder) {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  const std::string savedXdg = xdg ? xdg : "", savedHome = home ? home : "";
  setenv("XDG_CONFIG_HOME", "/cfg", 1);
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(PrefsDefaultPath(), "/cfg/tamborix/settings.conf");
  setenv("XDG_CONFIG_HOME", "relative", 1);   // a relative one is not taken
  EXPECT_EQ(PrefsDefaultPath(), "/home/u/.config/tamborix/settings.conf");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(PrefsDefaultPath(), "/home/u/.config/tamborix/settings.conf");
  if (xdg) setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
  if (home) setenv("HOME", savedHome.c_str(), 1);
  else unsetenv("HOME");
}

}  // namespace
