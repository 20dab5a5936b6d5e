// Four single-precision lanes with the arithmetic operators of float, so that the
// encoder's numeric templates (colour conversion, DCT, quantisation) run unchanged on
// four blocks at once: lane i of every value belongs to block i. Each operator is one
// IEEE single-precision instruction per lane, the same operation the scalar code
// performs, so every lane's result is bit-identical to the scalar one. Nothing here
// mixes lanes (no horizontal operations).
#pragma once

#if defined(__SSE2__)
#define MPG_JPEG_HAVE_SSE2 1
#include <emmintrin.h>

namespace mpg::jpeg {

struct F32x4 {
  __m128 v;

  F32x4() = default;
  explicit F32x4(__m128 x) : v(x) {}
  // Broadcast, so that constants read the same as in the scalar expressions.
  F32x4(float x) : v(_mm_set1_ps(x)) {}  // NOLINT(google-explicit-constructor)

  friend F32x4 operator+(F32x4 a, F32x4 b) { return F32x4(_mm_add_ps(a.v, b.v)); }
  friend F32x4 operator-(F32x4 a, F32x4 b) { return F32x4(_mm_sub_ps(a.v, b.v)); }
  friend F32x4 operator*(F32x4 a, F32x4 b) { return F32x4(_mm_mul_ps(a.v, b.v)); }
};

}  // namespace mpg::jpeg

#endif  // __SSE2__
