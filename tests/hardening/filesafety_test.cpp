// Never writing over the wrong file, never hanging on a special one: names too long for the
// 260-character buffers (command line, dialog, playlist entry) are refused, not cut to
// another file's name; creating uses the exact name; the temporary file of a replacement is
// unique and never written through a link; links, FIFOs, devices and folders as targets;
// permissions kept; two writers of one file; FIFOs, sockets and devices read as project
// files or playlists; and a stop that does not wait for ever on a callback held up in the
// file layer.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "files/files.h"
#include "midifile/midifile.h"
#include "playback/playback.h"
#include "tests/hardening/hardening_support.h"

namespace {

using hardening::Bytes;
using hardening::ReadAll;
using hardening::RecordImage;
using hardening::Text;
using hardening::WriteAll;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::vector<std::string> BoxTexts() {
  std::vector<std::string> texts;
  for (const auto& box : tbxtest::MessageBoxes()) texts.push_back(box.text);
  return texts;
}

long MsSince(Clock::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

// A path of exactly `length` characters in the scratch folder: nested folders of 50 'f'
// and a last name of 'v'.
std::string PathOfLength(const hardening::Scratch& dir, size_t length) {
  std::string folder = dir("");
  while (folder.size() + 60 < length) folder += std::string(50, 'f') + "/";
  fs::create_directories(folder);
  return folder + std::string(length - folder.size(), 'v');
}

class FileSafety : public WindowTest {
 protected:
  hardening::Scratch dir;

  void Command(UINT id) { SendMessageA(hwnd, WM_COMMAND, id, 0); }
  void AnswerBoxes(int n) {
    for (int i = 0; i < n; ++i) tbxtest::QueueMessageBoxAnswer(IDOK);
  }
  // Saves the pattern now in memory under a name chosen in the save dialog, as after New
  // (no backup).
  void SaveAs(const std::string& path) {
    gbNewFile = 1;
    tbxtest::QueueFileDialog(path);
    FileSaveAs(hwnd);
  }
  void ExportAs(const std::string& path) {
    tbxtest::QueueFileDialog(path);
    AnswerBoxes(1);
    Command(IDM_SAVEMIDI_GM);
  }
};

// ---------------------------------------------------------------- names too long

// A 266-character name whose first 259 characters name another project: that project was
// loaded, and Ctrl+S wrote over it.
class CutCommandLine : public FileSafety {
 protected:
  std::string victim = PathOfLength(dir, TBX_PATH - 1);
  std::string cmdLine() const override { return victim + ".extra7"; }
};

TEST_F(CutCommandLine, NameWhoseCutPrefixExistsIsRefusedNotLoadedNorOverwritten) {
  ASSERT_EQ(cmdLine().size(), 266u);
  WriteAll(victim, RecordImage(3));
  const Bytes before = hardening::PatternNow();
  AnswerBoxes(2);
  tbxtest::PumpMessages();
  ASSERT_EQ(BoxTexts().size(), 2u);
  EXPECT_EQ(BoxTexts()[0].rfind("CreateFile Error:", 0), 0u);
  const std::string title = cmdLine().substr(cmdLine().rfind('/') + 1);
  EXPECT_EQ(BoxTexts()[1], "File " + title + " is missing or cannot be opended.");
  EXPECT_EQ(hardening::PatternNow(), before);
  EXPECT_EQ(gszFileName[0], '\0');
  tbxtest::QueueFileDialog(std::nullopt);  // Ctrl+S asks for a name: nothing was loaded
  Command(IDM_SAVE);
  EXPECT_EQ(ReadAll(victim), RecordImage(3));
}

TEST_F(FileSafety, DialogNameWhoseCutPrefixExistsIsRefusedAndKeepsTheNames) {
  const std::string victim = PathOfLength(dir, TBX_PATH - 1);
  WriteAll(victim, RecordImage(3));
  WriteAll(dir("a.tbx"), RecordImage(1));
  tbxtest::QueueFileDialog(dir("a.tbx"));
  FileLoad(hwnd, FALSE);
  const Bytes loaded = hardening::PatternNow();
  const std::string title = victim.substr(victim.rfind('/') + 1) + "123456.tbx";

  tbxtest::QueueFileDialog(victim + "123456.tbx");
  AnswerBoxes(1);
  FileLoad(hwnd, FALSE);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"File " + title + " is missing or cannot be opended."});
  EXPECT_EQ(hardening::PatternNow(), loaded);

  tbxtest::ClearMessageBoxes();
  CellTogglePerc(3, 7);
  tbxtest::QueueFileDialog(victim + "123456.tbx");
  AnswerBoxes(1);
  EXPECT_FALSE(FileSaveAs(hwnd));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Cannot write file " + title + " ."});
  EXPECT_EQ(ReadAll(victim), RecordImage(3));
  // The refused dialog wrote nothing into the project's names, so Ctrl+S saves where it was.
  EXPECT_EQ(std::string(gszFileName), dir("a.tbx"));
  EXPECT_EQ(std::string(gszTitleName), "a.tbx");
  Command(IDM_SAVE);
  EXPECT_EQ(ReadAll(dir("a.tbx")), hardening::PatternNow());
}

TEST_F(FileSafety, PlaylistEntryWhoseCutPrefixExistsIsRefusedNotPlayedNorExported) {
  const std::string victim = PathOfLength(dir, TBX_PATH - 1);
  WriteAll(victim, RecordImage(3));
  WriteAll(dir("list.txt"), Text(victim + "xx.tbx\r\n"));
  const Bytes before = hardening::PatternNow();
  tbxtest::QueueFileDialog(dir("list.txt"));
  AnswerBoxes(2);
  Command(IDM_OPENLIST);
  const std::string shown = victim.substr(0, TBX_PATH - 5) + ".../";
  ASSERT_EQ(BoxTexts().size(), 2u);
  EXPECT_EQ(BoxTexts()[1], "File " + shown + " is missing or cannot be opended.");
  EXPECT_EQ(hardening::PatternNow(), before);

  tbxtest::ClearMessageBoxes();
  tbxtest::QueueFileDialog(dir("list.mid"));
  AnswerBoxes(2);
  Command(IDM_SAVELIST_GM);
  EXPECT_FALSE(fs::exists(dir("list.mid")));
  EXPECT_EQ(BoxTexts().back(), "File " + shown + " is missing or cannot be opended.");

  // The export left its title; Ctrl+S then writes to the entry's name, which names no file.
  tbxtest::ClearMessageBoxes();
  AnswerBoxes(1);
  Command(IDM_SAVE);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Cannot write file list.mid ."});
  EXPECT_EQ(ReadAll(victim), RecordImage(3));
}

// ---------------------------------------------------------------- exact names for creating

// `export good.tbx MySong.MID` overwrote mysong.mid, and sub/new.mid landed in Sub/.
TEST_F(FileSafety, CaseDifferingFileIsNeverOverwritten) {
  WriteAll(dir("mysong.mid"), Text("old midi"));
  WriteAll(dir("song.tbx"), RecordImage(5));
  fs::create_directory(dir("Sub"));
  CellTogglePerc(0, 3);
  ExportAs(dir("MySong.MID"));
  EXPECT_EQ(ReadAll(dir("mysong.mid")), Text("old midi"));
  EXPECT_GT(ReadAll(dir("MySong.MID")).size(), 30u);

  tbxtest::ClearMessageBoxes();
  ExportAs(dir("sub/new.mid"));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"MIDI File Open Error!"});
  EXPECT_TRUE(fs::is_empty(dir("Sub")));

  tbxtest::ClearMessageBoxes();
  SaveAs(dir("SONG.TBX"));
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(ReadAll(dir("song.tbx")), RecordImage(5));
  EXPECT_EQ(ReadAll(dir("SONG.TBX")).size(), size_t(TBRO_SIZE));
}

// ---------------------------------------------------------------- the temporary file

// Every save used the one temporary name "<target>~tbx" and followed a link planted there.
TEST_F(FileSafety, LinkPlantedAtTheTemporaryNameIsNeverWrittenThrough) {
  WriteAll(dir("victim"), Text("keep me"));
  WriteAll(dir("a.tbx"), RecordImage(1));
  fs::create_symlink(dir("victim"), dir("a.tbx~tbx"));
  fs::create_symlink(dir("missing"), dir("a.BAK~tbx"));
  tbxtest::QueueFileDialog(dir("a.tbx"));
  FileLoad(hwnd, FALSE);
  CellTogglePerc(1, 9);
  gbNeedSave = 1;
  gbFileChanged = 1;
  Command(IDM_SAVE);
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(ReadAll(dir("victim")), Text("keep me"));
  EXPECT_FALSE(fs::exists(dir("missing")));
  EXPECT_EQ(ReadAll(dir("a.tbx")), hardening::PatternNow());
  EXPECT_EQ(ReadAll(dir("a.BAK")), RecordImage(1));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.BAK", "a.BAK~tbx", "a.tbx", "a.tbx~tbx", "victim"}));
}

// Two writers shared that temporary name: one reported success for bytes that were the
// other's, or a mix of both. Each success now means the writer's whole file is in place;
// a reader never sees anything else.
TEST_F(FileSafety, TwoWritersOfOneFileEachReportTruthfully) {
  const std::string target = dir("shared.mid");
  const Bytes a(20000, 'a'), b(7000, 'b');
  std::atomic<int> failures{0}, torn{0};
  std::atomic<bool> done{false};
  auto writer = [&](const Bytes& bytes) {
    for (int i = 0; i < 200; ++i)
      if (WriteWholeFile(target.c_str(), bytes.data(), static_cast<DWORD>(bytes.size())) != WRITE_OK) ++failures;
  };
  std::thread reader([&] {
    while (!done) {
      Bytes seen = ReadAll(target);
      if (!seen.empty() && seen != a && seen != b) ++torn;
    }
  });
  std::thread first(writer, a), second(writer, b);
  first.join();
  second.join();
  done = true;
  reader.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(torn, 0);
  const Bytes last = ReadAll(target);
  EXPECT_TRUE(last == a || last == b);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"shared.mid"});
}

// Every replacement keeps its guarantees whether the new file has no name until it is in
// place (a file system with unnamed files) or a temporary one (without: vfat, NFS,
// Windows): the exact name, a link's target replaced and the link kept, mode and owner
// kept, special targets refused, a failure or an abandoned write leaving the old file and
// nothing else, a link planted at a temporary name never written through.
TEST_F(FileSafety, EveryReplacementGuaranteeHoldsWithAndWithoutUnnamedFiles) {
  const Bytes data = Text("the new bytes"), old = Text("old");
  const bool root = geteuid() == 0;
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    hardening::Scratch d;
    tbxtest::ClearFaults();
    if (!unnamed) tbxtest::InjectFault(tbxtest::Fault::UnnamedFile, 0, 1 << 30);
    auto write = [&](const std::string& name) { return WriteWholeFile(d(name).c_str(), data.data(), DWORD(data.size())); };

    WriteAll(d("Song.tbx"), old);
    EXPECT_EQ(write("song.tbx"), WRITE_OK) << "a new name, exactly as given";
    EXPECT_EQ(ReadAll(d("Song.tbx")), old);
    struct stat st;
    ASSERT_EQ(stat(d("song.tbx").c_str(), &st), 0);
    const mode_t umask_ = umask(022);
    umask(umask_);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~umask_) << "a new file's permissions";

    WriteAll(d("private.tbx"), old);
    ASSERT_EQ(chmod(d("private.tbx").c_str(), 0640), 0);
    if (root) {
      ASSERT_EQ(chown(d("private.tbx").c_str(), 4321, 4322), 0);
    }
    EXPECT_EQ(write("private.tbx"), WRITE_OK);
    ASSERT_EQ(stat(d("private.tbx").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(!root || (st.st_uid == 4321u && st.st_gid == 4322u));

    fs::create_directory(d("real"));
    WriteAll(d("real/target.tbx"), old);
    fs::create_symlink(d("real/target.tbx"), d("link.tbx"));
    fs::create_symlink(d("real/new.tbx"), d("dangling.tbx"));
    EXPECT_EQ(write("link.tbx"), WRITE_OK);
    EXPECT_EQ(write("dangling.tbx"), WRITE_OK);
    EXPECT_TRUE(fs::is_symlink(d("link.tbx")) && fs::is_symlink(d("dangling.tbx")));
    EXPECT_EQ(ReadAll(d("real/target.tbx")), data);
    EXPECT_EQ(ReadAll(d("real/new.tbx")), data);

    ASSERT_EQ(mkfifo(d("fifo.tbx").c_str(), 0644), 0);
    fs::create_directory(d("folder.tbx"));
    fs::create_symlink("/dev/null", d("null.tbx"));
    for (const char* name : {"fifo.tbx", "folder.tbx", "null.tbx"}) EXPECT_NE(write(name), WRITE_OK) << name;

    for (tbxtest::Fault fault : {tbxtest::Fault::FileWrite, tbxtest::Fault::FileRename}) {
      WriteAll(d("kept.tbx"), old);
      tbxtest::InjectFault(fault);
      EXPECT_EQ(write("kept.tbx"), WRITE_FAILED);
      EXPECT_EQ(ReadAll(d("kept.tbx")), old);
    }
    FileReplace fr;
    ASSERT_EQ(FileReplaceBegin(&fr, d("kept.tbx").c_str()), WRITE_OK);
    EXPECT_EQ(fr.temp.empty(), unnamed);
    FileReplaceWrite(&fr, data.data(), DWORD(data.size()));
    EXPECT_EQ(FileReplaceEnd(&fr, d("kept.tbx").c_str(), FALSE), WRITE_FAILED) << "abandoned";
    EXPECT_EQ(ReadAll(d("kept.tbx")), old);

    // Links at every name a temporary file of this process could take.
    WriteAll(d("victim"), old);
    for (unsigned i = 0; i < 4; i++) {
      char name[40];
      std::snprintf(name, sizeof name, ".~tbx%08x%02x.lnk", unsigned(getpid()), i);
      fs::create_symlink(d("victim"), d(name));
    }
    EXPECT_EQ(write("kept.tbx"), WRITE_OK);
    EXPECT_EQ(ReadAll(d("victim")), old);
    EXPECT_EQ(ReadAll(d("kept.tbx")), data);
    std::vector<std::string> names = d.Names();
    const auto planted = [](const std::string& n) { return n.rfind(".~tbx", 0) == 0 && n.find(".lnk") != n.npos; };
    names.erase(std::remove_if(names.begin(), names.end(), planted), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Song.tbx", "dangling.tbx", "fifo.tbx", "folder.tbx", "kept.tbx",
                                               "link.tbx", "null.tbx", "private.tbx", "real", "song.tbx", "victim"}))
        << "nothing else is left";
  }
  tbxtest::ClearFaults();
}

// ---------------------------------------------------------------- what the target is

// A link as the target replaces the file it names and stays a link; a FIFO, a device and
// a folder are refused with the write-error message of each writer, and stay what they
// were (a FIFO without a reader blocked the save for ever).
TEST_F(FileSafety, LinkFifoDeviceAndFolderTargets) {
  WriteAll(dir("real.tbx"), Text("old"));
  fs::create_symlink(dir("real.tbx"), dir("link.tbx"));
  ASSERT_EQ(mkfifo(dir("fifo.tbx").c_str(), 0644), 0);
  fs::create_symlink("/dev/null", dir("null.tbx"));
  fs::create_directory(dir("folder.tbx"));

  SaveAs(dir("link.tbx"));
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_TRUE(fs::is_symlink(dir("link.tbx")));
  EXPECT_EQ(ReadAll(dir("real.tbx")), hardening::PatternNow());

  for (const char* name : {"fifo.tbx", "null.tbx", "folder.tbx"}) {
    SCOPED_TRACE(name);
    tbxtest::ClearMessageBoxes();
    AnswerBoxes(1);
    SaveAs(dir(name));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{std::string("Cannot write file ") + name + " ."});
    tbxtest::ClearMessageBoxes();
    ExportAs(dir(name));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"MIDI File Open Error!"});
  }
  EXPECT_EQ(fs::status(dir("fifo.tbx")).type(), fs::file_type::fifo);
  EXPECT_TRUE(fs::is_symlink(dir("null.tbx")));
  EXPECT_TRUE(fs::is_empty(dir("folder.tbx")));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"fifo.tbx", "folder.tbx", "link.tbx", "null.tbx", "real.tbx"}));
}

// A save gave the file the process's default permissions: a private 0600 file became
// readable by everyone. A file nobody may write is not replaced at all.
TEST_F(FileSafety, ReplacedFileKeepsItsModeAndOwner) {
  const struct {
    const char* name;
    mode_t mode;
  } cases[] = {{"private.tbx", 0600}, {"group.tbx", 0640}, {"script.tbx", 0755}};
  const bool root = geteuid() == 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteAll(dir(c.name), RecordImage(1));
    ASSERT_EQ(chmod(dir(c.name).c_str(), c.mode), 0);
    if (root) {
      ASSERT_EQ(chown(dir(c.name).c_str(), 4321, 4322), 0);
    }
    SaveAs(dir(c.name));
    EXPECT_TRUE(BoxTexts().empty());
    struct stat st;
    ASSERT_EQ(stat(dir(c.name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    if (root) {
      EXPECT_EQ(st.st_uid, 4321u);
      EXPECT_EQ(st.st_gid, 4322u);
    }
    EXPECT_EQ(ReadAll(dir(c.name)), hardening::PatternNow());
  }
  WriteAll(dir("readonly.tbx"), RecordImage(1));
  ASSERT_EQ(chmod(dir("readonly.tbx").c_str(), 0444), 0);
  AnswerBoxes(1);
  SaveAs(dir("readonly.tbx"));
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Cannot write file readonly.tbx ."});
  EXPECT_EQ(ReadAll(dir("readonly.tbx")), RecordImage(1));
}

// ---------------------------------------------------------------- reading special files

// A FIFO as a project file or playlist blocked the program for ever (the timer thread too,
// for a playlist entry); a device was read as data.
TEST_F(FileSafety, FifoSocketAndDeviceReadAsUnreadableAtOnce) {
  ASSERT_EQ(mkfifo(dir("fifo.tbx").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo(dir("fifo.txt").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", dir("zero.tbx"));
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sockPath = dir("sock.tbx");
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size() + 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  const Bytes before = hardening::PatternNow();
  for (const char* name : {"fifo.tbx", "zero.tbx", "sock.tbx"}) {
    SCOPED_TRACE(name);
    tbxtest::ClearMessageBoxes();
    const auto t0 = Clock::now();
    tbxtest::QueueFileDialog(dir(name));
    AnswerBoxes(1);
    FileLoad(hwnd, FALSE);
    EXPECT_LT(MsSince(t0), 1000);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{std::string("File ") + name + " is unreadable."});
    EXPECT_EQ(hardening::PatternNow(), before);
  }
  tbxtest::ClearMessageBoxes();
  EXPECT_EQ(PlayListRead(dir("fifo.txt").c_str()), gszErrorCannotRead);
  close(sock);
}

// ---------------------------------------------------------------- a stop that cannot hang

class StopWait : public FileSafety {
 protected:
  void SetUp() override {
    FileSafety::SetUp();
    tbxtest::PumpMessages();
    tbxtest::UseManualClock(false);
  }
  void TearDown() override {
    tbxtest::ReleaseFileStall();
    TambroEndSequence();
    WindowTest::TearDown();
  }
  // Pumps the window's queue until cond holds or `ms` have passed.
  template <class Cond>
  bool WaitFor(Cond cond, int ms = 3000) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
      if (Clock::now() > end) return false;
      tbxtest::PumpMessages();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  // Opens a list of a two-step first entry at 506 BPM and the given second entry.
  void OpenList(const std::string& second) {
    Bytes first = RecordImage(1, 2);
    first[6] = 118;  // MsecPerBeat 118: 506 BPM
    first[7] = 0;
    WriteAll(dir("a.tbx"), first);
    WriteAll(dir("list.txt"), Text(dir("a.tbx") + "\r\n" + second + "\r\n"));
    tbxtest::QueueFileDialog(dir("list.txt"));
    Command(IDM_OPENLIST);
    ASSERT_TRUE(BoxTexts().empty());
  }
};

// The playing list reaches a FIFO entry: its box comes at once, the run ends, and Stop
// answers within a second (the timer thread blocked on the FIFO, and Stop waited for it).
TEST_F(StopWait, FifoEntryInAPlayingListThenStopAnswersWithinASecond) {
  ASSERT_EQ(mkfifo(dir("fifo.tbx").c_str(), 0644), 0);
  OpenList(dir("fifo.tbx"));
  AnswerBoxes(1);
  const auto t0 = Clock::now();
  Command(IDM_PLAYALL);
  ASSERT_TRUE(WaitFor([] { return !tbxtest::MessageBoxes().empty(); }));
  const auto t1 = Clock::now();
  Command(IDM_STOP);
  EXPECT_LT(MsSince(t1), 1000);
  EXPECT_LT(MsSince(t0), 2000);
  EXPECT_EQ(BoxTexts(), std::vector<std::string>{"File " + dir("fifo.tbx") + " is unreadable."});
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_TRUE(WaitFor([] { return tbxtest::OpenMidiOutputs() == 0; }));
}

// A callback held up in the file layer (a read on a dead mount) froze the window at Stop.
// Now the stop gives the run up after a bounded wait: the window goes on (another run
// starts and stops at once), and when the read returns at last the callback closes the
// run's devices and changes nothing else (the entry it read is not taken, no box).
TEST_F(StopWait, CallbackHeldUpInTheFileLayerIsAbandonedAndChangesNothing) {
  WriteAll(dir("b.tbx"), RecordImage(2, 2));
  OpenList(dir("b.tbx"));
  const Bytes first = hardening::PatternNow();
  tbxtest::InjectFault(tbxtest::Fault::FileReadStall);
  Command(IDM_PLAYALL);
  ASSERT_TRUE(WaitFor([] { return tbxtest::StalledFileReads() == 1; }));

  auto t0 = Clock::now();
  Command(IDM_STOP);
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 1) << "the held-up callback still owns the run's output";

  Command(IDM_LOOP);  // the window goes on: a new run starts (its clock waits) and stops
  EXPECT_TRUE(gbSequenceGoing);
  t0 = Clock::now();
  Command(IDM_STOP);
  EXPECT_LT(MsSince(t0), 1000);
  EXPECT_FALSE(gbSequenceGoing);

  tbxtest::ReleaseFileStall();
  EXPECT_TRUE(WaitFor([] { return tbxtest::OpenMidiOutputs() == 0 && tbxtest::StalledFileReads() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  tbxtest::PumpMessages();
  EXPECT_TRUE(BoxTexts().empty());
  EXPECT_EQ(hardening::PatternNow(), first);
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_EQ(tbxtest::OpenMidiOutputs(), 0);
}

}  // namespace
