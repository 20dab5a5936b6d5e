// Forward DCT: the scaled floating-point algorithm of Arai, Agui and Nakajima
// ("A fast DCT-SQ scheme for images", Trans. IEICE E-71(11):1095, Nov. 1988), in the
// flow graph of Pennebaker & Mitchell, "JPEG Still Image Data Compression Standard",
// figure 4-8, as the Independent JPEG Group implements it in jfdctflt.c.
//
// AAN computes the 8-point DCT with 5 multiplies and 29 adds by leaving each output
// u scaled by A[u] = sqrt(2) * cos(u * pi / 16) (A[0] = 1). The 2-D transform is
// 8 row passes, then 8 column passes, in place; its output is therefore scaled by
// 8 * A[u] * A[v], and that scale folds into the quantiser reciprocals at no cost.
// Floating point keeps the transform accurate without fixed-point descaling.
//
// The result depends on the order of every addition and on IEEE single-precision
// rounding, and this library promises byte-identical files. So each pass is written
// as the exact sequence below, the build uses -ffp-contract=off (no fused
// multiply-add) and never -ffast-math, and the SIMD forms are the same template
// (fdct_aan.h) on four- or eight-lane values, one block per lane.
#include "image/jpeg/fdct.h"

#include "image/jpeg/fdct_aan.h"

namespace mpg::jpeg {

void ForwardDct(float block[64]) { Dct8x8(block); }

#if MPG_JPEG_HAVE_SSE2
void ForwardDct(F32x4 blocks[64]) { Dct8x8(blocks); }
#endif

}  // namespace mpg::jpeg
