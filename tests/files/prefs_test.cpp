// The settings file: values kept across an open (a new run), its folders made on the first
// write, keys and values it cannot hold refused, writes held back while a group changes,
// and files it cannot read or write: the program goes on with the defaults and says so
// once on stderr.
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

TEST_F(PrefsTest, WhatALineCannotHoldIsRefused) {
  Open(dir("settings.conf"));
  for (const char* key : {"", "a b", "a=b", "line\nbreak", "ä"}) EXPECT_FALSE(PrefSet(key, "x")) << key;
  EXPECT_FALSE(PrefSet("recent.1", "/a\nb=c"));
  EXPECT_FALSE(PrefSet("recent.1", "/a\rb"));
  EXPECT_FALSE(Exists(dir("settings.conf"))) << "nothing was written";
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

// Whatever the file holds, the program starts: a damaged file gives the defaults and one
// line on stderr, and is replaced whole at the next change.
TEST_F(PrefsTest, ADamagedFileGivesTheDefaultsAndOneLine) {
  const std::string path = dir("settings.conf");
  const struct {
    std::string text;
    const char* says;
  } cases[] = {
      {"midi.out=A\njust some words\n", "is damaged (line 2)"},
      {"midi.out=A\n bad key=1\n", "is damaged (line 2)"},
      {std::string("midi.out=A\0B\n", 13), "is damaged (line 1)"},
      {std::string(70000, '#'), "is too large to be one"},
  };
  for (const auto& c : cases) {
    WriteText(path, c.text);
    const std::string err = Open(path);
    EXPECT_EQ(PrefGet("midi.out"), nullptr) << c.says;
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_NE(err.find("starting with the defaults"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
  WriteText(path, "# comment\r\n\r\nmidi.out=A\r\nempty=\n");
  EXPECT_EQ(Open(path), "") << "CR LF line ends, blank lines and comments are fine";
  EXPECT_STREQ(PrefGet("midi.out"), "A");
  EXPECT_STREQ(PrefGet("empty"), "");
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
  EXPECT_NE(err.find("cannot write the settings file " + path), std::string::npos) << err;
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
