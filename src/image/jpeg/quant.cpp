// Quality scaling follows the IJG convention (jcparam.c) so that a quality number
// means what it means in every libjpeg-based tool; quantisation follows jcdctmgr.c's
// float path: one multiply by a precomputed reciprocal instead of a divide.
#include "image/jpeg/quant.h"

#include <algorithm>

namespace mpg::jpeg {

namespace {

// A[k] = sqrt(2) * cos(k * pi / 16), A[0] = 1: the factor by which the AAN transform
// leaves output k scaled (fdct.cpp). Stored rounded to single precision.
constexpr float kAanScale[8] = {1.0f,       1.3870399f, 1.306563f,  1.1758755f,
                                1.0f,       0.78569496f, 0.5411961f, 0.27589938f};

}  // namespace

QuantTable ScaleQuantTable(const std::array<uint8_t, kBlockSize>& baseNatural,
                           int quality) {
  const unsigned q = static_cast<unsigned>(std::clamp(quality, 1, 100));
  const unsigned percent = q < 50 ? 5000 / q : 200 - 2 * q;
  QuantTable table{};
  for (int i = 0; i < kBlockSize; ++i) {
    const unsigned scaled = (baseNatural[kZigzagToNatural[i]] * percent + 50) / 100;
    table[i] = static_cast<uint8_t>(std::clamp(scaled, 1u, 255u));
  }
  return table;
}

ReciprocalTable BuildReciprocals(const QuantTable& zigzagTable) {
  ReciprocalTable recip{};
  for (int i = 0; i < kBlockSize; ++i) {
    const int natural = kZigzagToNatural[i];
    const int row = natural / 8;
    const int col = natural % 8;
    const float q = static_cast<float>(zigzagTable[i]);
    recip[natural] = (1.0f / (kAanScale[row] * kAanScale[col] * 8.0f)) / q;
  }
  return recip;
}

void QuantizeBlock(const float dct[kBlockSize], const ReciprocalTable& recip,
                   int16_t zigzag[kBlockSize]) {
  for (int i = 0; i < kBlockSize; ++i) {
    const int k = kZigzagToNatural[i];
    zigzag[i] = RoundHalfAwayFromZero(dct[k] * recip[k]);
  }
}

#if MPG_JPEG_HAVE_SSE2
namespace {

// Rows become columns: afterwards r[b] holds lane b of the four inputs.
inline void Transpose4x4(__m128i r[4]) {
  const __m128i t0 = _mm_unpacklo_epi32(r[0], r[1]);
  const __m128i t1 = _mm_unpacklo_epi32(r[2], r[3]);
  const __m128i t2 = _mm_unpackhi_epi32(r[0], r[1]);
  const __m128i t3 = _mm_unpackhi_epi32(r[2], r[3]);
  r[0] = _mm_unpacklo_epi64(t0, t1);
  r[1] = _mm_unpackhi_epi64(t0, t1);
  r[2] = _mm_unpacklo_epi64(t2, t3);
  r[3] = _mm_unpackhi_epi64(t2, t3);
}

}  // namespace

void QuantizeBlocks(const F32x4 dct[kBlockSize], const float recip[kBlockSize],
                    int16_t zigzag[4 * kBlockSize]) {
  const __m128 zero = _mm_setzero_ps();
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 minusHalf = _mm_set1_ps(-0.5f);
  for (int i = 0; i < kBlockSize; i += 8) {
    // rounded[j] holds zigzag coefficient i + j of the four blocks.
    __m128i rounded[8];
    // Unrolled, so that rounded[] stays in registers.
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) {
      const int k = kZigzagToNatural[i + j];
      const __m128 product = _mm_mul_ps(dct[k].v, _mm_set1_ps(recip[k]));
      // The scalar rule's branch as a select: +0.5 where product >= 0, else -0.5.
      const __m128 nonNegative = _mm_cmpge_ps(product, zero);
      const __m128 bias = _mm_or_ps(_mm_and_ps(nonNegative, half),
                                    _mm_andnot_ps(nonNegative, minusHalf));
      // cvttps truncates toward zero like the scalar cast; the default conversion
      // (round to nearest even) would not.
      rounded[j] = _mm_cvttps_epi32(_mm_add_ps(product, bias));
    }
    // Now rounded[b] holds coefficients i..i+3 of block b, rounded[4 + b] i+4..i+7.
    Transpose4x4(rounded);
    Transpose4x4(rounded + 4);
#pragma GCC unroll 4
    for (int b = 0; b < 4; ++b) {
      // Saturating instead of truncating to 16 bits: the same for every coefficient
      // 8-bit samples can produce (|value| <= 1024 even with all quantisers 1).
      _mm_storeu_si128(reinterpret_cast<__m128i*>(zigzag + kBlockSize * b + i),
                       _mm_packs_epi32(rounded[b], rounded[4 + b]));
    }
  }
}
#endif

}  // namespace mpg::jpeg
