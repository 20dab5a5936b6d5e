// Forward 8x8 DCT of the baseline encoder (see fdct.cpp for the algorithm).
#pragma once

#include "image/jpeg/f32x4.h"

namespace mpg::jpeg {

// In place, natural order, single precision. The outputs are scaled by the AAN
// factors 8 * A[u] * A[v]; the reciprocal tables (quant.cpp) remove that scale.
void ForwardDct(float block[64]);

#if MPG_JPEG_HAVE_SSE2
// The same transform on four blocks at once; lane i of blocks[k] is coefficient k of
// block i. Bit-identical to ForwardDct on each lane.
void ForwardDct(F32x4 blocks[64]);
#endif

}  // namespace mpg::jpeg
