// The program under a session manager, on the headless display: a manager in the test
// (liblo, on its own thread) answers the announce, opens projects, asks for saves and
// reads every answer and notice; the window handles them as the program does. Without
// liblo the cases skip.
#include <csignal>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "files/files.h"
#include "files/prefs.h"
#include "pattern/pattern.h"
#include "platform/midi/midi_internal.h"
#include "playback/playback.h"
#include "tests/files/scratch.h"
#include "tests/support.h"
#include "view/view.h"

#if TBX_HAVE_LIBLO
#include <lo/lo.h>

namespace {

// What the manager does with an announce.
enum class Answer { Take, Refuse, Silent };

// A session manager of the test's own: records what the program sends ("path arg arg..."),
// takes the program's address from its announce and answers it as `answer` says, sending
// `open` (path, client id) right after a reply, as nsmd does.
class Manager {
 public:
  explicit Manager(Answer answer) : answer_(answer) {
    thread_ = lo_server_thread_new_with_proto(nullptr, LO_UDP, nullptr);
    lo_server_thread_add_method(thread_, nullptr, nullptr, Receive, this);
    lo_server_thread_start(thread_);
    char* url = lo_server_thread_get_url(thread_);
    url_ = url;
    free(url);
  }
  ~Manager() {
    lo_server_thread_free(thread_);
    if (client_) lo_address_free(client_);
  }
  const std::string& url() const { return url_; }
  void OpenFirst(const std::string& path, const std::string& id) {
    std::lock_guard<std::mutex> lock(mu_);
    openPath_ = path;
    openId_ = id;
  }
  // Sends a request without arguments, or an open (from the test's thread and from the
  // server's: one at a time).
  void Send(const char* path) {
    std::lock_guard<std::mutex> lock(mu_);
    lo_send_from(client_, Server(), LO_TT_IMMEDIATE, path, "");
  }
  void Open(const std::string& path, const std::string& id) {
    std::lock_guard<std::mutex> lock(mu_);
    OpenLocked(path, id);
  }
  // Pumps the window until a message starting with `text` came (after index `since`);
  // false after 5 s.
  bool Await(const std::string& text, size_t since = 0) {
    for (int i = 0; i < 500; i++) {
      tbxtest::PumpMessages();
      {
        std::lock_guard<std::mutex> lock(mu_);
        for (size_t k = since; k < inbox_.size(); k++)
          if (inbox_[k].compare(0, text.size(), text) == 0) return true;
      }
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::milliseconds(10));
    }
    return false;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mu_);
    return inbox_.size();
  }
  std::vector<std::string> Inbox() {
    std::lock_guard<std::mutex> lock(mu_);
    return inbox_;
  }

 private:
  lo_server Server() { return lo_server_thread_get_server(thread_); }
  void OpenLocked(const std::string& path, const std::string& id) {
    lo_send_from(client_, Server(), LO_TT_IMMEDIATE, "/nsm/client/open", "sss", path.c_str(), "Tamborix", id.c_str());
  }
  static int Receive(const char* path, const char* types, lo_arg** argv, int argc, lo_message msg, void* self) {
    Manager* m = static_cast<Manager*>(self);
    std::string line = path;
    for (int i = 0; i < argc; i++) {
      line += ' ';
      // arguments sit at 4-byte offsets: read as bytes, not through the 8-byte union
      const char* raw = reinterpret_cast<const char*>(argv[i]);
      int32_t n;
      if (types[i] == LO_STRING) line += raw;
      else if (types[i] == LO_INT32) line += std::to_string((std::memcpy(&n, raw, 4), n));
    }
    std::unique_lock<std::mutex> lock(m->mu_);
    m->inbox_.push_back(line);
    m->cv_.notify_all();
    if (std::string(path) != "/nsm/server/announce") return 0;
    char* from = lo_address_get_url(lo_message_get_source(msg));
    m->client_ = lo_address_new_from_url(from);
    free(from);
    lo_server s = m->Server();
    if (m->answer_ == Answer::Refuse)
      lo_send_from(m->client_, s, LO_TT_IMMEDIATE, "/error", "sis", "/nsm/server/announce", -3, "blacklisted");
    if (m->answer_ != Answer::Take) return 0;
    lo_send_from(m->client_, s, LO_TT_IMMEDIATE, "/reply", "ssss", "/nsm/server/announce", "Welcome", "Test", "");
    if (!m->openPath_.empty()) m->OpenLocked(m->openPath_, m->openId_);
    return 0;
  }

  Answer answer_;
  lo_server_thread thread_;
  std::string url_;
  lo_address client_ = nullptr;
  std::string openPath_, openId_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> inbox_;
};

bool SigtermIsDefault() {
  struct sigaction sa;
  sigaction(SIGTERM, nullptr, &sa);
  return sa.sa_handler == SIG_DFL;
}

// Without NSM_URL, with one that names no manager, and with a manager that refuses or
// does not answer, the program goes on as without a session, SIGTERM left to the system.
TEST(SessionStart, GoesOnWithoutASession) {
  struct Case {
    const char* name;
    const char* url;        // nullptr: the manager's
    Answer answer;
    bool announces;         // the manager hears an announce
  } cases[] = {
      {"no NSM_URL", "", Answer::Take, false},
      {"not a URL", "localhost:1234", Answer::Take, false},
      {"OSC over TCP", "osc.tcp://localhost:1234/", Answer::Take, false},
      {"refused", nullptr, Answer::Refuse, true},
      {"no answer within 5 s", nullptr, Answer::Silent, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Manager manager(c.answer);
    setenv("NSM_URL", c.url ? c.url : manager.url().c_str(), 1);
    EXPECT_FALSE(SessionBegin());
    EXPECT_FALSE(SessionActive());
    EXPECT_TRUE(SigtermIsDefault());
    EXPECT_EQ(manager.Count() == 1, c.announces);
    unsetenv("NSM_URL");
    SessionEnd();
  }
}

// A window made under a session, as WinMain makes it: the announce taken, the first project
// (the folder `project`) opened once the window stands.
class SessionTest : public StateTest {
 protected:
  void TearDown() override {
    if (hwnd && IsWindow(hwnd)) DestroyWindow(hwnd);
    tbxtest::PumpMessages();
    SessionEnd();
    unsetenv("NSM_URL");
    StateTest::TearDown();
  }
  void Start() {
    manager.OpenFirst(dir("Tamborix.nA"), "nA");
    setenv("NSM_URL", manager.url().c_str(), 1);
    ASSERT_TRUE(SessionBegin());
    hwnd = CreateMainWindow(nullptr, "", SW_HIDE, "");
    ASSERT_NE(hwnd, nullptr);
    SessionWindowReady(hwnd);
  }
  std::string Caption() {
    char text[300] = "";
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
  }
  void Edit() { SendMessageA(hwnd, WM_LBUTTONDOWN, 0, MAKELPARAM(CellRect(10, 20).left + 2, CellRect(10, 20).top + 2)); }

  ScratchDir dir;
  Manager manager{Answer::Take};
  HWND hwnd = nullptr;
};

TEST_F(SessionTest, OpensAnExistingProject) {
  std::filesystem::create_directory(dir("Tamborix.nA"));
  WriteAll(dir("Tamborix.nA/pattern.tbx"), RecordBytes(SampleRecord()));
  WriteText(dir("Tamborix.nA/settings.conf"), "gui.visible=1\nsync.send-clock=1\n");
  Start();
  ASSERT_TRUE(manager.Await("/reply /nsm/client/open Loaded"));
  EXPECT_EQ(gTbro.PercL[5], SampleRecord().PercL[5]) << "the pattern is the folder's";
  EXPECT_EQ(gPercCh, 15) << "with its channels";
  EXPECT_EQ(SyncGet(SYNC_SEND_CLOCK), 1) << "the sync items are the project's";
  EXPECT_TRUE(IsWindowVisible(hwnd)) << "shown, as the project was saved";
  EXPECT_EQ(Caption(), "Tamborix - pattern.tbx");
  EXPECT_EQ(PortsName(), "nA");
  for (UINT id : {IDM_LOAD, IDM_LOADMIDI, IDM_SAVEAS, IDM_OPENLIST}) EXPECT_TRUE(MenuGrayed(id)) << id;
  for (UINT id : {IDM_NEW, IDM_SAVE, IDM_SAVEMIDI_GM, IDM_IMPORTMIDI}) EXPECT_FALSE(MenuGrayed(id)) << id;
  const std::vector<std::string> inbox = manager.Inbox();
  EXPECT_NE(std::find(inbox.begin(), inbox.end(), "/nsm/client/gui_is_shown"), inbox.end());
  EXPECT_NE(std::find(inbox.begin(), inbox.end(), "/nsm/client/is_clean"), inbox.end());
}

// No MIDI input and a damaged project file: no box at the start, an error for the manager,
// an empty pattern.
class SessionNoMidiInTest : public SessionTest {
 protected:
  std::vector<std::string> inputs() const override { return {}; }
};

TEST_F(SessionNoMidiInTest, DamagedProjectOpensEmptyWithoutABox) {
  std::filesystem::create_directory(dir("Tamborix.nA"));
  WriteText(dir("Tamborix.nA/pattern.tbx"), "not a pattern");
  gTbro.PercL[3] = 7;
  Start();
  ASSERT_TRUE(manager.Await("/error /nsm/client/open -9"));
  EXPECT_EQ(gTbro.PercL[3], 0u);
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
  EXPECT_FALSE(IsWindowVisible(hwnd)) << "a folder without settings starts hidden";
}

TEST_F(SessionTest, DirtyCleanSaveAndClose) {
  Start();
  ASSERT_TRUE(manager.Await("/reply /nsm/client/open Created"));
  EXPECT_FALSE(IsWindowVisible(hwnd)) << "a new project starts hidden";
  EXPECT_TRUE(manager.Await("/nsm/client/gui_is_hidden"));

  size_t since = manager.Count();
  Edit();
  EXPECT_TRUE(manager.Await("/nsm/client/is_dirty", since));
  EXPECT_EQ(Caption(), "Tamborix - pattern.tbx *");

  since = manager.Count();
  SendMessageA(hwnd, WM_COMMAND, IDM_SAVE, 0);   // Ctrl+S saves into the project, unasked
  EXPECT_TRUE(manager.Await("/nsm/client/is_clean", since));
  EXPECT_EQ(Caption(), "Tamborix - pattern.tbx");
  EXPECT_EQ(ReadAll(dir("Tamborix.nA/pattern.tbx")).size(), 3540u);
  EXPECT_TRUE(Exists(dir("Tamborix.nA/settings.conf")));
  const std::vector<std::string> inbox = manager.Inbox();
  EXPECT_EQ(std::count(inbox.begin() + (long)since, inbox.end(), "/reply /nsm/client/save Saved"), 0) << "nobody asked";

  // A save that cannot write is the manager's error, without a box.
  Edit();
  tbxtest::InjectFault(tbxtest::Fault::FileCreate, 0, 100);
  since = manager.Count();
  manager.Send("/nsm/client/save");
  EXPECT_TRUE(manager.Await("/error /nsm/client/save -99", since));
  tbxtest::ClearFaults();
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());
  EXPECT_EQ(Caption(), "Tamborix - pattern.tbx *");

  since = manager.Count();
  manager.Send("/nsm/client/save");
  EXPECT_TRUE(manager.Await("/reply /nsm/client/save Saved", since));

  // Closing hides; show and hide come and go; Open PlayList and the loads are refused.
  manager.Send("/nsm/client/show_optional_gui");
  ASSERT_TRUE(manager.Await("/nsm/client/gui_is_shown"));
  EXPECT_TRUE(IsWindowVisible(hwnd));
  since = manager.Count();
  SendMessageA(hwnd, WM_COMMAND, IDM_QUIT, 0);
  EXPECT_TRUE(IsWindow(hwnd));
  EXPECT_FALSE(IsWindowVisible(hwnd));
  EXPECT_TRUE(manager.Await("/nsm/client/gui_is_hidden", since));
  SendMessageA(hwnd, WM_COMMAND, IDM_OPENLIST, 0);   // would show a dialog: none is scripted
  SendMessageA(hwnd, WM_COMMAND, IDM_LOAD, 0);
  SendMessageA(hwnd, WM_COMMAND, IDM_PLAYALL, 0);    // "first load playlist !": hidden, no box
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());

  // New empties the pattern: the project's file still holds the old one.
  since = manager.Count();
  SendMessageA(hwnd, WM_COMMAND, IDM_NEW, 0);
  EXPECT_TRUE(manager.Await("/nsm/client/is_dirty", since));
  EXPECT_EQ(Caption(), "Tamborix - pattern.tbx *") << "the pattern is still the project's";
}

// A switch stops the run, drops the pattern without a question and names the clients anew;
// switching back loads what was saved.
TEST_F(SessionTest, SwitchAndBack) {
  Start();
  ASSERT_TRUE(manager.Await("/reply /nsm/client/open Created"));
  Edit();
  manager.Send("/nsm/client/save");
  ASSERT_TRUE(manager.Await("/reply /nsm/client/save"));
  const Bytes saved = ReadAll(dir("Tamborix.nA/pattern.tbx"));
  Edit();   // unsaved: dropped by the switch
  SendMessageA(hwnd, WM_COMMAND, IDM_LOOP, 0);
  ASSERT_TRUE(gbSequenceGoing);

  size_t since = manager.Count();
  manager.Open(dir("Tamborix.nB"), "nB");
  ASSERT_TRUE(manager.Await("/reply /nsm/client/open Created", since));
  EXPECT_FALSE(gbSequenceGoing);
  EXPECT_EQ(PortsName(), "nB");
  EXPECT_EQ(gTbro.PercL[10], 0u) << "the new project's pattern is empty";
  EXPECT_TRUE(tbxtest::MessageBoxes().empty());

  since = manager.Count();
  manager.Open(dir("Tamborix.nA"), "nA");
  ASSERT_TRUE(manager.Await("/reply /nsm/client/open Loaded", since));
  EXPECT_EQ(PortsName(), "nA");
  EXPECT_TRUE(manager.Await("/nsm/client/is_clean", since));
  SendMessageA(hwnd, WM_COMMAND, IDM_SAVE, 0);
  EXPECT_EQ(ReadAll(dir("Tamborix.nA/pattern.tbx")), saved) << "the saved pattern came back";
}

}  // namespace

#else

TEST(SessionStart, GoesOnWithoutASession) { GTEST_SKIP() << "built without liblo"; }

#endif
