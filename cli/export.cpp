/*
** tamborix-cli export: writes a project file or a playlist as a Standard MIDI File without
** a display. The program runs on the headless platform exactly as it would on screen: the
** project file is loaded from the command line as at start ("Load / Play / Edit File"), a
** .txt file is opened as a playlist ("Open PlayList"), and the export command runs with
** the save dialog answered by OUT. Any error box the program shows ends the command with a
** non-zero status and the box's text on stderr.
*/
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/app.h"
#include "cli/cli.h"
#include "platform/testing.h"

static int ExportUsage(void) {
  std::fprintf(stderr, "usage: tamborix-cli export [--steps N] [--format gm|1] FILE OUT.mid\n");
  return 2;
}

static bool EqualNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

static bool IsPlaylistName(const std::string& path) {
  return path.size() >= 4 && EqualNoCase(path.c_str() + path.size() - 4, ".txt");
}

/* Prints every box the program showed except the size report; returns how many. */
static int ReportErrorBoxes(void) {
  int errors = 0;
  for (const tbxtest::BoxRecord& box : tbxtest::MessageBoxes()) {
    if (box.text.rfind("MIDI file (", 0) == 0) continue;
    std::fprintf(stderr, "tamborix-cli export: %s\n", box.text.c_str());
    ++errors;
  }
  return errors;
}

int CliExport(int argc, char** argv) {
  bool format1 = false;
  const char* positional[2] = {nullptr, nullptr};
  int npositional = 0;
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "--steps") == 0 && a + 1 < argc) {
      ++a; /* chosen by the front end already */
    } else if (std::strcmp(argv[a], "--format") == 0 && a + 1 < argc) {
      const char* f = argv[++a];
      if (std::strcmp(f, "1") == 0) format1 = true;
      else if (EqualNoCase(f, "gm")) format1 = false;
      else return ExportUsage();
    } else if (npositional < 2 && argv[a][0] != '-') {
      positional[npositional++] = argv[a];
    } else {
      return ExportUsage();
    }
  }
  if (npositional != 2) return ExportUsage();
  std::string file = positional[0], out = positional[1];
  bool list = IsPlaylistName(file);
  if (list) {
    /* Entries are opened relative to the current folder, which the open dialog leaves at
    ** the list's folder; OUT keeps meaning what it meant where the command was given. */
    std::error_code ec;
    std::filesystem::path outPath = std::filesystem::absolute(out, ec);
    std::filesystem::path listPath = std::filesystem::absolute(file, ec);
    if (!ec) {
      out = outPath.string();
      file = listPath.string();
      std::filesystem::current_path(listPath.parent_path(), ec);
    }
  }

  bool unexpected = false;
  tbxtest::PlatformReset();
  tbxtest::SetUnexpectedHandler([&unexpected](const std::string& what) {
    std::fprintf(stderr, "tamborix-cli export: %s\n", what.c_str());
    unexpected = true;
  });
  tbxtest::UseManualClock(true);
  tbxtest::SetMidiDevices({"Capture Out"}, {"Loopback In"}); /* as the tests: creation needs both */
  ResetAllState();

  HWND hwnd = CreateMainWindow(nullptr, list ? "" : file.c_str(), SW_SHOWNORMAL);
  if (!hwnd) {
    std::fprintf(stderr, "tamborix-cli export: the main window could not be created\n");
    tbxtest::PlatformReset();
    return 1;
  }
  if (list) {
    tbxtest::QueueFileDialog(file);
    SendMessageA(hwnd, WM_COMMAND, IDM_OPENLIST, 0);
  }
  tbxtest::PumpMessages(); /* runs the command-line load */
  int status = 0;
  if (ReportErrorBoxes() > 0 || unexpected) {
    status = 1;
  } else {
    tbxtest::ClearMessageBoxes();
    tbxtest::QueueFileDialog(out);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    UINT id = list ? (format1 ? IDM_SAVELIST_F1 : IDM_SAVELIST_GM) : (format1 ? IDM_SAVEMIDI_F1 : IDM_SAVEMIDI_GM);
    SendMessageA(hwnd, WM_COMMAND, id, 0);
    tbxtest::PumpMessages();
    bool reported = false;
    for (const tbxtest::BoxRecord& box : tbxtest::MessageBoxes())
      if (box.text.rfind("MIDI file (", 0) == 0) reported = true;
    if (ReportErrorBoxes() > 0 || unexpected || !reported) status = 1;
    if (status == 0) std::printf("%s\n", tbxtest::MessageBoxes().back().text.c_str());
  }
  tbxtest::SetUnexpectedHandler([](const std::string&) {});
  if (IsWindow(hwnd)) DestroyWindow(hwnd);
  tbxtest::PumpMessages();
  tbxtest::PlatformReset();
  return status;
}
