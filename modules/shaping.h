// What the shaping modules offer beyond their type-table functions.
#ifndef QAF_SHAPING_H
#define QAF_SHAPING_H

#include <stdint.h>

// Tone's five filter coefficients K0..K4 for a Frequency value, in 1/65536 steps: the four-pole
// low-pass with pole p = (5000 (F / 256)^2 + 30) / 22050, each coefficient rounded to a 32-bit
// float before it is scaled and truncated.
void toneCoefficients(float F, int64_t K[5]);

#endif
