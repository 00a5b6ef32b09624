// The shared prompts: error box formatting, the caption, the two save questions with the
// Save As a Yes runs (also from another thread), and the four file dialogs' records.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "files/files.h"
#include "pattern/pattern.h"
#include "tests/files/scratch.h"
#include "tests/support.h"

namespace {

std::string WindowText(HWND hwnd) {
  char sz[400] = "";
  GetWindowTextA(hwnd, sz, sizeof sz);
  return sz;
}

const tbxtest::BoxRecord& LastBox() { return tbxtest::MessageBoxes().back(); }

}  // namespace

class PromptTest : public WindowTest {};

TEST_F(PromptTest, ErrorMessageFillsTheNameOrUntitled) {
  tbxtest::QueueMessageBoxAnswer(IDOK);
  ErrorMessage(hwnd, "File %s is unreadable.", "song.tbx");
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(LastBox().text, "File song.tbx is unreadable.");
  EXPECT_EQ(LastBox().caption, "Tamborix");
  EXPECT_EQ(LastBox().owner, hwnd);
  EXPECT_EQ(LastBox().flags & 0xF0, (UINT)MB_ICONEXCLAMATION);
  EXPECT_EQ(LastBox().flags & 0x0F, (UINT)MB_OK);
  ASSERT_EQ(tbxtest::Beeps().size(), 1u);
  EXPECT_EQ(tbxtest::Beeps()[0], (UINT)MB_ICONEXCLAMATION);

  tbxtest::QueueMessageBoxAnswer(IDOK);
  ErrorMessage(hwnd, "Cannot write file %s .", "");
  EXPECT_EQ(LastBox().text, "Cannot write file (Untitled) .");
  tbxtest::QueueMessageBoxAnswer(IDOK);
  ErrorMessage(hwnd, "First stop sequence before change MIDI Ch.", "x.tbx");
  EXPECT_EQ(LastBox().text, "First stop sequence before change MIDI Ch.");
}

// A format is text to show: conversions other than %s must not read missing arguments,
// and a long name is cut to the buffer.
TEST_F(PromptTest, ErrorMessageIsSafeWithAnyFormatAndName) {
  tbxtest::QueueMessageBoxAnswer(IDOK);
  ErrorMessage(hwnd, "CreateFile Error:%d %s 100%%", "a.tbx");
  EXPECT_EQ(LastBox().text, "CreateFile Error:%d a.tbx 100%");
  std::string longName(600, 'n');
  tbxtest::QueueMessageBoxAnswer(IDOK);
  ErrorMessage(hwnd, "File %s is unreadable.", longName.c_str());
  EXPECT_EQ(LastBox().text.size(), sizeof gszBuffer - 1);
  EXPECT_EQ(LastBox().text.substr(0, 5), "File ");
}

TEST_F(PromptTest, CaptionNamesTheTitle) {
  DoCaption(hwnd, "song.tbx");
  EXPECT_EQ(WindowText(hwnd), "Tamborix - song.tbx");
  DoCaption(hwnd, "");
  EXPECT_EQ(WindowText(hwnd), "Tamborix - (Untitled)");
}

TEST_F(PromptTest, AskAboutSaveNoAndCancel) {
  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDNO);
  EXPECT_EQ(AskAboutSave(""), IDNO);
  EXPECT_EQ(LastBox().text, "Save changes of (Untitled) ?");
  EXPECT_EQ(LastBox().caption, "Tamborix");
  EXPECT_EQ(LastBox().owner, hwnd);
  EXPECT_EQ(LastBox().flags & 0x0F, (UINT)MB_YESNOCANCEL);
  EXPECT_EQ(LastBox().flags & 0xF0, (UINT)MB_ICONQUESTION);
  EXPECT_EQ(gbNeedSave, 0);

  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDCANCEL);
  EXPECT_EQ(AskAboutSave("song.tbx"), IDCANCEL);
  EXPECT_EQ(LastBox().text, "Save changes of song.tbx ?");
  EXPECT_EQ(gbNeedSave, 1);
}

// Yes runs Save As: cancelling its dialog turns the answer into Cancel and keeps the
// changes marked unsaved; saving lets the caller go on.
TEST_F(PromptTest, AskAboutSaveYesRunsSaveAs) {
  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDYES);
  tbxtest::QueueFileDialog(std::nullopt);
  EXPECT_EQ(AskAboutSave(""), IDCANCEL);
  EXPECT_EQ(gbNeedSave, 1);
  ASSERT_EQ(tbxtest::FileDialogs().size(), 1u);
  EXPECT_TRUE(tbxtest::FileDialogs()[0].save);

  ScratchDir scratch;
  const std::string path = scratch("app_prompt_saved.tbx");
  tbxtest::QueueMessageBoxAnswer(IDYES);
  tbxtest::QueueFileDialog(path);
  EXPECT_EQ(AskAboutSave(""), IDYES);
  EXPECT_EQ(gbNeedSave, 0);
  FILE* f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  fseek(f, 0, SEEK_END);
  EXPECT_EQ(ftell(f), 3540);
  fclose(f);
  EXPECT_EQ(WindowText(hwnd), "Tamborix - app_prompt_saved.tbx");
}

TEST_F(PromptTest, AskYesNoSaveHasNoCancelButton) {
  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDNO);
  EXPECT_EQ(AskYesNoSave("next.TBX"), IDNO);
  EXPECT_EQ(LastBox().text, "Save changes of next.TBX ?");
  EXPECT_EQ(LastBox().flags & 0x0F, (UINT)MB_YESNO);
  EXPECT_EQ(gbNeedSave, 0);

  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDYES);
  tbxtest::QueueFileDialog(std::nullopt);
  EXPECT_EQ(AskYesNoSave("next.TBX"), IDCANCEL);
  EXPECT_EQ(gbNeedSave, 0);
}

// The playlist advance asks from the step clock's thread: the box and the Save As run on
// the window thread while the asking thread waits.
TEST_F(PromptTest, AskYesNoSaveFromAnotherThreadSavesOnTheWindowThread) {
  gbNeedSave = 1;
  tbxtest::QueueMessageBoxAnswer(IDYES);
  tbxtest::QueueFileDialog(std::nullopt);
  std::atomic<int> answer{0};
  std::thread asker([&] { answer = AskYesNoSave("next.TBX"); });
  for (int i = 0; i < 20000 && answer == 0; i++) {
    tbxtest::PumpMessages();
    std::this_thread::yield();
  }
  asker.join();
  EXPECT_EQ(answer, IDCANCEL);
  EXPECT_EQ(tbxtest::FileDialogs().size(), 1u);
  EXPECT_EQ(gbNeedSave, 0);
}

// A box the step clock shows keeps its text while the window thread formats a caption.
TEST_F(PromptTest, ABoxFromAnotherThreadKeepsItsTextAgainstTheCaption) {
  tbxtest::QueueMessageBoxAnswer(IDOK);
  std::atomic<bool> done{false};
  std::thread clock([&] {
    ErrorMessage(gHwnd, "File %s is unreadable.", "next.TBX");
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach the box
  DoCaption(hwnd, "other.tbx");
  for (int i = 0; i < 20000 && !done; i++) {
    tbxtest::PumpMessages();
    std::this_thread::yield();
  }
  clock.join();
  ASSERT_EQ(tbxtest::MessageBoxes().size(), 1u);
  EXPECT_EQ(LastBox().text, "File next.TBX is unreadable.");
  EXPECT_EQ(WindowText(hwnd), "Tamborix - other.tbx");
}

// ---------------------------------------------------------------- file dialogs

TEST_F(PromptTest, FileDialogRecords) {
  char file[TBX_PATH] = "proposed.tbx", title[TBX_PATH] = "";
  struct Case {
    BOOL (*dlg)(char*, char*);
    bool save;
    const char* filter;
    const char* ext;
    DWORD flags;
  };
  const Case cases[] = {
      {PlayListOpenDlg, false, "Text Files (*.TXT)|*.txt|All Files (*.*)|*.*", "txt", OFN_CREATEPROMPT},
      {TambroFileOpenDlg, false, "Tamborix Files (*.TBX)|*.tbx|All Files (*.*)|*.*", "tbx", OFN_CREATEPROMPT},
      {TambroFileSaveDlg, true, "Tamborix Files (*.TBX)|*.tbx|All Files (*.*)|*.*", "tbx", OFN_OVERWRITEPROMPT},
      {MidiFileSaveDlg, true, "MIDI Files (*.MID)|*.mid", "mid", OFN_OVERWRITEPROMPT},
  };
  for (const Case& c : cases) {
    tbxtest::QueueFileDialog(std::nullopt);
    EXPECT_FALSE(c.dlg(file, title));
    const auto& rec = tbxtest::FileDialogs().back();
    EXPECT_EQ(rec.save, c.save);
    // Trailing separators depend on how the layer renders the closing zeros.
    EXPECT_EQ(rec.filter.substr(0, strlen(c.filter)), c.filter);
    EXPECT_EQ(rec.filter.find_first_not_of('|', strlen(c.filter)), std::string::npos);
    EXPECT_EQ(rec.defExt, c.ext);
    EXPECT_EQ(rec.flags, c.flags);
    EXPECT_EQ(rec.structSize, 76u);
    EXPECT_EQ(rec.owner, hwnd);
    EXPECT_EQ(rec.initialFile, "proposed.tbx");
  }
  tbxtest::QueueFileDialog(std::string("C:\\songs\\chosen.mid"));
  EXPECT_TRUE(MidiFileSaveDlg(file, title));
  EXPECT_STREQ(file, "C:\\songs\\chosen.mid");
  EXPECT_STREQ(title, "chosen.mid");
}
