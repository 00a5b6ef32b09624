/*
** The program's resources for the Linux layer: the tables of platform/resources.h built
** from tamborix_res.inc (the file tamborix.rc compiles for Windows) and the icon pixels
** make_icon.py wrote. Compiled once into the application library that every program,
** the command line and the tests link; a static initialiser registers the tables before
** main runs.
**
** The control styles are those the resource compiler gives each statement: LTEXT is
** SS_LEFT | WS_GROUP, ICON is SS_ICON, (DEF)PUSHBUTTON adds WS_TABSTOP, and every control
** is WS_CHILD | WS_VISIBLE.
*/
#include "platform/resources.h"
#include "platform/win32.h"

namespace {

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

/* ---------------------------------------------------------------- pass 1: entry arrays */

#define TBX_ACCEL_BEGIN(name) const ResAccel k##name##Accels[] = {
#define TBX_ACCEL(key, cmd) {FVIRTKEY | FCONTROL, static_cast<WORD>(key[0]), cmd},
#define TBX_ACCEL_SHIFT(key, cmd) {FVIRTKEY | FCONTROL | FSHIFT, static_cast<WORD>(key[0]), cmd},
#define TBX_ACCEL_END(name) };
#define TBX_DIALOG(name, x, y, cx, cy, style, caption, points, face)
#define TBX_DIALOG_BEGIN(name) const ResControl k##name##Controls[] = {
#define TBX_DIALOG_END(name) };
#define TBX_ICON(icon, id, x, y, cx, cy) {"static", icon, id, kChild | SS_ICON, x, y, cx, cy},
#define TBX_LTEXT(text, id, x, y, cx, cy) {"static", text, id, kChild | WS_GROUP | SS_LEFT, x, y, cx, cy},
#define TBX_FRAME(id, x, y, cx, cy) {"static", "", id, kChild | SS_BLACKFRAME, x, y, cx, cy},
#define TBX_EDITTEXT(id, x, y, cx, cy) \
  {"edit", "", id, kChild | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, x, y, cx, cy},
#define TBX_DEFPUSHBUTTON(text, id, x, y, cx, cy) \
  {"button", text, id, kChild | WS_TABSTOP | BS_DEFPUSHBUTTON, x, y, cx, cy},
#define TBX_PUSHBUTTON(text, id, x, y, cx, cy) {"button", text, id, kChild | WS_TABSTOP | BS_PUSHBUTTON, x, y, cx, cy},
#include "resources/tamborix_res.inc"
#undef TBX_ACCEL_BEGIN
#undef TBX_ACCEL
#undef TBX_ACCEL_SHIFT
#undef TBX_ACCEL_END
#undef TBX_DIALOG
#undef TBX_DIALOG_BEGIN
#undef TBX_DIALOG_END
#undef TBX_ICON
#undef TBX_LTEXT
#undef TBX_FRAME
#undef TBX_EDITTEXT
#undef TBX_DEFPUSHBUTTON
#undef TBX_PUSHBUTTON

/* ---------------------------------------------------------------- pass 2: the directories */

#define TBX_ACCEL_BEGIN(name) {#name, k##name##Accels, static_cast<int>(sizeof k##name##Accels / sizeof(ResAccel))},
#define TBX_ACCEL(key, cmd)
#define TBX_ACCEL_SHIFT(key, cmd)
#define TBX_ACCEL_END(name)
#define TBX_DIALOG(name, x, y, cx, cy, style, caption, points, face)
#define TBX_DIALOG_BEGIN(name)
#define TBX_DIALOG_END(name)
#define TBX_ICON(icon, id, x, y, cx, cy)
#define TBX_LTEXT(text, id, x, y, cx, cy)
#define TBX_FRAME(id, x, y, cx, cy)
#define TBX_EDITTEXT(id, x, y, cx, cy)
#define TBX_DEFPUSHBUTTON(text, id, x, y, cx, cy)
#define TBX_PUSHBUTTON(text, id, x, y, cx, cy)
const ResAccelTable kAccelTables[] = {
#include "resources/tamborix_res.inc"
};
#undef TBX_ACCEL_BEGIN
#undef TBX_DIALOG

#define TBX_ACCEL_BEGIN(name)
#define TBX_DIALOG(name, x, y, cx, cy, style, caption, points, face)                          \
  {#name, caption, face, points, x, y, cx, cy, static_cast<DWORD>(style), k##name##Controls, \
   static_cast<int>(sizeof k##name##Controls / sizeof(ResControl))},
const ResDialog kDialogs[] = {
#include "resources/tamborix_res.inc"
};

const uint32_t kIconPixels[] = {
#include "resources/tamborix_icon.inc"
};
static_assert(sizeof kIconPixels / sizeof kIconPixels[0] == 32 * 32, "the icon is 32 x 32");
const ResIcon kIcons[] = {{"TAMBORIX", 32, 32, kIconPixels}};

const ResourceTables kTables = {kAccelTables, static_cast<int>(sizeof kAccelTables / sizeof kAccelTables[0]),
                                kDialogs,     static_cast<int>(sizeof kDialogs / sizeof kDialogs[0]),
                                kIcons,       1};

struct Registrar {
  Registrar() { RegisterResources(&kTables); }
} gRegistrar;

}  // namespace
