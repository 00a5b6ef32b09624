/*
** This file contains the editing of single grid cells by mouse and keyboard.
*/
#include "pattern/pattern.h"

LRESULT OnMouseMove(HWND) { return 0; }
LRESULT OnButtonDown(HWND, UINT, LPARAM) { return 0; }
LRESULT OnChar(HWND, WPARAM) { return 0; }
void handleKeydown(HWND, WPARAM) {}
void UndoMouse(void) {}
