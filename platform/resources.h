/*
** The program's resources as the Linux layer reads them: accelerator tables, dialog
** templates and icons, looked up by name (case-insensitively, as Windows resource names).
**
** resources/resources_linux.cpp builds these tables from resources/tamborix_res.inc, the
** same file resources/tamborix.rc compiles for Windows, and registers them when the
** program starts (it is compiled once into the application library).
** Dialog geometry is in dialog units; with the 8 x 16 pixel base units of this layer one
** unit is 2 pixels across and 2 pixels down.
*/
#ifndef TBX_PLATFORM_RESOURCES_H
#define TBX_PLATFORM_RESOURCES_H

#include <cstdint>

#include "platform/win32.h"

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

struct ResAccel {
  BYTE fVirt;               /* FVIRTKEY | FCONTROL ... */
  WORD key;                 /* virtual key ('N') */
  WORD cmd;                 /* command id */
};

struct ResAccelTable {
  const char* name;         /* "TAMBORIX" */
  const ResAccel* entries;
  int count;
};

struct ResControl {
  const char* cls;          /* "static", "button", "edit" */
  const char* text;         /* label; for SS_ICON the icon's resource name */
  int id;
  DWORD style;              /* full window style: WS_CHILD | WS_VISIBLE | control style */
  int x, y, cx, cy;         /* dialog units */
};

struct ResDialog {
  const char* name;         /* "ABOUTBOX" */
  const char* caption;
  const char* font;         /* face name of the template's FONT statement */
  int pointSize;
  int x, y, cx, cy;         /* dialog units, relative to the owner's client area */
  DWORD style;
  const ResControl* controls;
  int count;
};

struct ResIcon {
  const char* name;         /* "TAMBORIX" */
  int width, height;        /* pixels */
  const uint32_t* argb;     /* width * height pixels, rows top to bottom, 0xAARRGGBB */
};

struct ResourceTables {
  const ResAccelTable* accels;
  int accelCount;
  const ResDialog* dialogs;
  int dialogCount;
  const ResIcon* icons;
  int iconCount;
};

/* Installs the tables (resources_linux.cpp does it from a static initialiser). */
void RegisterResources(const ResourceTables* tables);

/* Lookups by name (case-insensitive); NULL when absent or no tables are registered.
** MAKEINTRESOURCE names are looked up as "#<number>". */
const ResAccelTable* FindAccelResource(const char* name);
const ResDialog* FindDialogResource(const char* name);
const ResIcon* FindIconResource(const char* name);

#endif
