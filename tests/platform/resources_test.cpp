// The resources: the accelerator table, and proof that what windres compiles for Windows
// (tamborix.rc) and what the Linux tables hold are the same dialogs and accelerators, and
// that the two icon files make_icon.py writes carry the same pixels.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/resources.h"
#include "tests/files/scratch.h"
#include "tests/platform/platform_support.h"

using Resources = PlatformTest;

TEST_F(Resources, AcceleratorTableHasTheControlKeys) {
  const ResAccelTable* t = FindAccelResource("TAMBORIX");
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(t->count, 13);
  const char keys[] = "NSQAFLUTEKZYZ";  // the last three: Undo, Redo, Redo with Shift
  const WORD cmds[] = {40001, 40004, 40012, 40101, 40102, 40103, 40104,
                       40105, 40106, 40107, 40108, 40109, 40109};
  for (int i = 0; i < 13; i++) {
    EXPECT_EQ(t->entries[i].key, keys[i]);
    EXPECT_EQ(t->entries[i].cmd, cmds[i]);
    EXPECT_EQ(t->entries[i].fVirt, FVIRTKEY | FCONTROL | (i == 12 ? FSHIFT : 0)) << i;
  }
  EXPECT_EQ(FindAccelResource(MAKEINTRESOURCEA(1)), nullptr);
}

namespace {

/* The resource script windres makes of tamborix.rc, decompiled to text; "" without windres.
** A windres that is there but fails (the build draws the icon the script names into
** generated/) fails the test. */
std::string WindresScript() {
  ScratchDir scratch;
  std::string out = scratch("resources.rc");
  std::string cmd = "cd '" TBX_SOURCE_DIR "' && x86_64-w64-mingw32-windres"
                    " -I. -I'" TBX_BINARY_DIR "/generated' resources/tamborix.rc -O rc -o '" + out + "'";
  if (system("command -v x86_64-w64-mingw32-windres >/dev/null 2>&1") != 0) return "";
  int status = system(cmd.c_str());
  EXPECT_EQ(status, 0) << cmd;
  if (status != 0) return "";
  std::ifstream f(out);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

/* A control as the decompiled script writes it: LTEXT "text", id, x, y, cx, cy, style. */
std::string Unescape(const std::string& s) {
  std::string r;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      r += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    } else {
      r += s[i];
    }
  }
  return r;
}

}  // namespace

TEST_F(Resources, WindowsScriptAndLinuxTablesAgree) {
  std::string rc = WindresScript();
  if (HasFailure()) return;
  if (rc.empty()) GTEST_SKIP() << "x86_64-w64-mingw32-windres is not installed";
  std::istringstream in(rc);
  std::string line;
  const ResDialog* dialog = nullptr;
  int control = 0, dialogsSeen = 0, accels = 0;
  bool inAccels = false;
  while (std::getline(in, line)) {
    char name[64];
    int x, y, cx, cy;
    if (sscanf(line.c_str(), "\"%63[^\"]\" DIALOG MOVEABLE PURE DISCARDABLE %d, %d, %d, %d", name, &x, &y, &cx, &cy) ==
        5) {
      dialog = FindDialogResource(name);
      ASSERT_NE(dialog, nullptr) << name;
      EXPECT_EQ(dialog->x, x);
      EXPECT_EQ(dialog->y, y);
      EXPECT_EQ(dialog->cx, cx);
      EXPECT_EQ(dialog->cy, cy);
      control = 0;
      dialogsSeen++;
      continue;
    }
    if (line.find("ACCELERATORS") != std::string::npos) inAccels = true;
    if (line == "END") {
      if (dialog) {
        EXPECT_EQ(control, dialog->count) << dialog->name;
      }
      dialog = nullptr;
      inAccels = false;
      continue;
    }
    unsigned style = 0;
    int key, cmd, id;
    if (inAccels && sscanf(line.c_str(), " %d, %d, VIRTKEY,", &key, &cmd) == 2) {
      const ResAccelTable* t = FindAccelResource("TAMBORIX");
      ASSERT_LT(accels, t->count);
      EXPECT_EQ(t->entries[accels].key, key);
      EXPECT_EQ(t->entries[accels].cmd, cmd);
      const BYTE fVirt = FVIRTKEY | (line.find("CONTROL") != std::string::npos ? FCONTROL : 0) |
                         (line.find("SHIFT") != std::string::npos ? FSHIFT : 0);
      EXPECT_EQ(t->entries[accels].fVirt, fVirt) << line;
      accels++;
      continue;
    }
    if (!dialog || line.size() < 3 || line[0] != ' ' || line.find("BEGIN") != std::string::npos) continue;
    ASSERT_LT(control, dialog->count) << line;
    const ResControl& c = dialog->controls[control++];
    std::string text;
    size_t q1 = line.find('"'), q2 = line.find("\", ", q1 + 1);
    const char* rest;
    if (line.find("EDITTEXT") != std::string::npos) {
      rest = line.c_str() + line.find("EDITTEXT") + 8;
      ASSERT_EQ(sscanf(rest, " %d, %d, %d, %d, %d, %x", &id, &x, &y, &cx, &cy, &style), 6) << line;
    } else if (line.find("CONTROL") != std::string::npos) {
      ASSERT_NE(q2, std::string::npos);
      rest = line.c_str() + q2 + 3;  // after the text: id, "class", style, x, y, cx, cy
      ASSERT_EQ(sscanf(rest, "%d, \"%*[^\"]\", %x, %d, %d, %d, %d", &id, &style, &x, &y, &cx, &cy), 6) << line;
      text = line.substr(q1 + 1, q2 - q1 - 1);
    } else {
      ASSERT_NE(q2, std::string::npos) << line;
      text = Unescape(line.substr(q1 + 1, q2 - q1 - 1));
      ASSERT_EQ(sscanf(line.c_str() + q2 + 3, "%d, %d, %d, %d, %d, %x", &id, &x, &y, &cx, &cy, &style), 6) << line;
    }
    EXPECT_EQ(c.text, text) << line;
    EXPECT_EQ(c.id, id) << line;
    EXPECT_EQ(c.x, x) << line;
    EXPECT_EQ(c.y, y) << line;
    if ((c.style & 0x1F) != SS_ICON || strcmp(c.cls, "static") != 0) {  // windres writes 0 x 0 for icons
      EXPECT_EQ(c.cx, cx) << line;
      EXPECT_EQ(c.cy, cy) << line;
    }
    EXPECT_EQ(c.style, style) << line;
  }
  EXPECT_EQ(dialogsSeen, 5);  // the four programs' About boxes and the instrument dialog
  EXPECT_EQ(accels, 13);
}

TEST_F(Resources, IconFileAndLinuxPixelsAgree) {
  std::ifstream f(TBX_BINARY_DIR "/generated/resources/tamborix.ico", std::ios::binary);
  std::string ico((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  ASSERT_GT(ico.size(), 6u + 16u);
  auto u32 = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(ico[at]) | static_cast<uint8_t>(ico[at + 1]) << 8 |
                                 static_cast<uint8_t>(ico[at + 2]) << 16 |
                                 static_cast<uint32_t>(static_cast<uint8_t>(ico[at + 3])) << 24);
  };
  ASSERT_EQ(static_cast<uint8_t>(ico[6]), 32u);  // first entry: 32 x 32
  size_t dib = u32(6 + 12) + 40;                 // pixels after the 40-byte header, bottom row first
  const ResIcon* icon = FindIconResource("tamborix");
  ASSERT_NE(icon, nullptr);
  ASSERT_GE(ico.size(), dib + 32 * 32 * 4);
  for (int y = 0; y < 32; y++)
    for (int x = 0; x < 32; x++)
      ASSERT_EQ(u32(dib + 4 * ((31 - y) * 32 + x)), icon->argb[y * 32 + x]) << x << "," << y;
}
