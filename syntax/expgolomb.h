// Exp-Golomb codes (H.264 9.1, H.265 9.2: the same in both).
#pragma once

#include <cstdint>

#include "syntax/bitstream.h"

// ue(v): one unsigned Exp-Golomb code. Throws what the Bitstream throws.
uint32_t ReadUE(Bitstream& s);
// se(v): 0, 1, 2, 3, 4 ... map to 0, 1, -1, 2, -2 ...
int32_t ReadSE(Bitstream& s);
