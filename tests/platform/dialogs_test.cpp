// Modal dialogs built from the resource templates, message boxes and file dialogs: what
// the program's dialog procedures and file routines rely on, and how the scripted headless
// display treats a box nobody scripted.
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>

#include "base/config.h"
#include "platform/display.h"
#include "tests/platform/platform_support.h"

namespace {

std::vector<SeenMessage> gDlgSeen;  // messages the test dialog procedure got
INT_PTR gCancelAnswer = FALSE;      // what it answers to IDCANCEL (FALSE: ignored, like AboutProc)

INT_PTR CALLBACK TestDlgProc(HWND dlg, UINT msg, WPARAM w, LPARAM l) {
  gDlgSeen.push_back(SeenMessage{dlg, msg, w, l});
  if (msg == WM_INITDIALOG) return TRUE;
  if (msg == WM_COMMAND && LOWORD(w) == IDOK) return EndDialog(dlg, 77);
  if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL && gCancelAnswer) return EndDialog(dlg, IDCANCEL);
  return FALSE;
}

struct ChildSeen {
  std::string cls, text;
  int id;
  RECT rect;
  DWORD style;
};

std::vector<ChildSeen> Children(HWND dlg) {
  std::vector<ChildSeen> v;
  for (HWND c : CoreChildWindows(dlg)) {
    WindowInfo info;
    CoreWindowInfo(c, &info);
    v.push_back(ChildSeen{info.className, info.text, info.id, info.rect, info.style});
  }
  return v;
}

}  // namespace

class DialogTemplates : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gDlgSeen.clear();
    gCancelAnswer = FALSE;
  }
};

TEST_F(DialogTemplates, AboutBoxIsBuiltFromItsTemplateAndEndsWithItsResult) {
  HWND owner = MakeWindow();
  std::vector<ChildSeen> kids;
  WindowInfo dlgInfo{};
  bool ownerEnabled = true;
  tbxtest::QueueDialog([&](HWND dlg) {
    kids = Children(dlg);
    CoreWindowInfo(dlg, &dlgInfo);
    ownerEnabled = IsWindowEnabled(owner);
    SendMessageA(dlg, WM_COMMAND, IDOK, 0);
  });
  EXPECT_EQ(DialogBoxParamA(nullptr, "AboutBox", owner, TestDlgProc, 5), 77);
  EXPECT_FALSE(ownerEnabled);  // modal: the owner is disabled while it is up
  EXPECT_TRUE(IsWindowEnabled(owner));
  ASSERT_FALSE(gDlgSeen.empty());
  EXPECT_EQ(gDlgSeen[0].message, static_cast<UINT>(WM_INITDIALOG));
  EXPECT_EQ(gDlgSeen[0].lParam, 5);
  ASSERT_EQ(tbxtest::Dialogs().size(), 1u);
  EXPECT_EQ(tbxtest::Dialogs()[0].templateName, "ABOUTBOX");
  EXPECT_EQ(tbxtest::Dialogs()[0].result, 77);

  // One dialog unit is 2 pixels each way; the template places the window relative to the
  // owner's client area.
  EXPECT_EQ(dlgInfo.text, "About");
  EXPECT_EQ(dlgInfo.clientSize.cx, 203 * 2);
  EXPECT_EQ(dlgInfo.clientSize.cy, 289 * 2);
  POINT origin = tbxtest::ClientOrigin(owner);
  EXPECT_EQ(dlgInfo.rect.left, origin.x + 320 * 2);
  EXPECT_EQ(dlgInfo.rect.top, origin.y - 28 * 2);
  ASSERT_EQ(kids.size(), 4u + 1 + 23 + 1);  // icon, 3 lines, frame, 23 help lines, OK
  EXPECT_EQ(kids[0].text, "TAMBORIX");
  EXPECT_EQ(kids[0].rect.left, 40);
  EXPECT_EQ(kids[0].rect.right - kids[0].rect.left, 32);  // an icon control takes its icon's size
  EXPECT_EQ(kids[1].text, "Tamborix144: 144-step MIDI sequencer");
  EXPECT_EQ(kids[4].style & 0x1F, static_cast<DWORD>(SS_BLACKFRAME));
  EXPECT_EQ(kids[4].rect.left, 20);
  EXPECT_EQ(kids[4].rect.bottom, (34 + 236) * 2);
  EXPECT_EQ(kids[5].text, "Navigation with MOUSE and/or CURSOR KEYS");
  EXPECT_EQ(kids[22].text, "'3':Minor\t\t\t'4':Major ");
  EXPECT_EQ(kids[22].rect.left, 48);
  EXPECT_EQ(kids[22].rect.top, 416);
  EXPECT_EQ(kids.back().cls, "button");
  EXPECT_EQ(kids.back().id, IDOK);
  EXPECT_EQ(kids.back().style & 0xF, static_cast<DWORD>(BS_DEFPUSHBUTTON));
  EXPECT_EQ(kids.back().rect.left, 284);
  EXPECT_EQ(kids[27].text, "Ctrl+Z:Undo any change  Ctrl+Y, Ctrl+Shift+Z:Redo");
  EXPECT_EQ(kids.back().rect.top, 546);
}

// Each program opens its own About box: the same body, its own title, and the 72-step
// program's further left under its narrower window.
TEST_F(DialogTemplates, EachProgramHasItsAboutBox) {
  const struct {
    const char* name;
    int x;
    const char* title;
  } boxes[] = {{"AboutBox", 320, "Tamborix144: 144-step MIDI sequencer"},
               {"AboutBox128", 320, "Tamborix128: 128-step MIDI sequencer"},
               {"AboutBox96", 320, "Tamborix96: 96-step MIDI sequencer"},
               {"AboutBox72", 250, "Tamborix72: 72-step MIDI sequencer"}};
  HWND owner = MakeWindow();
  const POINT origin = tbxtest::ClientOrigin(owner);
  for (const auto& box : boxes) {
    SCOPED_TRACE(box.name);
    std::vector<ChildSeen> kids;
    WindowInfo dlgInfo{};
    tbxtest::QueueDialog([&](HWND dlg) {
      kids = Children(dlg);
      CoreWindowInfo(dlg, &dlgInfo);
      SendMessageA(dlg, WM_COMMAND, IDOK, 0);
    });
    EXPECT_EQ(DialogBoxParamA(nullptr, box.name, owner, TestDlgProc, 0), 77);
    EXPECT_EQ(dlgInfo.rect.left, origin.x + box.x * 2);
    ASSERT_EQ(kids.size(), 29u);
    EXPECT_EQ(kids[1].text, box.title);
    EXPECT_EQ(kids[5].text, "Navigation with MOUSE and/or CURSOR KEYS");
  }
}

TEST_F(DialogTemplates, ItemCallsAndDialogKeysReachTheProcedure) {
  HWND owner = MakeWindow();
  char text[4];
  tbxtest::QueueDialog([&](HWND dlg) {
    HWND edit = GetDlgItem(dlg, 42000);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(GetFocus(), edit);  // WM_INITDIALOG answered TRUE: focus on the first tab stop
    RECT r;
    GetClientRect(edit, &r);
    EXPECT_EQ(r.right, 48);
    EXPECT_EQ(r.bottom, 24);
    SetDlgItemTextA(dlg, 42000, "128");
    EXPECT_EQ(GetDlgItemTextA(dlg, 42000, text, sizeof text), 3u);
    tbxtest::PostInput(edit, WM_KEYDOWN, VK_ESCAPE, 0);  // ignored by the procedure: stays open
    tbxtest::PostInput(edit, WM_KEYDOWN, VK_RETURN, 0);  // the default button, "Ok"
  });
  EXPECT_EQ(DialogBoxParamA(nullptr, "OTHERSDLGBOX", owner, TestDlgProc, 0), 77);
  EXPECT_STREQ(text, "128");
  int cancels = 0;
  for (auto& m : gDlgSeen) cancels += m.message == WM_COMMAND && LOWORD(m.wParam) == IDCANCEL;
  EXPECT_EQ(cancels, 1);
  EXPECT_EQ(DialogBoxParamA(nullptr, "NOSUCHBOX", owner, TestDlgProc, 0), -1);
}

TEST_F(DialogTemplates, AnUnscriptedDialogIsReportedAndCancelled) {
  expectUnexpected = true;
  HWND owner = MakeWindow();
  gCancelAnswer = TRUE;
  EXPECT_EQ(DialogBoxParamA(nullptr, "OTHERSDLGBOX", owner, TestDlgProc, 0), IDCANCEL);
  ASSERT_EQ(unexpected.size(), 1u);
  gCancelAnswer = FALSE;  // a procedure that ignores Cancel is ended all the same
  tbxtest::QueueDialog([](HWND) {});
  EXPECT_EQ(DialogBoxParamA(nullptr, "ABOUTBOX", owner, TestDlgProc, 0), IDCANCEL);
  EXPECT_EQ(unexpected.size(), 2u);
  EXPECT_TRUE(IsWindowEnabled(owner));
}

/* ---------------------------------------------------------------- boxes and file dialogs */

using ScriptedBoxes = PlatformTest;

TEST_F(ScriptedBoxes, UnscriptedBoxesGetTheAnswerOfEscapeAndAReport) {
  expectUnexpected = true;
  HWND h = MakeWindow();
  EXPECT_EQ(MessageBoxA(h, "no MIDI IN detected!", "Tamborix", MB_ICONHAND), IDOK);
  EXPECT_EQ(MessageBoxA(h, "Save changes of x ?", "Tamborix", MB_YESNOCANCEL | MB_ICONQUESTION), IDCANCEL);
  EXPECT_EQ(MessageBoxA(h, "Save changes of x ?", "Tamborix", MB_YESNO), IDNO);
  EXPECT_EQ(unexpected.size(), 3u);
  tbxtest::QueueMessageBoxAnswer(IDYES);  // a Yes for an OK box is a script error
  EXPECT_EQ(MessageBoxA(h, "MIDI File Open Error!", nullptr, MB_ICONEXCLAMATION), IDYES);
  EXPECT_EQ(unexpected.size(), 4u);
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 4u);
  EXPECT_EQ(tbxtest::MessageBoxes()[3].caption, "Error");  // a NULL caption, as Windows shows it
  MessageBeep(MB_ICONEXCLAMATION);
  ASSERT_EQ(tbxtest::Beeps().size(), 1u);
}

TEST_F(ScriptedBoxes, FileDialogsFillTheBuffersWithinTheirSizes) {
  HWND h = MakeWindow();
  char file[TBX_PATH] = "C:\\songs\\beat", title[TBX_PATH] = "";
  OPENFILENAMEA ofn{};
  ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  ofn.hwndOwner = h;
  ofn.lpstrFilter = "MIDI Files (*.MID)\0*.mid\0";
  ofn.lpstrFile = file;
  ofn.nMaxFile = TBX_PATH;
  ofn.lpstrFileTitle = title;
  ofn.nMaxFileTitle = TBX_PATH;
  ofn.lpstrDefExt = "mid";
  ofn.Flags = OFN_OVERWRITEPROMPT;
  tbxtest::QueueFileDialog(std::string("out\\sub/beat_1.mid"));
  ASSERT_TRUE(GetSaveFileNameA(&ofn));
  EXPECT_STREQ(file, "out\\sub/beat_1.mid");
  EXPECT_STREQ(title, "beat_1.mid");
  EXPECT_EQ(ofn.nFileOffset, 8);
  EXPECT_EQ(ofn.nFileExtension, 15);
  ASSERT_EQ(tbxtest::FileDialogs().size(), 1u);
  const auto& rec = tbxtest::FileDialogs()[0];
  EXPECT_TRUE(rec.save);
  EXPECT_EQ(rec.filter, "MIDI Files (*.MID)|*.mid");
  EXPECT_EQ(rec.initialFile, "C:\\songs\\beat");
  EXPECT_EQ(rec.defExt, "mid");
  EXPECT_EQ(rec.structSize, 76u);

  // A path longer than the buffer fails as on Windows and writes nothing past it.
  char small[12];
  memset(small, 'x', sizeof small);
  small[7] = 0;
  ofn.lpstrFile = small;
  ofn.nMaxFile = 8;
  tbxtest::QueueFileDialog(std::string("/a/rather/long/name.mid"));
  EXPECT_FALSE(GetSaveFileNameA(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(FNERR_BUFFERTOOSMALL));
  EXPECT_EQ(small[8], 'x');
  EXPECT_STREQ(title, "beat_1.mid");

  ofn.lStructSize = 52;
  EXPECT_FALSE(GetOpenFileNameA(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), static_cast<DWORD>(CDERR_STRUCTSIZE));
  ofn.lStructSize = sizeof(OPENFILENAMEA);
  ofn.lpstrFile = file;
  ofn.nMaxFile = TBX_PATH;
  tbxtest::QueueFileDialog(std::nullopt);
  EXPECT_FALSE(GetOpenFileNameA(&ofn));
  EXPECT_EQ(CommDlgExtendedError(), 0u);  // cancelled, no error
}

TEST_F(ScriptedBoxes, AFileDialogLeavesTheProcessInTheChosenFolderUntilReset) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("tbx_dlg_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::string before = fs::current_path().string();
  char file[TBX_PATH] = "", title[TBX_PATH] = "";
  OPENFILENAMEA ofn{};
  ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  ofn.lpstrFilter = "Text Files (*.TXT)\0*.txt\0All Files (*.*)\0*.*\0";
  ofn.lpstrFile = file;
  ofn.nMaxFile = TBX_PATH;
  ofn.lpstrFileTitle = title;
  ofn.nMaxFileTitle = TBX_PATH;
  tbxtest::QueueFileDialog((dir / "list.txt").string());
  ASSERT_TRUE(GetOpenFileNameA(&ofn));
  EXPECT_EQ(fs::current_path(), fs::canonical(dir));
  EXPECT_EQ(tbxtest::FileDialogs()[0].filter, "Text Files (*.TXT)|*.txt|All Files (*.*)|*.*");
  tbxtest::PlatformReset();
  tbxtest::SetUnexpectedHandler([this](const std::string& what) { unexpected.push_back(what); });
  EXPECT_EQ(fs::current_path().string(), before);
  fs::remove_all(dir);
}
