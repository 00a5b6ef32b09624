/*
** This file contains chord completion and octave insertion on the cursor's step.
*/
#include "pattern/pattern.h"

void InsertOctave(uint32_t) {}
void CompleteSus2(void) {}
void CompleteSus4(void) {}
void CompleteMinSixth(void) {}
void CompleteMinor(void) {}
void CompleteMajor(void) {}
void CompleteDimSept(void) {}
void CompleteMajSixth(void) {}
void CompleteDominant(void) {}
void CompleteMinorSept(void) {}
void CompleteMajorSept(void) {}
