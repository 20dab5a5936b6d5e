// The AAN flow graph of fdct.cpp as a template over the value type: float for the
// scalar kernel, and SIMD types whose lanes are blocks (F32x4, and the AVX2 kernel's
// eight lanes). Every instantiation runs the same operations in the same order.
#pragma once

namespace mpg::jpeg {

// One 8-point pass over d[0], d[stride], ..., d[7 * stride].
template <class V>
inline void Dct8(V* d, int stride) {
  const V c4 = 0.70710677f;        // cos(4 pi / 16)
  const V c6 = 0.38268343f;        // cos(6 pi / 16)
  const V c2MinusC6 = 0.5411961f;  // c2 - c6
  const V c2PlusC6 = 1.306563f;    // c2 + c6

  V d0 = d[0 * stride], d1 = d[1 * stride], d2 = d[2 * stride], d3 = d[3 * stride];
  V d4 = d[4 * stride], d5 = d[5 * stride], d6 = d[6 * stride], d7 = d[7 * stride];

  // Phase 1: the outer butterflies.
  V t0 = d0 + d7;
  V t7 = d0 - d7;
  V t1 = d1 + d6;
  V t6 = d1 - d6;
  V t2 = d2 + d5;
  V t5 = d2 - d5;
  V t3 = d3 + d4;
  V t4 = d3 - d4;

  // Even part: phases 2 and 3, then phase 5 for outputs 2 and 6.
  V t10 = t0 + t3;
  V t13 = t0 - t3;
  V t11 = t1 + t2;
  V t12 = t1 - t2;
  d[0 * stride] = t10 + t11;
  d[4 * stride] = t10 - t11;
  V z1 = (t12 + t13) * c4;
  d[2 * stride] = t13 + z1;
  d[6 * stride] = t13 - z1;

  // Odd part: phase 2, the rotator of phase 4 (z2..z5), then phases 5 and 6.
  V p = t4 + t5;
  V m = t5 + t6;
  V r = t6 + t7;
  V z5 = (p - r) * c6;
  V z2 = c2MinusC6 * p + z5;
  V z4 = c2PlusC6 * r + z5;
  V z3 = m * c4;
  V z11 = t7 + z3;
  V z13 = t7 - z3;
  d[5 * stride] = z13 + z2;
  d[3 * stride] = z13 - z2;
  d[1 * stride] = z11 + z4;
  d[7 * stride] = z11 - z4;
}

template <class V>
inline void Dct8x8(V* block) {
  for (int row = 0; row < 8; ++row) Dct8(block + 8 * row, 1);
  for (int col = 0; col < 8; ++col) Dct8(block + col, 8);
}

}  // namespace mpg::jpeg
