/*
** tamborix-cli export: writes a project file or a playlist as a Standard MIDI File without
** a display. The program runs on the headless platform exactly as it would on screen: the
** project file is loaded from the command line as at start ("Load / Play / Edit File"), a
** .txt file is opened as a playlist ("Open PlayList"), and the export command runs with
** the save dialog answered by OUT. Any error box the program shows ends the command with
** status 1 and the box's text on stderr, as one line.
*/
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/app.h"
#include "cli/cli.h"
#include "midifile/midifile.h"
#include "platform/testing.h"

/* The size report that says the file was written (the other boxes are failures). */
static const char kReport[] = "MIDI file (";

/* Runs the export, loading FILE as the program does and answering the save dialog with OUT;
** "" or one line saying what failed. The size report goes to standard output. */
static std::string Export(std::string file, std::string out, bool format1, bool beatTime) {
  bool list = CliIsPlaylist(file);
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

  CliSession session;
  std::string error = CliOpen(&session, file, list);
  const std::string& unexpected = session.unexpected;
  HWND hwnd = session.hwnd;
  if (hwnd && error.empty() && unexpected.empty()) {
    gbMidiBeatTime = beatTime ? 1 : 0;
    tbxtest::ClearMessageBoxes();
    tbxtest::QueueFileDialog(out);
    tbxtest::QueueMessageBoxAnswer(IDOK);
    UINT id = list ? (format1 ? IDM_SAVELIST_F1 : IDM_SAVELIST_GM) : (format1 ? IDM_SAVEMIDI_F1 : IDM_SAVEMIDI_GM);
    SendMessageA(hwnd, WM_COMMAND, id, 0);
    tbxtest::PumpMessages();
    error = CliBoxLine(kReport);
    std::string report;
    for (const tbxtest::BoxRecord& box : tbxtest::MessageBoxes())
      if (box.text.rfind(kReport, 0) == 0) report = box.text;
    if (error.empty() && unexpected.empty() && report.empty()) error = "no MIDI file was written";
    if (error.empty() && unexpected.empty()) std::printf("%s\n", report.c_str());
  }
  return CliClose(&session, error);
}

int CliExport(const CliArgs& args) {
  int status = CliCheckNames(args, 1);
  if (status >= 0) return status;
  bool format1 = false;
  auto opt = args.options.find("format");
  if (opt != args.options.end()) {
    if (opt->second == "1") format1 = true;
    else if (strcasecmp(opt->second.c_str(), "gm") != 0)
      return CliUsageError(args.command, "--format must be gm or 1");
  }
  const bool beatTime = args.options.count("beat-time") != 0;
  std::string error = Export(args.operands[0], args.operands[1], format1, beatTime);
  if (error.empty()) return CLI_OK;
  std::fprintf(stderr, "tamborix-cli export: %s\n", error.c_str());
  return CLI_FAILED;
}
